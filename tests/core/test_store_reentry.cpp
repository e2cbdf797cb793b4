// Handlers that change the store or their own registration while an event
// runs: removing the notified item or its partner, destroying an owner from
// inside its own handler or another's. The test build runs under
// AddressSanitizer, so reaching the end without a report is the proof that
// no freed item or handler was touched.

#include "StoreTestUtil.h"

#include <QtTest>

class TestStoreReentry : public QObject
{
    Q_OBJECT

    Type* m_user = nullptr;
    Type* m_room = nullptr;
    Type* m_online = nullptr;

private slots:
    void init();
    void cleanup() { d->Reset(); }

    void removingTheNotifiedItemInsideItsConnectedEvent();
    void removingThePartnerInsideThePairHandler();
    void removingPartnersInsideItemRemoved();
    void removedItemStaysReadableUntilTheOuterOperationEnds();
    void ownerDestroyedInsideItsOwnHandler();
    void ownerDestroyedByAnotherHandler();
    void ownerDestroyedInsideANestedNotification();
    void pathOwnerDestroyedThenOtherPairOfItsPathFires();
    void pairOwnerDestroyedThenSamePairFiresNested();
    void setRemoveWhileHandlersRemoveMembers();
    void sweepInsideAHandler();
};

void TestStoreReentry::init()
{
    d->Reset();
    m_user = d->NewType("user", true, false, true);
    m_room = d->NewType("room", false, false, true);
    m_online = d->NewType("is_online", false, true, false);
    m_user->RelateToType(m_room, Many, Many, false);
    m_user->RelateToType(m_online, Many, One, false);
}

void TestStoreReentry::removingTheNotifiedItemInsideItsConnectedEvent()
{
    Recorder r;
    r.OnConnection(m_user->connected, "user", [](ConnectionInfo& i_info) { ItemPtr(i_info.from).Remove(); });
    r.OnConnection(d->connected, "store");
    r.OnConnection(m_room->connected, "room");
    r.OnItem(m_user->itemRemoved, "removed");
    r.OnConnection(d->disconnected, "disc");
    r.OnPair(m_user, m_room, "pair");
    auto* root = new PathNode(d, "user");
    new PathNode(root, "room", NotifyOnConnect);
    r.OnPath(root, "path");

    ItemPtr lobby = m_room->GetItem("lobby");
    ItemPtr(m_user->GetItem("alice")) += lobby;

    // The later handlers of this connection still run with the (removed but
    // not yet freed) item; pair and path handlers see the connection gone.
    QCOMPARE(r.Take(), QStringList({"user user:alice room:lobby", "removed user:alice",
                                    "disc user:alice room:lobby", "store user:alice room:lobby",
                                    "room room:lobby user:alice"}));
    QVERIFY(lobby->IsDisconnectedFromAll());
    QVERIFY(!m_user->HasItem("alice"));
}

void TestStoreReentry::removingThePartnerInsideThePairHandler()
{
    Recorder r;
    r.OnPair(m_user, m_room, "pair", [](ConnectionInfo& i_info) {
        ItemPtr(i_info.to).Remove();
        QVERIFY(i_info.to->IsRemoved());
        QVERIFY(!i_info.from->IsConnected(i_info.to));
    });
    r.OnPair(m_room, m_user, "pair2");
    ItemPtr alice = m_user->GetItem("alice");
    alice += ItemPtr(m_room->GetItem("lobby"));
    QCOMPARE(r.Take(), QStringList({"pair user:alice room:lobby", "pair2 room:lobby user:alice"}));
    QVERIFY(alice->IsDisconnectedFromAll());
}

void TestStoreReentry::removingPartnersInsideItemRemoved()
{
    Recorder r;
    // Rooms go with their last user, from inside the user's removal.
    r.OnItem(m_user->itemRemoved, "user-removed", [](Item* ip_user) {
        for (Item* room : ip_user->GetItems("room"))
            if (room->GetItems("user").size() == 1)
                ItemPtr(room).Remove();
    });
    r.OnItem(m_room->itemRemoved, "room-removed");
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr bob = m_user->GetItem("bob");
    alice += ItemPtr(m_room->GetItem("private"));
    alice += ItemPtr(m_room->GetItem("shared"));
    bob += ItemPtr(m_room->GetItem("shared"));
    alice.Remove();
    QCOMPARE(r.Take(), QStringList({"user-removed user:alice", "room-removed room:private"}));
    QCOMPARE(Names(g("room")), QStringList({"room:shared"}));
    QCOMPARE(Names(bob.GetItems("room")), QStringList({"room:shared"}));
}

void TestStoreReentry::removedItemStaysReadableUntilTheOuterOperationEnds()
{
    Recorder r;
    std::string seen;
    r.OnItem(m_room->itemAdded, "room", [&](Item* ip_room) {
        Item* alice = m_user->HasItem("alice");
        ItemPtr(alice).Remove();
        // Freed only when the outermost store operation returns.
        seen = alice->GetValue() + (alice->IsRemoved() ? " removed" : "");
        ItemPtr(alice).Remove();   // twice is harmless
        QVERIFY(!ip_room->IsRemoved());
    });
    m_user->GetItem("alice");
    m_room->GetItem("lobby");
    QCOMPARE(seen, std::string("alice removed"));
    QVERIFY(!m_user->HasItem("alice"));
}

