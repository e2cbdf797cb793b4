#include "SearchForm.h"
#include "ui_SearchForm.h"

#include "ActionSetToolBar.h"
#include "DataSaver.h"
#include "DelayedInvoker.h"
#include "EventToolBar.h"
#include "FilterParser.h"
#include "FocusFunctions.h"
#include "HeapMemory.h"
#include "ListedTreeItem.h"
#include "LiveAddresses.h"
#include "NameCells.h"
#include "PeerMessenger.h"
#include "SearchResultListItem.h"
#include "SearchResultsForm.h"
#include "SharedFoldersManager.h"
#include "ShownNames.h"
#include "SizeManager.h"
#include "StoreLookup.h"
#include "TextConversion.h"
#include "TransferQueueManager.h"
#include "UserMenuOptions.h"
#include "server.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QIcon>
#include <QLineEdit>
#include <QSplitter>
#include <QTimer>

#include <algorithm>
#include <cstdint>
#include <unordered_map>

namespace
{
const char* kResultsWidget = "search_results_widget";
const char* kUserNode = "search_results_user_node";
const char* kFolderNode = "search_results_folder_node";
const char* kResultNode = "search_result_node";
const char* kResultsSet = "search_results";
const char* kWishListSet = "wish_list";
const char* kWishItem = "wish_list_item";
const char* kWishEnabled = "wish_list_item_enabled";
const char* kWishNode = "wish_list_node";
const char* kWishCheckbox = "wish_list_node_checkbox";
// The width the wish list starts with beside the wish-list tabs.
const int kWishListWidth = 200;

const int kColumnCount = 7;
const int kFolderColumn = 3;
const int kFileColumn = 4;
const int kAttributesColumn = 6;

// A row is named in the store by its address.
Value RowValue(const QTreeWidgetItem* ip_row)
{
    return Value(ip_row);
}

// Null once the row is gone.
template <class Row = QTreeWidgetItem>
Row* RowOf(const Item* ip_node)
{
    return static_cast<Row*>(LiveObject<QTreeWidgetItem>(ip_node));
}

// Touches the view only when the row's state changes: a re-filter that
// leaves most rows as they were costs no relayout for them.
void SetShown(QTreeWidgetItem* ip_row, bool i_shown)
{
    static_cast<SearchResultListItem*>(ip_row)->SetShown(i_shown);
}

bool IsShown(const QTreeWidgetItem* ip_row)
{
    return static_cast<const SearchResultListItem*>(ip_row)->IsShown();
}

// The one item of a type linked to both items; null when none.
Item* LinkedToBoth(Item* ip_a, Item* ip_b, const char* ip_typeName)
{
    ItemSet both(ip_a);
    both.insert(ip_b);
    return d->GetItemSubset(both, ip_typeName).First();
}
}

SearchForm::SearchForm(QWidget* ip_parent) : QWidget(ip_parent), mp_ui(new Ui::SearchForm)
{
    mp_ui->setupUi(this);
    mp_ui->wishList->setHeaderLabels({tr("Wish List Item")});
}

SearchForm::~SearchForm()
{
    DisableHandlers();
    if (dataSaver)
        dataSaver->RemoveDataLoadedEventHandler(this);
    delete mp_ui;
}

