#include "DiagnosticsForm.h"
#include "ui_DiagnosticsForm.h"
#include "ui_LogForm.h"

#include "ListedTreeItem.h"
#include "LiveAddresses.h"
#include "Log.h"
#include "TextConversion.h"

#include <QPlainTextEdit>
#include <QTreeWidgetItem>

DiagnosticsForm* diagnosticsForm = nullptr;

namespace {

QString CutLine(QString i_line)
{
    if (i_line.size() <= DiagnosticsForm::MAX_LINE_LENGTH)
        return i_line;
    int keep = DiagnosticsForm::MAX_LINE_LENGTH - 1;
    if (i_line.at(keep - 1).isHighSurrogate())
        --keep;
    i_line.truncate(keep);
    i_line += QChar(0x2026);
    return i_line;
}

} // namespace

DiagnosticsForm::DiagnosticsForm(QWidget* ip_parent) : QWidget(ip_parent), mp_ui(new Ui::DiagnosticsForm)
{
    diagnosticsForm = this;
    mp_ui->setupUi(this);
    mp_ui->trackedUsersTree->setColumnCount(2);
    mp_ui->trackedUsersTree->setHeaderLabels({tr("User"), QString()});
    mp_ui->trackedUsersTree->setColumnWidth(0, 300);
    mp_ui->trackedUsersTree->setColumnWidth(1, 100);

    // Not saved: a category's page lives for the run only.
    Type* log = MakeType("log", true, false, true);
    Type* logWidget = MakeType("log_widget", true, false, true);
    Relate(log, logWidget, One, One);

    m_showTimer.setSingleShot(true);
    m_showTimer.setInterval(0);
    connect(&m_showTimer, &QTimer::timeout, this, &DiagnosticsForm::ShowPendingLines);

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
    delete mp_ui;
}

void DiagnosticsForm::Init()
{
    auto subscribe = [this](const char* ip_flag, PathNodeRelation i_relation, void (DiagnosticsForm::*i_handler)(Item*)) {
        PathNode* root = new PathNode(d, "user");
        new PathNode(root, ip_flag, i_relation);
        AddPathHandler(root, this, i_handler);
    };
    subscribe("is_tracked", NotifyOnConnect, &DiagnosticsForm::OnUserTracked);
    subscribe("is_tracked", NotifyOnDisconnect, &DiagnosticsForm::OnUserUntracked);
    subscribe("is_online", NotifyOnConnect, &DiagnosticsForm::OnUserOnline);
    subscribe("is_online", NotifyOnDisconnect, &DiagnosticsForm::OnUserOffline);

    Relate(MakeType("track_user_node", true, false, true), T("user"), One, One);
}

QPlainTextEdit* DiagnosticsForm::NewCategoryView(const QString& i_category)
{
    auto* view = new QPlainTextEdit(this);
    view->setReadOnly(true);
    view->setMaximumBlockCount(MAX_LINES_PER_TAB);
    m_categoryViews.insert(i_category, view);
    mp_ui->logTabWidget->addTab(view, i_category);

    // The page in the store, for the data browser. Making items from inside
    // a running store operation (a line logged by a handler or a sweep) is
    // safe: the store defers freeing and walks its sets by index.
    Type* log = d->HasType("log");
    Type* logWidget = d->HasType("log_widget");
    if (log && logWidget)
        ItemPtr(log->GetItem(ToLatin1(i_category))) += logWidget->GetItem(Value(view));
    return view;
}

void DiagnosticsForm::AddLine(const QString& i_category, int i_level, const QString& i_text, ItemPtr)
{
    QPlainTextEdit* view = m_categoryViews.value(i_category);
    if (!view)
        view = NewCategoryView(i_category);
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second != m_stampSecond) {
        m_stampSecond = second;
        m_stamp = QDateTime::currentDateTime();
    }
    QStringList& pending = m_pendingLines[view];
    pending << CutLine(FormatLogLine(i_level, i_text, m_stamp));
    if (pending.size() > MAX_LINES_PER_TAB)
        pending.removeFirst();
    if (!m_showTimer.isActive())
        m_showTimer.start();
}

void DiagnosticsForm::ShowPendingLines()
{
    // Plain text: lines may quote what other users sent.
    for (auto it = m_pendingLines.begin(); it != m_pendingLines.end(); ++it)
        it.key()->appendPlainText(it.value().join(QLatin1Char('\n')));
    m_pendingLines.clear();
}

QString DiagnosticsForm::LogText(const QString& i_category)
{
    ShowPendingLines();
    QPlainTextEdit* view = m_categoryViews.value(i_category);
    return view ? view->toPlainText() : QString();
}

QTreeWidgetItem* DiagnosticsForm::RowOf(ItemPtr i_node) const
{
    // Only a row this view still holds: a node may outlive its view.
    auto* row = LiveObject<QTreeWidgetItem>(i_node);
    return row && mp_ui->trackedUsersTree->indexOfTopLevelItem(row) >= 0 ? row : nullptr;
}

void DiagnosticsForm::OnUserTracked(Item* ip_user)
{
    ItemPtr user(ip_user);
    // A user with a row keeps it: a second row would orphan the first.
    if (RowOf(user["track_user_node"])) {
        ShowOnlineState(ip_user, user.IsConnected("is_online"));
        return;
    }
    auto* row = new ListedTreeItem(mp_ui->trackedUsersTree);
    row->setText(0, FromName(user.AsString()));
    row->setText(1, user.IsConnected("is_online") ? tr("Online") : tr("Offline"));
    user += T("track_user_node")->GetItem(Value(row));
}

void DiagnosticsForm::OnUserUntracked(Item* ip_user)
{
    // The node goes with the row, so a later online change finds no row.
    ItemPtr node = ItemPtr(ip_user)["track_user_node"];
    QTreeWidgetItem* row = RowOf(node);
    node.Remove();
    delete row;
}

void DiagnosticsForm::OnUserOnline(Item* ip_user)
{
    ShowOnlineState(ip_user, true);
}

void DiagnosticsForm::OnUserOffline(Item* ip_user)
{
    ShowOnlineState(ip_user, false);
}

void DiagnosticsForm::ShowOnlineState(Item* ip_user, bool i_online)
{
    if (QTreeWidgetItem* row = RowOf(ItemPtr(ip_user)["track_user_node"]))
        row->setText(1, i_online ? tr("Online") : tr("Offline"));
}

LogForm::LogForm(QWidget* ip_parent) : QWidget(ip_parent), mp_ui(new Ui::LogForm)
{
    mp_ui->setupUi(this);
}

LogForm::~LogForm()
{
    delete mp_ui;
}
