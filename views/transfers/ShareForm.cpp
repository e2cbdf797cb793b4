#include "ShareForm.h"
#include "ui_ShareForm.h"

#include "ActionSetToolBar.h"
#include "EventToolBar.h"
#include "FilterHelpDialog.h"
#include "FilterParser.h"
#include "GeneralFunctions.h"
#include "HeapMemory.h"
#include "LiveAddresses.h"
#include "PeerMessenger.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "TextConversion.h"
#include "TransferQueueManager.h"

#include <QHeaderView>
#include <QShowEvent>
#include <QTreeWidget>

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

const char* const ShareForm::kPortTestUrl = "https://tools.tavrinel.net/porttest.php?port=%1";

namespace
{
const char* const kBrowseIcon = ":/icons/browse_icon";

std::string FolderPath(ItemPtr i_folder)
{
    return i_folder["user_share_folder_name"].AsString();
}

// File names are shown as UTF-8, so the filter sees them the same way.
QString FileNameText(Item* ip_file, Type* ip_nameType)
{
    Item* name = ip_file->GetItem(ip_nameType);
    return name ? FromUtf8(name->GetValue()) : QString();
}

// The share's folders with their paths, in byte order of the paths: a
// parent path sorts before its subfolders. The paths are the name items'
// own, not copies.
std::vector<std::pair<std::string_view, Item*>> FoldersByPath(ItemPtr i_share)
{
    Type* nameType = T("user_share_folder_name");
    std::vector<std::pair<std::string_view, Item*>> folders;
    const ItemSet items = i_share.GetItems("user_share_folder");
    folders.reserve(items.size());
    for (Item* folder : items)
    {
        Item* name = folder->GetItem(nameType);
        folders.emplace_back(name ? std::string_view(name->GetValue()) : std::string_view(), folder);
    }
    std::sort(folders.begin(), folders.end(),
              [](const auto& i_a, const auto& i_b) { return i_a.first < i_b.first; });
    return folders;
}

int Depth(std::string_view i_path)
{
    return int(std::count(i_path.begin(), i_path.end(), '\\'));
}

// The folder of the same share whose path is the folder's parent path: the
// shared-files manager links the two when it stores the share.
Item* ParentFolder(Item* ip_folder, Type* ip_upType, Type* ip_downType, Type* ip_folderType)
{
    Item* up = ip_folder->GetItem(ip_upType);
    Item* down = up ? up->GetItem(ip_downType) : nullptr;
    return down ? down->GetItem(ip_folderType) : nullptr;
}
}

ShareForm::ShareForm(std::string i_user, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui::ShareForm), m_user(std::move(i_user))
{
    mp_ui->setupUi(this);
    mp_ui->folderTree->setVisible(false);
    mp_ui->fileList->setVisible(false);
    mp_ui->filterEdit->setVisible(false);
    mp_ui->filterHelpButton->setVisible(false);

    connect(mp_ui->folderTree, &QTreeWidget::currentItemChanged, this, &ShareForm::OnCurrentItemChanged);
    connect(mp_ui->fileList, &QTreeWidget::currentItemChanged, this, &ShareForm::OnFileItemChanged);
    connect(mp_ui->filterEdit, &QLineEdit::textChanged, this, &ShareForm::OnFilterTextChanged);
    connect(mp_ui->filterHelpButton, &QPushButton::clicked, this, &ShareForm::OnFilterHelpClicked);

    mp_ui->folderTree->setHeaderLabels({tr("Folder")});
    if (actionBar)
    {
        actionBar->RegisterWidget(mp_ui->folderTree, QStringLiteral("share_folders"));
        actionBar->RegisterWidget(mp_ui->fileList, QStringLiteral("share_files"));
    }
    mp_ui->fileList->setHeaderLabels({tr("File"), tr("Size"), tr("Attributes")});
    mp_ui->fileList->setColumnWidth(0, 200);
    mp_ui->fileList->setColumnWidth(1, 70);
    mp_ui->fileList->header()->setStretchLastSection(true);
    mp_ui->folderTree->setSortingEnabled(false);
    mp_ui->fileList->setSortingEnabled(false);
    // Every row is one line of text: the views then never measure rows one
    // by one, which on a share of many thousand folders stalls scrolling.
    mp_ui->folderTree->setUniformRowHeights(true);
    mp_ui->fileList->setUniformRowHeights(true);

    ListLiveUntilDestroyed(this);
    ItemPtr tab = T("user_share_tab")->GetItem(Value(this));
    tab += T("user")->GetItem(m_user);

    mp_ui->messageBrowser->append(tr("Requesting file list..."));

    if (peerMessenger)
        connect(peerMessenger, &PeerMessenger::ConnectionToUserFailed, this, &ShareForm::OnConnectionToUserFailed);
}

