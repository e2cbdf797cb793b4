#pragma once
// The browser over the data store's types and items: every type with its
// kind and item count, the items of one chosen type, and the connections of
// one chosen item as a tree unfolded a level at a time. It only reads the
// store and stays current while open. It deletes itself when closed, so
// whoever keeps a pointer to it keeps a guarded one.

#include <QDialog>
#include <QTimer>

#include "Data.h"

#include <set>
#include <unordered_map>
#include <vector>

class DataItemListModel;
class QModelIndex;
class QTreeWidgetItem;
namespace Ui {
class DataDialog;
}

// The text of a connection node: "[type] value", or "[type, null]".
QString DataNodeText(Item* ip_item);

class DataDialog : public QDialog, public DataHandler
{
    Q_OBJECT

public:
    // A tree level shows this many connections, then a node that shows the
    // next ones when activated: one item may have hundreds of thousands.
    static constexpr int MAX_CHILDREN_PER_LEVEL = 1000;

    DataDialog(Data* ip_data, QWidget* ip_parent = nullptr);
    ~DataDialog() override;

    // One level of connection nodes under the parent, leaving out the
    // connections to the excluded types.
    void AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, std::set<Type*> i_excluded);

public slots:
    void OnTypeItemSelectionChanged();
    void OnItemClicked(const QModelIndex& i_index);
    void OnDataSubItemExpanded(QTreeWidgetItem* ip_node);
    void OnDataSubItemActivated(QTreeWidgetItem* ip_node);

private:
    struct TypeRow {
        Type* type;
        QTreeWidgetItem* row;
        bool countChanged;
    };
    // Where a level stopped, for its "more" node.
    struct MoreNode {
        Item* item;
        std::set<Type*> excluded;
        size_t offset;
    };

    void OnItemAdded(Item* ip_item);
    void OnItemRemoved(Item* ip_item);
    void NoteCountChanged(TypeRow& io_row);
    void ApplyPendingChanges();
    void AddSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, const std::set<Type*>& i_excluded, size_t i_offset);
    void ClearTree();
    void RemoveNodesOf(Item* ip_item);
    void ForgetSubtree(QTreeWidgetItem* ip_node);

    Ui::DataDialog* mp_ui;
    Data* mp_data;
    std::unordered_map<Type*, TypeRow> m_typeRows;
    std::unordered_map<QTreeWidgetItem*, Type*> m_typesByRow;
    std::vector<TypeRow*> m_changedCounts;
    Item* mp_shownItem = nullptr;
    DataItemListModel* mp_listModel;
    std::unordered_map<Item*, std::vector<QTreeWidgetItem*>> m_nodesByItem;
    std::unordered_map<QTreeWidgetItem*, Item*> m_itemsByNode;
    std::unordered_map<QTreeWidgetItem*, MoreNode> m_moreNodes;
    // Counts and the item list catch up once per event-loop turn.
    QTimer m_applyTimer;
};
