#include "DataDialog.h"
#include "ui_DataDialog.h"

#include "DataItemListModel.h"
#include "TextConversion.h"

#include <QHeaderView>
#include <QTreeWidgetItem>

#include <unordered_set>

namespace {

const char* const kPlaceholder = "~~unloaded~~";

} // namespace

QString DataNodeText(Item* ip_item)
{
    const Type* type = ip_item->GetType();
    if (type->IsNull())
        return QLatin1Char('[') + FromLatin1(type->GetName()) + QLatin1String(", null]");
    return QLatin1Char('[') + FromLatin1(type->GetName()) + QLatin1String("] ") + FromLatin1(ip_item->GetValue());
}

DataDialog::DataDialog(Data* ip_data, QWidget* ip_parent)
    : QDialog(ip_parent), mp_ui(new Ui::DataDialog), mp_data(ip_data), mp_listModel(new DataItemListModel(this))
{
    mp_ui->setupUi(this);
    mp_ui->typeSplitter->setSizes({300, width() - 300});
    mp_ui->typeSplitter->setStretchFactor(0, 0);
    mp_ui->typeSplitter->setStretchFactor(1, 1);
    QTreeWidget* types = mp_ui->typeList;
    types->setHeaderLabels({tr("Type"), QString(), tr("#")});
    types->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    types->header()->setStretchLastSection(false);
    mp_ui->itemList->setModel(mp_listModel);

    for (Type* type : mp_data->TypesInOrder()) {
        auto* row = new QTreeWidgetItem(types);
        row->setText(0, FromLatin1(type->GetName()));
        row->setText(1, type->IsNull() ? QStringLiteral("null   ") : QStringLiteral("value   "));
        row->setText(2, QString::number(type->ItemCount()));
        m_typeRows.emplace(type, TypeRow{type, row, false});
        m_typesByRow.emplace(row, type);
    }
    types->sortItems(0, Qt::AscendingOrder);

    setAttribute(Qt::WA_DeleteOnClose);
    m_applyTimer.setSingleShot(true);
    m_applyTimer.setInterval(0);
    connect(&m_applyTimer, &QTimer::timeout, this, &DataDialog::ApplyPendingChanges);

    connect(types, &QTreeWidget::itemSelectionChanged, this, &DataDialog::OnTypeItemSelectionChanged);
    connect(mp_ui->itemList, &QListView::clicked, this, &DataDialog::OnItemClicked);
    connect(mp_ui->itemDataTree, &QTreeWidget::itemExpanded, this, &DataDialog::OnDataSubItemExpanded);
    // The "more" node replaces itself after the view's own click handling.
    auto activateLater = [this](QTreeWidgetItem* ip_node) {
        QMetaObject::invokeMethod(this, [this, ip_node] { OnDataSubItemActivated(ip_node); }, Qt::QueuedConnection);
    };
    connect(mp_ui->itemDataTree, &QTreeWidget::itemActivated, this, activateLater);
    connect(mp_ui->itemDataTree, &QTreeWidget::itemClicked, this, activateLater);

    AddHandler(mp_data->itemAdded, this, &DataDialog::OnItemAdded);
    AddHandler(mp_data->itemRemoved, this, &DataDialog::OnItemRemoved);
}

DataDialog::~DataDialog()
{
    DisableHandlers();
    delete mp_ui;
}

void DataDialog::OnTypeItemSelectionChanged()
{
    const QList<QTreeWidgetItem*> selected = mp_ui->typeList->selectedItems();
    if (selected.isEmpty())
        return;
    mp_listModel->SetType(nullptr);
    ClearTree();
    auto type = m_typesByRow.find(selected.first());
    // Items of null types carry no value to list.
    if (type != m_typesByRow.end() && !type->second->IsNull())
        mp_listModel->SetType(type->second);
}

void DataDialog::OnItemClicked(const QModelIndex& i_index)
{
    Item* item = mp_listModel->ItemAt(i_index);
    if (!item)
        return;
    ClearTree();
    mp_shownItem = item;
    auto* root = new QTreeWidgetItem(mp_ui->itemDataTree, QStringList(FromLatin1(item->GetValue())));
    m_nodesByItem[item].push_back(root);
    m_itemsByNode.emplace(root, item);
    AddItemSubnodes(item, root, {item->GetType()});
}

void DataDialog::AddItemSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, std::set<Type*> i_excluded)
{
    AddSubnodes(ip_item, ip_parent, i_excluded, 0);
    ip_parent->setExpanded(true);
}

void DataDialog::AddSubnodes(Item* ip_item, QTreeWidgetItem* ip_parent, const std::set<Type*>& i_excluded,
                             size_t i_offset)
{
    QList<QTreeWidgetItem*> nodes;
    size_t total = 0;
    size_t skipped = 0;
    for (const ConnGroup& group : ip_item->Groups()) {
        if (i_excluded.count(group.GetType()))
            continue;
        total += group.Size();
        if (nodes.size() == MAX_CHILDREN_PER_LEVEL || skipped + group.Size() <= i_offset) {
            skipped += std::min(group.Size(), i_offset - skipped);
            continue;
        }
        group.ForEach([&](Item* ip_connected) {
            if (skipped < i_offset) {
                ++skipped;
                return;
            }
            if (nodes.size() == MAX_CHILDREN_PER_LEVEL)
                return;
            auto* node = new QTreeWidgetItem(QStringList(DataNodeText(ip_connected)));
            // Built when expanded: the graph is cyclic and may be large.
            if (!ip_connected->IsDisconnectedFromAll())
                new QTreeWidgetItem(node, QStringList(QLatin1String(kPlaceholder)));
            m_nodesByItem[ip_connected].push_back(node);
            m_itemsByNode.emplace(node, ip_connected);
            nodes.push_back(node);
        });
    }
    const size_t shown = i_offset + size_t(nodes.size());
    if (shown < total) {
        auto* more = new QTreeWidgetItem(QStringList(tr("\u2026 %1 more").arg(total - shown)));
        m_moreNodes.emplace(more, MoreNode{ip_item, i_excluded, shown});
        nodes.push_back(more);
    }
    ip_parent->addChildren(nodes);
}