void SearchForm::Init()
{
    connect(gp_server, &Server::SearchRequested, this, &SearchForm::OnSearchRequest);
    connect(peerMessenger, &PeerMessenger::SearchResults, this, &SearchForm::OnUserSearchResults);

    // ---- store schema of the search views
    Type* resultsWidget = MakeType(kResultsWidget, true, false, true);
    Relate(resultsWidget, T("search_request"), One, Many);
    Relate(resultsWidget, T("wish_list_item"), One, One);
    Type* expandFolders = MakeType("expand_folders", false, false, true);
    Type* expandUsers = MakeType("expand_users", false, false, true);
    Relate(resultsWidget, expandFolders, Many, One);
    Relate(resultsWidget, expandUsers, Many, One);
    Type* userNode = MakeType(kUserNode, false, false, true);
    Type* folderNode = MakeType(kFolderNode, false, false, true);
    Type* resultNode = MakeType(kResultNode, false, false, true);
    Relate(resultsWidget, userNode, One, Many, true);
    Relate(userNode, T("user"), Many, One);
    Relate(userNode, folderNode, One, Many, true);
    Relate(folderNode, T("search_result_file_folder"), Many, One);
    Relate(resultNode, T("search_result"), One, One);
    Relate(resultNode, folderNode, Many, One);

    AddHandler(T("wish_list_item")->itemRemoved, this, &SearchForm::OnWishListItemRemoved);

    connect(mp_ui->searchTabControl, &QTabWidget::tabCloseRequested, this, &SearchForm::OnTabCloseRequested);
    connect(mp_ui->wishListTabControl, &QTabWidget::tabCloseRequested, this, &SearchForm::OnWishTabCloseRequested);
    connect(actionBar, &ActionSetToolBar::ActionTriggered, this, &SearchForm::OnActionBarTriggered);

    const char* transferIcon = ":/icons/transfer_icon";
    const char* searchIcon = ":/icons/search_icon";
    const char* wishIcon = ":/icons/wishlist_icon";
    actionBar->AddSetAction(kResultsSet, "download_search_results_file", "Download File", transferIcon, false);
    actionBar->AddSetAction(kResultsSet, "download_search_results_folder", "Download Folder", transferIcon, false);
    actionBar->AddSetAction(kResultsSet, "order_by_available", "Order by Available", searchIcon, false);
    actionBar->AddSetAction(kResultsSet, "order_by_fastest", "Order by Fastest", searchIcon, false);
    actionBar->AddSetAction(kResultsSet, "expand_folders", "Expand Folders", searchIcon, false);
    actionBar->AddSetAction(kResultsSet, "expand_users", "Expand Users", searchIcon, false);
    actionBar->AddSetAction(kResultsSet, "add_remove_wishlist", "Add to Wishlist", wishIcon, false);

    QTreeWidget* wishList = mp_ui->wishList;
    wishList->setColumnCount(2);
    wishList->setColumnWidth(0, 20);
    wishList->header()->setSectionResizeMode(QHeaderView::Fixed);
    wishList->setHeaderLabels({QString(), tr("Wish List Search")});

    Type* wishNode = MakeType("wish_list_node", true, false, true);
    Type* wishCheckbox = MakeType("wish_list_node_checkbox", true, false, true);
    Relate(T("wish_list_item"), wishNode, One, One);
    Relate(wishNode, wishCheckbox, One, One);

    actionBar->AddSetAction(kWishListSet, "remove_wish_list_item", "Remove Wish List Search", wishIcon, false);
    actionBar->AddSetAction(kWishListSet, "enable_all_wish_list_items", "Enable All Wish List Searches", wishIcon, false);
    actionBar->AddSetAction(kWishListSet, "disable_all_wish_list_items", "Disable All Wish List Searches", wishIcon,
                            false);
    actionBar->RegisterWidget(wishList, kWishListSet);
    wishList->setSortingEnabled(true);
    wishList->sortByColumn(1, Qt::AscendingOrder);

    // A queued download keeps the text of the search it came from.
    Relate(T("search_request_text"), T("download_entry"), One, Many);
    dataSaver->AddSavedByConnectionType("search_request_text", "download_entry");
    dataSaver->AddDataLoadedEventHandler(this);

    RegisterWidgetForTabFocus(mp_ui->searchEdit, 1);
    RegisterWidgetForTabFocus(wishList, 1);

    MakeType("saved_filter", true, false, true);
    dataSaver->AddSavedType("saved_filter");
}

void SearchForm::DataLoaded()
{
    for (Item* item : AllItems(kWishItem))
        OnWishListItemAdded(item);

    QSplitter* splitter = mp_ui->searchSplitter;
    QList<int> sizes = splitter->sizes();
    if (sizes.size() >= 2)
    {
        sizes[0] = std::max(0, width() - kWishListWidth);
        sizes[1] = kWishListWidth;
        splitter->setSizes(sizes);
    }
    if (sizeManager)
        sizeManager->RegisterSplitter(QStringLiteral("wish_list_splitter"), splitter, sizes);
}

// ---------------------------------------------------------------- searching

void SearchForm::OnSearchEntered()
{
    // Logged out the request would go nowhere, yet its tab would look like a
    // search without results: keep the line for when the client is back.
    if (!gp_server || !gp_server->IsConnected())
        return;
    gp_server->FileSearch(ToUtf8(mp_ui->searchEdit->text()), false);
    gp_server->GetSearchCorrelations(ToUtf8(mp_ui->searchEdit->text()));
    mp_ui->searchEdit->clear();
}

void SearchForm::OnSearchRequest(unsigned int i_req, std::string i_search, bool i_wishListSearch)
{
    // A wish-list run opens its tab when its first results arrive.
    if (!i_wishListSearch)
        CreateSearchForm(i_req, i_search, false);
}

