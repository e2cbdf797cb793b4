#include "TransfersForm.h"
#include "ui_TransfersForm.h"

#include "ActionSetToolBar.h"
#include "CompleteDownloadsForm.h"
#include "DataSaver.h"
#include "DownloadMenuOptions.h"
#include "FocusFunctions.h"
#include "GeneralFunctions.h"
#include "ListedTreeItem.h"
#include "LiveAddresses.h"
#include "SizeManager.h"
#include "StoreLookup.h"
#include "TextConversion.h"
#include "TimerManager.h"
#include "TransferProgressDelegate.h"
#include "TransferQueueManager.h"
#include "UserMenuOptions.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>
#include <QSignalBlocker>

#include <algorithm>

using namespace transferprogress;

namespace
{

enum Column { kUser, kFolder, kFile, kStatus, kProgress, kTimeLeft, kSpeed, kSize, kPlace };

const char* const kTransferIcon = ":/icons/transfer_icon";
const char* const kClearDownloads = "clear_complete_downloads";
const char* const kClearUploads = "clear_complete_aborted_uploads";
// An upload that saw nothing for this long is cleared by the housekeeping.
const qint64 kIdleUploadMs = 300000;

// The object behind a live counter item; null when the item is missing or
// holds no address.
template <class Object>
Object* LiveCounter(Item* ip_entry, Type* ip_type)
{
    return LiveObject<Object>(ip_entry && ip_type ? ip_entry->GetItem(ip_type) : nullptr);
}

QString LowerText(const std::string& i_bytes)
{
    return FromLatin1(i_bytes).toLower();
}

QString OfflineName(const std::string& i_user, bool i_online)
{
    return i_online ? FromName(i_user) : FromName(i_user) + QStringLiteral(" [offline]");
}

} // namespace

TransfersForm::TransfersForm(QWidget* ip_parent) : QWidget(ip_parent), mp_ui(new Ui::TransfersForm)
{
    mp_ui->setupUi(this);
    QTreeWidget* downloads = mp_ui->downloadsList;
    QTreeWidget* uploads = mp_ui->uploadsList;
    const QStringList headers = {tr("User"),     tr("Folder"),    tr("File"), tr("Status"), tr("Progress"),
                                 tr("   ETA"),   tr("Kbs"),       tr("Size"), tr("Place")};
    const int widths[] = {100, 125, 125, 100, 140, 80, 40, 90, 40};
    downloads->setColumnCount(9);
    downloads->setHeaderLabels(headers);
    uploads->setColumnCount(8);
    uploads->setHeaderLabels(headers.mid(0, 8));
    for (int column = 0; column < 9; ++column)
    {
        downloads->setColumnWidth(column, widths[column]);
        if (column < 8)
            uploads->setColumnWidth(column, widths[column]);
    }
    downloads->header()->setSectionsMovable(false);
    uploads->header()->setSectionsMovable(false);
    uploads->header()->setStretchLastSection(false);
    // The row of upload controls would otherwise set the narrowest the
    // main window can be.
    mp_ui->uploadsTab->setMinimumWidth(1);
    // Rows of one height: a cell update then never makes the view measure
    // rows one by one, which thousands of updates a second cannot afford.
    downloads->setUniformRowHeights(true);
    uploads->setUniformRowHeights(true);
    auto* bars = new TransferProgressDelegate(this);
    downloads->setItemDelegateForColumn(kProgress, bars);
    uploads->setItemDelegateForColumn(kProgress, bars);

    connect(mp_ui->transfersTabControl, &QTabWidget::currentChanged, this, &TransfersForm::OnCurrentTabChanged);
    connect(downloads, &QWidget::customContextMenuRequested, this, &TransfersForm::OnDownloadsContextMenuRequested);
    connect(uploads, &QWidget::customContextMenuRequested, this, &TransfersForm::OnUploadsContextMenuRequested);
    connect(downloads, &QTreeWidget::itemDoubleClicked, this, &TransfersForm::OnDownloadListItemDoubleClicked);
    connect(mp_ui->downloadsList, &TreeWidget::KeyPressed, this, &TransfersForm::OnKeyPressedInDownloadList);

    m_redrawTimer.setSingleShot(true);
    m_redrawTimer.setInterval(0);
    connect(&m_redrawTimer, &QTimer::timeout, this, &TransfersForm::Redraw);
}

TransfersForm::~TransfersForm()
{
    DisableHandlers();
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    // Rows still waiting for the running store operation to end belong to
    // no tree yet (those below them go with them); the leaving ones go with
    // the trees.
    for (Side* side : {&m_downloads, &m_uploads})
        for (const auto& [parent, row] : side->arriving)
            delete row;
    delete mp_ui;
}

QTreeWidget* TransfersForm::DownloadsList() const
{
    return mp_ui->downloadsList;
}

QTreeWidget* TransfersForm::UploadsList() const
{
    return mp_ui->uploadsList;
}

