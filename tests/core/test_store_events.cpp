// Store events: their order on connect, disconnect and removal, pair
// handlers, One-sided relations, NewItem's cases, shared flag items, lookup
// by value and the exceptions of misuse.

#include "StoreTestUtil.h"

#include <QtTest>

#include <cstring>

namespace {

// An owner that registers the way the views do: handler objects bound to
// member functions, put into the event and into its own handler set.
class View : public DataHandler
{
public:
    QStringList m_lines;
    void OnAdded(Item* ip_item) { m_lines << "added " + Name(ip_item); }
    void OnConnectedRef(ConnectionInfo& i_info) { m_lines << "ref " + Name(i_info.from); }
    void OnConnectedCopy(ConnectionInfo i_info) { m_lines << "copy " + Name(i_info.from); }

    void Register(Type* ip_user, Type* ip_room)
    {
        auto* added = new EventHandler<View, Item*>(this, &View::OnAdded);
        m_handlers.insert(added);
        d->itemAdded.insert(added);
        auto* ref = new EventHandler<View, ConnectionInfo&>(this, &View::OnConnectedRef);
        m_handlers.insert(ref);
        ip_user->connected.insert(ref);
        auto* copy = new EventHandler<View, ConnectionInfo>(this, &View::OnConnectedCopy);
        m_handlers.insert(copy);
        ip_room->connected.insert(copy);
        auto* pair = new EventHandler<View, ConnectionInfo>(this, &View::OnConnectedCopy);
        m_handlers.insert(pair);
        d->AddConnectionEventHandler(ip_room, ip_user, pair);
    }
};

} // namespace

class TestStoreEvents : public QObject
{
    Q_OBJECT

    Type* m_user = nullptr;
    Type* m_room = nullptr;

private slots:
    void init();
    void cleanup() { d->Reset(); }

    void connectFiresInOrder();
    void handlersBoundToMembers();
    void connectFromTheOtherSideSwapsTypeEventsButNotPairEnds();
    void disconnectFiresInOrderWithoutPairHandlers();
    void connectingTwiceFiresNothing();
    void connectAllLinksAsConnectDoes();
    void removeReportsIntactItemThenDisconnectionsThenFreesIt();
    void itemAddedReachesTypeThenStore();
    void oneSideReplacesOldPartnerFirst_data();
    void oneSideReplacesOldPartnerFirst();
    void newItemFollowsTheRelation();
    void newItemOnValuedTypeThrows();
    void globalNullItemIsSharedAndMadeOnce();
    void getItemCreatesOnlyOnAutoCreateTypes();
    void misuseThrowsByValue();
    void handlerAddedDuringNotificationWaitsForTheNextOne();
    void disabledHandlerIsDeletedNotCalled();
    void settingsReplaceTheirValue();
    void resetDropsStoreWideHandlers();
    void typeNamesFollowTheirText();
};

void TestStoreEvents::init()
{
    d->Reset();
    m_user = d->NewType("user", true, false, true);
    m_room = d->NewType("room", true, false, true);
    m_user->RelateToType(m_room, Many, Many, false);
}

void TestStoreEvents::connectFiresInOrder()
{
    Recorder r;
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr lobby = m_room->GetItem("lobby");
    r.OnConnection(m_room->connected, "room");
    r.OnConnection(m_user->connected, "user");
    r.OnConnection(d->connected, "store");
    r.OnPair(m_room, m_user, "pair(room,user)");
    r.OnPair(m_user, m_room, "pair(user,room)");
    auto* root = new PathNode(d, "user");
    new PathNode(root, "room", ConnectedNotify);
    r.OnPath(root, "path");

    alice += lobby;

    QCOMPARE(r.Take(), QStringList({"user user:alice room:lobby", "store user:alice room:lobby",
                                    "room room:lobby user:alice", "pair(user,room) user:alice room:lobby",
                                    "pair(room,user) room:lobby user:alice", "path user:alice"}));
}

void TestStoreEvents::handlersBoundToMembers()
{
    auto* view = new View;
    view->Register(m_user, m_room);
    ItemPtr alice = m_user->GetItem("alice");
    alice += ItemPtr(m_room->GetItem("lobby"));
    QCOMPARE(view->m_lines,
             QStringList({"added user:alice", "added room:lobby", "ref user:alice", "copy room:lobby", "copy room:lobby"}));
    delete view;
    ItemPtr(m_user->GetItem("bob")) += ItemPtr(m_room->GetItem("lobby"));
}