void SearchForm::CreateSearchForm(unsigned int i_token, std::string i_text, bool i_wishList)
{
    ItemPtr wishItem;
    if (i_wishList)
    {
        wishItem = FindItem("wish_list_item", i_text);
        if (!wishItem)
            return;
        if (ItemPtr tabItem = wishItem[kResultsWidget])
        {
            if (ItemPtr request = FindItem("search_request", Value(i_token)))
                request += tabItem;
            return;
        }
    }

    auto* form = new SearchResultsForm(i_text, i_wishList, this);
    ListLiveUntilDestroyed(form);
    QTreeWidget* tree = form->searchResults();
    tree->setColumnCount(kColumnCount);
    QHeaderView* header = tree->header();
    header->setStretchLastSection(false);
    const int widths[] = {100, 40, 40, 150, 170, 70};
    for (int column = 0; column < 6; ++column)
        tree->setColumnWidth(column, widths[column]);
    header->setSectionsMovable(false);
    tree->setHeaderLabels({tr("User"), tr("Free"), tr("K/s"), tr("Folder"), tr("File"), tr("Size"), tr("Attributes")});
    header->setSectionsClickable(false);
    // Every row is one line of text: the view then never measures rows one
    // by one, which on a tree of many thousand rows would stall scrolling.
    tree->setUniformRowHeights(true);
    tree->expandAll();

    // Shown as typed, of bounded width.
    const QString title = FromUtf8(i_text);
    if (i_wishList)
        AddNameTab(mp_ui->wishListTabControl, form, QIcon(QStringLiteral(":/icons/wishlist_icon")), title);
    else
        AddNameTab(mp_ui->searchTabControl, form, QIcon(QStringLiteral(":/icons/search_icon")), title);

    QWidget* page = form;
    ItemPtr tabItem = T(kResultsWidget)->GetItem(Value(page));
    if (ItemPtr request = FindItem("search_request", Value(i_token)))
        tabItem += request;
    if (i_wishList)
    {
        tabItem += wishItem;
        if (eventToolBar)
            eventToolBar->AddEvent(FromUtf8(i_text), QStringLiteral(":/icons/wishlist_icon"), form);
    }

    connect(tree, &QTreeWidget::itemDoubleClicked, this, &SearchForm::OnResultDoubleClicked);

    actionBar->RegisterWidget(form, kResultsSet);
    actionBar->AddWidgetKey(form, QStringLiteral("widget"), FromLatin1(Value(page).Text()));
    if (i_wishList)
        actionBar->SetWidgetActionText(form, QStringLiteral("add_remove_wishlist"), tr("Remove from Wish List"));
    actionBar->SetWidgetActionText(form, QStringLiteral("order_by_available"), tr("Order by Available [on]"));
    actionBar->SetWidgetActionText(form, QStringLiteral("order_by_fastest"), tr("Order by Fastest"));
    actionBar->SetWidgetActionText(form, QStringLiteral("expand_folders"), tr("Expand Folders [on]"));
    actionBar->SetWidgetActionText(form, QStringLiteral("expand_users"), tr("Expand Users [on]"));

    tabItem += T("expand_folders")->GetItem("yes");
    tabItem += T("expand_users")->GetItem("yes");

    form->SetSortingParamters(1, Qt::DescendingOrder);
    // A wish-list tab announces itself through its event instead.
    if (!i_wishList)
        FocusWidget(tree);

    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree, &QWidget::customContextMenuRequested, this, &SearchForm::OnSearchResultsContextMenuRequested);
    connect(form->filterEdit(), &QLineEdit::textChanged, this, &SearchForm::OnFilterTextChanged);

    // Every result tree shares the user's column widths.
    if (sizeManager)
        sizeManager->RegisterTreeWidget(QStringLiteral("search_results"), tree);

    form->Init();
    connect(form->CorrelationsWidget(), &QTreeWidget::itemClicked, this, &SearchForm::OnCorrelationClicked);
}

SearchResultsForm* SearchForm::GetCurrentSearchResultsForm()
{
    if (mp_ui->searchTabControl->isVisible())
        return qobject_cast<SearchResultsForm*>(mp_ui->searchTabControl->currentWidget());
    if (mp_ui->wishListTabControl->isVisible())
        return qobject_cast<SearchResultsForm*>(mp_ui->wishListTabControl->currentWidget());
    return nullptr;
}

void SearchForm::OnCorrelationClicked(QTreeWidgetItem* ip_item, int)
{
    if (ip_item)
        mp_ui->searchEdit->setText(ip_item->text(0));
}

// ---------------------------------------------------------------- closing

void SearchForm::OnTabCloseRequested(int i_tabIndex)
{
    CloseTab(mp_ui->searchTabControl, i_tabIndex);
}

void SearchForm::OnWishTabCloseRequested(int i_tabIndex)
{
    CloseTab(mp_ui->wishListTabControl, i_tabIndex);
}

void SearchForm::CloseTab(QTabWidget* ip_tabs, int i_tabIndex)
{
    QWidget* page = ip_tabs->widget(i_tabIndex);
    if (!page)
        return;
    ItemPtr tabItem = FindItem(kResultsWidget, Value(page));
    if (!tabItem)
        return;
    const ItemSet requests = tabItem.GetItems("search_request");
    const heapmemory::MergeFreedBlocksAtOnce merging;
    tabItem.Remove();
    ip_tabs->removeTab(i_tabIndex);
    // Its pending sort, if any, is forgotten with it.
    delete page;
    for (Item* request : requests)
    {
        ItemPtr(request).GetItems(kResultsSet).Remove();
        request->Remove();
    }
    // The rows' node items, the results of the removed replies.
    d->RemoveDisconnectedItems();
    // The heap keeps what the tab freed; the system gets it back, after
    // the close.
    heapmemory::ReturnFreeMemorySoon();
}