void TransfersForm::Init()
{
    qRegisterMetaType<ItemPtr>("ItemPtr");

    // Downloads get rows once they have all four.
    {
        PathNode* root = new PathNode(d, "download_entry");
        for (const char* step : {"user", "file_name", "file_size", "remote_folder"})
            new PathNode(root, step, ConnectedNotify);
        AddPathHandler(root, this, &TransfersForm::OnDownloadEntryAdded);
    }
    Type* downloadUserNode = MakeType("download_list_user_node", true, false, true);
    Type* downloadFolderNode = MakeType("download_list_folder_node", true, false, true);
    Type* downloadNode = MakeType("download_list_node", true, false, true);
    Relate(downloadUserNode, T("user"), One, One);
    Relate(downloadFolderNode, downloadUserNode, Many, One);
    Relate(downloadFolderNode, T("remote_folder"), Many, One);
    Relate(downloadFolderNode, downloadNode, One, Many);
    Relate(downloadNode, T("download_entry"), One, One);

    AddPairHandler(T("download_entry_status"), T("download_entry"), this, &TransfersForm::OnDownloadEntryStatusChange);
    AddPairHandler(T("upload_entry_status"), T("upload_entry"), this, &TransfersForm::OnUploadEntryStatusChange);
    if (transferQueueManager)
    {
        connect(transferQueueManager, &TransferQueueManager::DownloadProgressed, this, &TransfersForm::OnDownloadProgress);
        connect(transferQueueManager, &TransferQueueManager::UploadProgressed, this, &TransfersForm::OnUploadProgress);
    }

    {
        PathNode* root = new PathNode(d, "upload_entry");
        for (const char* step : {"user", "shared_file"})
            new PathNode(root, step, ConnectedNotify);
        AddPathHandler(root, this, &TransfersForm::OnUploadEntryAdded);
    }
    Type* uploadUserNode = MakeType("upload_list_user_node", true, false, true);
    Type* uploadFolderNode = MakeType("upload_list_folder_node", true, false, true);
    Type* uploadNode = MakeType("upload_list_node", true, false, true);
    Relate(uploadUserNode, T("user"), One, One);
    Relate(uploadFolderNode, uploadUserNode, Many, One);
    Relate(uploadFolderNode, T("shared_file_folder"), Many, One);
    Relate(uploadFolderNode, uploadNode, One, Many);
    Relate(uploadNode, T("upload_entry"), One, One);

    if (transferQueueManager)
        connect(transferQueueManager, &TransferQueueManager::TransfersLoaded, this, &TransfersForm::OnTransfersLoaded);
    AddHandler(T("download_entry")->itemRemoved, this, &TransfersForm::OnDownloadEntryRemoved);
    AddHandler(T("upload_entry")->itemRemoved, this, &TransfersForm::OnUploadEntryRemoved);

    // A deliberate twin: the two lists run the same code over these fields,
    // which name each list's own types, statuses and settings.
    m_downloads.download = true;
    m_downloads.tree = mp_ui->downloadsList;
    m_downloads.userNode = downloadUserNode;
    m_downloads.folderNode = downloadFolderNode;
    m_downloads.entryNode = downloadNode;
    m_downloads.entryType = T("download_entry");
    m_downloads.statusType = T("download_entry_status");
    m_downloads.positionType = T("write_position");
    m_downloads.sizeType = T("file_size");
    m_downloads.speedType = T("bytes_per_second");
    m_downloads.activeStatus = "downloading";
    m_downloads.expandUsers = &m_expandDownloadUsers;
    m_downloads.expandFolders = &m_expandDownloadFolders;
    m_uploads.download = false;
    m_uploads.tree = mp_ui->uploadsList;
    m_uploads.userNode = uploadUserNode;
    m_uploads.folderNode = uploadFolderNode;
    m_uploads.entryNode = uploadNode;
    m_uploads.entryType = T("upload_entry");
    m_uploads.statusType = T("upload_entry_status");
    m_uploads.positionType = T("read_position");
    m_uploads.sizeType = T("shared_file_size");
    m_uploads.sharedFileType = T("shared_file");
    m_uploads.speedType = T("bytes_per_second");
    m_uploads.activeStatus = "uploading";
    m_uploads.expandUsers = &m_expandUploadUsers;
    m_uploads.expandFolders = &m_expandUploadFolders;

    if (actionBar)
    {
        actionBar->AddSetAction("downloads", "expand_download_folders", "Expand Folders", kTransferIcon, false);
        actionBar->AddSetAction("downloads", "expand_download_users", "Expand Users", kTransferIcon, false);
        actionBar->AddSetAction("downloads", "clear_complete_downloads", "Clear Complete", kTransferIcon, false);
        actionBar->RegisterWidget(mp_ui->downloadsList, QStringLiteral("downloads"));
        actionBar->SetWidgetActionText(mp_ui->downloadsList, QStringLiteral("expand_download_folders"),
                                       tr("Expand Folders [on]"));
        actionBar->SetWidgetActionText(mp_ui->downloadsList, QStringLiteral("expand_download_users"),
                                       tr("Expand Users [on]"));
        actionBar->AddSetAction("uploads", "expand_upload_folders", "Expand Folders", kTransferIcon, false);
        actionBar->AddSetAction("uploads", "expand_upload_users", "Expand Users", kTransferIcon, false);
        actionBar->AddSetAction("uploads", "clear_complete_and_aborted_uploads", "Clear Complete and Aborted",
                                kTransferIcon, false);
        actionBar->RegisterWidget(mp_ui->uploadsList, QStringLiteral("uploads"));
        actionBar->SetWidgetActionText(mp_ui->uploadsList, QStringLiteral("expand_upload_folders"),
                                       tr("Expand Folders [on]"));
        actionBar->SetWidgetActionText(mp_ui->uploadsList, QStringLiteral("expand_upload_users"),
                                       tr("Expand Users [on]"));
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &TransfersForm::OnActionBarTriggered);
    }

    {
        PathNode* root = new PathNode(d, "user");
        new PathNode(root, "is_online", NotifyOnConnect);
        AddPathHandler(root, this, &TransfersForm::OnUserOnline);
    }
    {
        PathNode* root = new PathNode(d, "user");
        new PathNode(root, "is_online", NotifyOnDisconnect);
        AddPathHandler(root, this, &TransfersForm::OnUserOffline);
    }
    {
        PathNode* root = new PathNode(d, "download_entry");
        new PathNode(root, "place_in_line", ConnectedNotify);
        AddPathHandler(root, this, &TransfersForm::OnDownloadPlaceInLine);
    }
    if (dataSaver)
        dataSaver->AddDataLoadedEventHandler(this);

    for (QTreeWidget* tree : {static_cast<QTreeWidget*>(mp_ui->downloadsList), static_cast<QTreeWidget*>(mp_ui->uploadsList)})
    {
        connect(tree, &QTreeWidget::itemExpanded, this, &TransfersForm::OnItemExpanded);
        connect(tree, &QTreeWidget::itemCollapsed, this, &TransfersForm::OnItemCollapsed);
    }
    mp_ui->downloadsList->setFocus();
    if (timerManager)
        connect(timerManager->HalfMinuteTimer(), &QTimer::timeout, this, &TransfersForm::EveryHalfMinute);
    // Queued: a completed download is cleared only after the store change
    // that completed it has finished.
    connect(this, &TransfersForm::DownloadComplete, this, &TransfersForm::OnDownloadComplete, Qt::QueuedConnection);
    RegisterWidgetForTabFocus(mp_ui->downloadsList, 1);
    RegisterWidgetForTabFocus(mp_ui->uploadsList, 1);
}

