// The wish-list searcher with the real server connection, logged in to the
// scripted test server. Ticks are driven through the public tick slot; only
// the timer case lets the real timer fire once.

#include "common/TestEnvironment.h"
#include "Data.h"
#include "Log.h"
#include "ProtocolCodes.h"
#include "TimerManager.h"
#include "WishListSearcher.h"
#include "common/TestServer.h"
#include "server.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest>

namespace
{
const int WAIT_MS = 10000;
const char* const USER = "wisher";
}

class TestWishList : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roundRobinOverEnabledItemsInAlphabeticalOrder();
    void followsItemsEnabledDisabledAddedAndRemoved();
    void nothingIsSearchedWhileOffline();
    void intervalMessageStartsRestartsAndStopsTheTimer();

private:
    Item* AddItem(const std::string& i_text, bool i_enabled);
    void SetEnabled(const std::string& i_text, bool i_enabled);
    bool LogIn();
    // One tick; returns the text the server received for it, or "<none>"
    // when the tick sent nothing (checked through the client's own signal,
    // which comes with every search, sent or dropped).
    QString Tick();
    QStringList ServerTexts();

    TestServer* mp_testServer = nullptr;
    QObject* mp_window = nullptr;
    QStringList m_wishLines;
    QStringList m_intervalLines;
};

void TestWishList::init()
{
    d->Reset();
    Type* global = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    global->RelateToType(value, Many, One, false);
    Type* item = d->NewType("wish_list_item", true, false, true);
    Type* enabled = d->NewType("wish_list_item_enabled", false, true, true);
    item->RelateToType(enabled, Many, One, false);

    StopSharedTimers();

    m_wishLines.clear();
    m_intervalLines.clear();
    SetLogSink([this](const QString& i_category, int, const QString& i_text, ItemPtr) {
        if (i_category != QLatin1String("Wish List"))
            return;
        if (i_text.startsWith(QLatin1String("Sent wish list search: ")))
            m_wishLines << i_text;
        else
            m_intervalLines << i_text;
    });

    mp_testServer = new TestServer;
    QVERIFY(mp_testServer->Start());
    Server* server = new Server;
    server->CreateData();
    server->SetConnectTimeout(2000);
    SetSetting("username", USER);
    SetSetting("password", "secret");
    SetSetting("server_host", "127.0.0.1");
    SetSetting("server_port", std::to_string(mp_testServer->Port()));

    mp_window = new QObject;
    new WishListSearcher(mp_window);
    QVERIFY(wishListSearcher);
}

void TestWishList::cleanup()
{
    delete mp_window;   // takes the searcher with it
    QVERIFY(!wishListSearcher);
    mp_window = nullptr;
    delete gp_server;
    delete mp_testServer;
    mp_testServer = nullptr;
    ClearLogSink();
    d->Reset();
}

Item* TestWishList::AddItem(const std::string& i_text, bool i_enabled)
{
    Item* item = T("wish_list_item")->NewItem(i_text);
    if (i_enabled)
        item->Connect(T("wish_list_item_enabled")->GetGlobalNullItem());
    return item;
}

void TestWishList::SetEnabled(const std::string& i_text, bool i_enabled)
{
    Item* item = T("wish_list_item")->HasItem(i_text);
    QVERIFY(item);
    if (i_enabled)
        item->Connect(T("wish_list_item_enabled")->GetGlobalNullItem());
    else
        item->Disconnect("wish_list_item_enabled");
}

bool TestWishList::LogIn()
{
    QSignalSpy connected(gp_server, &Server::Connected);
    gp_server->Connect();
    return (connected.count() > 0 || connected.wait(WAIT_MS)) && gp_server->IsConnected();
}

QStringList TestWishList::ServerTexts()
{
    QStringList texts;
    for (const QJsonValue& message : mp_testServer->Received(USER, SM_WISH_LIST_SEARCH))
        texts << message.toObject().value("fields").toObject().value("text").toString();
    return texts;
}

QString TestWishList::Tick()
{
    QSignalSpy requested(gp_server, &Server::SearchRequested);
    const int before = ServerTexts().size();
    wishListSearcher->OnTimer();
    if (requested.isEmpty())
        return QStringLiteral("<none>");
    // A wish-list search, never a plain one.
    if (!requested.first().at(2).toBool())
        return QStringLiteral("<not a wish-list search>");
    if (!mp_testServer->WaitFor(USER, SM_WISH_LIST_SEARCH, before + 1, WAIT_MS))
        return QStringLiteral("<not received>");
    return ServerTexts().value(before);
}

// ---------------------------------------------------------------- cases

void TestWishList::roundRobinOverEnabledItemsInAlphabeticalOrder()
{
    // Made out of order; one disabled; one beyond ASCII (UTF-8 sorts bytewise
    // after every ASCII text); an upper-case text sorts before lower case.
    AddItem("delta", true);
    AddItem("\xC3\xA9lan", true);   // "élan"
    AddItem("alpha", true);
    AddItem("charlie", false);
    AddItem("bravo", true);
    AddItem("Zulu", true);
    QVERIFY(LogIn());

    QStringList texts;
    for (int i = 0; i < 7; ++i)
        texts << Tick();
    const QString elan = QString::fromUtf8("\xC3\xA9lan");
    QCOMPARE(texts, QStringList({"Zulu", "alpha", "bravo", "delta", elan, "Zulu", "alpha"}));
    QCOMPARE(m_wishLines.size(), 7);
    QCOMPARE(m_wishLines[4], QStringLiteral("Sent wish list search: ") + elan);
    QCOMPARE(wishListSearcher->LastSearched(), std::string("alpha"));
    QVERIFY(mp_testServer->Received(USER, SM_FILE_SEARCH).isEmpty());
}