// ---------------------------------------------------------------- results

SearchResultsForm* SearchForm::TabOf(ItemPtr i_tabItem) const
{
    if (!i_tabItem)
        return nullptr;
    // Only a tab still shown: a closed one may wait for its deletion.
    QWidget* page = LiveObject<QWidget>(i_tabItem);
    for (QTabWidget* tabs : {mp_ui->searchTabControl, mp_ui->wishListTabControl})
        if (page && tabs->indexOf(page) >= 0)
            return qobject_cast<SearchResultsForm*>(page);
    return nullptr;
}

void SearchForm::OnUserSearchResults(ItemPtr i_searchResults)
{
    if (!i_searchResults)
        return;
    ItemPtr request = i_searchResults["search_request"];
    ItemPtr tabItem = request[kResultsWidget];
    if (!tabItem && request.IsConnected("wishlist_search"))
    {
        const std::string text = request["search_request_text"].AsString();
        ItemPtr wishItem = FindItem("wish_list_item", text);
        if (wishItem && wishItem.IsConnected("wish_list_item_enabled"))
            CreateSearchForm(static_cast<unsigned int>(request.AsUInt()), text, true);
        tabItem = request[kResultsWidget];
    }
    SearchResultsForm* tab = TabOf(tabItem);
    if (!tab)
    {
        DropReply(i_searchResults);
        return;
    }
    AddResults(tab, tabItem, i_searchResults, i_searchResults.GetItems("search_result"));
    // A burst of replies is sorted once, a second after its first reply.
    if (delayedInvoker)
        delayedInvoker->Invoke(tab, "1Sort()", 1000);
}

void SearchForm::DropReply(ItemPtr i_reply)
{
    // Nothing can show it, yet it would stay all run. Other receivers of the
    // signal may still read it, so it goes once the signal is over.
    const std::string request = i_reply["search_request"].AsString();
    const uint64_t serial = i_reply->Serial();
    QTimer::singleShot(0, this, [request, serial] {
        for (Item* reply : FindItem("search_request", request).GetItems(kResultsSet))
            if (reply->Serial() == serial)
            {
                ItemPtr(reply).GetItems("search_result").Remove();
                reply->Remove();
                return;
            }
    });
}

void SearchForm::OnSearchResult(ItemPtr i_tab, ItemPtr i_result)
{
    SearchResultsForm* tab = TabOf(i_tab);
    if (tab && i_result)
        AddResults(tab, i_tab, i_result[kResultsSet], ItemSet(i_result));
}

