// The wish list: rows built at start-up from the stored items, check boxes
// that the scheduler follows, the toolbar's enable, disable and remove, and
// Add to Wishlist from a results tab.

#include "SearchTestSupport.h"

#include "StoreLookup.h"
#include "WishListSearcher.h"

#include <QCheckBox>

using namespace searchtest;

namespace
{
ItemPtr StoreWish(const char* ip_text, bool i_enabled)
{
    ItemPtr item = T("wish_list_item")->GetItem(ip_text);
    if (i_enabled)
        item += T("wish_list_item_enabled")->GetGlobalNullItem();
    return item;
}

bool IsEnabled(const char* ip_text)
{
    return FindItem("wish_list_item", ip_text).IsConnected("wish_list_item_enabled");
}
}

class TestWishList : public QObject
{
    Q_OBJECT

    Fixture m_f;

    QTreeWidget* WishList() const { return m_f.mp_form->findChild<QTreeWidget*>("wishList"); }
    QCheckBox* Box(int i_row) const
    {
        return qobject_cast<QCheckBox*>(WishList()->itemWidget(WishList()->topLevelItem(i_row), 0));
    }

private slots:
    void initTestCase() { QVERIFY(m_f.StartServer()); }
    void init()
    {
        QVERIFY(m_f.SetUp([] {
            StoreWish("zebra", true);
            StoreWish("apple", false);
            StoreWish("mango", true);
        }));
    }
    void cleanup() { m_f.TearDown(); }

    void startUpRowsFollowTheStore()
    {
        QTreeWidget* list = WishList();
        QCOMPARE(Texts(list, nullptr, 1), (QStringList{"apple", "mango", "zebra"}));
        QCOMPARE(Texts(list, nullptr, 0), (QStringList{"", "Y", "Y"}));
        QVERIFY(!Box(0)->isChecked());
        QVERIFY(Box(1)->isChecked() && Box(2)->isChecked());
        // Building the rows changed nothing stored.
        QCOMPARE(Count("wish_list_item"), size_t(3));
        QVERIFY(!IsEnabled("apple") && IsEnabled("mango") && IsEnabled("zebra"));
    }

    void schedulerFollowsTheBoxes()
    {
        WishListSearcher searcher(nullptr);
        QSignalSpy sent(gp_server, &Server::SearchRequested);
        Box(1)->click();   // mango off
        QVERIFY(!IsEnabled("mango"));
        QCOMPARE(WishList()->topLevelItem(1)->text(0), QString());
        for (int k = 0; k < 3; ++k)
            searcher.OnTimer();
        QCOMPARE(sent.size(), 3);
        for (const auto& call : sent)
        {
            QCOMPARE(call.at(1).value<std::string>(), std::string("zebra"));
            QVERIFY(call.at(2).toBool());
        }

        // Enabling all when all are enabled changes nothing; then all off.
        m_f.mp_form->OnActionBarTriggered("enable_all_wish_list_items");
        QVERIFY(IsEnabled("apple") && IsEnabled("mango") && IsEnabled("zebra"));
        QSignalSpy toggled(Box(0), &QCheckBox::stateChanged);
        m_f.mp_form->OnActionBarTriggered("enable_all_wish_list_items");
        QCOMPARE(toggled.size(), 0);
        m_f.mp_form->OnActionBarTriggered("disable_all_wish_list_items");
        QVERIFY(!IsEnabled("apple") && !IsEnabled("mango") && !IsEnabled("zebra"));
        QCOMPARE(Texts(WishList(), nullptr, 0), (QStringList{"", "", ""}));
        std::string next;
        QVERIFY(!WishListSearcher::NextText("", next));
    }

    void removingSelectedRows()
    {
        WishList()->setSelectionMode(QAbstractItemView::ExtendedSelection);
        WishList()->topLevelItem(0)->setSelected(true);
        WishList()->topLevelItem(2)->setSelected(true);
        m_f.mp_form->OnActionBarTriggered("remove_wish_list_item");
        QCOMPARE(Texts(WishList(), nullptr, 1), QStringList{"mango"});
        QCOMPARE(Count("wish_list_item"), size_t(1));
        QCOMPARE(Count("wish_list_node"), size_t(1));
        QCOMPARE(Count("wish_list_node_checkbox"), size_t(1));
    }

    void addToWishlistFromATab()
    {
        m_f.Search(QStringLiteral("jazz"));
        QCOMPARE(m_f.ManualTabs()->count(), 1);
        m_f.mp_form->OnActionBarTriggered("add_remove_wishlist");
        m_f.mp_form->OnActionBarTriggered("add_remove_wishlist");
        QVERIFY(IsEnabled("jazz"));
        QCOMPARE(Count("wish_list_item"), size_t(4));
        QCOMPARE(Texts(WishList(), nullptr, 1), (QStringList{"apple", "jazz", "mango", "zebra"}));

        // An empty search's tab puts nothing on the list.
        m_f.mp_form->CreateSearchForm(4242, "", false);
        m_f.ManualTabs()->setCurrentIndex(1);
        m_f.mp_form->OnActionBarTriggered("add_remove_wishlist");
        QCOMPARE(Count("wish_list_item"), size_t(4));
        m_f.mp_form->OnAddToWishListClicked();
        QCOMPARE(Count("wish_list_item"), size_t(4));

        // A wish run's tab takes its item off the list and stays.
        gp_server->FileSearch("zebra", true);
        const unsigned int token = Fixture::LastToken();
        QVERIFY(m_f.Reply("paul", token, {{"Zoo\\zebra.mp3"}}, true, 1000, 0));
        QCOMPARE(m_f.WishTabs()->count(), 1);
        // The wish-list page on screen makes its tab the current one.
        auto* pages = m_f.mp_form->findChild<QTabWidget*>("tabWidget");
        pages->setCurrentWidget(pages->findChild<QWidget*>("wishListSearchesTab"));
        QTRY_VERIFY(m_f.WishTabs()->isVisible());
        m_f.mp_form->OnActionBarTriggered("add_remove_wishlist");
        QVERIFY(!FindItem("wish_list_item", "zebra"));
        QCOMPARE(m_f.WishTabs()->count(), 1);
        QCOMPARE(Texts(WishList(), nullptr, 1), (QStringList{"apple", "jazz", "mango"}));
    }
};

QTEST_MAIN(TestWishList)
#include "test_wish_list.moc"
