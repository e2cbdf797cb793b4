#pragma once
// A page over the items of one store type: the items added since the page
// was built, newest first, and for a clicked item the whole tree of its
// connections, no type twice on any path.

#include <QWidget>

#include "Data.h"

#include <set>
#include <unordered_map>

class QListWidgetItem;
class QTreeWidgetItem;
namespace Ui {
class DataTabPage;
}

class DataTabPage : public QWidget, public DataHandler
{
    Q_OBJECT

public:
    // The tree grows with every path of distinct types; past this many
    // nodes it ends in a "…" node.
    static constexpr int MAX_TREE_NODES = 10000;

    DataTabPage(Type* ip_type, QWidget* ip_parent = nullptr);
    ~DataTabPage() override;

    void AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, std::set<Type*> i_path);

public slots:
    void OnItemClicked(QListWidgetItem* ip_row);

private:
    void OnItemAdded(Item* ip_item);
    void OnItemRemoved(Item* ip_item);

    Ui::DataTabPage* mp_ui;
    Type* mp_type;
    std::unordered_map<Item*, QListWidgetItem*> m_rowsByItem;
    std::unordered_map<QListWidgetItem*, Item*> m_itemsByRow;
    int m_treeNodes = 0;
};
