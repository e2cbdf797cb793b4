// Path subscriptions, one case per way the views and managers register them:
// single steps, sibling conditions, nested steps, fixed-item roots and
// steps, disconnect triggers, and the lifetime of a registration.

#include "StoreTestUtil.h"

#include <QtTest>

class TestStorePaths : public QObject
{
    Q_OBJECT

    Type* m_user = nullptr;
    Type* m_online = nullptr;
    Type* m_entry = nullptr;
    Type* m_group = nullptr;
    Type* m_room = nullptr;
    Type* m_inRoom = nullptr;
    Type* m_ignored = nullptr;

    ItemPtr Online() { return m_online->GetGlobalNullItem(); }

private slots:
    void init();
    void cleanup() { d->Reset(); }

    void connectedNotifyFiresOnEachNewConnection();
    void registeringReportsNothingThatAlreadyHolds();
    void notifyOnDisconnectFiresWhenBroken();
    void siblingConditionMustHold();
    void disconnectedOnlyConditionBlocks();
    void disconnectedNotifyWaitsForTheLastPartner();
    void nestedStepBelowACondition();
    void deeperTriggerReachesEveryRoot();
    void allFourStepsWithAFixedItemStep();
    void fixedItemRootWithSetting();
    void fixedItemStepUnderATypeRoot();
    void fixedRoomRootOnFlags();
    void removedFixedRootDropsThePath();
    void removingTheRootItemReportsItsDisconnection();
    void handlerAddedDuringNotificationWaitsForTheNextOne();
    void destroyedOwnerIsDroppedWithTheRegistration();
    void pathRegisteredBeforeTheRelationStillFires();
};

void TestStorePaths::init()
{
    d->Reset();
    m_user = d->NewType("user", true, false, true);
    m_online = d->NewType("is_online", false, true, false);
    m_entry = d->NewType("in_user_list", false, true, false);
    m_group = d->NewType("user_list_group", true, false, true);
    m_room = d->NewType("room", true, false, true);
    m_inRoom = d->NewType("in_room", false, true, false);
    m_ignored = d->NewType("is_ignored", false, true, false);
    m_user->RelateToType(m_online, Many, One, false);
    m_user->RelateToType(m_entry, One, One, false);
    m_group->RelateToType(m_entry, Many, Many, false);
    m_user->RelateToType(m_room, Many, Many, false);
    m_room->RelateToType(m_inRoom, Many, One, false);
    m_user->RelateToType(m_ignored, Many, One, false);
}

void TestStorePaths::connectedNotifyFiresOnEachNewConnection()
{
    Recorder r;
    auto* root = new PathNode(d, "user");
    new PathNode(root, "is_online", ConnectedNotify);
    r.OnPath(root, "online");

    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr bob = m_user->GetItem("bob");
    alice += Online();
    Online() += bob;   // from the flag's side
    alice += Online(); // already connected
    alice -= Online();
    QCOMPARE(r.Take(), QStringList({"online user:alice", "online user:bob"}));
    alice.NewItem("is_online");
    QCOMPARE(r.Take(), QStringList({"online user:alice"}));
}

void TestStorePaths::registeringReportsNothingThatAlreadyHolds()
{
    ItemPtr alice = m_user->GetItem("alice");
    alice += Online();
    Recorder r;
    auto* root = new PathNode(d, "user");
    new PathNode(root, "is_online", NotifyOnConnect);
    r.OnPath(root, "online");
    QCOMPARE(r.Take(), QStringList());
    ItemPtr(m_user->GetItem("bob")) += Online();
    QCOMPARE(r.Take(), QStringList({"online user:bob"}));
}

void TestStorePaths::notifyOnDisconnectFiresWhenBroken()
{
    Recorder r;
    auto* on = new PathNode(d, "user");
    new PathNode(on, "is_online", NotifyOnConnect);
    r.OnPath(on, "on");
    auto* off = new PathNode(d, "user");
    new PathNode(off, "is_online", NotifyOnDisconnect);
    r.OnPath(off, "off");

    ItemPtr alice = m_user->GetItem("alice");
    alice += Online();
    alice -= Online();
    alice -= Online();
    alice += Online();
    alice.Disconnect("is_online");
    QCOMPARE(r.Take(), QStringList({"on user:alice", "off user:alice", "on user:alice", "off user:alice"}));
}

