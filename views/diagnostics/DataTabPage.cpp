#include "DataTabPage.h"
#include "ui_DataTabPage.h"

#include "DataDialog.h"
#include "TextConversion.h"

#include <QListWidgetItem>
#include <QTreeWidgetItem>

DataTabPage::DataTabPage(Type* ip_type, QWidget* ip_parent)
    : QWidget(ip_parent), mp_ui(new Ui::DataTabPage), mp_type(ip_type)
{
    mp_ui->setupUi(this);
    connect(mp_ui->itemList, &QListWidget::itemClicked, this, &DataTabPage::OnItemClicked);
    AddHandler(ip_type->itemAdded, this, &DataTabPage::OnItemAdded);
    AddHandler(ip_type->itemRemoved, this, &DataTabPage::OnItemRemoved);
    mp_ui->itemDataTree->setHeaderLabels({tr("Item")});
}

DataTabPage::~DataTabPage()
{
    DisableHandlers();
    delete mp_ui;
}

void DataTabPage::OnItemAdded(Item* ip_item)
{
    auto* row = new QListWidgetItem(FromLatin1(ip_item->GetValue()));
    mp_ui->itemList->insertItem(0, row);
    m_rowsByItem.emplace(ip_item, row);
    m_itemsByRow.emplace(row, ip_item);
}

void DataTabPage::OnItemRemoved(Item* ip_item)
{
    auto found = m_rowsByItem.find(ip_item);
    if (found == m_rowsByItem.end())
        return;
    m_itemsByRow.erase(found->second);
    delete found->second;
    m_rowsByItem.erase(found);
}

void DataTabPage::OnItemClicked(QListWidgetItem* ip_row)
{
    auto found = m_itemsByRow.find(ip_row);
    if (found == m_itemsByRow.end())
        return;
    Item* item = found->second;
    mp_ui->itemDataTree->clear();
    auto* root = new QTreeWidgetItem(mp_ui->itemDataTree, QStringList(FromLatin1(item->GetValue())));
    m_treeNodes = 1;
    AddItemSubnodes(item, root, {item->GetType()});
    mp_ui->itemDataTree->expandAll();
}

void DataTabPage::AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, std::set<Type*> i_path)
{
    for (const ConnGroup& group : ip_item->Groups()) {
        Type* type = group.GetType();
        if (i_path.count(type))
            continue;
        std::set<Type*> path = i_path;
        path.insert(type);
        std::vector<Item*> connected;
        group.AppendTo(connected);
        for (Item* c : connected) {
            if (m_treeNodes >= MAX_TREE_NODES) {
                // One end marker for the whole tree.
                if (m_treeNodes == MAX_TREE_NODES) {
                    new QTreeWidgetItem(ip_parent, QStringList(QString(QChar(0x2026))));
                    ++m_treeNodes;
                }
                return;
            }
            auto* node = new QTreeWidgetItem(ip_parent, QStringList(DataNodeText(c)));
            ++m_treeNodes;
            AddItemSubnodes(c, node, path);
        }
    }
}