void TestStoreEvents::connectFromTheOtherSideSwapsTypeEventsButNotPairEnds()
{
    Recorder r;
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr lobby = m_room->GetItem("lobby");
    r.OnConnection(m_user->connected, "user");
    r.OnConnection(m_room->connected, "room");
    r.OnConnection(d->connected, "store");
    r.OnPair(m_user, m_room, "pair(user,room)");

    lobby += alice;

    QCOMPARE(r.Take(), QStringList({"room room:lobby user:alice", "store room:lobby user:alice",
                                    "user user:alice room:lobby", "pair(user,room) user:alice room:lobby"}));
}

void TestStoreEvents::disconnectFiresInOrderWithoutPairHandlers()
{
    Recorder r;
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr lobby = m_room->GetItem("lobby");
    alice += lobby;
    r.OnConnection(m_user->disconnected, "user");
    r.OnConnection(m_room->disconnected, "room");
    r.OnConnection(d->disconnected, "store");
    r.OnPair(m_user, m_room, "pair");
    auto* root = new PathNode(d, "user");
    new PathNode(root, "room", NotifyOnDisconnect);
    r.OnPath(root, "path");

    lobby -= alice;

    QCOMPARE(r.Take(), QStringList({"room room:lobby user:alice", "store room:lobby user:alice",
                                    "user user:alice room:lobby", "path user:alice"}));
    QVERIFY(alice->IsDisconnectedFromAll());
    QVERIFY(lobby->IsDisconnectedFromAll());
}

void TestStoreEvents::connectingTwiceFiresNothing()
{
    Recorder r;
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr lobby = m_room->GetItem("lobby");
    alice += lobby;
    r.OnConnection(d->connected, "store");
    r.OnConnection(d->disconnected, "gone");
    r.OnPair(m_user, m_room, "pair");

    alice += lobby;
    lobby += alice;
    alice -= m_room->GetItem("elsewhere");

    QCOMPARE(r.Take(), QStringList());
    QCOMPARE(alice.GetItems("room").size(), size_t(1));
}

void TestStoreEvents::connectAllLinksAsConnectDoes()
{
    // Unheard: made in one go, in serial order, seen from both ends; past
    // the size of a small group too.
    std::vector<Item*> rooms;
    QStringList roomNames;
    for (int k = 0; k < 70; ++k)
    {
        rooms.push_back(m_room->GetItem("r" + std::to_string(k)));
        roomNames << Name(rooms.back());
    }
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr bob = m_user->GetItem("bob");
    bob->ConnectAll(rooms);   // the newest user: at the end of each room
    QCOMPARE(Names(bob.GetItems("room")), roomNames);
    alice->ConnectAll({rooms[0], rooms[1]});   // an older one: before bob
    QCOMPARE(Names(alice.GetItems("room")), QStringList(roomNames.mid(0, 2)));
    QCOMPARE(Names(ItemPtr(rooms[1]).GetItems("user")), QStringList({"user:alice", "user:bob"}));
    QVERIFY(ItemPtr(rooms[69]).IsConnected(bob) && bob.IsConnected(ItemPtr(rooms[69])));

    // A partner of that type already: one by one, with no repeat.
    alice->ConnectAll({rooms[1], rooms[2]});
    QCOMPARE(Names(alice.GetItems("room")), QStringList(roomNames.mid(0, 3)));

    // Heard: every link is told, in order.
    Recorder r;
    r.OnPair(m_user, m_room, "pair");
    ItemPtr carol = m_user->GetItem("carol");
    carol->ConnectAll({rooms[3], rooms[4]});
    QCOMPARE(r.Take(), QStringList({"pair user:carol room:r3", "pair user:carol room:r4"}));

    // One partner of a kind: the last one stays, as with Connect.
    Type* country = d->NewType("country_code", false, false, true);
    m_user->RelateToType(country, Many, One, false);
    ItemPtr dave = m_user->GetItem("dave");
    dave->ConnectAll({country->GetItem("DE"), country->GetItem("FR")});
    QCOMPARE(Names(dave.GetItems("country_code")), QStringList({"country_code:FR"}));
}

