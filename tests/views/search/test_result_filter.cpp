// The filter line of a results tab: results that arrive under a filter end
// as a re-filter with the same text leaves them, words span folder and
// file, excludes reject whole folders, and a folder needs enough files.

#include "SearchTestSupport.h"

using namespace searchtest;

namespace
{
// Every row of the tree with its level, texts and whether it shows.
QStringList Snapshot(QTreeWidget* ip_tree)
{
    QStringList rows;
    std::function<void(QTreeWidgetItem*, int)> walk = [&](QTreeWidgetItem* ip_row, int i_level) {
        rows << QStringLiteral("%1|%2|%3|%4|%5")
                    .arg(i_level)
                    .arg(ip_row->text(0), ip_row->text(3), ip_row->text(4))
                    .arg(ip_row->isHidden() ? QStringLiteral("hidden") : QStringLiteral("shown"));
        for (int k = 0; k < ip_row->childCount(); ++k)
            walk(ip_row->child(k), i_level + 1);
    };
    for (int k = 0; k < ip_tree->topLevelItemCount(); ++k)
        walk(ip_tree->topLevelItem(k), 0);
    return rows;
}

// The shown file names of the tree, as "folder/file".
QStringList Shown(QTreeWidget* ip_tree)
{
    QStringList shown;
    for (int u = 0; u < ip_tree->topLevelItemCount(); ++u)
    {
        QTreeWidgetItem* user = ip_tree->topLevelItem(u);
        for (int f = 0; f < user->childCount(); ++f)
        {
            QTreeWidgetItem* folder = user->child(f);
            for (int k = 0; k < folder->childCount(); ++k)
            {
                QTreeWidgetItem* file = folder->child(k);
                const bool visible = !user->isHidden() && !folder->isHidden() && !file->isHidden();
                if (visible)
                    shown << folder->text(3) + QLatin1Char('/') + file->text(4);
                // A shown file never sits under a hidden row.
                if (!file->isHidden() && !folder->isHidden())
                    Q_ASSERT(!user->isHidden());
            }
        }
    }
    shown.sort();
    return shown;
}
}

class TestResultFilter : public QObject
{
    Q_OBJECT

    Fixture m_f;

    // A new tab whose filter is set before the scripted peers answer, one
    // reply per file so that folders fill up one file at a time.
    SearchResultsForm* TabWithResults(const QString& i_filter)
    {
        m_f.Search(QStringLiteral("q"));
        SearchResultsForm* tab = m_f.ManualTab(m_f.ManualTabs()->count() - 1);
        tab->filterEdit()->setText(i_filter);
        const unsigned int token = Fixture::LastToken();
        const std::vector<std::pair<QByteArray, QByteArray>> files = {
            {"ringo", "Music\\The Beatles\\Help.mp3"},
            {"ringo", "Music\\The Beatles\\Yesterday.mp3"},
            {"ringo", "Misc\\Help.mp3"},
            {"ringo", "Music\\Live Rock\\Rock One.mp3"},
            {"ringo", "Music\\Rock\\Rock Two.mp3"},
            {"paul", "Rock\\One rock.mp3"},
            {"paul", "Rock\\Two rock.mp3"},
            {"paul", "Rock\\Three rock.mp3"},
            {"paul", "Rock\\Four live rock.mp3"},
            {"rock", "Other\\Beatles.txt"},
        };
        for (const auto& file : files)
            if (!m_f.Reply(file.first, token, {{file.second, 2000000, true}}, true, 1000, 0))
                return nullptr;
        return tab;
    }

private slots:
    void initTestCase() { QVERIFY(m_f.StartServer()); }
    void init() { QVERIFY(m_f.SetUp()); }
    void cleanup() { m_f.TearDown(); }