ShareForm::~ShareForm()
{
    DisableHandlers();
    if (eventToolBar)
    {
        eventToolBar->RemoveEvent(mp_ui->messageBrowser);
        eventToolBar->RemoveEvent(mp_ui->folderTree);
    }
    // No node item may outlive its row: a later row at the same address
    // would find it. The folder rows' nodes went with the share if it was
    // removed.
    ClearFileRows();
    ClearFolderNodes();
    if (Type* tabType = d->HasType("user_share_tab"))
        if (Item* tab = tabType->HasItem(Value(this)))
            tab->Remove();
    delete mp_ui;
}

QTreeWidget* ShareForm::FolderTree() const
{
    return mp_ui->folderTree;
}

QTreeWidget* ShareForm::FileList() const
{
    return mp_ui->fileList;
}

void ShareForm::SetShare(ItemPtr i_share)
{
    // A view shows one share for its life.
    if (m_share || mp_ui->folderTree->topLevelItemCount() > 0)
    {
        if (i_share != m_share && sharedFoldersManager)
            sharedFoldersManager->RemoveUserShare(m_user);
        return;
    }
    m_settled = true;
    m_share = i_share;

    Type* nodeType = T("user_share_folder_node");
    const std::vector<std::pair<std::string_view, Item*>> folders = FoldersByPath(i_share);
    if (folders.empty())
    {
        mp_ui->messageBrowser->append(tr("No files returned. The user is either not sharing any files, or is sharing "
                                         "all of their files privately."));
        PostEvent(mp_ui->messageBrowser);
        return;
    }

    m_deepestLevel = 0;
    QTreeWidget* tree = mp_ui->folderTree;
    tree->setUpdatesEnabled(false);
    // The rows of this share by folder, with their levels.
    std::unordered_map<Item*, std::pair<QTreeWidgetItem*, int>> rows;
    rows.reserve(folders.size());
    Type* upType = T("user_share_folder_parent");
    Type* downType = T("user_share_folder_child");
    Type* folderType = T("user_share_folder");
    QList<QTreeWidgetItem*> topLevel;
    for (const auto& [path, folder] : folders)
    {
        QTreeWidgetItem* row = nullptr;
        int level = 0;
        Item* parentFolder = ParentFolder(folder, upType, downType, folderType);
        auto parent = parentFolder ? rows.find(parentFolder) : rows.end();
        if (parent != rows.end())
        {
            row = new QTreeWidgetItem(parent->second.first);
            level = parent->second.second + 1;
            m_deepestLevel = std::max(m_deepestLevel, level);
        }
        else
        {
            row = new QTreeWidgetItem;
            topLevel.append(row);
        }
        row->setText(0, FromUtf8(GetFileName(std::string(path))));
        rows.emplace(folder, std::make_pair(row, level));
        Item* node = nodeType->GetItem(Value(row));
        node->Connect(folder);
    }
    tree->addTopLevelItems(topLevel);
    if (IsSettingYes("expand_new_shares"))
        tree->expandAll();
    tree->setUpdatesEnabled(true);

    if (actionBar)
        connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &ShareForm::OnActionBarTriggered,
                Qt::UniqueConnection);
    m_expandLevel = 0;
    AddHandler(T("user_share")->itemRemoved, this, &ShareForm::OnShareRemoved);

    mp_ui->messageBrowser->setVisible(false);
    mp_ui->folderTree->setVisible(true);
    mp_ui->fileList->setVisible(true);
    mp_ui->filterEdit->setVisible(true);
    mp_ui->filterHelpButton->setVisible(true);
    PostEvent(mp_ui->folderTree);
}

void ShareForm::OnShareRemoved(Item* ip_share)
{
    if (m_share != ip_share)
        return;
    // Called before the share's connections go: whatever folders it still
    // holds lead to the rows' nodes.
    ClearFolderNodes();
    m_share = ItemPtr();
}

void ShareForm::Delete()
{
    // A list still awaited is no longer wanted.
    if (!m_settled && peerMessenger)
        peerMessenger->CancelShareListRequest(m_user);
    m_share = ItemPtr();
    // Pending events name widgets that are about to go.
    if (eventToolBar)
    {
        eventToolBar->RemoveEvent(mp_ui->messageBrowser);
        eventToolBar->RemoveEvent(mp_ui->folderTree);
    }
    // Hundreds of thousands of small blocks are freed here, the rows' and
    // the store's: merged as they go, not all at once on a later request.
    const heapmemory::MergeFreedBlocksAtOnce merging;
    // Takes the folder rows' nodes with the share.
    if (sharedFoldersManager)
        sharedFoldersManager->RemoveUserShare(m_user);
    // The destructor removes the tab item and any node item left.
    delete this;
}