void TestStorePaths::siblingConditionMustHold()
{
    // The user list's pattern: online users that are on the list.
    Recorder r;
    auto* on = new PathNode(d, "user");
    new PathNode(on, "is_online", NotifyOnConnect);
    new PathNode(on, "in_user_list", ConnectedOnly);
    r.OnPath(on, "on");
    auto* off = new PathNode(d, "user");
    new PathNode(off, "is_online", NotifyOnDisconnect);
    new PathNode(off, "in_user_list", ConnectedOnly);
    r.OnPath(off, "off");

    ItemPtr stranger = m_user->GetItem("stranger");
    ItemPtr listed = m_user->GetItem("listed");
    listed.NewItem("in_user_list");
    stranger += Online();
    listed += Online();
    QCOMPARE(r.Take(), QStringList({"on user:listed"}));
    // The condition alone never fires.
    stranger.NewItem("in_user_list");
    QCOMPARE(r.Take(), QStringList());
    stranger -= Online();
    listed.Disconnect("in_user_list");
    listed -= Online();
    QCOMPARE(r.Take(), QStringList({"off user:stranger"}));
}

void TestStorePaths::disconnectedOnlyConditionBlocks()
{
    Recorder r;
    auto* root = new PathNode(d, "user");
    new PathNode(root, "is_online", NotifyOnConnect);
    new PathNode(root, "is_ignored", DisconnectedOnly);
    r.OnPath(root, "on");

    ItemPtr pest = m_user->GetItem("pest");
    pest.NewItem("is_ignored");
    pest += Online();
    ItemPtr fine = m_user->GetItem("fine");
    fine += Online();
    QCOMPARE(r.Take(), QStringList({"on user:fine"}));
    pest -= Online();
    pest.Disconnect("is_ignored");
    QCOMPARE(r.Take(), QStringList());
    pest += Online();
    QCOMPARE(r.Take(), QStringList({"on user:pest"}));
}

void TestStorePaths::disconnectedNotifyWaitsForTheLastPartner()
{
    Recorder r;
    auto* root = new PathNode(d, "user");
    new PathNode(root, "room", DisconnectedNotify);
    r.OnPath(root, "roomless");

    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr a = m_room->GetItem("a");
    ItemPtr b = m_room->GetItem("b");
    alice += a;
    alice += b;
    QCOMPARE(r.Take(), QStringList());
    alice -= a;
    QCOMPARE(r.Take(), QStringList());
    b.Remove();
    QCOMPARE(r.Take(), QStringList({"roomless user:alice"}));
}

void TestStorePaths::nestedStepBelowACondition()
{
    // user -> in_user_list (condition) -> user_list_group (trigger).
    Recorder r;
    auto* added = new PathNode(d, "user");
    new PathNode(new PathNode(added, "in_user_list", ConnectedOnly), "user_list_group", NotifyOnConnect);
    r.OnPath(added, "group+");
    auto* removed = new PathNode(d, "user");
    new PathNode(new PathNode(removed, "in_user_list", ConnectedOnly), "user_list_group", NotifyOnDisconnect);
    r.OnPath(removed, "group-");

    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr entry = alice.NewItem("in_user_list");
    ItemPtr friends = m_group->GetItem("friends");
    ItemPtr work = m_group->GetItem("work");
    entry += friends;
    work += entry;
    // An entry that belongs to no user has no root.
    ItemPtr loose = m_entry->NewItem();
    loose += friends;
    QCOMPARE(r.Take(), QStringList({"group+ user:alice", "group+ user:alice"}));
    friends -= entry;
    QCOMPARE(r.Take(), QStringList({"group- user:alice"}));
    // The step from the root is a condition: connecting it fires nothing.
    ItemPtr bob = m_user->GetItem("bob");
    ItemPtr bobEntry = m_entry->NewItem();
    bobEntry += work;
    bob += bobEntry;
    QCOMPARE(r.Take(), QStringList());
}

void TestStorePaths::deeperTriggerReachesEveryRoot()
{
    // user -> room (condition) -> in_room (trigger): every user of a room
    // hears when the client joins it.
    Recorder r;
    auto* root = new PathNode(d, "user");
    new PathNode(new PathNode(root, "room", ConnectedOnly), "in_room", ConnectedNotify);
    r.OnPath(root, "joined");

    ItemPtr lobby = m_room->GetItem("lobby");
    ItemPtr attic = m_room->GetItem("attic");
    ItemPtr alice = m_user->GetItem("alice");
    ItemPtr bob = m_user->GetItem("bob");
    ItemPtr carol = m_user->GetItem("carol");
    alice += lobby;
    bob += lobby;
    bob += attic;
    carol += attic;
    QCOMPARE(r.Take(), QStringList());
    lobby.NewItem("in_room");
    QCOMPARE(r.Take(), QStringList({"joined user:alice", "joined user:bob"}));
    attic.NewItem("in_room");
    QCOMPARE(r.Take(), QStringList({"joined user:bob", "joined user:carol"}));
}