void TestStoreEvents::removeReportsIntactItemThenDisconnectionsThenFreesIt()
{
    Recorder r;
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr lobby = m_room->GetItem("lobby");
    ItemPtr attic = m_room->GetItem("attic");
    alice += lobby;
    alice += attic;
    auto seeConnections = [](Item* ip_item) {
        QCOMPARE(ip_item->GetValue(), std::string("alice"));
        QCOMPARE(ip_item->GetItems("room").size(), size_t(2));
        QVERIFY(ip_item->IsRemoved());
    };
    r.OnItem(m_user->itemRemoved, "type-removed", seeConnections);
    r.OnItem(d->itemRemoved, "store-removed", seeConnections);
    r.OnConnection(m_user->disconnected, "user-disc");
    r.OnConnection(m_room->disconnected, "room-disc");

    alice.Remove();

    // Each connection goes with its own three events; the order of the two
    // connections is the store's, the events within one are fixed.
    const QStringList lines = r.Take();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines.mid(0, 2), QStringList({"type-removed user:alice", "store-removed user:alice"}));
    QVERIFY(lines[2].startsWith("user-disc user:alice room:"));
    QVERIFY(lines[3].startsWith("room-disc room:"));
    QVERIFY(lobby->IsDisconnectedFromAll());
    QVERIFY(attic->IsDisconnectedFromAll());
    QVERIFY(!m_user->HasItem("alice"));
    QVERIFY(g("user").empty());
}

void TestStoreEvents::itemAddedReachesTypeThenStore()
{
    Recorder r;
    r.OnItem(d->itemAdded, "store");
    r.OnItem(m_user->itemAdded, "type");
    m_user->GetItem("bob");
    m_user->GetItem("bob");   // exists: nothing new
    QCOMPARE(r.Take(), QStringList({"type user:bob", "store user:bob"}));
}

void TestStoreEvents::oneSideReplacesOldPartnerFirst_data()
{
    QTest::addColumn<bool>("fromUser");
    QTest::newRow("connect from the One side") << true;
    QTest::newRow("connect from the Many side") << false;
}

void TestStoreEvents::oneSideReplacesOldPartnerFirst()
{
    QFETCH(bool, fromUser);
    Type* country = d->NewType("country_code", false, false, true);
    // A user has one country; a country has many users.
    m_user->RelateToType(country, Many, One, false);
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr de = country->GetItem("DE");
    ItemPtr fr = country->GetItem("FR");
    alice += de;
    Recorder r;
    r.OnConnection(d->connected, "conn");
    r.OnConnection(d->disconnected, "disc");

    if (fromUser)
        alice += fr;
    else
        fr += alice;

    const QStringList lines = r.Take();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QString("disc user:alice country_code:DE"));
    QVERIFY(lines[1].startsWith("conn "));
    QCOMPARE(ItemPtr(alice["country_code"]).AsString(), std::string("FR"));
    QVERIFY(de->IsDisconnectedFromAll());
    // The Many side keeps every partner.
    ItemPtr bob = m_user->GetItem("bob");
    bob += fr;
    QCOMPARE(Names(fr.GetItems("user")), QStringList({"user:alice", "user:bob"}));
}

void TestStoreEvents::newItemFollowsTheRelation()
{
    Type* entry = d->NewType("in_user_list", false, true, false);
    Type* online = d->NewType("is_online", false, true, false);
    Type* group = d->NewType("user_list_group", true, false, true);
    m_user->RelateToType(entry, One, One, false);
    group->RelateToType(entry, Many, Many, false);
    // Many users share the one flag item; a user has at most one.
    m_user->RelateToType(online, Many, One, false);
    Recorder r;
    r.OnItem(entry->itemAdded, "entry");

    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr bob = m_user->GetItem("bob");
    // One-One: a new entry per user, then that same entry.
    ItemPtr aliceEntry = alice.NewItem("in_user_list");
    QVERIFY(aliceEntry);
    QCOMPARE(alice.NewItem("in_user_list"), aliceEntry);
    ItemPtr bobEntry = bob.NewItem("in_user_list");
    QVERIFY(bobEntry != aliceEntry);
    QCOMPARE(r.Take().size(), 2);
    // One on this side, Many on the other: the shared flag item.
    ItemPtr aliceOnline = alice.NewItem("is_online");
    QCOMPARE(bob.NewItem("is_online"), aliceOnline);
    QCOMPARE(aliceOnline, ItemPtr(online->GetGlobalNullItem()));
    QCOMPARE(online->ItemCount(), size_t(1));
    QCOMPARE(aliceOnline.GetItems("user").size(), size_t(2));
    // Many on this side: always a new item, connected.
    ItemPtr friends = group->GetItem("friends");
    ItemPtr e1 = friends.NewItem("in_user_list");
    ItemPtr e2 = friends.NewItem("in_user_list");
    QVERIFY(e1 && e2 && e1 != e2);
    QCOMPARE(friends.GetItems("in_user_list").size(), size_t(2));
    // Groups connect to an existing entry.
    friends += aliceEntry;
    QVERIFY(aliceEntry.IsConnected(friends));
    // A null handle does nothing.
    QVERIFY(!ItemPtr().NewItem("in_user_list"));
}