void TransfersForm::DataLoaded()
{
    mp_ui->uploadLimitSpinBox->setValue(int(ParseDecimal(GetSetting("upload_speed_limit"))));
    mp_ui->uploadSlotsSpinBox->setValue(int(ParseDecimal(GetSetting("upload_slots"))));
    mp_ui->uploadLimitCheckBox->setChecked(IsSettingYes("upload_speed_limit_enabled"));
    mp_ui->clearDownloadsCheckBox->setChecked(IsSettingYes(kClearDownloads));
    mp_ui->clearUploadsCheckBox->setChecked(IsSettingYes(kClearUploads));

    // Only now: putting the stored values in must not write them back.
    const auto unique = Qt::UniqueConnection;
    connect(mp_ui->uploadLimitSpinBox, &QSpinBox::valueChanged, this,
            &TransfersForm::OnUploadSpeedLimitSpinValueChanged, unique);
    connect(mp_ui->uploadLimitCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnUploadSpeedLimitCheckStateChanged, unique);
    connect(mp_ui->clearDownloadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearDownloadsCheckStateChanged, unique);
    connect(mp_ui->clearUploadsCheckBox, &QCheckBox::stateChanged, this,
            &TransfersForm::OnClearUploadsCheckStateChanged, unique);
    connect(mp_ui->uploadSlotsSpinBox, &QSpinBox::valueChanged, this, &TransfersForm::OnUploadSlotsSpinValueChanged,
            unique);
    if (sizeManager)
    {
        sizeManager->RegisterTreeWidget(QStringLiteral("download_list"), mp_ui->downloadsList);
        sizeManager->RegisterTreeWidget(QStringLiteral("upload_list"), mp_ui->uploadsList);
    }
}

// ---------------------------------------------------------------- rows

QTreeWidgetItem* TransfersForm::RowOf(Item* ip_node)
{
    return LiveObject<QTreeWidgetItem>(ip_node);
}

TransfersForm::Side* TransfersForm::SideOf(QTreeWidgetItem* ip_row)
{
    if (!ip_row || !m_downloads.tree)
        return nullptr;
    if (ip_row->treeWidget() == m_downloads.tree)
        return &m_downloads;
    if (ip_row->treeWidget() == m_uploads.tree)
        return &m_uploads;
    return nullptr;
}

TransfersForm::RowKind TransfersForm::KindOf(const Side& i_side, QTreeWidgetItem* ip_row, Item** op_node) const
{
    Item* node = nullptr;
    RowKind kind = NoRow;
    if (ip_row && i_side.userNode)
    {
        const Value address(ip_row);
        if ((node = i_side.userNode->HasItem(address)))
            kind = UserRow;
        else if ((node = i_side.folderNode->HasItem(address)))
            kind = FolderRow;
        else if ((node = i_side.entryNode->HasItem(address)))
            kind = EntryRow;
    }
    if (op_node)
        *op_node = node;
    return kind;
}

void TransfersForm::EntriesOf(const Side& i_side, QTreeWidgetItem* ip_row, std::vector<Item*>& o_entries) const
{
    Item* node = nullptr;
    const RowKind kind = KindOf(i_side, ip_row, &node);
    auto entryOf = [&](Item* ip_entryNode) {
        if (Item* entry = ip_entryNode->GetItem(i_side.entryType))
            o_entries.push_back(entry);
    };
    auto folderEntries = [&](Item* ip_folderNode) {
        for (Item* entryNode : ip_folderNode->GetItems(i_side.entryNode))
            entryOf(entryNode);
    };
    if (kind == UserRow)
        for (Item* folderNode : node->GetItems(i_side.folderNode))
            folderEntries(folderNode);
    else if (kind == FolderRow)
        folderEntries(node);
    else if (kind == EntryRow)
        entryOf(node);
}

ItemSet TransfersForm::EntrySet(const Side& i_side, QTreeWidgetItem* ip_row) const
{
    std::vector<Item*> entries;
    EntriesOf(i_side, ip_row, entries);
    ItemSet set;
    for (Item* entry : entries)
        set.insert(entry);
    return set;
}

ItemSet TransfersForm::GetNodeDownloadEntryItems(QTreeWidgetItem* ip_row)
{
    return EntrySet(m_downloads, ip_row);
}

ItemSet TransfersForm::GetNodeUploadEntryItems(QTreeWidgetItem* ip_row)
{
    return EntrySet(m_uploads, ip_row);
}

QTreeWidgetItem* TransfersForm::UserRowOf(const Side& i_side, QTreeWidgetItem* ip_row) const
{
    switch (KindOf(i_side, ip_row))
    {
    case UserRow: return ip_row;
    case FolderRow: return ip_row->parent();
    case EntryRow: return ip_row->parent() ? ip_row->parent()->parent() : nullptr;
    default: return nullptr;
    }
}

QTreeWidgetItem* TransfersForm::GetDownloadNodeUserNode(QTreeWidgetItem* ip_row)
{
    return UserRowOf(m_downloads, ip_row);
}

QTreeWidgetItem* TransfersForm::GetUploadNodeUserNode(QTreeWidgetItem* ip_row)
{
    return UserRowOf(m_uploads, ip_row);
}

void TransfersForm::OnDownloadEntryAdded(Item* ip_entry)
{
    // Rows of the entries present at start-up come with OnTransfersLoaded.
    if (m_transfersLoaded)
        AddRow(m_downloads, ip_entry);
}

void TransfersForm::OnUploadEntryAdded(Item* ip_entry)
{
    AddRow(m_uploads, ip_entry);
}