void SearchForm::AddResults(SearchResultsForm* ip_tab, ItemPtr i_tabItem, ItemPtr i_reply, const ItemSet& i_results)
{
    ItemPtr user = i_reply["user"];
    if (i_results.empty() || !user)
        return;
    Type* userNodes = T(kUserNode);
    Type* folderNodes = T(kFolderNode);
    Type* resultNodes = T(kResultNode);
    Type* folderType = T("search_result_file_folder");
    Type* nameType = T("search_result_file_name");
    Type* sizeType = T("file_size");

    // The user row: found once for the whole reply.
    ItemPtr userNode = LinkedToBoth(i_tabItem, user, kUserNode);
    SearchResultListItem* userRow = nullptr;
    const bool newUser = !userNode;
    if (newUser)
    {
        userRow = new SearchResultListItem;
        userRow->SetUser(user.AsString(), i_reply["search_results_user_available"].AsString() == "yes",
                         i_reply["search_results_uploads_in_queue"].AsString(),
                         i_reply["search_results_user_speed"].AsUInt());
        userNode = userNodes->GetItem(RowValue(userRow));
        userNode += i_tabItem;
        userNode += user;
    }
    else
        userRow = RowOf<SearchResultListItem>(userNode);
    if (!userRow)
        return;

    // New rows are filled outside the tree and added a folder at a time, so
    // a reply costs the tree a few insertions, not one per result.
    struct FolderRows
    {
        QTreeWidgetItem* row = nullptr;
        Item* node = nullptr;
        bool isNew = false;
        QList<QTreeWidgetItem*> newFiles;
    };
    std::unordered_map<Item*, FolderRows> folders;
    std::vector<QTreeWidgetItem*> touched;
    QList<QTreeWidgetItem*> newFolders;

    for (Item* result : i_results)
    {
        Item* folder = result->GetItem(folderType);
        if (!folder)
            continue;
        auto found = folders.find(folder);
        if (found == folders.end())
        {
            FolderRows entry;
            if (!newUser)
                entry.node = LinkedToBoth(userNode, folder, kFolderNode);
            if (entry.node)
                entry.row = RowOf(entry.node);
            else
            {
                entry.row = new SearchResultListItem;
                entry.row->setText(kFolderColumn, FromUtf8(ReversePathname(folder->GetValue())));
                entry.node = folderNodes->GetItem(RowValue(entry.row));
                ItemPtr(entry.node) += userNode;
                ItemPtr(entry.node) += folder;
                entry.isNew = true;
                newFolders.append(entry.row);
            }
            touched.push_back(entry.row);
            found = folders.emplace(folder, std::move(entry)).first;
        }
        FolderRows& entry = found->second;

        auto* fileRow = new SearchResultListItem;
        fileRow->SetFileName(FromUtf8(ItemPtr(result->GetItem(nameType)).AsString()));
        fileRow->SetFileSize(ItemPtr(result->GetItem(sizeType)).AsInt64());
        const QString attributes =
            sharedFoldersManager ? sharedFoldersManager->GetFileItemDisplayString(result) : QString();
        if (!attributes.isEmpty())
            fileRow->setText(kAttributesColumn, ip_tab->SharedText(attributes));
        if (entry.isNew)
            entry.row->addChild(fileRow);
        else
            entry.newFiles.append(fileRow);

        ItemPtr fileNode = resultNodes->GetItem(RowValue(fileRow));
        fileNode += result;
        fileNode += entry.node;
    }
    if (touched.empty())
    {
        if (newUser)
        {
            userNode.Remove();
            delete userRow;
        }
        return;
    }

    for (auto& folder : folders)
        if (!folder.second.newFiles.isEmpty())
            folder.second.row->addChildren(folder.second.newFiles);
    userRow->addChildren(newFolders);
    if (newUser)
        ip_tab->searchResults()->addTopLevelItem(userRow);

    // A row the user collapsed opens again when more arrives under it.
    if (i_tabItem["expand_users"].AsString() == "yes")
        userRow->setExpanded(true);
    if (i_tabItem["expand_folders"].AsString() == "yes")
        for (QTreeWidgetItem* folderRow : touched)
            folderRow->setExpanded(true);

    ip_tab->FolderRowsGrew(touched);
    FilterFolderRows(ip_tab, touched);
}

void SearchForm::FilterFolderRows(SearchResultsForm* ip_tab, const std::vector<QTreeWidgetItem*>& i_folderRows)
{
    if (!ip_tab)
        return;
    FilterParser filter;
    filter.Parse(ip_tab->filterEdit()->text());
    Type* resultNodes = d->HasType(kResultNode);
    Type* folderNodes = d->HasType(kFolderNode);
    Type* resultType = d->HasType("search_result");
    // The results of one folder's file rows, by row: one look-up of the
    // folder's node instead of one by address per file.
    std::vector<std::pair<const QTreeWidgetItem*, Item*>> files;
    auto fileOfRow = [&](const QTreeWidgetItem* ip_row) -> ItemPtr {
        auto found = std::lower_bound(files.begin(), files.end(), std::make_pair(ip_row, static_cast<Item*>(nullptr)));
        if (found != files.end() && found->first == ip_row)
            return found->second;
        return ItemPtr(resultNodes->HasItem(RowValue(ip_row)))["search_result"];
    };

    std::vector<QTreeWidgetItem*> userRows;
    std::vector<char> matches;
    for (QTreeWidgetItem* folderRow : i_folderRows)
    {
        bool show = false;
        FilterParser rest;
        const int count = folderRow->childCount();
        matches.assign(size_t(count), 0);
        if (filter.IsMatching(folderRow->text(kFolderColumn), &rest, nullptr) != 2)
        {
            // The words the folder holds count for each of its files; the
            // files need only what is left.
            int shown = 0;
            const bool withFile = rest.HasAttributes() && resultNodes;
            if (withFile)
            {
                files.clear();
                if (Item* folderNode = folderNodes ? folderNodes->HasItem(RowValue(folderRow)) : nullptr)
                    for (Item* fileNode : folderNode->GetItems(resultNodes))
                        files.emplace_back(RowOf(fileNode), fileNode->GetItem(resultType));
                std::sort(files.begin(), files.end());
            }
            for (int k = 0; k < count; ++k)
            {
                QTreeWidgetItem* fileRow = folderRow->child(k);
                ItemPtr file;
                if (withFile)
                    file = fileOfRow(fileRow);
                const QString& name = static_cast<SearchResultListItem*>(fileRow)->FileName();
                matches[size_t(k)] = rest.IsMatching(name, nullptr, file) == 0;
                if (matches[size_t(k)])
                    ++shown;
            }
            show = shown > 0 && shown >= rest.MinFilesInFolder();
        }
        // The files of a hidden folder are hidden with it, not each on its
        // own: the view keeps a persistent index for every hidden row, which
        // costs memory and, on closing the tab, several frees.
        for (int k = 0; k < count; ++k)
            SetShown(folderRow->child(k), !show || matches[size_t(k)]);
        SetShown(folderRow, show);
        QTreeWidgetItem* userRow = folderRow->parent();
        if (userRow && (userRows.empty() || userRows.back() != userRow))
            userRows.push_back(userRow);
    }

    // A user shows while any of its folders does; its name is never matched.
    std::sort(userRows.begin(), userRows.end());
    userRows.erase(std::unique(userRows.begin(), userRows.end()), userRows.end());
    for (QTreeWidgetItem* userRow : userRows)
    {
        bool show = false;
        for (int k = 0, count = userRow->childCount(); k < count && !show; ++k)
            show = IsShown(userRow->child(k));
        SetShown(userRow, show);
    }
}

