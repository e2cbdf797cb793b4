// The sweep: ownership to a fixpoint, then reachability from root items.

#include "StoreTestUtil.h"

#include <QtTest>

class TestStoreSweep : public QObject
{
    Q_OBJECT

private slots:
    void init() { d->Reset(); }
    void cleanup() { d->Reset(); }

    void ownershipCascadesToAFixpoint();
    void everyOwningTypeIsNeeded();
    void handlerThatOrphansAnOwnedItemIsFollowed();
    void reachabilityGoesBothWays();
    void orphanReachableThroughASharedValueStays();
    void rootItemsStayWithoutConnections();
    void removedHandlersRunForEveryRemovedItem();
    void sweepOfACleanStoreRemovesNothing();
    void valuesAreFoundThroughALargeRemoval();
    void sweepAfterAnyChangeLooksAgain();
};

void TestStoreSweep::ownershipCascadesToAFixpoint()
{
    // download_entry owns file_name owns file_part; all reachable from a
    // root user, so only ownership can remove them.
    // Types made owned-last-first, so one pass in type order cannot finish.
    Type* c = d->NewType("file_part", false, false, true);
    Type* b = d->NewType("file_name", false, false, true);
    Type* a = d->NewType("download_entry", false, false, true);
    Type* user = d->NewType("user", true, false, true);
    a->RelateToType(b, Many, Many, true);
    b->RelateToType(c, Many, Many, true);
    user->RelateToType(a, Many, Many, false);
    user->RelateToType(b, Many, Many, false);
    user->RelateToType(c, Many, Many, false);
    ItemPtr alice = user->GetItem("alice");
    ItemPtr entry = a->GetItem("e1");
    ItemPtr kept = a->GetItem("e2");
    ItemPtr name = b->GetItem("n1");
    ItemPtr keptName = b->GetItem("n2");
    ItemPtr part = c->GetItem("p1");
    ItemPtr keptPart = c->GetItem("p2");
    for (ItemPtr p : {entry, kept, name, keptName, part, keptPart})
        alice += p;
    entry += name;
    name += part;
    kept += keptName;
    keptName += keptPart;
    // A part shared by a doomed and a kept name stays.
    ItemPtr sharedPart = c->GetItem("p3");
    name += sharedPart;
    keptName += sharedPart;

    QCOMPARE(d->RemoveDisconnectedItems(), size_t(0));
    entry.Remove();
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(2));
    QCOMPARE(Names(g("file_name")), QStringList({"file_name:n2"}));
    QCOMPARE(Names(g("file_part")), QStringList({"file_part:p2", "file_part:p3"}));
}

void TestStoreSweep::everyOwningTypeIsNeeded()
{
    Type* entry = d->NewType("upload_entry", true, false, true);
    Type* user = d->NewType("user", true, false, true);
    Type* slot = d->NewType("upload_slot", false, false, true);
    entry->RelateToType(slot, One, One, true);
    user->RelateToType(slot, Many, Many, true);
    ItemPtr both = slot->GetItem("both");
    ItemPtr onlyEntry = slot->GetItem("only_entry");
    ItemPtr(entry->GetItem("e1")) += both;
    ItemPtr(user->GetItem("u1")) += both;
    ItemPtr(entry->GetItem("e2")) += onlyEntry;
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(1));
    QCOMPARE(Names(g("upload_slot")), QStringList({"upload_slot:both"}));
}

void TestStoreSweep::handlerThatOrphansAnOwnedItemIsFollowed()
{
    // While the sweep removes one owned item, a handler cuts another from
    // its owner: the sweep does not stop before that one goes too.
    Type* root = d->NewType("search", true, false, true);
    Type* owned = d->NewType("result", false, false, true);
    Type* user = d->NewType("user", true, false, true);
    root->RelateToType(owned, Many, Many, true);
    user->RelateToType(owned, Many, Many, false);
    ItemPtr search = root->GetItem("s");
    // Older, so it is looked at (and kept) before the orphan goes.
    ItemPtr later = owned->GetItem("later");
    owned->GetItem("orphan");
    search += later;
    // Reachable from a root either way: only ownership can take it.
    later += ItemPtr(user->GetItem("alice"));
    Recorder r;
    r.OnItem(owned->itemRemoved, "removed", [&](Item* ip_item) {
        if (ip_item->GetValue() == "orphan")
            search -= later;
    });
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(2));
    QCOMPARE(r.Take(), QStringList({"removed result:orphan", "removed result:later"}));
}

