#pragma once
// The tree of the views: it reports every key press before handling it, so
// a view sees the key while the current row is still the old one; and it
// takes out, expands or collapses many rows at once at the cost of one pass.

#include <QTreeWidget>

#include <utility>
#include <vector>

class QKeyEvent;

class TreeWidget : public QTreeWidget
{
    Q_OBJECT

public:
    explicit TreeWidget(QWidget* ip_parent = nullptr);
    ~TreeWidget() override;

    // Deletes the rows, each with the rows below it, any shape and order
    // (rows below others named too, twice, before or after them). Taken out
    // one by one, every row would cost a walk over every expanded row of the
    // tree; here the rows leave the view and the others come back, two
    // changes in all, and what stays ends as it would have one by one in the
    // given order: its order, expansion and hiding, and the current and
    // selected rows, the current row moved on as the view moves it when its
    // own row goes.
    void DeleteRows(const std::vector<QTreeWidgetItem*>& i_rows);
    // Adds each row (first) under its parent row (second; null: at the
    // top), after the children it has, in the order given: one change per
    // parent, with one layout of the tree at the next paint.
    void AddRows(const std::vector<std::pair<QTreeWidgetItem*, QTreeWidgetItem*>>& i_rows);
    // Expands or collapses the rows with one layout of the tree, at the next
    // paint, rather than one per row.
    void SetRowsExpanded(const std::vector<QTreeWidgetItem*>& i_rows, bool i_expanded);

signals:
    void KeyPressed(QKeyEvent* ip_event);

protected:
    void keyPressEvent(QKeyEvent* ip_event) override;
};
