#include "SearchResultsForm.h"
#include "ui_SearchResultsForm.h"

#include "EventToolBar.h"
#include "FilterHelpDialog.h"
#include "FocusFunctions.h"
#include "StoreLookup.h"
#include "TextConversion.h"
#include "server.h"

#include <QShowEvent>
#include <QTreeWidgetItem>

#include <algorithm>

namespace
{
const char* kSavedFilter = "saved_filter";
const QString kSaveFilter = QStringLiteral("Save Filter");
const QString kRemoveFilter = QStringLiteral("Remove Filter");
// The related-search list's width beside the tree.
const int kCorrelationsWidth = 150;
}

std::string SavedFilterKey(const QString& i_text)
{
    return ToUtf8(i_text.simplified().toLower());
}

SearchResultsForm::SearchResultsForm(std::string i_text, bool i_wishList, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui::SearchResultsForm), m_searchText(std::move(i_text)), m_wishList(i_wishList)
{
    mp_ui->setupUi(this);
    mp_ui->searchResultsTreeWidget->setSortingEnabled(false);
    mp_ui->correlationsWidget->hide();
    mp_ui->correlationsWidget->setHeaderLabel(tr("related searches"));
    if (!m_wishList)
    {
        PopulateCorrelations();
        if (gp_server)
            connect(gp_server, &Server::SearchCorrelations, this, &SearchResultsForm::OnSearchCorrelations);
    }
}

SearchResultsForm::~SearchResultsForm()
{
    DisableHandlers();
    delete mp_ui;
}

void SearchResultsForm::Init()
{
    RegisterWidgetForTabFocus(mp_ui->searchResultsTreeWidget, 2);

    Type* savedFilter = T(kSavedFilter);
    for (Item* filter : savedFilter->GetItems())
        mp_ui->savedFiltersBox->addItem(FromUtf8(filter->GetValue()));
    AddHandler(savedFilter->itemAdded, this, &SearchResultsForm::OnSavedFilterAdded);
    AddHandler(savedFilter->itemRemoved, this, &SearchResultsForm::OnSavedFilterRemoved);
}

QTreeWidget* SearchResultsForm::searchResults() const
{
    return mp_ui->searchResultsTreeWidget;
}

QLineEdit* SearchResultsForm::filterEdit() const
{
    return mp_ui->filterEdit;
}

QTreeWidget* SearchResultsForm::CorrelationsWidget() const
{
    return mp_ui->correlationsWidget;
}

void SearchResultsForm::SetSortingParamters(int i_column, Qt::SortOrder i_order)
{
    m_sortColumn = i_column;
    m_sortOrder = i_order;
}

void SearchResultsForm::FolderRowsGrew(const std::vector<QTreeWidgetItem*>& i_folderRows)
{
    m_grownFolders.insert(i_folderRows.begin(), i_folderRows.end());
}

void SearchResultsForm::Sort()
{
    QTreeWidget* tree = mp_ui->searchResultsTreeWidget;
    if (m_sortedColumn != m_sortColumn || m_sortedOrder != m_sortOrder)
    {
        tree->sortByColumn(m_sortColumn, m_sortOrder);
        m_sortedColumn = m_sortColumn;
        m_sortedOrder = m_sortOrder;
    }
    else
    {
        tree->invisibleRootItem()->sortChildren(m_sortColumn, m_sortOrder);
        for (QTreeWidgetItem* folder : m_grownFolders)
            folder->sortChildren(m_sortColumn, m_sortOrder);
    }
    m_grownFolders.clear();
}

QString SearchResultsForm::SharedText(const QString& i_text)
{
    return *m_sharedTexts.insert(i_text);
}

void SearchResultsForm::PopulateCorrelations()
{
    QTreeWidget* list = mp_ui->correlationsWidget;
    list->clear();
    list->hide();
    ItemPtr text = GetItem("search_request_text", m_searchText);
    const ItemSet correlations = text.GetItems("search_correlation");
    if (correlations.empty())
        return;
    for (Item* correlation : correlations.SortNumericBy("correlation_rank", true))
    {
        auto* row = new QTreeWidgetItem(list);
        row->setText(0, FromUtf8(ItemPtr(correlation)["correlation_text"].AsString()));
    }
    list->show();
    mp_ui->splitter->setSizes({std::max(0, width() - kCorrelationsWidth), kCorrelationsWidth});
}

void SearchResultsForm::OnSearchCorrelations(std::string i_search)
{
    // Every open manual tab hears every answer; each takes its own.
    if (i_search == m_searchText)
        PopulateCorrelations();
}

void SearchResultsForm::OnFilterHelpClicked()
{
    ShowFilterHelp(this);
}

void SearchResultsForm::OnFilterTextChanged(QString i_text)
{
    const bool saved = FindItem(kSavedFilter, SavedFilterKey(i_text)) != nullptr;
    QPushButton* button = mp_ui->saveFilterButton;
    if (saved && button->text() == kSaveFilter)
        button->setText(kRemoveFilter);
    else if (!saved && button->text() == kRemoveFilter)
        button->setText(kSaveFilter);
}

void SearchResultsForm::OnSaveFilterClicked()
{
    const std::string key = SavedFilterKey(mp_ui->filterEdit->text());
    if (ItemPtr existing = FindItem(kSavedFilter, key))
        existing.Remove();
    else if (!key.empty())
        GetItem(kSavedFilter, key);
}

void SearchResultsForm::OnSavedFilterAdded(Item* ip_item)
{
    mp_ui->savedFiltersBox->addItem(FromUtf8(ip_item->GetValue()));
    OnFilterTextChanged(mp_ui->filterEdit->text());
}

void SearchResultsForm::OnSavedFilterRemoved(Item* ip_item)
{
    // From 1: entry 0 is the box's title, whatever a filter is called.
    const QString text = FromUtf8(ip_item->GetValue());
    QComboBox* box = mp_ui->savedFiltersBox;
    for (int k = 1; k < box->count(); ++k)
        if (box->itemText(k) == text)
        {
            box->removeItem(k);
            break;
        }
    OnFilterTextChanged(mp_ui->filterEdit->text());
}

void SearchResultsForm::OnSavedFiltersBoxIndexChanged(int i_index)
{
    if (i_index <= 0)
        return;
    mp_ui->filterEdit->setText(mp_ui->savedFiltersBox->itemText(i_index));
    mp_ui->savedFiltersBox->setCurrentIndex(0);
}

void SearchResultsForm::OnClearFilterClicked()
{
    mp_ui->filterEdit->clear();
}

void SearchResultsForm::showEvent(QShowEvent* ip_event)
{
    QWidget::showEvent(ip_event);
    if (eventToolBar)
        eventToolBar->RemoveEvent(this);
}