QTreeWidgetItem* SearchForm::GetNodeUserNode(QTreeWidgetItem* ip_row)
{
    if (!ip_row)
        return nullptr;
    const Value address = RowValue(ip_row);
    if (FindItem(kUserNode, address))
        return ip_row;
    if (FindItem(kFolderNode, address))
        return ip_row->parent();
    if (FindItem(kResultNode, address) && ip_row->parent())
        return ip_row->parent()->parent();
    return nullptr;
}

// ---------------------------------------------------------------- result actions

namespace
{
// The search_result behind a file row; null for any other row.
ItemPtr ResultOfRow(QTreeWidgetItem* ip_row)
{
    return FindItem(kResultNode, RowValue(ip_row))["search_result"];
}

void AddResultsOfFolder(ItemPtr i_folderNode, std::vector<Item*>& o_results)
{
    for (Item* fileNode : i_folderNode.GetItems(kResultNode))
        if (ItemPtr result = ItemPtr(fileNode)["search_result"])
            o_results.push_back(result);
}

// Each result once, by file name in byte order.
void SortByFileName(std::vector<Item*>& io_results)
{
    std::sort(io_results.begin(), io_results.end());
    io_results.erase(std::unique(io_results.begin(), io_results.end()), io_results.end());
    std::stable_sort(io_results.begin(), io_results.end(), [](Item* ip_a, Item* ip_b) {
        return ItemPtr(ip_a)["search_result_file_name"].AsString() <
               ItemPtr(ip_b)["search_result_file_name"].AsString();
    });
}

// The text of the tab's search: every request of a tab has the same one.
ItemPtr SearchTextOf(ItemPtr i_tabItem)
{
    for (Item* request : i_tabItem.GetItems("search_request"))
        if (ItemPtr text = ItemPtr(request)["search_request_text"])
            return text;
    return ItemPtr();
}
}

ItemPtr SearchForm::TabItemOf(QWidget* ip_tab) const
{
    return ip_tab ? FindItem(kResultsWidget, Value(ip_tab)) : ItemPtr();
}

void SearchForm::QueueResult(ItemPtr i_result, ItemPtr i_text)
{
    if (!i_result || !transferQueueManager)
        return;
    const std::string user = i_result[kResultsSet]["user"].AsString();
    const std::string name = i_result["search_result_file_name"].AsString();
    if (user.empty() || name.empty())
        return;
    ItemPtr entry = transferQueueManager->AddDownload(user, name, i_result["search_result_file_folder"].AsString(),
                                                      i_result["file_size"].AsInt64(), 0);
    if (entry && i_text)
        entry += i_text;
    if (QTreeWidgetItem* row = RowOf(i_result[kResultNode].Get()))
        row->setIcon(kFileColumn, QIcon(QStringLiteral(":/icons/download_icon")));
}

void SearchForm::QueueResults(std::vector<Item*> i_results, ItemPtr i_text)
{
    SortByFileName(i_results);
    for (Item* result : i_results)
        QueueResult(result, i_text);
}

void SearchForm::OnResultDoubleClicked(QTreeWidgetItem* ip_result, int)
{
    if (!ip_result)
        return;
    std::vector<Item*> results;
    const Value address = RowValue(ip_result);
    if (ItemPtr userNode = FindItem(kUserNode, address))
    {
        for (Item* folderNode : userNode.GetItems(kFolderNode))
            AddResultsOfFolder(folderNode, results);
    }
    else if (ItemPtr folderNode = FindItem(kFolderNode, address))
        AddResultsOfFolder(folderNode, results);
    else if (ItemPtr result = ResultOfRow(ip_result))
        results.push_back(result);
    if (results.empty())
        return;
    ItemPtr text = ItemPtr(results.front())[kResultsSet]["search_request"]["search_request_text"];
    QueueResults(std::move(results), text);
}