void TestStorePaths::allFourStepsWithAFixedItemStep()
{
    // The room view's pattern: a user row once the user is in this room and
    // has speed, file count and country.
    Type* speed = d->NewType("average_download_speed", false, false, true);
    Type* files = d->NewType("shared_files_count", false, false, true);
    Type* country = d->NewType("country_code", false, false, true);
    m_user->RelateToType(speed, Many, One, false);
    m_user->RelateToType(files, Many, One, false);
    m_user->RelateToType(country, Many, One, false);
    ItemPtr lobby = m_room->GetItem("lobby");
    ItemPtr attic = m_room->GetItem("attic");

    Recorder r;
    auto* root = new PathNode(d, "user");
    new PathNode(root, lobby.Get(), ConnectedNotify);
    new PathNode(root, "average_download_speed", ConnectedNotify);
    new PathNode(root, "shared_files_count", ConnectedNotify);
    new PathNode(root, "country_code", ConnectedNotify);
    r.OnPath(root, "row");

    ItemPtr alice = m_user->GetItem("alice");
    alice += ItemPtr(speed->GetItem(100));
    alice += ItemPtr(files->GetItem(7));
    alice += attic;   // not this room
    alice += ItemPtr(country->GetItem("DE"));
    QCOMPARE(r.Take(), QStringList());
    alice += lobby;
    QCOMPARE(r.Take(), QStringList({"row user:alice"}));
    alice += ItemPtr(speed->GetItem(200));   // replaces the old speed
    QCOMPARE(r.Take(), QStringList({"row user:alice"}));
    alice.Disconnect("country_code");
    alice += ItemPtr(files->GetItem(8));
    QCOMPARE(r.Take(), QStringList());
}

void TestStorePaths::fixedItemRootWithSetting()
{
    Type* key = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    key->RelateToType(value, Many, One, false);
    ItemPtr username = key->GetItem("username");
    Recorder r;
    auto* root = new PathNode(username.Get());
    new PathNode(root, "global_value", ConnectedNotify);
    r.OnPath(root, "changed");

    SetSetting("username", "alice");
    SetSetting("other_key", "alice");
    SetSetting("username", "bob");
    SetSetting("username", "bob");
    QCOMPARE(r.Take(), QStringList({"changed global:username", "changed global:username"}));
    QCOMPARE(GetSetting("username"), std::string("bob"));
}

void TestStorePaths::fixedItemStepUnderATypeRoot()
{
    // The item log's pattern: item_log entries connected to one given item.
    Type* log = d->NewType("item_log", false, false, true);
    Type* item = d->NewType("item", false, false, true);
    log->RelateToType(item, Many, Many, false);
    ItemPtr watched = item->GetItem("watched");
    ItemPtr other = item->GetItem("other");
    Recorder r;
    auto* root = new PathNode(d, "item_log");
    new PathNode(root, watched.Get(), NotifyOnConnect);
    r.OnPath(root, "log");

    ItemPtr(log->GetItem("first")) += watched;
    ItemPtr(log->GetItem("second")) += other;
    watched += ItemPtr(log->GetItem("third"));
    QCOMPARE(r.Take(), QStringList({"log item_log:first", "log item_log:third"}));
}

void TestStorePaths::fixedRoomRootOnFlags()
{
    Type* autojoin = d->NewType("room_autojoin", false, true, false);
    m_room->RelateToType(autojoin, Many, One, false);
    ItemPtr lobby = m_room->GetItem("lobby");
    ItemPtr attic = m_room->GetItem("attic");
    Recorder r;
    auto* left = new PathNode(lobby.Get());
    new PathNode(left, "in_room", NotifyOnDisconnect);
    r.OnPath(left, "left");
    auto* on = new PathNode(lobby.Get());
    new PathNode(on, "room_autojoin", NotifyOnConnect);
    r.OnPath(on, "autojoin-on");
    auto* off = new PathNode(lobby.Get());
    new PathNode(off, "room_autojoin", NotifyOnDisconnect);
    r.OnPath(off, "autojoin-off");

    lobby.NewItem("in_room");
    attic.NewItem("in_room");
    attic.Disconnect("in_room");
    lobby.NewItem("room_autojoin");
    attic.NewItem("room_autojoin");
    lobby.Disconnect("room_autojoin");
    lobby.Disconnect("in_room");
    QCOMPARE(r.Take(), QStringList({"autojoin-on room:lobby", "autojoin-off room:lobby", "left room:lobby"}));
}