void ShareForm::ClearFileRows()
{
    QTreeWidget* list = mp_ui->fileList;
    if (Type* nodeType = d->HasType("user_share_file_node"))
    {
        for (int k = 0, n = list->topLevelItemCount(); k < n; ++k)
            if (Item* node = nodeType->HasItem(Value(list->topLevelItem(k))))
                node->Remove();
    }
    list->clear();
}

void ShareForm::ClearFolderNodes()
{
    // Each folder of the share holds its row's node.
    Type* nodeType = d->HasType("user_share_folder_node");
    if (!m_share || !nodeType)
        return;
    for (Item* folder : m_share.GetItems("user_share_folder"))
        if (Item* node = folder->GetItem(nodeType))
            node->Remove();
}

ItemPtr ShareForm::FolderOfRow(QTreeWidgetItem* ip_row) const
{
    if (!ip_row)
        return ItemPtr();
    Item* node = T("user_share_folder_node")->HasItem(Value(ip_row));
    return node ? node->GetItem("user_share_folder") : nullptr;
}

ItemPtr ShareForm::FileOfRow(QTreeWidgetItem* ip_row) const
{
    if (!ip_row)
        return ItemPtr();
    Item* node = T("user_share_file_node")->HasItem(Value(ip_row));
    return node ? node->GetItem("user_share_file") : nullptr;
}

void ShareForm::OnCurrentItemChanged(QTreeWidgetItem* ip_current, QTreeWidgetItem*)
{
    ClearFileRows();
    ItemPtr folder = FolderOfRow(ip_current);
    if (!folder)
        return;

    FilterParser filter;
    filter.Parse(mp_ui->filterEdit->text());
    // Words found in the folder names on the path count for its files.
    for (QTreeWidgetItem* row = ip_current; row; row = row->parent())
    {
        FilterParser rest;
        filter.IsMatching(row->text(0), &rest, ItemPtr());
        filter = rest;
    }

    Type* fileType = T("user_share_file");
    Type* nameType = T("user_share_file_name");
    Type* sizeType = T("file_size");
    Type* nodeType = T("user_share_file_node");
    QList<QTreeWidgetItem*> rows;
    for (Item* file : folder->GetItems(fileType))
    {
        const QString name = FileNameText(file, nameType);
        if (filter.IsMatching(name, nullptr, file) != 0)
            continue;
        auto* row = new QTreeWidgetItem;
        row->setText(0, name);
        Item* size = file->GetItem(sizeType);
        row->setText(1, CommafyNumber(size ? size->AsInt64() : 0));
        if (sharedFoldersManager)
            row->setText(2, sharedFoldersManager->GetFileItemDisplayString(file));
        nodeType->GetItem(Value(row))->Connect(file);
        rows.append(row);
    }
    mp_ui->fileList->addTopLevelItems(rows);
}

void ShareForm::OnFileItemChanged(QTreeWidgetItem*, QTreeWidgetItem*) {}

void ShareForm::OnFilterTextChanged(QString i_text)
{
    FilterParser filter;
    filter.Parse(i_text);
    QTreeWidget* tree = mp_ui->folderTree;
    for (int k = 0; k < tree->topLevelItemCount(); ++k)
        FilterFolderNode(tree->topLevelItem(k), filter);

    QTreeWidgetItem* current = tree->currentItem();
    if (!current)
        return;
    for (QTreeWidgetItem* row = current; row; row = row->parent())
    {
        if (row->isHidden())
        {
            ClearFileRows();
            return;
        }
    }
    OnCurrentItemChanged(current, current);
}

bool ShareForm::FilterFolderNode(QTreeWidgetItem* ip_node, FilterParser& i_filter)
{
    FilterParser rest;
    const int result = i_filter.IsMatching(ip_node->text(0), &rest, ItemPtr());
    if (result == 2)
    {
        ip_node->setHidden(true);
        return false;
    }
    bool visible = !(rest.HasAttributes() || result != 0 || rest.MinFilesInFolder() != 0);
    if (!visible)
    {
        int wanted = std::max(1, rest.MinFilesInFolder());
        if (ItemPtr folder = FolderOfRow(ip_node))
        {
            Type* nameType = T("user_share_file_name");
            for (Item* file : folder.GetItems("user_share_file"))
            {
                if (rest.IsMatching(FileNameText(file, nameType), nullptr, file) == 0 && --wanted == 0)
                {
                    visible = true;
                    break;
                }
            }
        }
    }
    for (int k = 0; k < ip_node->childCount(); ++k)
        if (FilterFolderNode(ip_node->child(k), rest))
            visible = true;
    ip_node->setHidden(!visible);
    return visible;
}

