// The tree's one-pass removal against the toolkit's own, one row at a time,
// on generated trees: the same rows left, in the same order, alike open,
// hidden, current and selected.

#include "views/widgets/WidgetTestSupport.h"

#include "TreeWidget.h"

#include <QTreeWidgetItemIterator>
#include <QtTest>

#include <random>

namespace
{
// Every row, top to bottom: its name, its depth in dots, its states.
QStringList Shape(QTreeWidget* ip_tree)
{
    QStringList shape;
    for (QTreeWidgetItemIterator it(ip_tree); *it; ++it)
    {
        QString row = (*it)->text(0);
        for (QTreeWidgetItem* up = (*it)->parent(); up; up = up->parent())
            row += '.';
        shape << row + ((*it)->isExpanded() ? "+" : "") + ((*it)->isHidden() ? "h" : "") +
                     ((*it)->isSelected() ? "s" : "") + (ip_tree->currentItem() == *it ? "c" : "");
    }
    return shape;
}
}

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
            // Alike and on screen, laid out as for the user; no focus, which
            // would make a first row current.
            TreeWidget one(&window);
            TreeWidget byRow(&window);
            const auto mode = below(3) ? QAbstractItemView::SingleSelection : QAbstractItemView::ExtendedSelection;
            std::vector<QTreeWidgetItem*> rows[2];
            for (TreeWidget* tree : {&one, &byRow})
            {
                tree->setFocusPolicy(Qt::NoFocus);
                tree->setSelectionMode(mode);
                tree->setGeometry(tree == &one ? 0 : 200, 0, 200, 300);
                tree->show();
            }
            const int count = 1 + int(below(run < 200 ? 12 : 60));
            const unsigned open = below(4);
            for (int n = 0; n < count; ++n)
            {
                const int parent = n == 0 || below(4) == 0 ? -1 : int(below(unsigned(n)));
                const bool expanded = below(4) <= open, hidden = below(6) == 0, selected = below(8) == 0;
                for (int t = 0; t < 2; ++t)
                {
                    auto* row = new QTreeWidgetItem({QString::number(n)});
                    parent < 0 ? (t ? byRow : one).addTopLevelItem(row) : rows[t][size_t(parent)]->addChild(row);
                    row->setExpanded(expanded);
                    row->setHidden(hidden);
                    row->setSelected(selected);
                    rows[t].push_back(row);
                }
            }
            const size_t current = below(unsigned(count) + 2);
            for (int t = 0; t < 2 && current < size_t(count); ++t)
                rows[t][current]->treeWidget()->setCurrentItem(rows[t][current], 0, QItemSelectionModel::NoUpdate);
            QCoreApplication::processEvents();

            // Any rows in any order: below others that go, before or after
            // them, twice.
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
            {
                going.push_back(rows[0][n]);
                // The toolkit's way: each row still in the tree, deleted.
                QTreeWidgetItemIterator it(&byRow);
                while (*it && *it != rows[1][n])
                    ++it;
                delete *it;
            }
            one.DeleteRows(going);
            QCoreApplication::processEvents();
            QCOMPARE(Shape(&one), Shape(&byRow));
        }
    }
};

QTEST_MAIN(TreeRowsTest)
#include "test_tree_rows.moc"