void TransfersForm::AddRow(Side& io_side, Item* ip_entry)
{
    // The path fires again when a step is connected anew; one row is enough.
    if (!ip_entry || ip_entry->GetItem(io_side.entryNode))
        return;
    ItemPtr entry(ip_entry);
    Item* user = entry["user"];
    ItemPtr sharedFile = io_side.download ? ItemPtr() : entry["shared_file"];
    Item* folderKey = io_side.download ? entry["remote_folder"] : sharedFile["shared_file_folder"];
    if (!user || !folderKey)
        return;

    Item* userNode = user->GetItem(io_side.userNode);
    QTreeWidgetItem* userRow = RowOf(userNode);
    if (!userNode)
    {
        userRow = NewRow(io_side, nullptr);
        userNode = io_side.userNode->GetItem(Value(userRow));
        userNode->Connect(user);
        userRow->setText(kUser, io_side.download ? OfflineName(user->GetValue(), user->IsConnected("is_online"))
                                                 : FromName(user->GetValue()));
        if (*io_side.expandUsers)
            io_side.opening.push_back(userRow);
    }

    Item* folderNode = d->GetItem(ItemPtr(userNode), ItemPtr(folderKey), io_side.folderNode->GetName().c_str());
    QTreeWidgetItem* folderRow = RowOf(folderNode);
    if (!folderNode)
    {
        folderRow = NewRow(io_side, userRow);
        folderNode = io_side.folderNode->GetItem(Value(folderRow));
        folderNode->Connect(userNode);
        folderNode->Connect(folderKey);
        folderRow->setText(kFolder, FromUtf8(ReversePathname(folderKey->GetValue())));
        if (*io_side.expandFolders)
            io_side.opening.push_back(folderRow);
    }

    QTreeWidgetItem* row = NewRow(io_side, folderRow);
    if (io_side.download)
    {
        row->setText(kFile, FromUtf8(entry["file_name"].AsString()));
        row->setText(kSize, CommafyNumber(entry["file_size"].AsInt64()));
    }
    else
    {
        row->setText(kFile, FromUtf8(GetFileName(sharedFile["shared_file_name"].AsString())));
        row->setText(kSize, CommafyNumber(sharedFile["shared_file_size"].AsInt64()));
    }
    Item* node = io_side.entryNode->GetItem(Value(row));
    node->Connect(ip_entry);
    node->Connect(folderNode);
    if (io_side.download)
        if (Item* status = ip_entry->GetItem(io_side.statusType))
            StatusChanged(io_side, ip_entry, status);
}

void TransfersForm::OnDownloadEntryRemoved(Item* ip_entry)
{
    m_pendingComplete.erase(ip_entry);
    RemoveRow(m_downloads, ip_entry);
}

void TransfersForm::OnUploadEntryRemoved(Item* ip_entry)
{
    RemoveRow(m_uploads, ip_entry);
}

void TransfersForm::RemoveRow(Side& io_side, Item* ip_entry)
{
    io_side.entrySet.erase(ip_entry);
    Item* node = ip_entry->GetItem(io_side.entryNode);
    if (!node)
        return;
    QTreeWidgetItem* row = RowOf(node);
    Item* folderNode = node->GetItem(io_side.folderNode);
    Item* userNode = folderNode ? folderNode->GetItem(io_side.userNode) : nullptr;
    QTreeWidgetItem* folderRow = RowOf(folderNode);
    QTreeWidgetItem* userRow = RowOf(userNode);
    // Groups keep their turn's redraw, but not for an entry that is gone.
    for (QTreeWidgetItem* group : {folderRow, userRow})
    {
        auto mark = io_side.groups.find(group);
        if (mark != io_side.groups.end() && mark->second.reporter == ip_entry)
            mark->second.reporter = nullptr;
    }
    node->Remove();
    LeaveTree(io_side, row);

    // A group goes with its last entry; what counts is what its node still
    // holds, as its row keeps the leaving rows until the operation ends.
    if (folderNode && !folderNode->GetItem(io_side.entryNode))
    {
        ForgetGroup(io_side, folderRow);
        folderNode->Remove();
        LeaveTree(io_side, folderRow);
        folderRow = nullptr;
        if (userNode && !userNode->GetItem(io_side.folderNode))
        {
            ForgetGroup(io_side, userRow);
            userNode->Remove();
            LeaveTree(io_side, userRow);
            userRow = nullptr;
        }
    }
    // What is left below redraws the groups: the removed entry's bytes,
    // speed and time left must not linger there.
    MarkGroup(io_side, folderRow, nullptr, true);
    MarkGroup(io_side, userRow, nullptr, true);
}

QTreeWidgetItem* TransfersForm::NewRow(Side& io_side, QTreeWidgetItem* ip_parent)
{
    if (ip_parent && !ip_parent->treeWidget())
        return new ListedTreeItem(ip_parent);
    auto* row = new ListedTreeItem();
    // Every column, as a row in the tree has: the colours go to each.
    row->setText(io_side.tree->columnCount() - 1, QString());
    io_side.arriving.emplace_back(ip_parent, row);
    ScheduleRowChanges();
    return row;
}

void TransfersForm::LeaveTree(Side& io_side, QTreeWidgetItem* ip_row)
{
    if (!ip_row)
        return;
    io_side.leaving.push_back(ip_row);
    ScheduleRowChanges();
}

void TransfersForm::ScheduleRowChanges()
{
    if (m_rowChangesPending)
        return;
    m_rowChangesPending = true;
    // Queueing a folder or clearing thousands of entries is one store
    // operation: the tree changes once, when it ends.
    QPointer<TransfersForm> self(this);
    d->AfterOperation([self] {
        if (self)
            self->ApplyRowChanges();
    });
}

void TransfersForm::ApplyRowChanges()
{
    m_rowChangesPending = false;
    for (Side* side : {&m_downloads, &m_uploads})
    {
        std::vector<std::pair<QTreeWidgetItem*, QTreeWidgetItem*>> arriving;
        std::vector<QTreeWidgetItem*> opening;
        std::vector<QTreeWidgetItem*> leaving;
        arriving.swap(side->arriving);
        opening.swap(side->opening);
        leaving.swap(side->leaving);
        // A row may arrive and leave in one operation: it joins first.
        if (!arriving.empty())
            side->tree->AddRows(arriving);
        if (!opening.empty())
            side->tree->SetRowsExpanded(opening, true);
        if (!leaving.empty())
            side->tree->DeleteRows(leaving);
    }
}

