#pragma once
// The page of one search: its result tree, the related searches the server
// suggests for the text, and the filter bar with the saved filters that
// every tab shares.

#include <QString>
#include <QWidget>

#include <string>

#include "Data.h"

class QLineEdit;
class QShowEvent;
class QTreeWidget;
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
    int SortColumn() const { return m_sortColumn; }
    Qt::SortOrder SortOrder() const { return m_sortOrder; }

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
    std::string m_searchText;
    bool m_wishList;
};

// The key a filter is saved under: white space simplified, lower case, UTF-8.
std::string SavedFilterKey(const QString& i_text);
