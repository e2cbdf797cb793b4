// The data browser over the live store, and the one-type page beside it.

#include "ViewsTestSupport.h"

#include "DataDialog.h"
#include "DataTabPage.h"

#include <QListView>
#include <QListWidget>
#include <QPointer>
#include <QTreeWidget>
#include <QtTest>

#include <array>

namespace {

QStringList Children(QTreeWidgetItem* ip_node)
{
    QStringList texts;
    for (int k = 0; k < ip_node->childCount(); ++k)
        texts << ip_node->child(k)->text(0);
    return texts;
}

QTreeWidgetItem* Child(QTreeWidgetItem* ip_node, const QString& i_text)
{
    for (int k = 0; k < ip_node->childCount(); ++k)
        if (ip_node->child(k)->text(0) == i_text)
            return ip_node->child(k);
    return nullptr;
}

int CountNodes(QTreeWidgetItem* ip_node)
{
    int n = 1;
    for (int k = 0; k < ip_node->childCount(); ++k)
        n += CountNodes(ip_node->child(k));
    return n;
}

} // namespace

class TestDataDialog : public QObject
{
    Q_OBJECT

    ServerTypesFixture m_fixture;
    QPointer<DataDialog> mp_dialog;
    Type* mp_hub = nullptr;
    Type* mp_leaf = nullptr;

    QTreeWidget* Types() { return mp_dialog->findChild<QTreeWidget*>("typeList"); }
    QListView* List() { return mp_dialog->findChild<QListView*>("itemList"); }
    QTreeWidget* Tree() { return mp_dialog->findChild<QTreeWidget*>("itemDataTree"); }

    QTreeWidgetItem* TypeRow(const char* ip_name)
    {
        const auto rows = Types()->findItems(QString::fromLatin1(ip_name), Qt::MatchExactly, 0);
        return rows.isEmpty() ? nullptr : rows.first();
    }
    int Count(const char* ip_name) { return TypeRow(ip_name)->text(2).toInt(); }
    void Select(const char* ip_name) { Types()->setCurrentItem(TypeRow(ip_name)); }
    QStringList Listed()
    {
        QStringList texts;
        QAbstractItemModel* model = List()->model();
        for (int r = 0; r < model->rowCount(); ++r)
            texts << model->index(r, 0).data().toString();
        return texts;
    }
    void Click(const QString& i_value)
    {
        const int row = Listed().indexOf(i_value);
        QVERIFY(row >= 0);
        mp_dialog->OnItemClicked(List()->model()->index(row, 0));
    }
    // h1 and h2 share l1; h1 holds l2, and h2 too when asked. Lists the hubs.
    std::array<ItemPtr, 4> MakeGraph(bool i_h2HoldsL2)
    {
        ItemPtr h1 = mp_hub->GetItem("h1");
        ItemPtr h2 = mp_hub->GetItem("h2");
        ItemPtr l1 = mp_leaf->GetItem("l1");
        ItemPtr l2 = mp_leaf->GetItem("l2");
        h1 += l1;
        h1 += l2;
        h2 += l1;
        if (i_h2HoldsL2)
            h2 += l2;
        Select("hub");
        Turn();
        return {h1, h2, l1, l2};
    }
    // Lets the dialog catch up, as it does once per event-loop turn.
    static void Turn() { QCoreApplication::processEvents(); QCoreApplication::processEvents(); }

private slots:
    void init()
    {
        delete mp_dialog;
        m_fixture.Reset();
        mp_hub = d->NewType("hub", true, false, true);
        mp_leaf = d->NewType("leaf", false, false, true);
        Relate(mp_hub, mp_leaf, Many, Many);
        mp_dialog = new DataDialog(d);
        mp_dialog->show();
    }

    void cleanup() { delete mp_dialog; }

    void typesAreListedWithKindAndCount()
    {
        QCOMPARE(TypeRow("user")->text(1), QString("value   "));
        QCOMPARE(TypeRow("is_online")->text(1), QString("null   "));
        QCOMPARE(Count("user"), 0);
        // Sorted by name.
        for (int k = 1; k < Types()->topLevelItemCount(); ++k)
            QVERIFY(Types()->topLevelItem(k - 1)->text(0) < Types()->topLevelItem(k)->text(0));
    }