void TestStoreReentry::ownerDestroyedInsideItsOwnHandler()
{
    auto* owner = new Recorder;
    int later = 0;
    std::string captured = "kept alive";
    owner->OnItem(m_user->itemAdded, "first", [&, owner, captured](Item*) {
        delete owner;
        // The running handler (and its captures) outlive the owner's death.
        QCOMPARE(captured, std::string("kept alive"));
    });
    auto* second = new FunctionHandler<Item*>([&later](Item*) { ++later; });
    owner->Track(second);
    m_user->itemAdded.Add(second);
    m_user->GetItem("a");
    QCOMPARE(later, 0);
    m_user->GetItem("b");
    QCOMPARE(later, 0);
    QVERIFY(m_user->itemAdded.Empty());
}

void TestStoreReentry::ownerDestroyedByAnotherHandler()
{
    auto* victim = new Recorder;
    Recorder killer;
    killer.OnItem(d->itemAdded, "killer", [&victim](Item*) {
        delete victim;
        victim = nullptr;
    });
    EventHandlerRoot* h = victim->OnItem(d->itemAdded, "victim");
    m_user->GetItem("a");
    QCOMPARE(killer.Take(), QStringList({"killer user:a"}));
    QVERIFY(!EventHandlerRoot::IsLive(h));
}

void TestStoreReentry::ownerDestroyedInsideANestedNotification()
{
    // The owner's item-added handler creates another item of the same type;
    // inside that nested notification the owner is destroyed.
    auto* owner = new Recorder;
    int outerCalls = 0;
    int afterCalls = 0;
    owner->OnItem(m_user->itemAdded, "outer", [&](Item* ip_item) {
        ++outerCalls;
        if (ip_item->GetValue() == "a")
            m_user->GetItem("nested");
        else if (owner) {
            delete owner;
            owner = nullptr;
        }
    });
    owner->OnItem(m_user->itemAdded, "after", [&](Item*) { ++afterCalls; });
    m_user->GetItem("a");
    QCOMPARE(outerCalls, 2);
    QCOMPARE(afterCalls, 0);
    m_user->GetItem("c");
    QCOMPARE(outerCalls, 2);
    QVERIFY(m_user->itemAdded.Empty());
}

void TestStoreReentry::pathOwnerDestroyedThenOtherPairOfItsPathFires()
{
    // The path has steps on two type pairs. Its handler destroys its owner
    // and then changes the other pair, whose bucket drops the registration
    // while the handler is still running.
    auto* owner = new Recorder;
    auto* root = new PathNode(d, "user");
    new PathNode(root, "is_online", NotifyOnConnect);
    new PathNode(root, "room", NotifyOnDisconnect);
    std::string state = "before";
    int calls = 0;
    EventHandlerRoot* h = owner->OnPath(root, "path", [&, owner, state](Item* ip_user) {
        ++calls;
        delete owner;
        ItemPtr(ip_user).Disconnect("room");
        QCOMPARE(state, std::string("before"));
    });
    ItemPtr alice = m_user->GetItem("alice");
    alice += ItemPtr(m_room->GetItem("lobby"));
    alice += ItemPtr(m_online->GetGlobalNullItem());
    QCOMPARE(calls, 1);
    QVERIFY(!EventHandlerRoot::IsLive(h));
    alice -= ItemPtr(m_online->GetGlobalNullItem());
    alice += ItemPtr(m_online->GetGlobalNullItem());
    QCOMPARE(calls, 1);
}

void TestStoreReentry::pairOwnerDestroyedThenSamePairFiresNested()
{
    auto* owner = new Recorder;
    int calls = 0;
    std::string state = "alive";
    owner->OnPair(m_user, m_room, "pair", [&, owner, state](ConnectionInfo& i_info) {
        ++calls;
        delete owner;
        ItemPtr(i_info.from) += ItemPtr(m_room->GetItem("second"));
        QCOMPARE(state, std::string("alive"));
    });
    ItemPtr(m_user->GetItem("alice")) += ItemPtr(m_room->GetItem("first"));
    ItemPtr(m_user->GetItem("bob")) += ItemPtr(m_room->GetItem("first"));
    QCOMPARE(calls, 1);
}

void TestStoreReentry::setRemoveWhileHandlersRemoveMembers()
{
    Recorder r;
    r.OnItem(m_room->itemRemoved, "removed", [](Item* ip_room) {
        // Each removal takes the next room along.
        if (ip_room->GetValue() == "r0" || ip_room->GetValue() == "r2")
            if (Item* next = T("room")->HasItem(ip_room->GetValue() == "r0" ? "r1" : "r3"))
                ItemPtr(next).Remove();
    });
    for (int k = 0; k < 5; ++k)
        m_room->GetItem("r" + std::to_string(k));
    ItemSet rooms = g("room");
    rooms.Remove();
    QCOMPARE(r.Take(), QStringList({"removed room:r0", "removed room:r1", "removed room:r2", "removed room:r3",
                                    "removed room:r4"}));
    QVERIFY(g("room").empty());
}

void TestStoreReentry::sweepInsideAHandler()
{
    Recorder r;
    r.OnConnection(d->disconnected, "disc", [](ConnectionInfo&) { d->RemoveDisconnectedItems(); });
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr lobby = m_room->GetItem("lobby");
    alice += lobby;
    alice -= lobby;
    QVERIFY(!m_room->HasItem("lobby"));
    QCOMPARE(Names(g("user")), QStringList({"user:alice"}));
}

QTEST_GUILESS_MAIN(TestStoreReentry)
#include "test_store_reentry.moc"