void DataDialog::OnDataSubItemExpanded(QTreeWidgetItem* ip_node)
{
    if (ip_node->childCount() != 1)
        return;
    QTreeWidgetItem* child = ip_node->child(0);
    if (m_itemsByNode.count(child) || m_moreNodes.count(child))
        return;
    auto shown = m_itemsByNode.find(ip_node);
    if (shown == m_itemsByNode.end())
        return;
    Item* item = shown->second;
    delete ip_node->takeChild(0);
    AddItemSubnodes(item, ip_node, {item->GetType()});
    mp_ui->itemDataTree->setCurrentItem(ip_node);
}

void DataDialog::OnDataSubItemActivated(QTreeWidgetItem* ip_node)
{
    // Only the address is compared: the node may have gone meanwhile.
    auto found = m_moreNodes.find(ip_node);
    if (found == m_moreNodes.end())
        return;
    const MoreNode more = found->second;
    m_moreNodes.erase(found);
    QTreeWidgetItem* parent = ip_node->parent();
    delete ip_node;
    AddSubnodes(more.item, parent, more.excluded, more.offset);
}

void DataDialog::OnItemAdded(Item* ip_item)
{
    // Types made after the dialog have no row and are not listed.
    auto type = m_typeRows.find(ip_item->GetType());
    if (type == m_typeRows.end())
        return;
    NoteCountChanged(type->second);
    if (ip_item->GetType() == mp_listModel->ListedType())
        mp_listModel->NoteAdded(ip_item);
}

void DataDialog::OnItemRemoved(Item* ip_item)
{
    auto type = m_typeRows.find(ip_item->GetType());
    if (type != m_typeRows.end()) {
        NoteCountChanged(type->second);
        if (ip_item->GetType() == mp_listModel->ListedType())
            mp_listModel->NoteRemoved(ip_item);
    }
    // The tree goes at once, whatever the type: its maps must never name
    // an item that is gone.
    if (ip_item == mp_shownItem)
        ClearTree();
    else if (m_nodesByItem.count(ip_item))
        RemoveNodesOf(ip_item);
}

void DataDialog::NoteCountChanged(TypeRow& io_row)
{
    if (!io_row.countChanged) {
        io_row.countChanged = true;
        m_changedCounts.push_back(&io_row);
    }
    if (!m_applyTimer.isActive())
        m_applyTimer.start();
}

void DataDialog::ApplyPendingChanges()
{
    for (TypeRow* changed : m_changedCounts) {
        changed->row->setText(2, QString::number(changed->type->ItemCount()));
        changed->countChanged = false;
    }
    m_changedCounts.clear();

    if (!mp_listModel->HasPending())
        return;
    // The clicked row stays current when rows come and go around it.
    Item* current = mp_listModel->ItemAt(mp_ui->itemList->currentIndex());
    mp_listModel->ApplyPending();
    const QModelIndex again = mp_listModel->IndexOf(current);
    if (again.isValid())
        mp_ui->itemList->selectionModel()->setCurrentIndex(again, QItemSelectionModel::ClearAndSelect);
}

void DataDialog::ClearTree()
{
    mp_ui->itemDataTree->clear();
    m_nodesByItem.clear();
    m_itemsByNode.clear();
    m_moreNodes.clear();
    mp_shownItem = nullptr;
}

void DataDialog::RemoveNodesOf(Item* ip_item)
{
    // An item can show inside its own subtree: only the top-most of its
    // nodes are deleted, each taking the others below it along.
    const std::vector<QTreeWidgetItem*> nodes = m_nodesByItem[ip_item];
    const std::unordered_set<QTreeWidgetItem*> all(nodes.begin(), nodes.end());
    std::vector<QTreeWidgetItem*> topMost;
    for (QTreeWidgetItem* node : nodes) {
        bool below = false;
        for (QTreeWidgetItem* up = node->parent(); up && !below; up = up->parent())
            below = all.count(up) > 0;
        if (!below)
            topMost.push_back(node);
    }
    for (QTreeWidgetItem* node : topMost) {
        ForgetSubtree(node);
        delete node;
    }
    m_nodesByItem.erase(ip_item);
}

void DataDialog::ForgetSubtree(QTreeWidgetItem* ip_node)
{
    std::vector<QTreeWidgetItem*> stack{ip_node};
    while (!stack.empty()) {
        QTreeWidgetItem* node = stack.back();
        stack.pop_back();
        m_moreNodes.erase(node);
        auto shown = m_itemsByNode.find(node);
        if (shown != m_itemsByNode.end()) {
            auto nodes = m_nodesByItem.find(shown->second);
            if (nodes != m_nodesByItem.end()) {
                auto& list = nodes->second;
                list.erase(std::remove(list.begin(), list.end(), node), list.end());
                if (list.empty())
                    m_nodesByItem.erase(nodes);
            }
            m_itemsByNode.erase(shown);
        }
        for (int k = 0; k < node->childCount(); ++k)
            stack.push_back(node->child(k));
    }
}
