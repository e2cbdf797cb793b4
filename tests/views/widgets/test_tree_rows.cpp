// The tree's one-pass removal against the toolkit's own, one row at a time,
// on many generated trees: the same rows must be left, in the same order,
// open, hidden, current and selected alike.

#include "views/widgets/WidgetTestSupport.h"

#include "TreeWidget.h"

#include <QtTest>

#include <random>
#include <unordered_set>
#include <vector>

namespace
{

// The rows of a tree, top to bottom, each once.
void Walk(QTreeWidgetItem* ip_row, std::vector<QTreeWidgetItem*>& o_rows)
{
    for (int k = 0; k < ip_row->childCount(); ++k)
    {
        o_rows.push_back(ip_row->child(k));
        Walk(ip_row->child(k), o_rows);
    }
}

// Every row as text: its name, its depth and its states; the current row
// is marked.
QStringList Shape(QTreeWidget* ip_tree)
{
    std::vector<QTreeWidgetItem*> rows;
    Walk(ip_tree->invisibleRootItem(), rows);
    QStringList shape;
    for (QTreeWidgetItem* row : rows)
    {
        int depth = 0;
        for (QTreeWidgetItem* up = row->parent(); up; up = up->parent())
            ++depth;
        shape << QStringLiteral("%1/%2%3%4%5%6")
                     .arg(row->text(0))
                     .arg(depth)
                     .arg(row->isExpanded() ? "+" : "")
                     .arg(row->isHidden() ? "h" : "")
                     .arg(row->isSelected() ? "s" : "")
                     .arg(ip_tree->currentItem() == row ? "c" : "");
    }
    return shape;
}

} // namespace

class TreeRowsTest : public QObject
{
    Q_OBJECT

private slots:
    void oneTreeRemovalMatchesRowByRow()
    {
        std::mt19937 random(20260412);
        auto below = [&random](unsigned i_n) { return unsigned(random() % i_n); };
        QWidget window;
        window.resize(400, 300);
        window.show();
        for (int run = 0; run < 400; ++run)
        {
            // Two trees alike, on screen, so the view lays them out as it
            // does for the user.
            TreeWidget one(&window);
            TreeWidget byRow(&window);
            for (TreeWidget* tree : {&one, &byRow})
            {
                // No focus: taking it would make a first row current.
                tree->setFocusPolicy(Qt::NoFocus);
                tree->setGeometry(tree == &one ? 0 : 200, 0, 200, 300);
                tree->show();
            }
            // The transfer lists select one row; other trees may select many.
            const auto mode =
                below(3) == 0 ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection;
            one.setSelectionMode(mode);
            byRow.setSelectionMode(mode);
            std::vector<QTreeWidgetItem*> rows[2];
            const int count = 1 + int(below(run < 200 ? 12 : 60));
            for (int n = 0; n < count; ++n)
            {
                // Under any earlier row, or at the top.
                const int parent = n == 0 || below(4) == 0 ? -1 : int(below(unsigned(n)));
                for (int t = 0; t < 2; ++t)
                {
                    auto* row = new QTreeWidgetItem({QString::number(n)});
                    if (parent < 0)
                        (t ? byRow : one).addTopLevelItem(row);
                    else
                        rows[t][size_t(parent)]->addChild(row);
                    rows[t].push_back(row);
                }
            }
            const unsigned openShare = below(4);
            for (int n = 0; n < count; ++n)
            {
                const bool open = below(4) <= openShare;
                const bool hidden = below(6) == 0;
                const bool selected = below(8) == 0;
                for (auto& tree : rows)
                {
                    tree[size_t(n)]->setExpanded(open);
                    tree[size_t(n)]->setHidden(hidden);
                    tree[size_t(n)]->setSelected(selected);
                }
            }
            if (below(5) != 0)
            {
                const size_t current = below(unsigned(count));
                one.setCurrentItem(rows[0][current], 0, QItemSelectionModel::NoUpdate);
                byRow.setCurrentItem(rows[1][current], 0, QItemSelectionModel::NoUpdate);
            }
            QCoreApplication::processEvents();
            QCOMPARE(Shape(&one), Shape(&byRow));

            // Any rows, in any order: children before or after their
            // parents, rows below rows that go, duplicates.
            std::vector<size_t> doomed;
            const unsigned share = 1 + below(8);
            for (size_t n = 0; n < size_t(count); ++n)
                if (below(10) < share)
                    doomed.push_back(n);
            std::shuffle(doomed.begin(), doomed.end(), random);
            if (!doomed.empty() && below(3) == 0)
                doomed.push_back(doomed.front());
            std::vector<QTreeWidgetItem*> going;
            for (size_t n : doomed)
                going.push_back(rows[0][n]);
            one.DeleteRows(going);
            // The toolkit's way: each row that is still there, deleted.
            std::unordered_set<QTreeWidgetItem*> deleted;
            for (size_t n : doomed)
            {
                QTreeWidgetItem* row = rows[1][n];
                if (deleted.count(row))
                    continue;
                std::vector<QTreeWidgetItem*> under{row};
                Walk(row, under);
                deleted.insert(under.begin(), under.end());
                delete row;
            }
            QCoreApplication::processEvents();
            QCOMPARE(Shape(&one), Shape(&byRow));
        }
    }
};

QTEST_MAIN(TreeRowsTest)
#include "test_tree_rows.moc"