void TransfersForm::GroupRowsOf(const Side& i_side, Item* ip_entryNode, QTreeWidgetItem*& o_folderRow,
                                QTreeWidgetItem*& o_userRow) const
{
    Item* folderNode = ip_entryNode ? ip_entryNode->GetItem(i_side.folderNode) : nullptr;
    Item* userNode = folderNode ? folderNode->GetItem(i_side.userNode) : nullptr;
    o_folderRow = RowOf(folderNode);
    o_userRow = RowOf(userNode);
}

// ---------------------------------------------------------------- status

void TransfersForm::SetItemColorByStatus(QTreeWidgetItem* ip_row, const std::string& i_status)
{
    QColor colour(Qt::black);
    if (i_status == "complete")
        colour = QColor(0, 100, 0);
    else if (i_status == "downloading" || i_status == "uploading" || i_status == "connecting")
        colour = QColor(0, 0, 255);
    else if (i_status == "queued")
        colour = QColor(51, 102, 255);
    else if (i_status == "denied" || i_status == "aborted" || i_status == "local error")
        colour = QColor(255, 10, 71);
    const QBrush brush(colour, Qt::SolidPattern);
    const int columns = ip_row->treeWidget() ? ip_row->treeWidget()->columnCount() : ip_row->columnCount();
    for (int column = 0; column < columns; ++column)
        ip_row->setForeground(column, brush);
}

void TransfersForm::OnDownloadEntryStatusChange(ConnectionInfo& i_info)
{
    const bool entryFirst = i_info.from && i_info.from->GetType() == m_downloads.entryType;
    StatusChanged(m_downloads, entryFirst ? i_info.from : i_info.to, entryFirst ? i_info.to : i_info.from);
}

void TransfersForm::OnUploadEntryStatusChange(ConnectionInfo& i_info)
{
    const bool entryFirst = i_info.from && i_info.from->GetType() == m_uploads.entryType;
    StatusChanged(m_uploads, entryFirst ? i_info.from : i_info.to, entryFirst ? i_info.to : i_info.from);
}

void TransfersForm::StatusChanged(Side& io_side, Item* ip_entry, Item* ip_status)
{
    Item* node = ip_entry ? ip_entry->GetItem(io_side.entryNode) : nullptr;
    if (!node || !ip_status)
        return;
    QTreeWidgetItem* row = RowOf(node);
    const std::string& status = ip_status->GetValue();
    if (io_side.download)
    {
        SetItemColorByStatus(row, status);
        if (status == "complete")
        {
            m_pendingComplete.insert(ip_entry);
            emit DownloadComplete(ItemPtr(ip_entry));
            row->setText(kProgress, QString());
        }
        row->setText(kPlace, QString());
    }
    else
    {
        if (status == "complete")
            row->setText(kProgress, QString());
        SetItemColorByStatus(row, status);
    }
    row->setText(kStatus, status == "denied" ? LowerText(ItemPtr(ip_entry)["denial_reason"].AsString())
                                             : LowerText(status));
    // The figures follow the status: drawn in the same turn as the last
    // report, after the run-time counters are gone.
    if (io_side.entrySet.insert(ip_entry).second)
        io_side.entries.push_back(ip_entry);
    // The groups' aggregate is computed once per turn, however many of
    // their entries change.
    QTreeWidgetItem* folderRow = nullptr;
    QTreeWidgetItem* userRow = nullptr;
    GroupRowsOf(io_side, node, folderRow, userRow);
    MarkGroup(io_side, folderRow, nullptr, true);
    MarkGroup(io_side, userRow, nullptr, true);
}

std::string TransfersForm::AggregateStatus(const Side& i_side, const std::vector<Item*>& i_entries) const
{
    bool active = false, queued = false, denied = false, aborted = false;
    size_t complete = 0;
    for (Item* entry : i_entries)
    {
        Item* statusItem = entry->GetItem(i_side.statusType);
        const std::string& status = statusItem ? statusItem->GetValue() : std::string();
        if (status == i_side.activeStatus)
            active = true;
        else if (status == "queued")
            queued = true;
        else if (status == "complete")
            ++complete;
        else if (status == "denied")
            denied = true;
        else if (status == "aborted")
            aborted = true;
    }
    if (active)
        return i_side.activeStatus;
    if (queued)
        return "queued";
    if (complete == i_entries.size())
        return "complete";
    if (denied)
        return "denied";
    if (aborted)
        return "aborted";
    return "";
}

std::string TransfersForm::GetDownloadEntriesAggregateStatus(const ItemSet& i_entries)
{
    return AggregateStatus(m_downloads, i_entries.Items());
}

std::string TransfersForm::GetUploadEntriesAggregateStatus(const ItemSet& i_entries)
{
    return AggregateStatus(m_uploads, i_entries.Items());
}

void TransfersForm::OnDownloadPlaceInLine(Item* ip_entry)
{
    if (QTreeWidgetItem* row = RowOf(ip_entry->GetItem(m_downloads.entryNode)))
        row->setText(kPlace, FromLatin1(ItemPtr(ip_entry)["place_in_line"].AsString()));
}

void TransfersForm::OnUserOnline(Item* ip_user)
{
    if (QTreeWidgetItem* row = RowOf(ip_user->GetItem(m_downloads.userNode)))
        row->setText(kUser, OfflineName(ip_user->GetValue(), true));
}

void TransfersForm::OnUserOffline(Item* ip_user)
{
    if (QTreeWidgetItem* row = RowOf(ip_user->GetItem(m_downloads.userNode)))
        row->setText(kUser, OfflineName(ip_user->GetValue(), false));
}

void TransfersForm::OnCurrentTabChanged(int) {}

void TransfersForm::OnTransfersLoaded()
{
    m_transfersLoaded = true;
    const ItemSet entries = g("download_entry");
    std::vector<Item*> ordered;
    ordered.reserve(entries.size());
    for (Item* entry : entries.SortNumericBy("download_order", true))
        ordered.push_back(entry);
    // An entry without an order still gets its row, last.
    for (Item* entry : entries.NotConnected("download_order"))
        ordered.push_back(entry);
    for (Item* entry : ordered)
        AddRow(m_downloads, entry);
}

// ---------------------------------------------------------------- progress

qint64 TransfersForm::Position(const Side& i_side, Item* ip_entry) const
{
    const qint64* position = LiveCounter<qint64>(ip_entry, i_side.positionType);
    return position ? *position : 0;
}

