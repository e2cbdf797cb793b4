#pragma once
// The search page: manual searches, each with a results tab of its own, and
// the wish-list searches with one tab per wish item that has results. Every
// tie between a request, its tab and its rows lives in the store; the view
// keeps nothing else.

#include <QPoint>
#include <QString>
#include <QWidget>

#include <string>
#include <vector>

#include "Data.h"

class QCheckBox;
class QTabWidget;
class QTreeWidgetItem;
class SearchResultsForm;
namespace Ui {
class SearchForm;
}

class SearchForm : public QWidget, public DataHandler, public DataLoadedEventHandler
{
    Q_OBJECT

public:
    explicit SearchForm(QWidget* ip_parent = nullptr);
    ~SearchForm() override;

    // Runs before the state file is loaded, once the server connection, the
    // peer messenger, the transfer queue and the toolbars exist: the store
    // schema of the search views, the signal connections and the actions.
    void Init();
    void DataLoaded() override;

    // Opens the results tab of a request, or for a wish-list run whose item
    // has a tab already, ties the request to that tab.
    void CreateSearchForm(unsigned int i_token, std::string i_text, bool i_wishList);
    // The results tab the toolbar actions work on: the current page of the
    // tab control on screen; null when none.
    SearchResultsForm* GetCurrentSearchResultsForm();

    // Adds one result of a reply to the tab whose search_results_widget
    // item is i_tab.
    void OnSearchResult(ItemPtr i_tab, ItemPtr i_result);
    // The user row above any row of a result tree (a user row itself); null
    // for a row no node names.
    QTreeWidgetItem* GetNodeUserNode(QTreeWidgetItem* ip_row);
    // Shows or hides the folder rows a reply has just added to or made, and
    // the user rows above them, as the tab's filter says.
    void FilterFolderRows(SearchResultsForm* ip_tab, const std::vector<QTreeWidgetItem*>& i_folderRows);

    void OnWishListItemAdded(Item* ip_item);
    void OnWishListItemRemoved(Item* ip_item);
    void OnWishListItemEnabled(Item* ip_item);
    void OnWishListItemDisabled(Item* ip_item);

public slots:
    void OnSearchRequest(unsigned int i_req, std::string i_search, bool i_wishListSearch);
    void OnSearchEntered();
    void OnAddToWishListClicked();
    void OnTabCloseRequested(int i_tabIndex);
    void OnWishTabCloseRequested(int i_tabIndex);
    void OnResultDoubleClicked(QTreeWidgetItem* ip_result, int i_column);
    void OnActionBarTriggered(std::string i_action);
    void OnUserSearchResults(ItemPtr i_searchResults);
    void OnSearchResultsContextMenuRequested(QPoint i_point);
    void OnFilterTextChanged(QString i_text);
    void OnWishListItemCheckStateChanged(int i_state);
    void OnCorrelationClicked(QTreeWidgetItem* ip_item, int);

private:
    // The live tab a search_results_widget item names; null when none.
    SearchResultsForm* TabOf(ItemPtr i_tabItem) const;
    // Adds the results of one reply to a tab, working out the user row,
    // the expansion and the filter once for all of them.
    void AddResults(SearchResultsForm* ip_tab, ItemPtr i_tabItem, ItemPtr i_reply, const ItemSet& i_results);
    // Removes a reply that no tab takes, once the signal that brought it is
    // over.
    void DropReply(ItemPtr i_reply);
    void CloseTab(QTabWidget* ip_tabs, int i_tabIndex);

    // The search_results_widget item of a tab; null when none.
    ItemPtr TabItemOf(QWidget* ip_tab) const;
    // Queues one result for download, keeping the search text with it and
    // marking its row.
    void QueueResult(ItemPtr i_result, ItemPtr i_text);
    // Each result once, by file name in byte order.
    void QueueResults(std::vector<Item*> i_results, ItemPtr i_text);
    void ToggleExpansion(const char* ip_setting, const QString& i_label);
    void OrderBy(int i_column);
    void DownloadSelected(bool i_wholeFolders);
    void AddOrRemoveWishList();
    // A new enabled wish-list item and its row; nothing for an empty text
    // or one on the list already.
    void AddWishListItem(const std::string& i_text);
    QCheckBox* CheckBoxOf(Item* ip_item) const;
    void CheckAllWishListItems(bool i_checked);
    void RemoveSelectedWishListItems();

    Ui::SearchForm* mp_ui;
};
