// Searching, the results tabs and what stands behind them: requests sent
// to the scripted server, tabs per request, related searches, wish-list
// runs, closing, and the saved filters that every tab shares.

#include "SearchTestSupport.h"

#include "DataSaver.h"
#include "ProtocolCodes.h"

#include <QComboBox>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>

using namespace searchtest;

namespace
{
QStringList SavedFilters(SearchResultsForm* ip_tab)
{
    auto* box = ip_tab->findChild<QComboBox*>("savedFiltersBox");
    QStringList texts;
    for (int k = 1; k < box->count(); ++k)
        texts << box->itemText(k);
    return texts;
}

QString SaveButtonText(SearchResultsForm* ip_tab)
{
    return ip_tab->findChild<QPushButton*>("saveFilterButton")->text();
}

std::vector<std::string> RequestsOf(QWidget* ip_tab)
{
    std::vector<std::string> values;
    ItemPtr tabItem = T("search_results_widget")->HasItem(Value(ip_tab));
    for (Item* request : tabItem.GetItems("search_request"))
        values.push_back(request->GetValue());
    return values;
}

bool HasEvent(const QString& i_text)
{
    for (QAction* action : eventToolBar->actions())
        if (action->text() == i_text)
            return true;
    return false;
}
}

class TestSearchTabs : public QObject
{
    Q_OBJECT

    Fixture m_f;

private slots:
    void initTestCase() { QVERIFY(m_f.StartServer()); }
    void init() { QVERIFY(m_f.SetUp()); }
    void cleanup() { m_f.TearDown(); }

    void searchOpensOneFocusedTabPerRequest()
    {
        const int before = m_f.m_ts.Received("alice", SM_FILE_SEARCH).size();
        const int related = m_f.m_ts.Received("alice", SM_SEARCH_CORRELATIONS).size();
        m_f.Search("Rock & Roll");
        QVERIFY(m_f.m_ts.WaitFor("alice", SM_FILE_SEARCH, before + 1, g_waitMs));
        QVERIFY(m_f.m_ts.WaitFor("alice", SM_SEARCH_CORRELATIONS, related + 1, g_waitMs));
        const QJsonObject sent = m_f.m_ts.Received("alice", SM_FILE_SEARCH)[before].toObject()["fields"].toObject();
        QCOMPARE(sent["text"].toString(), QString("Rock & Roll"));
        QCOMPARE(m_f.ManualTabs()->count(), 1);
        QCOMPARE(m_f.ManualTabs()->tabText(0), QString("Rock && Roll"));
        QVERIFY(m_f.SearchLine()->text().isEmpty());
        QVERIFY(QTest::qWaitFor([&] { return m_f.ManualTab(0)->searchResults()->hasFocus(); }, g_waitMs));
        QCOMPARE(m_f.mp_form->GetCurrentSearchResultsForm(), m_f.ManualTab(0));

        // The same text again: a second tab, fed by its own request only,
        // with the column widths the user gave the first.
        m_f.ManualTab(0)->searchResults()->setColumnWidth(3, 222);
        m_f.Search("Rock & Roll");
        QVERIFY(m_f.m_ts.WaitFor("alice", SM_FILE_SEARCH, before + 2, g_waitMs));
        QCOMPARE(m_f.ManualTabs()->count(), 2);
        QCOMPARE(m_f.ManualTabs()->currentIndex(), 1);
        QCOMPARE(m_f.ManualTab(1)->searchResults()->columnWidth(3), 222);
        const auto first = RequestsOf(m_f.ManualTab(0));
        const auto second = RequestsOf(m_f.ManualTab(1));
        QCOMPARE(first.size(), size_t(1));
        QCOMPARE(second.size(), size_t(1));
        QVERIFY(first != second);
        const unsigned int token = m_f.LastToken();
        QCOMPARE(second[0], std::to_string(token));
        QVERIFY(m_f.Reply("bob", token, {{"Music\\song.mp3"}}, true, 0, 0));
        QCOMPARE(m_f.ManualTab(1)->searchResults()->topLevelItemCount(), 1);
        QCOMPARE(m_f.ManualTab(0)->searchResults()->topLevelItemCount(), 0);
    }

