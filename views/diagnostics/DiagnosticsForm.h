#pragma once
// The diagnostics view: every log line of the client, one tab per category,
// shown as plain text, and the users the server connection tracks with
// their online state. It installs itself as the log sink when it is built
// and removes itself when it goes, so lines logged while the managers are
// built and torn down still arrive.

#include <QDateTime>
#include <QHash>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include "Data.h"

class QPlainTextEdit;
class QTreeWidgetItem;
namespace Ui {
class DiagnosticsForm;
class LogForm;
}

class DiagnosticsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    explicit DiagnosticsForm(QWidget* ip_parent = nullptr);
    ~DiagnosticsForm() override;

    // Runs before the state file is loaded, once the user types exist.
    void Init();

    // Appends one line to the category's tab, opening the tab on its first
    // line. The item is what the line is about (unused by the plain view).
    // The lines of one event-loop turn reach the tab together.
    void AddLine(const QString& i_category, int i_level, const QString& i_text, ItemPtr i_item);

    // The shown text of a category, lines of this turn included; "" for a
    // category with no lines yet.
    QString LogText(const QString& i_category);

    // Kept for callers that announce loggable types; lines are not stored per item.
    void RegisterLoggableItemType(std::string) {}

    // A tab keeps at most this many lines; older ones scroll away.
    static constexpr int MAX_LINES_PER_TAB = 10000;
    // A longer line is cut and ends in "…": peer-sent names can be megabytes,
    // and a tab must stay near 20 MB however long the client runs.
    static constexpr int MAX_LINE_LENGTH = 1000;

private:
    QPlainTextEdit* NewCategoryView(const QString& i_category);
    void ShowPendingLines();

    void OnUserTracked(Item* ip_user);
    void OnUserUntracked(Item* ip_user);
    void OnUserOnline(Item* ip_user);
    void OnUserOffline(Item* ip_user);
    void ShowOnlineState(Item* ip_user, bool i_online);
    QTreeWidgetItem* RowOf(ItemPtr i_node) const;

    Ui::DiagnosticsForm* mp_ui;
    QMap<QString, QPlainTextEdit*> m_categoryViews;
    // Laying out a line costs far more than keeping it: a turn's lines are
    // appended in one go, at most a tab's worth per category.
    QHash<QPlainTextEdit*, QStringList> m_pendingLines;
    QTimer m_showTimer;
    // Local time costs a look at the time zone file; stamps show seconds.
    qint64 m_stampSecond = -1;
    QDateTime m_stamp;
};

extern DiagnosticsForm* diagnosticsForm;

// A bare page with one text browser.
class LogForm : public QWidget
{
    Q_OBJECT

public:
    explicit LogForm(QWidget* ip_parent = nullptr);
    ~LogForm() override;

private:
    Ui::LogForm* mp_ui;
};
