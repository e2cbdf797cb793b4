#include "DiagnosticsForm.h"

#include "Log.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QTabWidget>

DiagnosticsForm* diagnosticsForm = nullptr;

DiagnosticsForm::DiagnosticsForm(QWidget* ip_parent) : QWidget(ip_parent), mp_tabs(new QTabWidget(this))
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(mp_tabs);

    diagnosticsForm = this;
    SetLogSink([this](const QString& i_category, int i_level, const QString& i_text, ItemPtr i_item) {
        AddLine(i_category, i_level, i_text, i_item);
    });
}

DiagnosticsForm::~DiagnosticsForm()
{
    if (diagnosticsForm == this) {
        ClearLogSink();
        diagnosticsForm = nullptr;
    }
}

void DiagnosticsForm::Init() {}

void DiagnosticsForm::AddLine(const QString& i_category, int i_level, const QString& i_text, ItemPtr)
{
    QPlainTextEdit* view = m_categoryViews.value(i_category);
    if (!view) {
        view = new QPlainTextEdit(mp_tabs);
        view->setReadOnly(true);
        view->setMaximumBlockCount(MAX_LINES_PER_TAB);
        view->setLineWrapMode(QPlainTextEdit::NoWrap);
        m_categoryViews.insert(i_category, view);
        mp_tabs->addTab(view, i_category);
    }
    // Plain text: lines may quote what other users sent.
    view->appendPlainText(FormatLogLine(i_level, i_text));
}

QString DiagnosticsForm::LogText(const QString& i_category) const
{
    QPlainTextEdit* view = m_categoryViews.value(i_category);
    return view ? view->toPlainText() : QString();
}