    void countsAndListFollowTheStore()
    {
        Select("user");
        QVERIFY(Listed().isEmpty());
        Type* user = T("user");
        for (const char* name : {"carol", "alice", "Zed", "bob"})
            user->GetItem(name);
        mp_hub->GetItem("h1");
        ItemPtr(user->GetItem("alice")).NewItem("is_online");
        Turn();
        QCOMPARE(Count("user"), 4);
        QCOMPARE(Count("hub"), 1);
        QCOMPARE(Count("is_online"), 1);
        QCOMPARE(Listed(), QStringList({"Zed", "alice", "bob", "carol"}));

        // Removed and added in one turn, an added one removed before it shows.
        ItemPtr(user->HasItem("bob")).Remove();
        user->GetItem("dave");
        ItemPtr(user->GetItem("eve")).Remove();
        ItemPtr(mp_hub->HasItem("h1")).Remove();
        Turn();
        QCOMPARE(Listed(), QStringList({"Zed", "alice", "carol", "dave"}));
        QCOMPARE(Count("user"), 4);
        QCOMPARE(Count("hub"), 0);

        // A null type lists nothing; clearing the selection changes nothing.
        Select("is_online");
        QVERIFY(Listed().isEmpty());
        Select("user");
        QCOMPARE(Listed().size(), 4);
        Types()->clearSelection();
        QCOMPARE(Listed().size(), 4);

        // Types made after the dialog have no row; their items are ignored.
        Type* late = d->NewType("late", true, false, true);
        late->GetItem("x");
        Turn();
        QVERIFY(!TypeRow("late"));
    }

    void largeTypesReachTheViewInChunks()
    {
        Type* user = T("user");
        for (int k = 0; k < 2500; ++k)
            user->GetItem(QString("u%1").arg(k, 5, 10, QChar('0')).toStdString());
        Select("user");
        QAbstractItemModel* model = List()->model();
        QCOMPARE(model->rowCount(), 1000);
        QVERIFY(model->canFetchMore(QModelIndex()));
        model->fetchMore(QModelIndex());
        QCOMPARE(model->rowCount(), 2000);

        // Changes inside the shown rows and past them. A click on a row
        // whose item went this turn shows nothing.
        ItemPtr(user->HasItem("u00000")).Remove();
        mp_dialog->OnItemClicked(model->index(0, 0));
        QCOMPARE(Tree()->topLevelItemCount(), 0);
        user->GetItem("u00000a");
        ItemPtr(user->HasItem("u02400")).Remove();
        Turn();
        QCOMPARE(model->rowCount(), 2000);
        QCOMPARE(model->index(0, 0).data().toString(), QString("u00000a"));
        QCOMPARE(model->index(1, 0).data().toString(), QString("u00001"));
        model->fetchMore(QModelIndex());
        QCOMPARE(model->rowCount(), 2499);
        QVERIFY(!model->canFetchMore(QModelIndex()));
        const QStringList all = Listed();
        QVERIFY(std::is_sorted(all.begin(), all.end()));
        QVERIFY(!all.contains("u02400"));

        // Rows removed in a mass sweep go in one turn.
        user->GetItem("zz");
        d->RemoveAllItems();
        Turn();
        QCOMPARE(model->rowCount(), 0);
    }

    void treeUnfoldsOneLevelAtATime()
    {
        mp_hub->GetItem("lonely");
        auto [h1, h2, l1, l2] = MakeGraph(false);

        Click("lonely");
        QCOMPARE(Tree()->topLevelItemCount(), 1);
        QCOMPARE(Tree()->topLevelItem(0)->childCount(), 0);

        Click("h1");
        QCOMPARE(Tree()->topLevelItemCount(), 1);
        QTreeWidgetItem* root = Tree()->topLevelItem(0);
        QCOMPARE(root->text(0), QString("h1"));
        QVERIFY(root->isExpanded());
        QCOMPARE(Children(root), QStringList({"[leaf] l1", "[leaf] l2"}));
        QTreeWidgetItem* l1Node = Child(root, "[leaf] l1");
        QCOMPARE(Children(l1Node), QStringList({"~~unloaded~~"}));

        l1Node->setExpanded(true);
        QCOMPARE(Children(l1Node), QStringList({"[hub] h1", "[hub] h2"}));
        QCOMPARE(Tree()->currentItem(), l1Node);
        l1Node->setExpanded(false);
        l1Node->setExpanded(true);
        QCOMPARE(l1Node->childCount(), 2);

        // A click on the same row builds the tree afresh.
        Click("h1");
        QCOMPARE(CountNodes(Tree()->topLevelItem(0)), 5);

        // A null connection reads "[type, null]".
        Relate(mp_hub, T("is_online"), Many, One);
        h2.NewItem("is_online");
        Click("h2");
        QCOMPARE(Children(Tree()->topLevelItem(0)), QStringList({"[leaf] l1", "[is_online, null]"}));
    }

