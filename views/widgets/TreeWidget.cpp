#include "TreeWidget.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QSignalBlocker>

#include <unordered_map>
#include <unordered_set>

namespace
{

// The rows at or below the row that are open or hidden, those that go
// left out: the view keeps both only while a row is in it. A row keeps its
// state while its parent is closed, so closed rows are walked too.
void CollectState(QTreeWidgetItem* ip_row, const std::unordered_set<QTreeWidgetItem*>& i_doomed,
                  std::vector<QTreeWidgetItem*>& o_open, std::vector<QTreeWidgetItem*>& o_hidden)
{
    if (i_doomed.count(ip_row))
        return;
    if (ip_row->isHidden())
        o_hidden.push_back(ip_row);
    if (ip_row->isExpanded())
        o_open.push_back(ip_row);
    for (int k = 0; k < ip_row->childCount(); ++k)
        CollectState(ip_row->child(k), i_doomed, o_open, o_hidden);
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

// Whether the row goes, itself or with a row above it.
bool Goes(QTreeWidgetItem* ip_row, const std::unordered_set<QTreeWidgetItem*>& i_doomed)
{
    for (QTreeWidgetItem* row = ip_row; row; row = row->parent())
        if (i_doomed.count(row))
            return true;
    return false;
}

// The current row once the rows have been deleted one by one in the given
// order, as the view moves it for each; o_reselected: whether the view then
// made it the one selected row. Rows are taken to be enabled, as the
// views' rows are.
QTreeWidgetItem* CurrentAfter(QTreeWidget* ip_tree, const std::vector<QTreeWidgetItem*>& i_rows,
                              const std::unordered_set<QTreeWidgetItem*>& i_doomed, bool& o_reselected)
{
    // The rows deleted so far, and how many children each parent has lost.
    std::unordered_set<QTreeWidgetItem*> gone;
    std::unordered_map<QTreeWidgetItem*, int> lost;
    QTreeWidgetItem* root = ip_tree->invisibleRootItem();
    const bool single = ip_tree->selectionMode() == QAbstractItemView::SingleSelection;
    QTreeWidgetItem* current = ip_tree->currentItem();
    // Where the current row stands among its siblings, once known: rows
    // that go in their order move it on one each, at no search each.
    int currentAt = -1;
    // Per parent and way, where to look on from a row already gone (plus
    // two; 0: not known yet): a run of gone rows is crossed once, however
    // often the current row meets it.
    std::unordered_map<QTreeWidgetItem*, std::vector<int>> onward[2];
    auto present = [&](QTreeWidgetItem* ip_parent, int i_k, int i_way) {
        std::vector<int>& jump = onward[i_way > 0][ip_parent];
        jump.resize(size_t(ip_parent->childCount()), 0);
        std::vector<int> crossed;
        int k = i_k;
        while (k >= 0 && k < int(jump.size()) && gone.count(ip_parent->child(k)))
        {
            crossed.push_back(k);
            k = jump[size_t(k)] ? jump[size_t(k)] - 2 : k + i_way;
        }
        for (int c : crossed)
            jump[size_t(c)] = k + 2;
        return k;
    };
    o_reselected = false;
    for (QTreeWidgetItem* row : i_rows)
    {
        // A current row that stays is hit by no deletion.
        if (!current || !Goes(current, i_doomed))
            break;
        if (Goes(row, gone))
            continue;
        QTreeWidgetItem* parent = row->parent() ? row->parent() : root;
        if (current != row)
        {
            // One further below goes with the row, and no row is current.
            for (QTreeWidgetItem* up = current->parent(); up && current; up = up->parent())
                if (up == row)
                    current = nullptr;
        }
        else if (parent->childCount() - lost[parent] <= 1)
        {
            // The last child: with one selection its parent, below the top,
            // becomes current and selected alone.
            current = single && parent != root ? parent : nullptr;
            currentAt = -1;
            o_reselected = o_reselected || current;
        }
        else
        {
            // With one selection the view moves it to the next shown
            // sibling, else the nearest shown one above, else to the last
            // sibling it looked at, and selects it alone. Otherwise the
            // current row moves up one, or else down one.
            const int at = currentAt >= 0 && parent->child(currentAt) == row ? currentAt : parent->indexOfChild(row);
            const int count = parent->childCount();
            currentAt = -1;
            bool found = false;
            auto look = [&](int i_k, bool i_shown) {
                currentAt = i_k;
                found = i_shown || !parent->child(i_k)->isHidden();
            };
            for (int k = present(parent, at + 1, 1); single && !found && k < count; k = present(parent, k + 1, 1))
                look(k, false);
            for (int k = present(parent, at - 1, -1); !found && k >= 0; k = present(parent, k - 1, -1))
                look(k, !single);
            if (currentAt < 0)
                look(present(parent, at + 1, 1), true);
            current = parent->child(currentAt);
            o_reselected = o_reselected || single;
        }
        gone.insert(row);
        ++lost[parent];
    }
    return current;
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
    auto goes = [&](QTreeWidgetItem* ip_row) { return Goes(ip_row, doomed); };
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
    // One row alone goes the toolkit's way, unless the current row goes
    // too: one by one, rows below it that are named first move the current
    // row on before it goes.
    if (topmost.size() <= 1 && !(currentItem() && goes(currentItem())))
    {
        for (QTreeWidgetItem* row : topmost)
            delete row;
        return;
    }

    // The whole tree leaves the view, is mended while no view follows it,
    // and comes back: two changes, however many rows go. What the view
    // keeps of the rows that stay is noted first; nothing of a row that
    // goes is touched after it is deleted.
    const int column = currentColumn() < 0 ? 0 : currentColumn();
    bool reselected = false;
    QTreeWidgetItem* current = CurrentAfter(this, i_rows, doomed, reselected);
    std::vector<QTreeWidgetItem*> selected;
    if (reselected)
    {
        if (current)
            selected.push_back(current);
    }
    else
        for (const QItemSelectionRange& range : selectionModel()->selection())
            for (int row = range.top(); row <= range.bottom(); ++row)
                if (QTreeWidgetItem* item = itemFromIndex(model()->index(row, 0, range.parent())))
                    if (!goes(item))
                        selected.push_back(item);
    const int scrolled = verticalScrollBar()->value();
    std::vector<QTreeWidgetItem*> open;
    std::vector<QTreeWidgetItem*> hidden;
    for (int k = 0; k < root->childCount(); ++k)
        CollectState(root->child(k), doomed, open, hidden);

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