void TestStoreSweep::reachabilityGoesBothWays()
{
    Type* user = d->NewType("user", true, false, true);
    Type* file = d->NewType("file", false, false, true);
    Type* folder = d->NewType("folder", false, false, true);
    user->RelateToType(file, Many, Many, false);
    folder->RelateToType(file, Many, Many, false);
    folder->RelateToType(folder, Many, Many, false);
    ItemPtr alice = user->GetItem("alice");
    ItemPtr f1 = file->GetItem("f1");
    ItemPtr music = folder->GetItem("music");
    ItemPtr sub = folder->GetItem("music/sub");
    alice += f1;
    music += f1;   // reached from the file, against the direction it was made
    music += sub;  // and on through the same type
    // An island: connected among themselves, to no root.
    ItemPtr f2 = file->GetItem("f2");
    ItemPtr island = folder->GetItem("island");
    island += f2;
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(2));
    QCOMPARE(Names(g("folder")), QStringList({"folder:music", "folder:music/sub"}));
    QCOMPARE(Names(g("file")), QStringList({"file:f1"}));
}

void TestStoreSweep::orphanReachableThroughASharedValueStays()
{
    Type* key = d->NewType("global", true, false, true);
    Type* value = d->NewType("global_value", false, false, true);
    Type* wish = d->NewType("wish_list_item", false, false, true);
    key->RelateToType(value, Many, One, false);
    wish->RelateToType(value, Many, One, false);
    SetSetting("expand_new_shares", "yes");
    ItemPtr orphan = wish->GetItem("jazz");
    orphan += ItemPtr(value->GetItem("yes"));
    ItemPtr lost = wish->GetItem("blues");
    lost += ItemPtr(value->GetItem("no"));
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(2));
    QCOMPARE(Names(g("wish_list_item")), QStringList({"wish_list_item:jazz"}));
    QCOMPARE(Names(g("global_value")), QStringList({"global_value:yes"}));
}

void TestStoreSweep::rootItemsStayWithoutConnections()
{
    Type* user = d->NewType("user", true, false, true);
    Type* flag = d->NewType("is_online", false, true, false);
    user->RelateToType(flag, Many, One, false);
    user->GetItem("loner");
    flag->GetGlobalNullItem();
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(1));
    QCOMPARE(Names(g("user")), QStringList({"user:loner"}));
    QVERIFY(g("is_online").empty());
}

void TestStoreSweep::removedHandlersRunForEveryRemovedItem()
{
    Type* user = d->NewType("user", true, false, true);
    Type* room = d->NewType("room", false, false, true);
    Type* line = d->NewType("chat_line", false, false, true);
    user->RelateToType(room, Many, Many, false);
    room->RelateToType(line, One, Many, true);
    ItemPtr alice = user->GetItem("alice");
    for (int k = 0; k < 20; ++k) {
        ItemPtr r = room->GetItem("room" + std::to_string(k));
        ItemPtr(line->GetItem("line" + std::to_string(k))) += r;
        if (k % 2 == 0)
            alice += r;
    }
    line->GetItem("stray");   // owned, but by no room
    int removedEvents = 0;
    Recorder r;
    r.OnItem(d->itemRemoved, "removed", [&](Item* ip_item) {
        ++removedEvents;
        // Removed items still show their connections to their handlers.
        if (ip_item->GetType() == room)
            QCOMPARE(ip_item->GetItems("chat_line").size(), size_t(1));
    });
    const size_t removed = d->RemoveDisconnectedItems();
    QCOMPARE(removed, size_t(21));
    QCOMPARE(removedEvents, 21);
    QCOMPARE(room->ItemCount(), size_t(10));
    QCOMPARE(line->ItemCount(), size_t(10));
}

void TestStoreSweep::sweepOfACleanStoreRemovesNothing()
{
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(0));
    Type* user = d->NewType("user", true, false, true);
    user->GetItem("alice");
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(0));
    QCOMPARE(d->ItemCount(), size_t(1));
}

