#pragma once
// The diagnostics view: every log line of the client, one tab per category,
// shown as plain text. It installs itself as the log sink when it is built
// and removes itself when it goes, so lines logged while the managers are
// built and torn down still arrive.

#include <QMap>
#include <QString>
#include <QWidget>

#include "Data.h"

class QPlainTextEdit;
class QTabWidget;

class DiagnosticsForm : public QWidget
{
    Q_OBJECT

public:
    explicit DiagnosticsForm(QWidget* ip_parent = nullptr);
    ~DiagnosticsForm() override;

    // Runs before the state file is loaded.
    void Init();

    // Appends one line to the category's tab, opening the tab on its first
    // line. The item is what the line is about (unused by the plain view).
    void AddLine(const QString& i_category, int i_level, const QString& i_text, ItemPtr i_item);

    // The shown text of a category; "" for a category with no lines yet.
    QString LogText(const QString& i_category) const;

    // A tab keeps at most this many lines; older ones scroll away.
    static constexpr int MAX_LINES_PER_TAB = 10000;

private:
    QTabWidget* mp_tabs;
    QMap<QString, QPlainTextEdit*> m_categoryViews;
};

extern DiagnosticsForm* diagnosticsForm;