    void loggedOutSearchKeepsTheLine()
    {
        gp_server->Disconnect();
        QVERIFY(QTest::qWaitFor([] { return !gp_server->IsConnected(); }, g_waitMs));
        const size_t requests = Count("search_request");
        const int sent = m_f.m_ts.Received("alice", SM_FILE_SEARCH).size();
        m_f.Search("jazz");
        QTest::mouseClick(m_f.mp_form->findChild<QPushButton*>("searchButton"), Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(m_f.SearchLine()->text(), QString("jazz"));
        QCOMPARE(m_f.ManualTabs()->count(), 0);
        QCOMPARE(Count("search_request"), requests);
        QCOMPARE(m_f.m_ts.Received("alice", SM_FILE_SEARCH).size(), sent);
    }

    void relatedSearchesByRankInTheirOwnTab()
    {
        QVERIFY(m_f.m_ts.Set("correlations", QJsonObject{{"jazz", QJsonArray{QJsonArray{"bebop", 2}, QJsonArray{"swing", 1}}},
                                                         {"*", QJsonArray{}}}));
        QSignalSpy answered(gp_server, &Server::SearchCorrelations);
        m_f.Search("blues");
        m_f.Search("jazz");
        QVERIFY(QTest::qWaitFor([&] { return answered.count() >= 2; }, g_waitMs));
        SearchResultsForm* blues = m_f.ManualTab(0);
        SearchResultsForm* jazz = m_f.ManualTab(1);
        QVERIFY(blues->CorrelationsWidget()->isHidden());
        QVERIFY(!jazz->CorrelationsWidget()->isHidden());
        QCOMPARE(Texts(jazz->CorrelationsWidget(), nullptr, 0), (QStringList{"swing", "bebop"}));

        // A click fills the line and sends nothing.
        const int sent = m_f.m_ts.Received("alice", SM_FILE_SEARCH).size();
        m_f.mp_form->OnCorrelationClicked(jazz->CorrelationsWidget()->topLevelItem(1), 0);
        QCOMPARE(m_f.SearchLine()->text(), QString("bebop"));
        QCoreApplication::processEvents();
        QCOMPARE(m_f.m_ts.Received("alice", SM_FILE_SEARCH).size(), sent);
        QCOMPARE(m_f.ManualTabs()->count(), 2);

        // A wish-list tab of the same text never shows them.
        ItemPtr(T("wish_list_item")->GetItem("jazz")) += T("wish_list_item_enabled")->GetGlobalNullItem();
        const unsigned int run = gp_server->FileSearch("jazz", true);
        QVERIFY(m_f.Reply("bob", run, {{"a\\b.mp3"}}, true, 0, 0));
        QCOMPARE(m_f.WishTabs()->count(), 1);
        emit gp_server->SearchCorrelations("jazz");
        QVERIFY(m_f.WishTab(0)->CorrelationsWidget()->isHidden());
    }

    void wishRunsOpenJoinAndDrop()
    {
        ItemPtr wish = T("wish_list_item")->GetItem("jazz");
        wish += T("wish_list_item_enabled")->GetGlobalNullItem();
        const unsigned int first = gp_server->FileSearch("jazz", true);
        QCOMPARE(m_f.WishTabs()->count(), 0);
        QVERIFY(m_f.Reply("bob", first, {{"Jazz\\one.mp3"}}, true, 0, 0));
        QCOMPARE(m_f.WishTabs()->count(), 1);
        SearchResultsForm* tab = m_f.WishTab(0);
        QCOMPARE(m_f.WishTabs()->tabText(0), QString("jazz"));
        QVERIFY(!tab->isVisible());
        QVERIFY(!tab->searchResults()->hasFocus());
        QVERIFY(HasEvent("jazz"));

        const unsigned int second = gp_server->FileSearch("jazz", true);
        QVERIFY(m_f.Reply("carol", second, {{"Jazz\\two.mp3"}}, false, 0, 1));
        QCOMPARE(m_f.WishTabs()->count(), 1);
        QCOMPARE(RequestsOf(tab).size(), size_t(2));
        QCOMPARE(tab->searchResults()->topLevelItemCount(), 2);

        // Disabled: a new run's reply goes, even with the tab open.
        wish -= T("wish_list_item_enabled")->GetGlobalNullItem();
        const unsigned int third = gp_server->FileSearch("jazz", true);
        const size_t results = Count("search_result");
        QVERIFY(m_f.Reply("dave", third, {{"Jazz\\three.mp3"}}, true, 0, 0));
        QCOMPARE(tab->searchResults()->topLevelItemCount(), 2);
        QVERIFY(QTest::qWaitFor([&] { return Count("search_result") == results; }, g_waitMs));
        QVERIFY(T("search_request")->HasItem(Value(third))->GetItems("search_results").empty());

        // Closed, the next enabled run opens a new tab.
        wish += T("wish_list_item_enabled")->GetGlobalNullItem();
        m_f.mp_form->OnWishTabCloseRequested(0);
        QCOMPARE(m_f.WishTabs()->count(), 0);
        QVERIFY(wish);
        const unsigned int fourth = gp_server->FileSearch("jazz", true);
        QVERIFY(m_f.Reply("erin", fourth, {{"Jazz\\four.mp3"}}, true, 0, 0));
        QCOMPARE(m_f.WishTabs()->count(), 1);
        QCOMPARE(RequestsOf(m_f.WishTab(0)), std::vector<std::string>{std::to_string(fourth)});
        QCOMPARE(m_f.WishTab(0)->searchResults()->topLevelItemCount(), 1);

        // The current tab follows the inner page on screen; shown, a tab
        // drops its event.
        QVERIFY(HasEvent("jazz"));
        m_f.mp_form->findChild<QTabWidget*>("tabWidget")->setCurrentIndex(1);
        QCOMPARE(m_f.mp_form->GetCurrentSearchResultsForm(), m_f.WishTab(0));
        QVERIFY(!HasEvent("jazz"));
    }

    void closingRemovesWhatStandsBehindTheTab()
    {
        m_f.Search("keep");
        const unsigned int kept = m_f.LastToken();
        m_f.Search("close");
        const unsigned int closed = m_f.LastToken();
        QVERIFY(m_f.Reply("bob", kept, {{"A\\1.mp3"}, {"A\\2.mp3"}}, true, 0, 0));
        const size_t keptNodes = Count("search_result_node") + Count("search_results_folder_node") +
                                 Count("search_results_user_node");
        QVERIFY(m_f.Reply("bob", closed, {{"B\\1.mp3"}, {"C\\2.mp3"}}, true, 0, 0));
        QVERIFY(m_f.Reply("carol", closed, {{"B\\3.mp3"}}, true, 0, 0));
        QCOMPARE(delayedInvoker->PendingCount(), 2);

        QPointer<SearchResultsForm> tab = m_f.ManualTab(1);
        m_f.mp_form->OnTabCloseRequested(1);
        QVERIFY(!tab);
        QCOMPARE(m_f.ManualTabs()->count(), 1);
        QCOMPARE(delayedInvoker->PendingCount(), 1);
        QCOMPARE(Count("search_result_node") + Count("search_results_folder_node") + Count("search_results_user_node"),
                 keptNodes);
        QVERIFY(!T("search_request")->HasItem(Value(closed)));
        QVERIFY(T("search_request")->HasItem(Value(kept)));
        QCOMPARE(Count("search_results"), size_t(1));
        QCOMPARE(Count("search_result"), size_t(2));
        QVERIFY(T("search_request_text")->HasItem(std::string("close")));
        QCOMPARE(m_f.ManualTab(0)->searchResults()->topLevelItemCount(), 1);
        // The other tab's sort still comes; the closed one's never does.
        QVERIFY(QTest::qWaitFor([] { return delayedInvoker->PendingCount() == 0; }, g_waitMs));
    }

    void savedFiltersAreSharedByEveryTab()
    {
        m_f.Search("one");
        m_f.Search("two");
        SearchResultsForm* one = m_f.ManualTab(0);
        SearchResultsForm* two = m_f.ManualTab(1);
        auto save = [](SearchResultsForm* ip_tab) { ip_tab->findChild<QPushButton*>("saveFilterButton")->click(); };

        one->filterEdit()->setText("Beatles Help");
        QCOMPARE(SaveButtonText(one), QString("Save Filter"));
        save(one);
        QCOMPARE(SavedFilters(one), QStringList{"beatles help"});
        QCOMPARE(SavedFilters(two), QStringList{"beatles help"});
        QCOMPARE(SaveButtonText(one), QString("Remove Filter"));
        two->filterEdit()->setText("rock");
        save(two);
        QCOMPARE(SavedFilters(one), (QStringList{"beatles help", "rock"}));

        // Blank filters are refused.
        two->filterEdit()->setText("   ");
        save(two);
        QCOMPARE(Count("saved_filter"), size_t(2));

        // Choosing an entry puts its text in the line.
        auto* box = two->findChild<QComboBox*>("savedFiltersBox");
        box->setCurrentIndex(1);
        QCOMPARE(two->filterEdit()->text(), QString("beatles help"));
        QCOMPARE(box->currentIndex(), 0);

        // Saved filters outlive a state-file save and load.
        QTemporaryDir dir;
        const QByteArray path = QFile::encodeName(dir.filePath("state"));
        dataSaver->Save(path.constData());
        g("saved_filter").Remove();
        QVERIFY(SavedFilters(one).isEmpty());
        dataSaver->Load(path.constData());
        QCOMPARE(SavedFilters(one), (QStringList{"beatles help", "rock"}));

        one->filterEdit()->setText("  Beatles   Help ");
        QCOMPARE(SaveButtonText(one), QString("Remove Filter"));
        save(one);
        QCOMPARE(SavedFilters(one), QStringList{"rock"});
        QCOMPARE(SavedFilters(two), QStringList{"rock"});
        QCOMPARE(SaveButtonText(one), QString("Save Filter"));

        // A closed tab's handlers never run again; a new save lands last.
        m_f.mp_form->OnTabCloseRequested(0);
        two->filterEdit()->setText("jazz");
        save(two);
        QCOMPARE(SavedFilters(two), (QStringList{"rock", "jazz"}));
    }
};

QTEST_MAIN(TestSearchTabs)
#include "test_search_tabs.moc"