    void arrivalEqualsRefilter_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("shown");
        const QString help = QStringLiteral("The Beatles/Music/Help.mp3");
        QTest::newRow("words span folder and file") << "beatles help" << QStringList{help};
        QTest::newRow("exclude") << "rock -live"
                                 << QStringList{"Rock/Music/Rock Two.mp3", "Rock/One rock.mp3", "Rock/Three rock.mp3",
                                                "Rock/Two rock.mp3"};
        QTest::newRow("user names never match") << "ringo" << QStringList{};
        QTest::newRow("mfif:3") << "rock mfif:3"
                                << QStringList{"Rock/Four live rock.mp3", "Rock/One rock.mp3",
                                               "Rock/Three rock.mp3", "Rock/Two rock.mp3"};
        QTest::newRow("isvbr iscbr") << "isvbr iscbr" << QStringList{};
        QTest::newRow("mfs:2 keeps 2,000,000 bytes") << "mfs:2 yesterday"
                                                     << QStringList{"The Beatles/Music/Yesterday.mp3"};
    }

    void arrivalEqualsRefilter()
    {
        QFETCH(QString, filter);
        QFETCH(QStringList, shown);
        SearchResultsForm* tab = TabWithResults(filter);
        QVERIFY(tab);
        QTreeWidget* tree = tab->searchResults();
        QCOMPARE(Shown(tree), shown);
        const QStringList arrived = Snapshot(tree);

        tab->filterEdit()->clear();
        QCOMPARE(Shown(tree).size(), 10);
        for (const QString& row : Snapshot(tree))
            QVERIFY2(row.endsWith(QLatin1String("shown")), qPrintable(row));

        tab->filterEdit()->setText(filter);
        QCOMPARE(Snapshot(tree), arrived);
    }

    void folderAppearsWithItsThirdFile()
    {
        m_f.Search(QStringLiteral("q"));
        SearchResultsForm* tab = m_f.ManualTab(0);
        tab->filterEdit()->setText(QStringLiteral("mfif:3"));
        const unsigned int token = Fixture::LastToken();
        QTreeWidget* tree = tab->searchResults();
        QVERIFY(m_f.Reply("paul", token, {{"Rock\\a.mp3"}}, true, 1000, 0));
        QVERIFY(m_f.Reply("paul", token, {{"Rock\\b.mp3"}}, true, 1000, 0));
        QTreeWidgetItem* user = UserRow(tree, QStringLiteral("paul"));
        QVERIFY(user);
        QVERIFY(user->isHidden());
        QVERIFY(user->child(0)->isHidden());
        QVERIFY(m_f.Reply("paul", token, {{"Rock\\c.mp3"}}, true, 1000, 0));
        QVERIFY(!user->isHidden());
        QVERIFY(!user->child(0)->isHidden());
        QCOMPARE(Shown(tree).size(), 3);

        // A result the filter hides stays hidden on arrival, and shows once
        // the filter lets it pass.
        tab->filterEdit()->setText(QStringLiteral("zzz"));
        QVERIFY(m_f.Reply("paul", token, {{"Rock\\zzz.mp3"}}, true, 1000, 0));
        QCOMPARE(Shown(tree), QStringList{"Rock/zzz.mp3"});
        tab->filterEdit()->setText(QStringLiteral("b.mp3"));
        QCOMPARE(Shown(tree), QStringList{"Rock/b.mp3"});
    }

    // A folder the filter hides takes its files out of sight with it; one
    // shown again shows exactly its matching files. A size cell reads and
    // counts as a stored one.
    void hiddenFolderShowsOnlyItsMatchesAgain()
    {
        SearchResultsForm* tab = TabWithResults(QStringLiteral("rock mfif:5"));
        QVERIFY(tab);
        QTreeWidget* tree = tab->searchResults();
        QVERIFY(m_f.Reply("zed", Fixture::LastToken(), {{"Z\\plain.txt", 1234567}}, true, 1000, 0));
        QCOMPARE(Shown(tree), QStringList{});
        tab->filterEdit()->setText(QStringLiteral("live"));
        QCOMPARE(Shown(tree), (QStringList{"Live Rock/Music/Rock One.mp3", "Rock/Four live rock.mp3"}));

        QTreeWidgetItem* plain = UserRow(tree, QStringLiteral("zed"))->child(0)->child(0);
        QCOMPARE(plain->text(5), QStringLiteral("1,234,567"));
        QCOMPARE(plain->columnCount(), 6);
        QCOMPARE(UserRow(tree, QStringLiteral("paul"))->child(0)->child(0)->text(5), QStringLiteral("2,000,000"));
    }
};

QTEST_MAIN(TestResultFilter)
#include "test_result_filter.moc"
