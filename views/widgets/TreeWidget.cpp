#include "TreeWidget.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QSignalBlocker>

#include <unordered_map>
#include <unordered_set>

namespace
{

// The rows at or below the row that are open or hidden: the view keeps
// both only while a row is in it. A row keeps its state while its parent
// is closed, so closed rows are walked too.
void CollectState(QTreeWidgetItem* ip_row, std::vector<QTreeWidgetItem*>& o_open,
                  std::vector<QTreeWidgetItem*>& o_hidden)
{
    if (ip_row->isHidden())
        o_hidden.push_back(ip_row);
    if (ip_row->childCount() == 0)
        return;
    if (ip_row->isExpanded())
        o_open.push_back(ip_row);
    for (int k = 0; k < ip_row->childCount(); ++k)
        CollectState(ip_row->child(k), o_open, o_hidden);
}

// Deletes the doomed rows of a list taken out of the tree; the others, in
// their order.
QList<QTreeWidgetItem*> Survivors(const QList<QTreeWidgetItem*>& i_rows,
                                  const std::unordered_set<QTreeWidgetItem*>& i_doomed)
{
    QList<QTreeWidgetItem*> kept;
    kept.reserve(i_rows.size());
    for (QTreeWidgetItem* row : i_rows)
    {
        if (i_doomed.count(row))
            delete row;
        else
            kept.append(row);
    }
    return kept;
}

} // namespace

TreeWidget::TreeWidget(QWidget* ip_parent) : QTreeWidget(ip_parent) {}

TreeWidget::~TreeWidget() = default;

void TreeWidget::keyPressEvent(QKeyEvent* ip_event)
{
    emit KeyPressed(ip_event);
    QTreeWidget::keyPressEvent(ip_event);
}

void TreeWidget::DeleteRows(const std::vector<QTreeWidgetItem*>& i_rows)
{
    const std::unordered_set<QTreeWidgetItem*> doomed(i_rows.begin(), i_rows.end());
    auto goes = [&](QTreeWidgetItem* ip_row) {
        for (QTreeWidgetItem* row = ip_row; row; row = row->parent())
            if (doomed.count(row))
                return true;
        return false;
    };
    // Only the topmost rows leave; those below go with them. The parents
    // that lose children, each once.
    QTreeWidgetItem* root = invisibleRootItem();
    std::vector<QTreeWidgetItem*> topmost;
    std::vector<QTreeWidgetItem*> parents;
    std::unordered_set<QTreeWidgetItem*> seen;
    for (QTreeWidgetItem* row : doomed)
    {
        if (row->parent() && goes(row->parent()))
            continue;
        topmost.push_back(row);
        QTreeWidgetItem* parent = row->parent() ? row->parent() : root;
        if (seen.insert(parent).second)
            parents.push_back(parent);
    }
    if (topmost.size() <= 1)
    {
        for (QTreeWidgetItem* row : topmost)
            delete row;
        return;
    }

    // The whole tree leaves the view, is mended while no view follows it,
    // and comes back: two changes, however many rows go.
    QTreeWidgetItem* current = currentItem();
    if (current && goes(current))
        current = nullptr;
    const int column = currentColumn() < 0 ? 0 : currentColumn();
    QList<QTreeWidgetItem*> selected = selectedItems();
    selected.removeIf(goes);
    const int scrolled = verticalScrollBar()->value();
    std::vector<QTreeWidgetItem*> open;
    std::vector<QTreeWidgetItem*> hidden;
    for (int k = 0; k < root->childCount(); ++k)
        if (!doomed.count(root->child(k)))
            CollectState(root->child(k), open, hidden);

    // Out of the tree, rows change without the view hearing of each.
    const QList<QTreeWidgetItem*> top = root->takeChildren();
    for (QTreeWidgetItem* parent : parents)
        if (parent != root)
            parent->addChildren(Survivors(parent->takeChildren(), doomed));
    root->addChildren(Survivors(top, doomed));

    {
        // Their state is what it was: nobody hears of it again.
        const QSignalBlocker quiet(this);
        SetRowsExpanded(open, true);
        for (QTreeWidgetItem* row : hidden)
            row->setHidden(true);
    }
    // The current and the selected rows are put back, without scrolling
    // to them.
    const bool autoScrolls = hasAutoScroll();
    setAutoScroll(false);
    if (current)
        setCurrentItem(current, column, QItemSelectionModel::NoUpdate);
    for (QTreeWidgetItem* row : selected)
        row->setSelected(true);
    setAutoScroll(autoScrolls);
    verticalScrollBar()->setValue(scrolled);
}

void TreeWidget::AddRows(const std::vector<std::pair<QTreeWidgetItem*, QTreeWidgetItem*>>& i_rows)
{
    std::vector<QTreeWidgetItem*> parents;
    std::unordered_map<QTreeWidgetItem*, QList<QTreeWidgetItem*>> rows;
    for (const auto& [parent, row] : i_rows)
    {
        QTreeWidgetItem* under = parent ? parent : invisibleRootItem();
        QList<QTreeWidgetItem*>& list = rows[under];
        if (list.isEmpty())
            parents.push_back(under);
        list.append(row);
    }
    scheduleDelayedItemsLayout();
    for (QTreeWidgetItem* parent : parents)
        parent->addChildren(rows[parent]);
}

void TreeWidget::SetRowsExpanded(const std::vector<QTreeWidgetItem*>& i_rows, bool i_expanded)
{
    // With a layout pending, each row only records its state.
    scheduleDelayedItemsLayout();
    for (QTreeWidgetItem* row : i_rows)
        row->setExpanded(i_expanded);
}