qint64 TransfersForm::Size(const Side& i_side, Item* ip_entry) const
{
    Item* holder = i_side.download ? ip_entry : ip_entry->GetItem(i_side.sharedFileType);
    Item* size = holder ? holder->GetItem(i_side.sizeType) : nullptr;
    return size ? size->AsInt64() : 0;
}

qint64 TransfersForm::Speed(Item* ip_entry) const
{
    const int* speed = LiveCounter<int>(ip_entry, m_downloads.speedType);
    return speed ? *speed : 0;
}

void TransfersForm::ProgressStats(const Side& i_side, const std::vector<Item*>& i_entries, qint64& o_done,
                                  qint64& o_remaining, qint64& o_total) const
{
    o_done = o_remaining = o_total = 0;
    for (Item* entry : i_entries)
    {
        Item* statusItem = entry->GetItem(i_side.statusType);
        const std::string& status = statusItem ? statusItem->GetValue() : std::string();
        if (status == "complete")
        {
            const qint64 size = Size(i_side, entry);
            o_done += size;
            o_total += size;
        }
        else if (status == "queued" || status == "aborted" || status == i_side.activeStatus)
        {
            const qint64 size = Size(i_side, entry);
            const qint64 position = Position(i_side, entry);
            o_done += position;
            o_remaining += size - position;
            o_total += size;
        }
    }
}

void TransfersForm::GetDownloadsProgressStats(const ItemSet& i_entries, qint64& o_done, qint64& o_remaining,
                                              qint64& o_total)
{
    ProgressStats(m_downloads, i_entries.Items(), o_done, o_remaining, o_total);
}

void TransfersForm::GetUploadsProgressStats(const ItemSet& i_entries, qint64& o_done, qint64& o_remaining,
                                            qint64& o_total)
{
    ProgressStats(m_uploads, i_entries.Items(), o_done, o_remaining, o_total);
}

void TransfersForm::OnDownloadProgress(ItemPtr i_download)
{
    MarkProgress(m_downloads, i_download.Get());
}

void TransfersForm::OnUploadProgress(ItemPtr i_upload)
{
    MarkProgress(m_uploads, i_upload.Get());
}

void TransfersForm::MarkProgress(Side& io_side, Item* ip_entry)
{
    Item* node = ip_entry && !ip_entry->IsRemoved() ? ip_entry->GetItem(io_side.entryNode) : nullptr;
    if (!RowOf(node))
        return;
    if (io_side.entrySet.insert(ip_entry).second)
        io_side.entries.push_back(ip_entry);
    QTreeWidgetItem* folderRow = nullptr;
    QTreeWidgetItem* userRow = nullptr;
    GroupRowsOf(io_side, node, folderRow, userRow);
    MarkGroup(io_side, folderRow, ip_entry, false);
    MarkGroup(io_side, userRow, ip_entry, false);
    ScheduleRedraw();
}

void TransfersForm::MarkGroup(Side& io_side, QTreeWidgetItem* ip_row, Item* ip_reporter, bool i_status)
{
    if (!ip_row)
        return;
    auto [mark, added] = io_side.groups.try_emplace(ip_row);
    if (added)
        io_side.groupOrder.push_back(ip_row);
    if (ip_reporter)
        mark->second.reporter = ip_reporter;
    if (i_status)
        mark->second.status = true;
    ScheduleRedraw();
}

void TransfersForm::ForgetGroup(Side& io_side, QTreeWidgetItem* ip_row)
{
    io_side.groups.erase(ip_row);
}

void TransfersForm::ScheduleRedraw()
{
    if (!m_redrawTimer.isActive())
        m_redrawTimer.start();
}

void TransfersForm::Redraw()
{
    RedrawSide(m_downloads);
    RedrawSide(m_uploads);
}

void TransfersForm::RedrawSide(Side& io_side)
{
    if (io_side.entries.empty() && io_side.groupOrder.empty())
        return;
    // Thousands of cells change at once: the view hears nothing of each
    // and repaints what it shows once at the end. Only texts, bar values
    // and colours change here, never rows.
    {
        const QSignalBlocker quiet(io_side.tree->model());
        WriteMarked(io_side);
    }
    io_side.tree->viewport()->update();
}

void TransfersForm::WriteMarked(Side& io_side)
{
    std::vector<Item*> entries;
    entries.swap(io_side.entries);
    for (Item* entry : entries)
        if (io_side.entrySet.erase(entry))
            DrawEntry(io_side, entry);
    std::vector<QTreeWidgetItem*> groups;
    groups.swap(io_side.groupOrder);
    for (QTreeWidgetItem* row : groups)
    {
        auto mark = io_side.groups.find(row);
        if (mark == io_side.groups.end())
            continue;
        const GroupMark owed = mark->second;
        io_side.groups.erase(mark);
        DrawGroup(io_side, row, owed);
    }
}

QTreeWidgetItem* TransfersForm::TopmostVisible(QTreeWidgetItem* ip_entryRow)
{
    QTreeWidgetItem* folderRow = ip_entryRow->parent();
    QTreeWidgetItem* userRow = folderRow ? folderRow->parent() : nullptr;
    if (userRow && !userRow->isExpanded())
        return userRow;
    if (folderRow && !folderRow->isExpanded())
        return folderRow;
    return ip_entryRow;
}

void TransfersForm::DrawEntry(Side& io_side, Item* ip_entry)
{
    QTreeWidgetItem* row = RowOf(ip_entry->GetItem(io_side.entryNode));
    if (!row)
        return;
    const qint64 size = Size(io_side, ip_entry);
    Item* status = ip_entry->GetItem(io_side.statusType);
    if (!status || status->GetValue() != io_side.activeStatus)
    {
        // A row that no longer runs keeps the bar it last showed; a
        // finished one shows the whole file.
        if (status && status->GetValue() == "complete")
            SetBar(row, kProgress, size, 100.0);
        row->setText(kTimeLeft, QString());
        row->setText(kSpeed, QString());
        return;
    }
    const qint64 position = Position(io_side, ip_entry);
    const qint64 speed = Speed(ip_entry);
    row->setText(kTimeLeft, TimeLeftText(size - position, speed));
    SetBar(row, kProgress, position, Percent(position, size));
    if (TopmostVisible(row) == row)
        row->setText(kSpeed, SpeedText(speed));
}