void TestStorePaths::removedFixedRootDropsThePath()
{
    ItemPtr lobby = m_room->GetItem("lobby");
    lobby.NewItem("in_room");
    Recorder r;
    auto* left = new PathNode(lobby.Get());
    new PathNode(left, "in_room", NotifyOnDisconnect);
    EventHandlerRoot* h = r.OnPath(left, "left");

    lobby.Remove();
    QCOMPARE(r.Take(), QStringList());
    // New rooms may well reuse the freed address; none of them is the path's.
    for (int k = 0; k < 50; ++k) {
        ItemPtr room = m_room->GetItem("room" + std::to_string(k));
        room.NewItem("in_room");
        room.Disconnect("in_room");
    }
    QCOMPARE(r.Take(), QStringList());
    QVERIFY(!EventHandlerRoot::IsLive(h));
    // Registering on an item removed within the same operation is a no-op too.
    ItemPtr attic = m_room->GetItem("attic");
    Recorder late;
    bool registered = false;
    Recorder remover;
    remover.OnItem(m_room->itemRemoved, "removed", [&](Item* ip_room) {
        auto* root = new PathNode(ip_room);
        new PathNode(root, "in_room", NotifyOnDisconnect);
        late.OnPath(root, "late");
        registered = true;
    });
    attic.NewItem("in_room");
    attic.Remove();
    QVERIFY(registered);
    QCOMPARE(late.Take(), QStringList());
}

void TestStorePaths::removingTheRootItemReportsItsDisconnection()
{
    Recorder r;
    auto* off = new PathNode(d, "user");
    new PathNode(off, "is_online", NotifyOnDisconnect);
    r.OnPath(off, "off", [](Item* ip_user) {
        // Still readable while its removal runs.
        QCOMPARE(ip_user->GetValue(), std::string("alice"));
        QVERIFY(ip_user->IsRemoved());
    });
    ItemPtr alice = m_user->GetItem("alice");
    alice += Online();
    alice.Remove();
    QCOMPARE(r.Take(), QStringList({"off user:alice"}));
}

void TestStorePaths::handlerAddedDuringNotificationWaitsForTheNextOne()
{
    Recorder r;
    bool added = false;
    auto* root = new PathNode(d, "user");
    new PathNode(root, "is_online", NotifyOnConnect);
    r.OnPath(root, "first", [&](Item*) {
        if (added)
            return;
        added = true;
        auto* again = new PathNode(d, "user");
        new PathNode(again, "is_online", NotifyOnConnect);
        r.OnPath(again, "late");
    });
    ItemPtr(m_user->GetItem("a")) += Online();
    QCOMPARE(r.Take(), QStringList({"first user:a"}));
    ItemPtr(m_user->GetItem("b")) += Online();
    QCOMPARE(r.Take(), QStringList({"first user:b", "late user:b"}));
}

void TestStorePaths::destroyedOwnerIsDroppedWithTheRegistration()
{
    auto* owner = new Recorder;
    auto* root = new PathNode(d, "user");
    new PathNode(root, "is_online", NotifyOnConnect);
    new PathNode(root, "room", ConnectedOnly);
    EventHandlerRoot* h = owner->OnPath(root, "never");
    delete owner;
    QVERIFY(EventHandlerRoot::IsLive(h));
    ItemPtr alice = m_user->GetItem("alice");
    alice += ItemPtr(m_room->GetItem("lobby"));
    alice += Online();
    QVERIFY(!EventHandlerRoot::IsLive(h));
    alice -= Online();
    alice += Online();
}

void TestStorePaths::pathRegisteredBeforeTheRelationStillFires()
{
    Type* share = d->NewType("user_share", true, false, true);
    Type* loaded = d->NewType("user_share_loaded", false, true, false);
    Recorder r;
    auto* root = new PathNode(d, "user_share");
    new PathNode(root, "user_share_loaded", NotifyOnConnect);
    r.OnPath(root, "loaded");
    share->RelateToType(loaded, Many, One, false);
    ItemPtr(share->GetItem("alice")).NewItem("user_share_loaded");
    QCOMPARE(r.Take(), QStringList({"loaded user_share:alice"}));
}

QTEST_GUILESS_MAIN(TestStorePaths)
#include "test_store_paths.moc"