void TestWishList::followsItemsEnabledDisabledAddedAndRemoved()
{
    AddItem("alpha", true);
    AddItem("bravo", true);
    AddItem("charlie", false);
    AddItem("delta", true);
    QVERIFY(LogIn());

    QCOMPARE(Tick(), QStringLiteral("alpha"));
    SetEnabled("charlie", true);
    QCOMPARE(Tick(), QStringLiteral("bravo"));

    // The item searched last goes: the round continues after its text.
    T("wish_list_item")->HasItem("bravo")->Remove();
    QCOMPARE(Tick(), QStringLiteral("charlie"));

    // Added behind the position and before it; the next one disabled.
    AddItem("echo", true);
    AddItem("aardvark", true);
    SetEnabled("delta", false);
    QCOMPARE(Tick(), QStringLiteral("echo"));
    QCOMPARE(Tick(), QStringLiteral("aardvark"));
    QCOMPARE(Tick(), QStringLiteral("alpha"));

    // Only one enabled item: it is searched every time.
    SetEnabled("aardvark", false);
    SetEnabled("alpha", false);
    SetEnabled("echo", false);
    QCOMPARE(Tick(), QStringLiteral("charlie"));
    QCOMPARE(Tick(), QStringLiteral("charlie"));

    // None enabled, then none at all: ticks send nothing.
    SetEnabled("charlie", false);
    QCOMPARE(Tick(), QStringLiteral("<none>"));
    T("wish_list_item")->GetItems().Remove();
    QCOMPARE(Tick(), QStringLiteral("<none>"));
    QCOMPARE(m_wishLines.size(), 8);
}

void TestWishList::nothingIsSearchedWhileOffline()
{
    AddItem("alpha", true);
    AddItem("bravo", true);

    // Before the first login.
    QCOMPARE(Tick(), QStringLiteral("<none>"));
    QVERIFY(wishListSearcher->LastSearched().empty());

    QVERIFY(LogIn());
    QCOMPARE(Tick(), QStringLiteral("alpha"));

    // After the user disconnects, and after the connection is lost.
    gp_server->Disconnect();
    QVERIFY(!gp_server->IsConnected());
    QCOMPARE(Tick(), QStringLiteral("<none>"));
    QVERIFY(LogIn());
    QCOMPARE(Tick(), QStringLiteral("bravo"));

    QSignalSpy disconnected(gp_server, &Server::Disconnected);
    QVERIFY(mp_testServer->Drop(USER));
    QVERIFY(disconnected.count() > 0 || disconnected.wait(WAIT_MS));
    QCOMPARE(Tick(), QStringLiteral("<none>"));

    // The round goes on where it stopped.
    QVERIFY(LogIn());
    QCOMPARE(Tick(), QStringLiteral("alpha"));
    QCOMPARE(m_wishLines, QStringList({"Sent wish list search: alpha", "Sent wish list search: bravo",
                                       "Sent wish list search: alpha"}));
}

void TestWishList::intervalMessageStartsRestartsAndStopsTheTimer()
{
    AddItem("alpha", true);
    QVERIFY(!wishListSearcher->IsRunning());

    // The server sends its interval right after the login.
    QVERIFY(mp_testServer->Set("wish_interval", 300));
    QVERIFY(LogIn());
    QVERIFY(QTest::qWaitFor([] { return wishListSearcher->Interval() == 300; }, WAIT_MS));
    QVERIFY(wishListSearcher->IsRunning());

    // 0 stops the searches.
    QVERIFY(mp_testServer->Set("wish_interval", 0));
    QVERIFY(QTest::qWaitFor([] { return wishListSearcher->Interval() == 0; }, WAIT_MS));
    QVERIFY(!wishListSearcher->IsRunning());

    // A value beyond what a timer holds still starts it (capped).
    QVERIFY(mp_testServer->Set("wish_interval", qint64(4000000000LL)));
    QVERIFY(QTest::qWaitFor([] { return wishListSearcher->Interval() == 4000000000U; }, WAIT_MS));
    QVERIFY(wishListSearcher->IsRunning());

    // A new message restarts the timer with its value, and the timer itself
    // drives the searches.
    QVERIFY(mp_testServer->Set("wish_interval", 1));
    QVERIFY(QTest::qWaitFor([] { return wishListSearcher->Interval() == 1; }, WAIT_MS));
    QVERIFY(wishListSearcher->IsRunning());
    QVERIFY(mp_testServer->WaitFor(USER, SM_WISH_LIST_SEARCH, 1, WAIT_MS));
    QCOMPARE(ServerTexts().first(), QStringLiteral("alpha"));

    QVERIFY(m_intervalLines.contains("Wish list search interval set to 300 seconds"));
    QVERIFY(m_intervalLines.contains("The server stopped wish list searches"));
    QVERIFY(m_intervalLines.contains("Wish list search interval set to 1 seconds"));
}

QTEST_GUILESS_MAIN(TestWishList)
#include "test_wishlist.moc"