QTEST_GUILESS_MAIN(TestStoreSweep)
void TestStoreSweep::valuesAreFoundThroughALargeRemoval()
{
    // Thousands of valued items go in one sweep; the ones left, and ones
    // made in a handler meanwhile or after, are found by value throughout.
    Type* owner = d->NewType("reply", false, false, true);
    Type* value = d->NewType("size", false, false, true);
    Type* keep = d->NewType("kept", true, false, true);
    owner->RelateToType(value, Many, Many, false);
    keep->RelateToType(value, Many, Many, false);
    ItemPtr reply = owner->GetItem("r");
    ItemPtr kept = keep->GetItem("k");
    const int n = 5000;
    for (int k = 0; k < n; ++k)
    {
        ItemPtr v = value->GetItem(Value(k));
        reply += v;
        if (k % 100 == 0)
            kept += v;
    }
    int seenDuring = 0;
    FunctionHandler<Item*>* probe = new FunctionHandler<Item*>([&](Item* ip_gone) {
        // Every item still there is found, and a new one can be made.
        if (ip_gone->AsInt() % 997 == 1)
        {
            seenDuring += value->HasItem(Value(100)) ? 1 : 0;
            kept += value->GetItem(Value(n + ip_gone->AsInt()));
        }
    });
    value->itemRemoved.Add(probe);
    reply.Remove();
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(n - n / 100));
    QVERIFY(seenDuring > 0);
    for (int k = 0; k < n; ++k)
        QCOMPARE(value->HasItem(Value(k)) != nullptr, k % 100 == 0);
    QVERIFY(value->HasItem(Value(n + 1)));
    QVERIFY(value->HasItem(Value(n + 1 + 997)));
    QCOMPARE(value->HasItem(Value(n + 1))->GetValue(), std::to_string(n + 1));
    ItemPtr late = value->GetItem(Value(n * 3));
    QCOMPARE(value->HasItem(Value(n * 3)), late.Get());
}

void TestStoreSweep::sweepAfterAnyChangeLooksAgain()
{
    // A sweep that found nothing is not repeated while nothing changes;
    // a new item, a broken link, a new owning relation or a large removal
    // and refill each make the next sweep look again.
    Type* user = d->NewType("user", true, false, true);
    Type* file = d->NewType("file", false, false, true);
    Type* flag = d->NewType("flag", false, true, true);
    user->RelateToType(file, Many, Many, false);
    file->RelateToType(flag, Many, One, false);
    ItemPtr alice = user->GetItem("alice");
    ItemPtr a = file->GetItem("a");
    alice += a;
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(0));
    ItemPtr b = file->GetItem("b");
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(1));
    b = file->GetItem("b");
    alice += b;
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(0));
    file->GetItem("loose");
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(1));
    alice -= a;
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(1));
    Type* folder = d->NewType("folder", true, false, true);
    folder->RelateToType(file, Many, Many, true);
    QCOMPARE(d->RemoveDisconnectedItems(), size_t(1));
    QCOMPARE(file->ItemCount(), size_t(0));

    // Items freed by the thousand and made again keep their links in order.
    ItemPtr root = folder->GetItem("root");
    for (int round = 0; round < 2; ++round)
    {
        ItemPtr shared = flag->GetGlobalNullItem();
        std::vector<Item*> made;
        for (int k = 0; k < 10000; ++k)
        {
            ItemPtr f = file->GetItem("f" + std::to_string(k));
            f += shared;
            root += f;
            made.push_back(f);
        }
        QCOMPARE(shared.GetItems("file").Items(), made);
        QCOMPARE(root.GetItems("file").Items(), made);
        for (int k = 0; k < 10000; k += 2)
            made[size_t(k)]->Remove();
        QCOMPARE(shared.GetItems("file").size(), size_t(5000));
        QVERIFY(ItemPtr(file->HasItem("f9999")).IsConnected(shared));
        QVERIFY(!file->HasItem("f9998"));
        root.Remove();
        QCOMPARE(d->RemoveDisconnectedItems(), size_t(5001));   // with the flag item
        QCOMPARE(d->ItemCount(), size_t(1));
        root = folder->GetItem("root");
    }
}

#include "test_store_sweep.moc"