void TestStoreEvents::newItemOnValuedTypeThrows()
{
    ItemPtr alice = m_user->GetItem("alice");
    QVERIFY_THROWS_EXCEPTION(NullTypeException, alice.NewItem("room"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, m_room->NewItem());
    QVERIFY_THROWS_EXCEPTION(NullTypeException, m_room->GetGlobalNullItem());
    Type* flag = d->NewType("flag", false, true, false);
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, alice.NewItem("flag"));
    QCOMPARE(flag->ItemCount(), size_t(0));
}

void TestStoreEvents::globalNullItemIsSharedAndMadeOnce()
{
    Type* flag = d->NewType("in_room", false, true, false);
    Recorder r;
    r.OnItem(flag->itemAdded, "added");
    Item* shared = flag->GetGlobalNullItem();
    QCOMPARE(flag->GetGlobalNullItem(), shared);
    QCOMPARE(r.Take(), QStringList({Name(shared).prepend("added ")}));
    QVERIFY(shared->GetValue().empty());
    // Once removed, the next request makes a new one.
    ItemPtr(shared).Remove();
    Item* next = flag->GetGlobalNullItem();
    QVERIFY(next);
    QCOMPARE(flag->ItemCount(), size_t(1));
    QCOMPARE(r.Take().size(), 1);
}

void TestStoreEvents::getItemCreatesOnlyOnAutoCreateTypes()
{
    Type* fixed = d->NewType("file_name", false, false, false);
    Recorder r;
    r.OnItem(d->itemAdded, "added");

    QVERIFY(!fixed->GetItem("a.mp3"));
    QVERIFY(!(*fixed)["a.mp3"]);
    QVERIFY(!m_user->HasItem("carol"));
    QCOMPARE(r.Take(), QStringList());

    Item* carol = m_user->GetItem("carol");
    QVERIFY(carol);
    QCOMPARE((*m_user)["carol"], carol);
    QCOMPARE(m_user->HasItem("carol"), carol);
    Item* made = fixed->NewItem("a.mp3");
    QCOMPARE(fixed->NewItem("a.mp3"), made);
    QCOMPARE(fixed->GetItem("a.mp3"), made);
    QCOMPARE(r.Take(), QStringList({"added user:carol", "added file_name:a.mp3"}));
    // Values are exact bytes, including ones that are not text.
    const std::string odd("a\0b\xff", 4);
    Item* bytes = m_user->GetItem(odd);
    QCOMPARE(m_user->HasItem(odd), bytes);
    QVERIFY(!m_user->HasItem(std::string("a")));
    QCOMPARE(i("user", odd).First(), bytes);
    QVERIFY(i("user", "nobody").empty());
}

void TestStoreEvents::misuseThrowsByValue()
{
    Type* flag = d->NewType("is_online", false, true, false);
    QVERIFY_THROWS_EXCEPTION(TypeAlreadyExistsException, d->NewType("user", false, false, false));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, d->GetType("nope"));
    QVERIFY(!d->HasType("nope"));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, g("nope"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, flag->GetItem("x"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, flag->HasItem("x"));
    QVERIFY_THROWS_EXCEPTION(NullTypeException, i("is_online", "x"));
    QVERIFY_THROWS_EXCEPTION(AlreadyRelatedException, m_user->RelateToType(m_room, One, One, false));
    QVERIFY_THROWS_EXCEPTION(AlreadyRelatedException, m_room->RelateToType(m_user, One, One, false));

    ItemPtr alice = m_user->GetItem("alice");
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, alice += ItemPtr(flag->GetGlobalNullItem()));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, alice["nope"]);
    QVERIFY(alice->IsDisconnectedFromAll());

    Recorder r;
    auto* h = new FunctionHandler<ConnectionInfo&>([](ConnectionInfo&) {});
    r.Track(h);
    QVERIFY_THROWS_EXCEPTION(NotRelatedException, d->AddConnectionEventHandler(m_user, flag, h));
    QVERIFY(!EventHandlerRoot::IsLive(h));
    QVERIFY(r.m_handlers.empty());

    // Catchable by const reference as logic errors with a message.
    try {
        d->GetType("missing_type");
        QFAIL("no exception");
    } catch (const std::logic_error& e) {
        QVERIFY(std::string(e.what()).find("missing_type") != std::string::npos);
    }
}