void TransfersForm::DrawGroup(Side& io_side, QTreeWidgetItem* ip_row, const GroupMark& i_mark)
{
    const RowKind kind = KindOf(io_side, ip_row);
    if (kind != UserRow && kind != FolderRow)
        return;
    std::vector<Item*> entries;
    EntriesOf(io_side, ip_row, entries);
    const std::string status = AggregateStatus(io_side, entries);
    if (i_mark.status)
    {
        if (!ip_row->isExpanded())
            ip_row->setText(kStatus, FromLatin1(status));
        SetItemColorByStatus(ip_row, status);
    }
    // A group where nothing runs shows no speed and no time left.
    if (status != io_side.activeStatus)
    {
        ip_row->setText(kSpeed, QString());
        ip_row->setText(kTimeLeft, QString());
    }
    // The speed and time left are those of the entry that reported last
    // while it runs (a report in the turn its transfer ended finds the
    // counters gone), else of any entry of the group that still runs.
    Item* runner = i_mark.reporter;
    if (runner && !IsActive(io_side, runner))
        runner = nullptr;
    if (!runner && status == io_side.activeStatus)
        for (Item* entry : entries)
            if (IsActive(io_side, entry))
            {
                runner = entry;
                break;
            }
    QTreeWidgetItem* runnerRow = runner ? RowOf(runner->GetItem(io_side.entryNode)) : nullptr;
    if (runnerRow && TopmostVisible(runnerRow) == ip_row)
        ip_row->setText(kSpeed, SpeedText(Speed(runner)));
    // An open user row with one folder: the folder row shows the same.
    if (kind == UserRow && ip_row->isExpanded() && ip_row->childCount() <= 1)
    {
        ClearBar(ip_row, kProgress);
        ip_row->setText(kTimeLeft, QString());
        return;
    }
    qint64 done, remaining, total;
    ProgressStats(io_side, entries, done, remaining, total);
    if (runner)
    {
        if (total == 0)
            return;
        ip_row->setText(kTimeLeft, TimeLeftText(remaining, Speed(runner)));
        SetBar(ip_row, kProgress, done, Percent(done, total));
        return;
    }
    // Nothing runs: the bar shows the bytes of what is left, and none when
    // nothing of it was received.
    if (done > 0 && total > 0)
        SetBar(ip_row, kProgress, done, Percent(done, total));
    else
        ClearBar(ip_row, kProgress);
}

bool TransfersForm::IsActive(const Side& i_side, Item* ip_entry) const
{
    Item* status = ip_entry->GetItem(i_side.statusType);
    return status && status->GetValue() == i_side.activeStatus;
}

void TransfersForm::OnDownloadComplete(ItemPtr i_download)
{
    // Only an entry that still waits for this call; a removed one left the
    // set with its row.
    if (!m_pendingComplete.erase(i_download.Get()))
        return;
    if (i_download["download_entry_status"].AsString() != "complete")
        return;
    if (IsSettingYes(kClearDownloads) && transferQueueManager)
        transferQueueManager->RemoveDownload(i_download);
}

// ---------------------------------------------------------------- actions

void TransfersForm::ToggleExpand(Side& io_side, bool i_users)
{
    bool& flag = i_users ? *io_side.expandUsers : *io_side.expandFolders;
    flag = !flag;
    const char* id = io_side.download ? (i_users ? "expand_download_users" : "expand_download_folders")
                                      : (i_users ? "expand_upload_users" : "expand_upload_folders");
    const QString text = (i_users ? tr("Expand Users") : tr("Expand Folders")) +
                         (flag ? QStringLiteral(" [on]") : QStringLiteral(" [off]"));
    if (actionBar)
        actionBar->SetWidgetActionText(io_side.tree, QString::fromLatin1(id), text);
    TreeWidget* tree = io_side.tree;
    std::vector<QTreeWidgetItem*> rows;
    for (int k = 0; k < tree->topLevelItemCount(); ++k)
    {
        QTreeWidgetItem* userRow = tree->topLevelItem(k);
        if (i_users)
            rows.push_back(userRow);
        else
            for (int f = 0; f < userRow->childCount(); ++f)
                rows.push_back(userRow->child(f));
    }
    tree->SetRowsExpanded(rows, flag);
}

void TransfersForm::OnActionBarTriggered(std::string i_action)
{
    if (i_action == "expand_download_folders")
        ToggleExpand(m_downloads, false);
    else if (i_action == "expand_download_users")
        ToggleExpand(m_downloads, true);
    else if (i_action == "expand_upload_folders")
        ToggleExpand(m_uploads, false);
    else if (i_action == "expand_upload_users")
        ToggleExpand(m_uploads, true);
    else if (i_action == "clear_complete_downloads")
    {
        if (!transferQueueManager)
            return;
        // A copy: every removal changes the status item's links.
        const ItemSet complete = FindItem("download_entry_status", "complete").GetItems("download_entry");
        Data::Operation op(d);
        for (Item* entry : complete)
            if (!entry->IsRemoved())
                transferQueueManager->RemoveDownload(entry);
    }
    else if (i_action == "clear_complete_and_aborted_uploads")
    {
        if (!transferQueueManager)
            return;
        const ItemSet finished =
            AllItems("upload_entry_status").NotConnected("is_active").GetItems("upload_entry")
                .NotConnected("upload_entry_status", "queued");
        Data::Operation op(d);
        for (Item* entry : finished)
            if (!entry->IsRemoved())
                transferQueueManager->RemoveUpload(entry);
    }
    else if (i_action == "remove_download")
        DeleteSelectedDownloads();
    else if (i_action == "dl_add_user")
    {
        for (QTreeWidgetItem* row : mp_ui->downloadsList->selectedItems())
        {
            Item* userNode = nullptr;
            if (KindOf(m_downloads, GetDownloadNodeUserNode(row), &userNode) == UserRow)
                ItemPtr(userNode)["user"].NewItem("in_user_list");
        }
    }
    else if (i_action == "complete_downloads")
    {
        if (!completeDownloadsForm)
        {
            auto* view = new CompleteDownloadsForm(this);
            mp_ui->transfersTabControl->addTab(view, tr("Complete"));
            view->Init();
        }
        completeDownloadsForm->setVisible(true);
        mp_ui->transfersTabControl->setCurrentWidget(completeDownloadsForm);
    }
}

