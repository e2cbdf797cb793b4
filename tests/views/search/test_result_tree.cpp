// The result tree: scripted peers' replies become one row per user, per
// user and folder, and per result; the rows order themselves once a burst
// of replies is over.

#include "SearchTestSupport.h"

#include "SearchResultListItem.h"

#include <QElapsedTimer>

#include <functional>

using namespace searchtest;

class TestResultTree : public QObject
{
    Q_OBJECT

    Fixture m_f;

    // A manual search of the text; its tab's tree.
    QTreeWidget* NewTab(const QString& i_text)
    {
        m_f.Search(i_text);
        return m_f.ManualTab(m_f.ManualTabs()->count() - 1)->searchResults();
    }

private slots:
    void initTestCase() { QVERIFY(m_f.StartServer()); }
    void init() { QVERIFY(m_f.SetUp()); }
    void cleanup() { m_f.TearDown(); }

    void repliesBecomeUserFolderAndFileRows()
    {
        QTreeWidget* tree = NewTab("songs");
        const unsigned int token = m_f.LastToken();
        const qint64 big = 5368709120LL;
        QVERIFY(m_f.Reply("bob", token,
                          {{"Music\\Beatles\\Help.mp3", 3000000, true}, {"Music\\Beatles\\Anna.mp3"}, {"Other\\big.iso", big}},
                          true, 1536, 0));
        QVERIFY(m_f.Reply("bob", token, {{"Music\\Beatles\\Yes.mp3"}, {"New\\a.txt", 0}}, false, 99999, 7));
        QVERIFY(m_f.Reply("carol", token, {{"Music\\Beatles\\x.mp3"}}, false, 0, 0));
        QVERIFY(m_f.Reply("erin", token, {{"E\\e.mp3"}}, false, 2048, 3));
        QVERIFY(m_f.Reply("frank", token, {{"F\\f.mp3"}}, false, 9000, 3000000000u));
        QVERIFY(m_f.Reply("dave", token, {{"D\\d.mp3"}}, true, 4096, 9));

        // Arrival order until the sort.
        QCOMPARE(Texts(tree, nullptr, 0), (QStringList{"bob", "carol", "erin", "frank", "dave"}));
        QTreeWidgetItem* bob = UserRow(tree, "bob");
        QCOMPARE(bob->text(1), QString("Y"));
        QCOMPARE(bob->text(2), QString("1.5"));
        QCOMPARE(bob->textAlignment(1), int(Qt::AlignHCenter));
        QCOMPARE(UserRow(tree, "carol")->text(1), QString("0"));
        QCOMPARE(UserRow(tree, "carol")->text(2), QString());
        QCOMPARE(Texts(tree, bob, 3), (QStringList{"Beatles/Music", "Other", "New"}));
        QTreeWidgetItem* beatles = bob->child(0);
        QCOMPARE(Texts(tree, beatles, 4), (QStringList{"Help.mp3", "Anna.mp3", "Yes.mp3"}));
        QCOMPARE(beatles->child(0)->text(6), QString("320 VBR, 4m5s"));
        QCOMPARE(bob->child(1)->child(0)->text(5), QString("5,368,709,120"));
        QCOMPARE(bob->child(2)->child(0)->text(5), QString());
        QVERIFY(bob->isExpanded() && beatles->isExpanded());

        // One folder item, a row under each user that has it.
        Item* folder = T("search_result_file_folder")->HasItem(std::string("Music\\Beatles"));
        QCOMPARE(ItemPtr(folder).GetItems("search_results_folder_node").size(), size_t(2));
        QCOMPARE(Count("search_results_user_node"), size_t(5));
        QCOMPARE(Count("search_result_node"), Count("search_result"));

        QCOMPARE(m_f.mp_form->GetNodeUserNode(bob), bob);
        QCOMPARE(m_f.mp_form->GetNodeUserNode(beatles), bob);
        QCOMPARE(m_f.mp_form->GetNodeUserNode(beatles->child(2)), bob);
        QTreeWidgetItem stranger;
        QVERIFY(!m_f.mp_form->GetNodeUserNode(&stranger));

        // Free slots by speed, then queues shortest first, one beyond 2^31
        // last; files A to Z.
        m_f.ManualTab(0)->Sort();
        QCOMPARE(Texts(tree, nullptr, 0), (QStringList{"dave", "bob", "carol", "erin", "frank"}));
        QCOMPARE(Texts(tree, UserRow(tree, "bob")->child(0), 4), (QStringList{"Anna.mp3", "Help.mp3", "Yes.mp3"}));
        m_f.ManualTab(0)->SetSortingParamters(2, Qt::DescendingOrder);
        m_f.ManualTab(0)->Sort();
        QCOMPARE(Texts(tree, nullptr, 0), (QStringList{"frank", "dave", "erin", "bob", "carol"}));
    }

