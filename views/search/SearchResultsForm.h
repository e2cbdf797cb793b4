#pragma once
// The page of one search: its result tree, the related searches the server
// suggests for the text, and the filter bar with the saved filters that
// every tab shares.

#include <QSet>
#include <QString>
#include <QWidget>

#include <string>
#include <unordered_set>
#include <vector>

#include "Data.h"

class QLineEdit;
class QShowEvent;
class QTreeWidget;
class QTreeWidgetItem;
namespace Ui {
class SearchResultsForm;
}

class SearchResultsForm : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // i_text is the searched text as sent (UTF-8). A wish-list tab shows no
    // related searches.
    SearchResultsForm(std::string i_text, bool i_wishList, QWidget* ip_parent = nullptr);
    ~SearchResultsForm() override;

    // Once the search view has set the tree up: tab focus and the saved
    // filters, which from then on follow the store.
    void Init();

    QTreeWidget* searchResults() const;
    QLineEdit* filterEdit() const;
    QTreeWidget* CorrelationsWidget() const;

    const std::string& SearchText() const { return m_searchText; }
    bool IsWishList() const { return m_wishList; }

    // What Sort() orders by; a new tab orders by "Free", descending.
    void SetSortingParamters(int i_column, Qt::SortOrder i_order);
    // Folder rows that have new file rows since the last sort.
    void FolderRowsGrew(const std::vector<QTreeWidgetItem*>& i_folderRows);
    int SortColumn() const { return m_sortColumn; }
    Qt::SortOrder SortOrder() const { return m_sortOrder; }

    // The text of an equal one given before, so that rows share one copy
    // of a text many of them show, as their attributes.
    QString SharedText(const QString& i_text);

    // Fills the related searches of this tab's text, by rank; hidden when
    // there are none.
    void PopulateCorrelations();

public slots:
    void Sort();
    void OnFilterHelpClicked();
    void OnSearchCorrelations(std::string i_search);
    void OnFilterTextChanged(QString i_text);
    void OnSaveFilterClicked();
    void OnSavedFiltersBoxIndexChanged(int i_index);
    void OnClearFilterClicked();

protected:
    void showEvent(QShowEvent* ip_event) override;

private:
    void OnSavedFilterAdded(Item* ip_item);
    void OnSavedFilterRemoved(Item* ip_item);

    Ui::SearchResultsForm* mp_ui;
    int m_sortColumn = 1;
    Qt::SortOrder m_sortOrder = Qt::DescendingOrder;
    // What the tree was last sorted by in full (-1: never), and the folders
    // that grew since: a sort by the same keys redoes only the user rows
    // and those folders. Folder rows all compare equal, and adding files
    // leaves the other folders in order, so the outcome is that of a full
    // sort at a fraction of its cost. Rows live as long as the tab.
    int m_sortedColumn = -1;
    Qt::SortOrder m_sortedOrder = Qt::DescendingOrder;
    std::unordered_set<QTreeWidgetItem*> m_grownFolders;
    QSet<QString> m_sharedTexts;
    std::string m_searchText;
    bool m_wishList;
};

// The key a filter is saved under: white space simplified, lower case, UTF-8.
std::string SavedFilterKey(const QString& i_text);