void TransfersForm::DeleteSelectedDownloads()
{
    if (!transferQueueManager)
        return;
    for (QTreeWidgetItem* row : mp_ui->downloadsList->selectedItems())
    {
        if (KindOf(m_downloads, row) == NoRow)
            continue;
        // The entries first: every removal may delete this row.
        std::vector<Item*> entries;
        EntriesOf(m_downloads, row, entries);
        Data::Operation op(d);
        for (Item* entry : entries)
            if (!entry->IsRemoved())
                transferQueueManager->RemoveDownload(entry);
        return;
    }
}

void TransfersForm::OnKeyPressedInDownloadList(QKeyEvent* ip_event)
{
    if (ip_event && ip_event->key() == Qt::Key_Delete)
        DeleteSelectedDownloads();
}

void TransfersForm::OnDownloadListItemDoubleClicked(QTreeWidgetItem* ip_item, int)
{
    Item* node = nullptr;
    if (KindOf(m_downloads, ip_item, &node) != EntryRow || !transferQueueManager)
        return;
    if (ItemPtr entry = ItemPtr(node)["download_entry"])
        OpenLocalPath(transferQueueManager->GetDownloadTargetPath(entry, true));
}

void TransfersForm::OnDownloadsContextMenuRequested(QPoint i_point)
{
    QTreeWidget* tree = mp_ui->downloadsList;
    // A copy taken now: the menu runs on while entries come and go.
    const ItemSet entries = GetNodeDownloadEntryItems(tree->itemAt(i_point));
    PopupUserMenu(
        tree, i_point, [this](QTreeWidgetItem* ip_row) { return UserNameOf(m_downloads, ip_row); },
        [entries](QMenu* ip_menu) { new DownloadMenuOptions(ip_menu, entries, ip_menu); });
}

void TransfersForm::OnUploadsContextMenuRequested(QPoint i_point)
{
    PopupUserMenu(mp_ui->uploadsList, i_point,
                  [this](QTreeWidgetItem* ip_row) { return UserNameOf(m_uploads, ip_row); });
}

std::string TransfersForm::UserNameOf(const Side& i_side, QTreeWidgetItem* ip_row) const
{
    Item* userNode = nullptr;
    if (KindOf(i_side, UserRowOf(i_side, ip_row), &userNode) != UserRow)
        return std::string();
    return ItemPtr(userNode)["user"].AsString();
}

// ---------------------------------------------------------------- settings and housekeeping

void TransfersForm::OnClearDownloadsCheckStateChanged(int i_state)
{
    if (i_state == Qt::Checked)
        SetSetting(kClearDownloads, "yes");
    else if (i_state == Qt::Unchecked)
        ClearSetting(kClearDownloads);
}

void TransfersForm::OnClearUploadsCheckStateChanged(int i_state)
{
    if (i_state == Qt::Checked)
        SetSetting(kClearUploads, "yes");
    else if (i_state == Qt::Unchecked)
        ClearSetting(kClearUploads);
}

void TransfersForm::EveryHalfMinute()
{
    ClearIdleUploads(QDateTime::currentDateTime());
}

void TransfersForm::ClearIdleUploads(const QDateTime& i_now)
{
    if (!IsSettingYes(kClearUploads) || !transferQueueManager)
        return;
    const ItemSet uploads = AllItems("upload_entry");
    Data::Operation op(d);
    for (Item* upload : uploads)
    {
        if (upload->IsRemoved())
            continue;
        ItemPtr entry(upload);
        if (entry["upload_entry_status"].AsString() == "queued")
            continue;
        ItemPtr changed = entry["last_status_change_time"];
        const QDateTime* receipt = LiveCounter<QDateTime>(upload, d->HasType("last_receipt_time"));
        if (!changed && !receipt)
            continue;
        QDateTime last = QDateTime::fromString(FromLatin1(changed.AsString()), Qt::TextDate);
        if (receipt && (!last.isValid() || *receipt > last))
            last = *receipt;
        if (last.isValid() && last.msecsTo(i_now) >= kIdleUploadMs)
            transferQueueManager->RemoveUpload(upload);
    }
}

void TransfersForm::OnItemExpanded(QTreeWidgetItem* ip_item)
{
    Side* side = SideOf(ip_item);
    const RowKind kind = side ? KindOf(*side, ip_item) : NoRow;
    if (kind != UserRow && kind != FolderRow)
        return;
    // An open group shows its figures on the rows below it.
    ClearBar(ip_item, kProgress);
    for (int column : {kStatus, kTimeLeft, kSpeed})
        ip_item->setText(column, QString());
}

void TransfersForm::OnItemCollapsed(QTreeWidgetItem* ip_item)
{
    Side* side = SideOf(ip_item);
    const RowKind kind = side ? KindOf(*side, ip_item) : NoRow;
    if (kind != UserRow && kind != FolderRow)
        return;
    std::vector<Item*> entries;
    EntriesOf(*side, ip_item, entries);
    ip_item->setText(kStatus, FromLatin1(AggregateStatus(*side, entries)));
}

void TransfersForm::OnUploadSlotsSpinValueChanged(int i_value)
{
    if (transferQueueManager)
        transferQueueManager->SetUploadSlots(i_value);
}

void TransfersForm::OnUploadSpeedLimitSpinValueChanged(int i_value)
{
    // Checking or unchecking runs the box's own handler first.
    mp_ui->uploadLimitCheckBox->setChecked(i_value != 0);
    if (transferQueueManager)
        transferQueueManager->SetUploadSpeedLimit(i_value);
}

void TransfersForm::OnUploadSpeedLimitCheckStateChanged(int i_state)
{
    if (!transferQueueManager)
        return;
    if (i_state == Qt::Checked)
        transferQueueManager->EnableUploadSpeedLimit(true);
    else if (i_state == Qt::Unchecked)
        transferQueueManager->EnableUploadSpeedLimit(false);
}