void SearchForm::ToggleExpansion(const char* ip_setting, const QString& i_label)
{
    // The toolbar names its tab by address; a tab closed since names none.
    bool ok = false;
    const unsigned long long address = actionBar->GetKey(QStringLiteral("widget")).toULongLong(&ok);
    ItemPtr tabItem = ok ? FindItem(kResultsWidget, Value(address)) : ItemPtr();
    SearchResultsForm* tab = TabOf(tabItem);
    if (!tab)
        return;
    const bool expand = tabItem[ip_setting].AsString() == "no";
    tabItem += T(ip_setting)->GetItem(expand ? "yes" : "no");
    actionBar->SetWidgetActionText(tab, QString::fromLatin1(ip_setting),
                                   i_label + (expand ? QStringLiteral(" [on]") : QStringLiteral(" [off]")));
    const bool folders = qstrcmp(ip_setting, "expand_folders") == 0;
    QTreeWidget* tree = tab->searchResults();
    for (int k = 0, users = tree->topLevelItemCount(); k < users; ++k)
    {
        QTreeWidgetItem* userRow = tree->topLevelItem(k);
        if (!folders)
            userRow->setExpanded(expand);
        else
            for (int f = 0, count = userRow->childCount(); f < count; ++f)
                userRow->child(f)->setExpanded(expand);
    }
}

void SearchForm::OrderBy(int i_column)
{
    bool ok = false;
    const unsigned long long address = actionBar->GetKey(QStringLiteral("widget")).toULongLong(&ok);
    SearchResultsForm* tab = ok ? TabOf(FindItem(kResultsWidget, Value(address))) : nullptr;
    if (!tab)
        return;
    const bool available = i_column == 1;
    actionBar->SetWidgetActionText(tab, QStringLiteral("order_by_available"),
                                   available ? tr("Order by Available [on]") : tr("Order by Available"));
    actionBar->SetWidgetActionText(tab, QStringLiteral("order_by_fastest"),
                                   available ? tr("Order by Fastest") : tr("Order by Fastest [on]"));
    tab->SetSortingParamters(i_column, Qt::DescendingOrder);
    tab->Sort();
}

void SearchForm::DownloadSelected(bool i_wholeFolders)
{
    SearchResultsForm* tab = GetCurrentSearchResultsForm();
    QTreeWidget* tree = tab ? tab->searchResults() : nullptr;
    if (!tree)
        return;
    ItemPtr text = SearchTextOf(TabItemOf(tab));
    const QList<QTreeWidgetItem*> rows = tree->selectedItems();
    if (!i_wholeFolders)
    {
        for (QTreeWidgetItem* row : rows)
            QueueResult(ResultOfRow(row), text);
        return;
    }
    std::vector<Item*> results;
    for (QTreeWidgetItem* row : rows)
    {
        const Value address = RowValue(row);
        ItemPtr folderNode = FindItem(kFolderNode, address);
        if (!folderNode)
            folderNode = FindItem(kResultNode, address)[kFolderNode];
        // A user row in the selection makes the whole choice too broad.
        if (!folderNode)
            return;
        AddResultsOfFolder(folderNode, results);
    }
    QueueResults(std::move(results), text);
}

void SearchForm::AddOrRemoveWishList()
{
    ItemPtr request = TabItemOf(GetCurrentSearchResultsForm())["search_request"];
    if (!request)
        return;
    const std::string text = request["search_request_text"].AsString();
    if (request.IsConnected("wishlist_search"))
    {
        // The tab stays, with its results.
        FindItem("wish_list_item", text).Remove();
        return;
    }
    AddWishListItem(text);
}

void SearchForm::OnActionBarTriggered(std::string i_action)
{
    if (i_action == "expand_folders")
        ToggleExpansion("expand_folders", tr("Expand Folders"));
    else if (i_action == "expand_users")
        ToggleExpansion("expand_users", tr("Expand Users"));
    else if (i_action == "order_by_available")
        OrderBy(1);
    else if (i_action == "order_by_fastest")
        OrderBy(2);
    else if (i_action == "download_search_results_file")
        DownloadSelected(false);
    else if (i_action == "download_search_results_folder")
        DownloadSelected(true);
    else if (i_action == "add_remove_wishlist")
        AddOrRemoveWishList();
    else if (i_action == "enable_all_wish_list_items")
        CheckAllWishListItems(true);
    else if (i_action == "disable_all_wish_list_items")
        CheckAllWishListItems(false);
    else if (i_action == "remove_wish_list_item")
        RemoveSelectedWishListItems();
}

void SearchForm::OnSearchResultsContextMenuRequested(QPoint i_point)
{
    auto* tree = qobject_cast<QTreeWidget*>(sender());
    if (!tree)
        return;
    PopupUserMenu(tree, i_point, [this](QTreeWidgetItem* ip_row) {
        QTreeWidgetItem* userRow = GetNodeUserNode(ip_row);
        return userRow ? NameOfCell(userRow, 0) : std::string();
    });
}

// ---------------------------------------------------------------- wish list