    void removingAnItemRemovesAllItsNodes()
    {
        auto [h1, h2, l1, l2] = MakeGraph(true);
        Click("h1");
        QTreeWidgetItem* root = Tree()->topLevelItem(0);
        // l1 also shows inside its own subtree: h1 > l1 > h2 > l1.
        QTreeWidgetItem* l1Node = Child(root, "[leaf] l1");
        l1Node->setExpanded(true);
        QTreeWidgetItem* h2Node = Child(l1Node, "[hub] h2");
        h2Node->setExpanded(true);
        Child(h2Node, "[leaf] l1")->setExpanded(true);
        Child(h2Node, "[leaf] l2")->setExpanded(true);
        // Eleven item nodes and the placeholders of the six not unfolded.
        QCOMPARE(CountNodes(root), 17);

        l1.Remove();
        QCOMPARE(Children(root), QStringList({"[leaf] l2"}));
        QCOMPARE(CountNodes(root), 3);
        // The remaining nodes still unfold.
        Child(root, "[leaf] l2")->setExpanded(true);
        QCOMPARE(Children(Child(root, "[leaf] l2")), QStringList({"[hub] h1", "[hub] h2"}));

        // The shown item going empties the tree and its row goes next turn.
        h1.Remove();
        QCOMPARE(Tree()->topLevelItemCount(), 0);
        Turn();
        QCOMPARE(Listed(), QStringList({"h2"}));
        h2.Remove();
        l2.Remove();
        Turn();
        QVERIFY(Listed().isEmpty());
    }

    void bigLevelsComeAThousandAtATime()
    {
        ItemPtr hub = mp_hub->GetItem("hub");
        for (int k = 0; k < 2500; ++k)
            hub += mp_leaf->GetItem(std::to_string(k));
        Select("hub");
        Turn();
        Click("hub");
        QTreeWidgetItem* root = Tree()->topLevelItem(0);
        QCOMPARE(root->childCount(), DataDialog::MAX_CHILDREN_PER_LEVEL + 1);
        QTreeWidgetItem* more = root->child(root->childCount() - 1);
        QVERIFY(more->text(0).contains("1500"));
        mp_dialog->OnDataSubItemActivated(more);
        QCOMPARE(root->childCount(), 2001);
        QCOMPARE(root->child(1000)->text(0), QString("[leaf] 1000"));
        mp_dialog->OnDataSubItemActivated(root->child(2000));
        QCOMPARE(root->childCount(), 2500);
        QCOMPARE(root->child(2499)->text(0), QString("[leaf] 2499"));

        // A leaf shown past the first thousand goes with its item.
        ItemPtr(mp_leaf->HasItem("2100")).Remove();
        QCOMPARE(root->childCount(), 2499);
        // Activating an item node does nothing.
        mp_dialog->OnDataSubItemActivated(root->child(0));
        QCOMPARE(root->childCount(), 2499);
    }

    void noHandlerRunsAfterClose()
    {
        Select("user");
        T("user")->GetItem("alice");
        QVERIFY(mp_dialog->close());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!mp_dialog);
        // Under the address sanitizer any call into the gone dialog fails.
        T("user")->GetItem("bob");
        d->RemoveAllItems();
        Turn();
    }

    void typePageListsNewItemsAndWholeTrees()
    {
        mp_hub->GetItem("before");
        DataTabPage page(mp_hub);
        auto* list = page.findChild<QListWidget*>("itemList");
        auto* tree = page.findChild<QTreeWidget*>("itemDataTree");
        QCOMPARE(list->count(), 0);
        ItemPtr h1 = mp_hub->GetItem("h1");
        ItemPtr h2 = mp_hub->GetItem("h2");
        QCOMPARE(list->item(0)->text(), QString("h2"));
        QCOMPARE(list->item(1)->text(), QString("h1"));
        h1 += mp_leaf->GetItem("l1");
        h2 += mp_leaf->GetItem("l1");
        page.OnItemClicked(list->item(1));
        // No type twice on a path: h1 > l1, and l1's hubs are not repeated.
        QTreeWidgetItem* root = tree->topLevelItem(0);
        QCOMPARE(root->text(0), QString("h1"));
        QCOMPARE(Children(root), QStringList({"[leaf] l1"}));
        QCOMPARE(root->child(0)->childCount(), 0);
        h2.Remove();
        QCOMPARE(list->count(), 1);

        // The eager tree stops at its node limit.
        for (int k = 0; k < DataTabPage::MAX_TREE_NODES + 10; ++k)
            h1 += mp_leaf->GetItem("m" + std::to_string(k));
        page.OnItemClicked(list->item(0));
        root = tree->topLevelItem(0);
        QCOMPARE(CountNodes(root), DataTabPage::MAX_TREE_NODES + 1);
        QCOMPARE(root->child(root->childCount() - 1)->text(0), QString(QChar(0x2026)));
    }
};

QTEST_MAIN(TestDataDialog)
#include "test_datadialog.moc"