void TestStoreEvents::handlerAddedDuringNotificationWaitsForTheNextOne()
{
    Recorder r;
    bool added = false;
    r.OnItem(m_user->itemAdded, "first", [&](Item*) {
        if (!added) {
            added = true;
            r.OnItem(m_user->itemAdded, "late");
        }
    });
    m_user->GetItem("a");
    QCOMPARE(r.Take(), QStringList({"first user:a"}));
    m_user->GetItem("b");
    QCOMPARE(r.Take(), QStringList({"first user:b", "late user:b"}));
}

void TestStoreEvents::disabledHandlerIsDeletedNotCalled()
{
    auto* owner = new Recorder;
    EventHandlerRoot* h = owner->OnItem(m_user->itemAdded, "gone");
    Recorder stays;
    stays.OnItem(m_user->itemAdded, "stays");
    delete owner;
    QVERIFY(EventHandlerRoot::IsLive(h));   // deleted by its event, not by the owner
    m_user->GetItem("a");
    QCOMPARE(stays.Take(), QStringList({"stays user:a"}));
    QVERIFY(!EventHandlerRoot::IsLive(h));
    QCOMPARE(m_user->itemAdded.Size(), size_t(1));
}

void TestStoreEvents::settingsReplaceTheirValue()
{
    // Before the types exist the helpers do nothing.
    SetSetting("username", "alice");
    QCOMPARE(GetSetting("username"), std::string());
    QVERIFY(!IsSettingYes("username"));

    Type* key = d->NewType("global", true, false, false);
    Type* value = d->NewType("global_value", false, false, false);
    key->RelateToType(value, Many, One, false);
    SetSetting("username", "alice");
    SetSetting("minimize_to_tray", "yes");
    QCOMPARE(GetSetting("username"), std::string("alice"));
    QVERIFY(IsSettingYes("minimize_to_tray"));
    SetSetting("username", "bob");
    QCOMPARE(GetSetting("username"), std::string("bob"));
    QCOMPARE(key->HasItem("username")->GetItems("global_value").size(), size_t(1));
    ClearSetting("username");
    QCOMPARE(GetSetting("username"), std::string());
    QCOMPARE(GetSetting("never_set"), std::string());
}

void TestStoreEvents::resetDropsStoreWideHandlers()
{
    int calls = 0;
    auto* h = new FunctionHandler<Item*>([&calls](Item*) { ++calls; });
    d->itemAdded.Add(h);
    m_user->GetItem("a");
    QCOMPARE(calls, 1);
    d->Reset();
    QVERIFY(!EventHandlerRoot::IsLive(h));
    Type* t = d->NewType("user", false, false, true);
    t->GetItem("a");
    QCOMPARE(calls, 1);
    QCOMPARE(d->NextSerial(), uint64_t(2));
}

void TestStoreEvents::typeNamesFollowTheirText()
{
    // One buffer naming one type, then another: each call finds its own.
    char name[] = "user";
    QCOMPARE(d->GetType(name), m_user);
    std::strcpy(name, "room");
    QCOMPARE(d->GetType(name), m_room);
    std::strcpy(name, "none");
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, d->GetType(name));
    // A name's address seen before a reset finds the new type after it.
    const char* literal = "user";
    QCOMPARE(d->GetType(literal), m_user);
    init();
    QCOMPARE(d->GetType(literal), m_user);
    QCOMPARE(T(literal)->GetName(), std::string("user"));
}

QTEST_GUILESS_MAIN(TestStoreEvents)
#include "test_store_events.moc"