void ShareForm::OnActionBarTriggered(std::string i_action)
{
    // Every browse tab hears the toolbar; the one on screen acts.
    if (!sharesForm || sharesForm->CurrentShareForm() != this)
        return;
    if (i_action == "download_share_folder")
    {
        for (QTreeWidgetItem* row : mp_ui->folderTree->selectedItems())
            if (ItemPtr folder = FolderOfRow(row))
                DownloadFolder(folder, false);
    }
    else if (i_action == "download_share_file")
    {
        for (QTreeWidgetItem* row : mp_ui->fileList->selectedItems())
        {
            ItemPtr file = FileOfRow(row);
            if (!file)
                continue;
            QueueFile(file, file["user_share_folder"], 0);
        }
    }
}

TransferQueueManager::DownloadRequest ShareForm::RequestFor(ItemPtr i_file, ItemPtr i_folder, int i_level) const
{
    ItemPtr userItem = i_folder["user_share"]["user"];
    return {userItem ? userItem.AsString() : m_user, i_file["user_share_file_name"].AsString(), FolderPath(i_folder),
            i_file["file_size"].AsInt64(), i_level};
}

void ShareForm::QueueFile(ItemPtr i_file, ItemPtr i_folder, int i_level)
{
    if (!transferQueueManager || !i_folder)
        return;
    const TransferQueueManager::DownloadRequest request = RequestFor(i_file, i_folder, i_level);
    transferQueueManager->AddDownload(request.user, request.fileName, request.remoteFolder, request.size,
                                      request.subfolderSaveLevel);
}

void ShareForm::DownloadFolder(ItemPtr i_folder, bool i_subfolder)
{
    ItemPtr share = i_folder["user_share"];
    if (!share || !transferQueueManager)
        return;
    // Every folder at or below the chosen path, also those the tree shows
    // elsewhere because their parent was not listed; each level counts the
    // folders between, so the files arrive as the tree the peer listed.
    // Queued as one: a folder may hold a hundred thousand files.
    const std::string chosen = FolderPath(i_folder);
    const std::string prefix = chosen + "\\";
    const int base = Depth(chosen) - (i_subfolder ? 1 : 0);
    std::vector<TransferQueueManager::DownloadRequest> requests;
    for (const auto& [path, folder] : FoldersByPath(share))
    {
        if (folder != i_folder.Get() && path.compare(0, prefix.size(), prefix) != 0)
            continue;
        const int level = Depth(path) - base;
        for (Item* file : folder->GetItems("user_share_file"))
            requests.push_back(RequestFor(file, folder, level));
    }
    transferQueueManager->AddDownloads(requests);
}

void ShareForm::ExpandLevel()
{
    if (m_expandLevel >= m_deepestLevel)
        return;
    mp_ui->folderTree->expandToDepth(m_expandLevel);
    ++m_expandLevel;
    if (actionBar)
        actionBar->SetWidgetActionText(mp_ui->folderTree, QStringLiteral("expand_level"),
                                       tr("Expand Level [%1]").arg(m_expandLevel));
}

void ShareForm::CollapseAll()
{
    mp_ui->folderTree->collapseAll();
    m_expandLevel = 0;
    if (actionBar)
        actionBar->SetWidgetActionText(mp_ui->folderTree, QStringLiteral("expand_level"), tr("Expand Level"));
}

void ShareForm::ExpandAll()
{
    mp_ui->folderTree->expandAll();
    m_expandLevel = 0;
    if (actionBar)
        actionBar->SetWidgetActionText(mp_ui->folderTree, QStringLiteral("expand_level"), tr("Expand Level"));
}

void ShareForm::OnConnectionToUserFailed(std::string i_user, std::string i_connectionType)
{
    if (m_settled || i_user != m_user || i_connectionType != "P")
        return;
    m_settled = true;
    const QString link = QString::fromLatin1(kPortTestUrl).arg(ParseDecimal(GetSetting("listening_port")));
    mp_ui->messageBrowser->append(
        tr("A connection could not be successfully formed to the user. If this is happening to you a lot, "
           "<a href=\"%1\">Check here</a> to make sure that your port is open.")
            .arg(link));
    PostEvent(mp_ui->messageBrowser);
}

void ShareForm::OnFilterHelpClicked()
{
    ShowFilterHelp(this);
}

void ShareForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvent(mp_ui->folderTree);
}

void ShareForm::PostEvent(QWidget* ip_widget)
{
    if (eventToolBar)
        eventToolBar->AddEvent(FromName(m_user), QString::fromLatin1(kBrowseIcon), ip_widget);
}