    void aBurstIsSortedOnceASecondAfterItsFirstReply()
    {
        QTreeWidget* tree = NewTab("burst");
        const unsigned int token = m_f.LastToken();
        int layouts = 0;
        connect(tree->model(), &QAbstractItemModel::layoutChanged, this, [&] { ++layouts; });
        QElapsedTimer clock;
        clock.start();
        QVERIFY(m_f.Reply("slow", token, {{"a\\2"}, {"a\\1"}}, false, 10, 4));
        QVERIFY(m_f.Reply("fast", token, {{"a\\1"}}, true, 10, 0));
        QCOMPARE(Texts(tree, nullptr, 0), (QStringList{"slow", "fast"}));
        QVERIFY(QTest::qWaitFor([&] { return Texts(tree, nullptr, 0) == QStringList{"fast", "slow"}; }, g_waitMs));
        // Timers may fire a little early; never a reply's worth of time.
        QVERIFY2(clock.elapsed() >= 900, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(Texts(tree, UserRow(tree, "slow")->child(0), 4), (QStringList{"1", "2"}));
        const int sorted = layouts;
        QTest::qWait(1500);
        QCOMPARE(layouts, sorted);

        // The next burst sorts its own rows again.
        QVERIFY(m_f.Reply("slow", token, {{"a\\0"}}, false, 10, 4));
        QVERIFY(m_f.Reply("third", token, {{"b\\1"}}, true, 99, 0));
        QVERIFY(QTest::qWaitFor([&] { return Texts(tree, nullptr, 0) == QStringList{"third", "fast", "slow"}; },
                                g_waitMs));
        QCOMPARE(Texts(tree, UserRow(tree, "slow")->child(0), 4), (QStringList{"0", "1", "2"}));
    }

    void orderingIsAStrictWeakOrder()
    {
        QTreeWidget tree;
        tree.setColumnCount(7);
        struct Key
        {
            bool free;
            const char* queue;
            unsigned long long speed;
            const char* file;
        };
        const Key keys[] = {{true, "0", 5000, ""},  {true, "3", 100, ""},        {false, "", 100, ""},
                            {false, "0", 9000, ""}, {false, "0", 100, ""},       {false, "3", 0, ""},
                            {false, "4294967295", 1, ""}, {false, "", 0, "b"}, {false, "", 0, "B"},
                            {false, "", 0, "a"}};
        std::vector<SearchResultListItem*> rows;
        for (const Key& key : keys)
        {
            auto* row = new SearchResultListItem(&tree);
            if (*key.file)
                row->SetFileName(key.file);
            else
                row->SetUser("u", key.free, key.queue, key.speed);
            rows.push_back(row);
        }
        for (int column : {1, 2, 4})
        {
            tree.sortByColumn(column, Qt::DescendingOrder);
            auto less = [](const SearchResultListItem* a, const SearchResultListItem* b) { return *a < *b; };
            for (auto* a : rows)
            {
                QVERIFY(!less(a, a));
                for (auto* b : rows)
                    for (auto* c : rows)
                    {
                        if (less(a, b) && less(b, c))
                            QVERIFY(less(a, c));
                        const bool ab = !less(a, b) && !less(b, a);
                        const bool bc = !less(b, c) && !less(c, b);
                        if (ab && bc)
                            QVERIFY(!less(a, c) && !less(c, a));
                    }
            }
        }
        // "Free" empty and "0" are the same queue; the faster goes first.
        tree.sortByColumn(1, Qt::DescendingOrder);
        QCOMPARE(tree.indexOfTopLevelItem(rows[3]) < tree.indexOfTopLevelItem(rows[2]), true);
    }
};

QTEST_MAIN(TestResultTree)
#include "test_result_tree.moc"