void SearchForm::AddWishListItem(const std::string& i_text)
{
    // An empty text would be searched for nothing, forever.
    if (i_text.empty() || FindItem(kWishItem, i_text))
        return;
    ItemPtr item = GetItem(kWishItem, i_text);
    Type* enabled = d->HasType(kWishEnabled);
    if (!item || !enabled)
        return;
    item += enabled->GetGlobalNullItem();
    OnWishListItemAdded(item);
}

void SearchForm::OnAddToWishListClicked()
{
    AddWishListItem(ToUtf8(mp_ui->searchEdit->text()));
}

void SearchForm::OnWishListItemAdded(Item* ip_item)
{
    if (!ip_item)
        return;
    QTreeWidget* wishList = mp_ui->wishList;
    auto* row = new ListedTreeItem;
    row->setText(1, FromUtf8(ip_item->GetValue()));
    row->setTextAlignment(0, Qt::AlignHCenter);
    // Set before the box is connected, so building a row toggles nothing.
    const bool enabled = ItemPtr(ip_item).IsConnected(kWishEnabled);
    row->setText(0, enabled ? QStringLiteral("Y") : QString());
    wishList->addTopLevelItem(row);
    auto* box = new QCheckBox;
    ListLiveUntilDestroyed(box);
    box->setChecked(enabled);
    wishList->setItemWidget(row, 0, box);

    ItemPtr node = GetItem(kWishNode, RowValue(row));
    node += ip_item;
    ItemPtr boxItem = GetItem(kWishCheckbox, Value(static_cast<QObject*>(box)));
    boxItem += node;
    connect(box, &QCheckBox::stateChanged, this, &SearchForm::OnWishListItemCheckStateChanged);
}

void SearchForm::OnWishListItemRemoved(Item* ip_item)
{
    ItemPtr node = ItemPtr(ip_item)[kWishNode];
    if (!node)
        return;
    ItemPtr boxItem = node[kWishCheckbox];
    // Its check box goes with it.
    delete RowOf(node);
    boxItem.Remove();
    node.Remove();
}

void SearchForm::OnWishListItemEnabled(Item* ip_item)
{
    if (QCheckBox* box = CheckBoxOf(ip_item))
        box->setEnabled(true);
}

void SearchForm::OnWishListItemDisabled(Item* ip_item)
{
    if (QCheckBox* box = CheckBoxOf(ip_item))
        box->setEnabled(false);
}

QCheckBox* SearchForm::CheckBoxOf(Item* ip_item) const
{
    ItemPtr boxItem = ItemPtr(ip_item)[kWishNode][kWishCheckbox];
    return static_cast<QCheckBox*>(LiveObject<QObject>(boxItem));
}

void SearchForm::OnWishListItemCheckStateChanged(int i_state)
{
    ItemPtr node = FindItem(kWishCheckbox, Value(sender()))[kWishNode];
    ItemPtr item = node[kWishItem];
    Type* enabled = d->HasType(kWishEnabled);
    if (!item || !enabled)
        return;
    if (i_state == Qt::Checked)
    {
        item += enabled->GetGlobalNullItem();
        if (QTreeWidgetItem* row = RowOf(node.Get()))
            row->setText(0, QStringLiteral("Y"));
    }
    else if (i_state == Qt::Unchecked)
    {
        item.Disconnect(kWishEnabled);
        if (QTreeWidgetItem* row = RowOf(node.Get()))
            row->setText(0, QString());
    }
}

void SearchForm::CheckAllWishListItems(bool i_checked)
{
    for (Item* item : AllItems(kWishItem))
        if (QCheckBox* box = CheckBoxOf(item))
            box->setChecked(i_checked);
}

void SearchForm::RemoveSelectedWishListItems()
{
    // Removing an item deletes its row: collect first.
    std::vector<std::string> texts;
    for (QTreeWidgetItem* row : mp_ui->wishList->selectedItems())
        if (ItemPtr item = FindItem(kWishNode, RowValue(row))[kWishItem])
            texts.push_back(item.AsString());
    for (const std::string& text : texts)
        FindItem(kWishItem, text).Remove();
}

void SearchForm::OnFilterTextChanged(QString)
{
    // The tab is the one whose filter line sent the text.
    SearchResultsForm* tab = nullptr;
    for (QObject* object = sender(); object && !tab; object = object->parent())
        tab = qobject_cast<SearchResultsForm*>(object);
    if (!tab)
        return;
    QTreeWidget* tree = tab->searchResults();
    std::vector<QTreeWidgetItem*> folderRows;
    for (int k = 0, users = tree->topLevelItemCount(); k < users; ++k)
    {
        QTreeWidgetItem* userRow = tree->topLevelItem(k);
        const int folders = userRow->childCount();
        if (folders == 0)
            SetShown(userRow, false);
        for (int f = 0; f < folders; ++f)
            folderRows.push_back(userRow->child(f));
    }
    FilterFolderRows(tab, folderRows);
}
