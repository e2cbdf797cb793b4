// Item sets, lookups across sets, sorts, values and null handles, and the
// store's containers under many insertions and removals.

#include "StoreTestUtil.h"

#include <QtTest>

#include <algorithm>
#include <climits>
#include <random>

class TestStoreSets : public QObject
{
    Q_OBJECT

    Type* m_user = nullptr;
    Type* m_group = nullptr;
    Type* m_size = nullptr;
    Type* m_name = nullptr;

private slots:
    void init();
    void cleanup() { d->Reset(); }

    void setsKeepCreationOrder();
    void connectedFilters();
    void notConnectedFilters();
    void unionOfConnectedItems();
    void firstItemIsTheOldest();
    void lookupsAcrossSets();
    void subsetOfLargeSets();
    void removeEveryItemOfASet();
    void sortAlphabetic();
    void sortByConnectedItem();
    void sortNumericBy64BitKeys();
    void pointerValuesRoundTrip();
    void parseDecimal_data();
    void parseDecimal();
    void parseUnsignedDecimal_data();
    void parseUnsignedDecimal();
    void nullHandleReads();
    void connectedItemsByType();
    void manyPartnersInRandomOrder();
    void valueIndexSurvivesChurn();
    void linksSurviveGrowthAndShrinking();
    void memoryReusedAcrossSizesAndResets();
};

void TestStoreSets::init()
{
    d->Reset();
    m_user = d->NewType("user", true, false, true);
    m_group = d->NewType("user_list_group", true, false, true);
    m_size = d->NewType("file_size", false, false, true);
    m_name = d->NewType("nick", false, false, true);
    m_user->RelateToType(m_group, Many, Many, false);
    m_user->RelateToType(m_size, Many, One, false);
    m_user->RelateToType(m_name, Many, One, false);
}

void TestStoreSets::setsKeepCreationOrder()
{
    ItemPtr a = m_user->GetItem("a");
    ItemPtr b = m_user->GetItem("b");
    ItemPtr c = m_user->GetItem("c");
    ItemSet s;
    QVERIFY(s.insert(c));
    QVERIFY(s.insert(a));
    QVERIFY(!s.insert(a));
    QVERIFY(!s.insert(nullptr));
    QCOMPARE(Names(s), QStringList({"user:a", "user:c"}));
    ItemSet t(b);
    t.Add(c);
    QCOMPARE(Names(s + t), QStringList({"user:a", "user:b", "user:c"}));
    QCOMPARE(Names(s.Common(t)), QStringList({"user:c"}));
    QCOMPARE(Names(s), QStringList({"user:a", "user:c"}));
    s.Add(s);
    QCOMPARE(s.size(), size_t(2));
    QVERIFY(s.erase(c));
    QVERIFY(!s.erase(c));
    QVERIFY(s.Contains(a) && !s.Contains(c));
    QCOMPARE(Names(ItemSet() + ItemSet()), QStringList());
    QVERIFY(ItemSet(ItemPtr()).empty());
}

void TestStoreSets::connectedFilters()
{
    ItemPtr a = m_user->GetItem("a");
    ItemPtr b = m_user->GetItem("b");
    ItemPtr c = m_user->GetItem("c");
    ItemPtr friends = m_group->GetItem("friends");
    ItemPtr work = m_group->GetItem("work");
    a += friends;
    c += work;
    c += ItemPtr(m_size->GetItem(5));
    ItemSet all = g("user");
    QCOMPARE(Names(all.Connected("user_list_group")), QStringList({"user:a", "user:c"}));
    QCOMPARE(Names(all.Connected("file_size")), QStringList({"user:c"}));
    QCOMPARE(Names(all.Connected(ItemSet(work))), QStringList({"user:c"}));
    QCOMPARE(Names(all.Connected(g("user_list_group"))), QStringList({"user:a", "user:c"}));
    QCOMPARE(Names(all.Connected(ItemSet())), QStringList());
    QCOMPARE(Names(all.Connected(friends)), QStringList({"user:a"}));
    QCOMPARE(Names(all.Connected(ItemPtr())), QStringList());
    QCOMPARE(Names(all.Connected("user_list_group", "work")), QStringList({"user:c"}));
    QCOMPARE(Names(all.Connected("user_list_group", "no such group")), QStringList());
    QVERIFY(!m_group->HasItem("no such group"));
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, all.Connected("nope"));
    // Against a large set the lookup goes the other way round.
    ItemSet many;
    for (int k = 0; k < 50; ++k)
        many.insert(m_group->GetItem("g" + std::to_string(k)));
    b += ItemPtr(m_group->GetItem("g49"));
    many.insert(work);
    QCOMPARE(Names(all.Connected(many)), QStringList({"user:b", "user:c"}));
}

void TestStoreSets::notConnectedFilters()
{
    ItemPtr a = m_user->GetItem("a");
    ItemPtr b = m_user->GetItem("b");
    ItemPtr friends = m_group->GetItem("friends");
    a += friends;
    ItemSet all = g("user");
    QCOMPARE(Names(all.NotConnected("user_list_group")), QStringList({"user:b"}));
    QCOMPARE(Names(all.NotConnected("user_list_group", "friends")), QStringList({"user:b"}));
    QCOMPARE(Names(all.NotConnected("user_list_group", "no such group")), QStringList({"user:a", "user:b"}));
    QCOMPARE(Names(all.NotConnected(friends)), QStringList({"user:b"}));
    QCOMPARE(Names(all.NotConnected(ItemPtr())), QStringList({"user:a", "user:b"}));
    (void)b;
}

void TestStoreSets::unionOfConnectedItems()
{
    ItemPtr a = m_user->GetItem("a");
    ItemPtr b = m_user->GetItem("b");
    ItemPtr g1 = m_group->GetItem("g1");
    ItemPtr g2 = m_group->GetItem("g2");
    ItemPtr g3 = m_group->GetItem("g3");
    b += g3;
    b += g1;
    a += g1;
    a += g2;
    QCOMPARE(Names(g("user").GetItems("user_list_group")),
             QStringList({"user_list_group:g1", "user_list_group:g2", "user_list_group:g3"}));
    QCOMPARE(Names(d->GetItems(g("user"), "user_list_group")), Names(g("user").GetItems("user_list_group")));
    QCOMPARE(Names(ItemSet().GetItems("user_list_group")), QStringList());
}

void TestStoreSets::firstItemIsTheOldest()
{
    ItemPtr a = m_user->GetItem("a");
    ItemPtr b = m_user->GetItem("b");
    ItemPtr g1 = m_group->GetItem("g1");
    g1 += b;
    g1 += a;
    QCOMPARE(ItemPtr(g1.GetItems("user")), a);
    QCOMPARE(g1["user"], a);
    QCOMPARE(ItemPtr(ItemSet()), ItemPtr());
    ItemSet s(b);
    s.insert(a);
    QCOMPARE(ItemPtr(s), a);
    QCOMPARE(s.First(), a.Get());
}

void TestStoreSets::lookupsAcrossSets()
{
    ItemPtr a = m_user->GetItem("a");
    ItemPtr b = m_user->GetItem("b");
    ItemPtr c = m_user->GetItem("c");
    ItemPtr g1 = m_group->GetItem("g1");
    ItemPtr g2 = m_group->GetItem("g2");
    ItemPtr g3 = m_group->GetItem("g3");
    for (ItemPtr u : {a, b, c})
        u += g1;
    b += g2;
    c += g2;
    a += g3;
    QCOMPARE(Name(d->GetItem(g1, g2, "user")), QString("user:b"));
    QCOMPARE(Names(d->GetItems(g1, g2, "user")), QStringList({"user:b", "user:c"}));
    QCOMPARE(d->GetItem(g2, g3, "user"), nullptr);
    QCOMPARE(d->GetItem(g1, ItemPtr(), "user"), nullptr);
    QVERIFY(d->GetItems(ItemPtr(), g1, "user").empty());
    ItemSet groups = g("user_list_group");
    QVERIFY(d->GetItemSubset(groups, "user").empty());
    QCOMPARE(Names(d->GetItemSubset(ItemSet(g1) + ItemSet(g2), "user")), QStringList({"user:b", "user:c"}));
    QCOMPARE(Name(d->GetItem(ItemSet(g1) + ItemSet(g2), "user")), QString("user:b"));
    // An empty set, and an item without any link of that type, give nothing.
    QVERIFY(d->GetItemSubset(ItemSet(), "user").empty());
    ItemPtr lonely = m_group->GetItem("lonely");
    QVERIFY(d->GetItemSubset(ItemSet(g1) + ItemSet(lonely), "user").empty());
    QVERIFY(d->GetItemSubset(ItemSet(g1), "file_size").empty());
    QVERIFY_THROWS_EXCEPTION(TypeNotFoundException, d->GetItemSubset(ItemSet(g1), "nope"));
}

void TestStoreSets::subsetOfLargeSets()
{
    // Sizes that exercise both ways of intersecting: merging and lookups.
    ItemPtr big1 = m_group->GetItem("big1");
    ItemPtr big2 = m_group->GetItem("big2");
    ItemPtr small = m_group->GetItem("small");
    std::vector<ItemPtr> users;
    for (int k = 0; k < 2000; ++k)
        users.push_back(m_user->GetItem("u" + std::to_string(k)));
    std::mt19937 rng(7);
    std::vector<int> order(2000);
    for (int k = 0; k < 2000; ++k)
        order[size_t(k)] = k;
    std::shuffle(order.begin(), order.end(), rng);
    QStringList expect;
    QStringList expectSmall;
    for (int k : order) {
        if (k % 2 == 0)
            big1 += users[size_t(k)];
        if (k % 3 == 0)
            big2 += users[size_t(k)];
        if (k % 100 == 0)
            small += users[size_t(k)];
    }
    for (int k = 0; k < 2000; ++k) {
        if (k % 6 == 0)
            expect << QString("user:u%1").arg(k);
        if (k % 300 == 0)
            expectSmall << QString("user:u%1").arg(k);
    }
    QCOMPARE(Names(d->GetItemSubset(ItemSet(big1) + ItemSet(big2), "user")), expect);
    QCOMPARE(Names(d->GetItemSubset(ItemSet(big1) + ItemSet(big2) + ItemSet(small), "user")), expectSmall);
}

void TestStoreSets::removeEveryItemOfASet()
{
    for (int k = 0; k < 5; ++k)
        ItemPtr(m_user->GetItem("u" + std::to_string(k))) += ItemPtr(m_group->GetItem("g"));
    Recorder r;
    r.OnItem(m_user->itemRemoved, "removed");
    ItemSet some = g("user").Common(ItemSet(m_user->HasItem("u1")) + ItemSet(m_user->HasItem("u3")));
    some.Remove();
    QCOMPARE(r.Take(), QStringList({"removed user:u1", "removed user:u3"}));
    QCOMPARE(Names(ItemPtr(m_group->HasItem("g")).GetItems("user")), QStringList({"user:u0", "user:u2", "user:u4"}));
    ItemSet().Remove();
}

void TestStoreSets::sortAlphabetic()
{
    // Equal values need a valueless type or a set of several types.
    Type* word = d->NewType("word", false, false, true);
    Type* other = d->NewType("other_word", false, false, true);
    ItemPtr b1 = word->GetItem("b");
    ItemPtr a = word->GetItem("a");
    ItemPtr b2 = other->GetItem("b");
    ItemPtr upper = word->GetItem("B");
    ItemPtr high = word->GetItem("\xe9");
    ItemSet s = g("word") + g("other_word");
    QCOMPARE(NamesOf(s.SortAlphabetic(true)),
             QStringList({"word:B", "word:a", "word:b", "other_word:b", Name(high)}));
    QCOMPARE(NamesOf(s.SortAlphabetic(false)),
             QStringList({Name(high), "other_word:b", "word:b", "word:a", "word:B"}));
    QVERIFY(ItemSet().SortAlphabetic().empty());
    (void)b1;
    (void)a;
    (void)b2;
    (void)upper;
}

void TestStoreSets::sortByConnectedItem()
{
    ItemPtr x = m_user->GetItem("x");
    ItemPtr y = m_user->GetItem("y");
    ItemPtr z = m_user->GetItem("z");
    ItemPtr none = m_user->GetItem("none");
    x += ItemPtr(m_name->GetItem("mike"));
    y += ItemPtr(m_name->GetItem("anna"));
    z += ItemPtr(m_name->GetItem("mike"));
    ItemSet all = g("user");
    QCOMPARE(NamesOf(all.SortAlphabeticBy("nick", true)), QStringList({"user:y", "user:x", "user:z"}));
    QCOMPARE(NamesOf(all.SortAlphabeticBy("nick", false)), QStringList({"user:z", "user:x", "user:y"}));
    QVERIFY(all.SortAlphabeticBy("file_size").empty());
    (void)none;
}

void TestStoreSets::sortNumericBy64BitKeys()
{
    const char* sizes[] = {"5000000000", "-3", "5000000000", "9223372036854775807", "10", "junk"};
    for (int k = 0; k < 6; ++k)
        ItemPtr(m_user->GetItem("u" + std::to_string(k))) += ItemPtr(m_size->GetItem(sizes[k]));
    m_user->GetItem("without");
    ItemSet all = g("user");
    QCOMPARE(NamesOf(all.SortNumericBy("file_size", true)),
             QStringList({"user:u1", "user:u5", "user:u4", "user:u0", "user:u2", "user:u3"}));
    QCOMPARE(NamesOf(all.SortNumericBy("file_size", false)),
             QStringList({"user:u3", "user:u2", "user:u0", "user:u4", "user:u5", "user:u1"}));
    // Decimal text compares numerically here, not as bytes.
    QCOMPARE(NamesOf(all.SortAlphabeticBy("file_size", true)).first(), QString("user:u1"));
}

void TestStoreSets::pointerValuesRoundTrip()
{
    Type* node = d->NewType("search_result_node", true, false, true);
    QObject object;
    ItemPtr row = node->GetItem(&object);
    QCOMPARE(reinterpret_cast<QObject*>(row.AsUInt()), &object);
    const QObject* constObject = &object;
    QCOMPARE(node->HasItem(constObject), row.Get());
    // Addresses with the top bit set survive too.
    auto* high = reinterpret_cast<int*>(uintptr_t(0xfffffffffffffff0ull));
    ItemPtr highRow = node->GetItem(high);
    QCOMPARE(highRow.AsString(), std::string("18446744073709551600"));
    QCOMPARE(reinterpret_cast<int*>(highRow.AsUInt()), high);
    QCOMPARE(Value(uint64_t(1) << 40).Text(), std::string("1099511627776"));
    QCOMPARE(Value(-5LL).Text(), std::string("-5"));
    QCOMPARE(Value(7u).Text(), std::string("7"));
    QCOMPARE(Value(static_cast<const char*>(nullptr)).Text(), std::string());
}

void TestStoreSets::parseDecimal_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qlonglong>("expected");
    QTest::newRow("empty") << QByteArray("") << 0LL;
    QTest::newRow("no digits") << QByteArray("abc") << 0LL;
    QTest::newRow("sign only") << QByteArray("-") << 0LL;
    QTest::newRow("space after sign") << QByteArray("- 5") << 0LL;
    QTest::newRow("leading spaces") << QByteArray(" \t\n42") << 42LL;
    QTest::newRow("plus") << QByteArray("+7") << 7LL;
    QTest::newRow("minus") << QByteArray("-7") << -7LL;
    QTest::newRow("trailing junk") << QByteArray("12abc") << 12LL;
    QTest::newRow("leading zeros") << QByteArray("007") << 7LL;
    QTest::newRow("max") << QByteArray("9223372036854775807") << LLONG_MAX;
    QTest::newRow("just above max") << QByteArray("9223372036854775808") << LLONG_MAX;
    QTest::newRow("min") << QByteArray("-9223372036854775808") << LLONG_MIN;
    QTest::newRow("below min") << QByteArray("-9223372036854775809") << LLONG_MIN;
    QTest::newRow("far above") << QByteArray("99999999999999999999999") << LLONG_MAX;
    QTest::newRow("far below") << QByteArray("-99999999999999999999999") << LLONG_MIN;
    QTest::newRow("over 4 GiB") << QByteArray("5000000000") << 5000000000LL;
}

void TestStoreSets::parseDecimal()
{
    QFETCH(QByteArray, text);
    QFETCH(qlonglong, expected);
    const std::string s(text.constData(), size_t(text.size()));
    QCOMPARE(ParseDecimal(s), expected);
    Type* t = d->NewType("number", false, false, true);
    ItemPtr item = t->GetItem(s);
    QCOMPARE(item.AsInt64(), expected);
    QCOMPARE(qlonglong(item.AsInt()), expected);
}

void TestStoreSets::parseUnsignedDecimal_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qulonglong>("expected");
    QTest::newRow("none") << QByteArray("x1") << 0ULL;
    QTest::newRow("max") << QByteArray("18446744073709551615") << ULLONG_MAX;
    QTest::newRow("above max") << QByteArray("18446744073709551616") << ULLONG_MAX;
    QTest::newRow("minus one") << QByteArray("-1") << ULLONG_MAX;
    QTest::newRow("spaces") << QByteArray("  12") << 12ULL;
}

void TestStoreSets::parseUnsignedDecimal()
{
    QFETCH(QByteArray, text);
    QFETCH(qulonglong, expected);
    const std::string s(text.constData(), size_t(text.size()));
    QCOMPARE(ParseUnsignedDecimal(s), expected);
    Type* t = d->NewType("number", false, false, true);
    QCOMPARE(qulonglong(ItemPtr(t->GetItem(s)).AsUInt()), expected);
}

void TestStoreSets::nullHandleReads()
{
    ItemPtr none;
    QCOMPARE(none.AsString(), std::string());
    QCOMPARE(std::string(none.AsCStr()), std::string());
    QCOMPARE(none.AsInt(), 0L);
    QCOMPARE(none.AsUInt(), 0UL);
    QCOMPARE(none.AsInt64(), 0LL);
    QVERIFY(!none["user"]);
    QVERIFY(!none.GetItem("user"));
    QVERIFY(!none.HasItem("user"));
    QVERIFY(none.GetItems("user").empty());
    ItemSet filled(ItemPtr(m_user->GetItem("a")));
    none.GetItems("user", filled);
    QVERIFY(filled.empty());
    QVERIFY(!none.IsConnected("user"));
    QVERIFY(!none.IsConnected(ItemPtr(m_user->GetItem("a"))));
    QVERIFY(none.IsNull() && !none && none == nullptr);
    // Writes through a null handle do nothing.
    none += ItemPtr(m_group->GetItem("g"));
    ItemPtr(m_group->GetItem("g")) += none;
    none -= ItemPtr(m_group->GetItem("g"));
    none.Disconnect("user");
    none.Remove();
    QVERIFY(ItemPtr(m_group->GetItem("g")).IsDisconnectedFromAll());
    // Reads of a missing connection on a real item are null too.
    QVERIFY(!ItemPtr(m_user->GetItem("a"))["user_list_group"]["user"]);
}

void TestStoreSets::connectedItemsByType()
{
    ItemPtr a = m_user->GetItem("a");
    a += ItemPtr(m_group->GetItem("g2"));
    a += ItemPtr(m_group->GetItem("g1"));
    a += ItemPtr(m_size->GetItem(3));
    std::map<Type*, ItemSet> all;
    all[m_name] = ItemSet(m_name->GetItem("stale"));
    a->GetConnectedItems(all);
    QCOMPARE(all.size(), size_t(2));
    QCOMPARE(Names(all[m_group]), QStringList({"user_list_group:g2", "user_list_group:g1"}));
    QCOMPARE(Names(all[m_size]), QStringList({"file_size:3"}));
    QCOMPARE(a->ConnectionCount(), size_t(3));
    ItemSet out(ItemPtr(m_user->GetItem("junk")));
    a.GetItems("user_list_group", out);
    QCOMPARE(out.size(), size_t(2));
    QHash<std::string, Type*> types;
    d->GetTypes(types);
    QCOMPARE(types.size(), qsizetype(4));
    QCOMPARE(types.value("nick"), m_name);
    std::map<std::string, Type*> sorted;
    d->GetTypes(sorted);
    QCOMPARE(sorted.begin()->first, std::string("file_size"));
}

void TestStoreSets::manyPartnersInRandomOrder()
{
    // One shared item with thousands of partners joining and leaving in any
    // order keeps them in creation order and finds each.
    Type* flag = d->NewType("is_online", false, true, false);
    m_user->RelateToType(flag, Many, One, false);
    ItemPtr online = flag->GetGlobalNullItem();
    std::vector<ItemPtr> users;
    for (int k = 0; k < 3000; ++k)
        users.push_back(m_user->GetItem("u" + std::to_string(k)));
    std::mt19937 rng(11);
    std::vector<size_t> order(users.size());
    for (size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<bool> in(users.size(), false);
    for (size_t step = 0; step < order.size(); ++step) {
        online += users[order[step]];
        in[order[step]] = true;
        if (step % 3 == 2) {
            const size_t out = order[step / 2];
            online -= users[out];
            in[out] = false;
        }
    }
    std::vector<Item*> expect;
    for (size_t k = 0; k < users.size(); ++k)
        if (in[k])
            expect.push_back(users[k].Get());
    const ItemSet got = online.GetItems("user");
    QCOMPARE(got.Items(), expect);
    QCOMPARE(online["user"].Get(), expect.front());
    for (size_t k = 0; k < users.size(); ++k) {
        QCOMPARE(online.IsConnected(users[k]), bool(in[k]));
        QCOMPARE(users[k].IsConnected(online), bool(in[k]));
    }
    // Removing users leaves the group consistent too.
    for (size_t k = 0; k < users.size(); k += 2)
        users[k].Remove();
    size_t left = 0;
    for (size_t k = 1; k < users.size(); k += 2)
        left += in[k] ? 1 : 0;
    QCOMPARE(online.GetItems("user").size(), left);
}

void TestStoreSets::valueIndexSurvivesChurn()
{
    std::mt19937 rng(5);
    std::vector<std::string> alive, gone;
    for (int k = 0; k < 5000; ++k) {
        const std::string v = "v" + std::to_string(k * 7919 % 10007);
        m_user->GetItem(v);
        alive.push_back(v);
        if (k % 4 == 3) {
            std::uniform_int_distribution<size_t> pick(0, alive.size() - 1);
            const size_t at = pick(rng);
            ItemPtr(m_user->HasItem(alive[at])).Remove();
            gone.push_back(alive[at]);
            alive.erase(alive.begin() + long(at));
        }
        // A removed value made again, on a number a removed item had.
        if (k % 16 == 15) {
            m_user->GetItem(gone.front());
            alive.push_back(gone.front());
            gone.erase(gone.begin());
        }
    }
    QCOMPARE(m_user->ItemCount(), alive.size());
    for (const std::string& v : alive) {
        Item* p = m_user->HasItem(v);
        QVERIFY(p);
        QCOMPARE(p->GetValue(), v);
    }
    for (const std::string& v : gone)
        QVERIFY(!m_user->HasItem(v));
    // Removing most items at once compacts the type; order and lookups hold.
    std::vector<std::string> keep;
    ItemSet most;
    for (size_t k = 0; k < alive.size(); ++k) {
        if (k % 10 == 0)
            keep.push_back(alive[k]);
        else
            most.insert(m_user->HasItem(alive[k]));
    }
    most.Remove();
    QCOMPARE(m_user->ItemCount(), keep.size());
    const ItemSet rest = m_user->GetItems();
    QCOMPARE(rest.size(), keep.size());
    QVERIFY(std::is_sorted(rest.begin(), rest.end(),
                           [](const Item* a, const Item* b) { return a->Serial() < b->Serial(); }));
    for (const std::string& v : keep)
        QVERIFY(m_user->HasItem(v));
    for (Item* p : rest)
        ItemPtr(p).Remove();
    QCOMPARE(m_user->ItemCount(), size_t(0));
    QVERIFY(!m_user->HasItem(keep.front()));
}

void TestStoreSets::linksSurviveGrowthAndShrinking()
{
    // An item related to many types, and items with a few to many partners
    // linked and unlinked in mixed order, removed and made again: each
    // keeps exactly its own partners, in creation order.
    std::vector<Type*> kinds;
    for (int k = 0; k < 20; ++k) {
        kinds.push_back(d->NewType("kind" + std::to_string(k), false, false, true));
        m_user->RelateToType(kinds.back(), Many, Many, false);
    }
    ItemPtr hub = m_user->GetItem("hub");
    std::mt19937 rng(3);
    std::vector<int> order(kinds.size());
    for (int round = 0; round < 3; ++round) {
        for (size_t k = 0; k < order.size(); ++k)
            order[k] = int(k);
        std::shuffle(order.begin(), order.end(), rng);
        for (int k : order)
            hub += kinds[size_t(k)]->GetItem("x");
        for (size_t k = 0; k + 3 < order.size(); ++k)
            hub -= kinds[size_t(order[k])]->GetItem("x");
        std::map<Type*, ItemSet> groups;
        hub->GetConnectedItems(groups);
        QCOMPARE(groups.size(), size_t(3));
        for (size_t k = order.size() - 3; k < order.size(); ++k)
            QCOMPARE(Names(groups[kinds[size_t(order[k])]]), QStringList{"kind" + QString::number(order[k]) + ":x"});
    }

    std::vector<ItemPtr> groups;
    for (int k = 0; k < 80; ++k)
        groups.push_back(m_group->GetItem("g" + std::to_string(k)));
    std::map<std::string, std::vector<int>> expect;   // user -> group numbers
    for (int round = 0; round < 2; ++round) {
        for (int u = 0; u < 600; ++u) {
            const std::string name = "u" + std::to_string(round) + "_" + std::to_string(u);
            ItemPtr user = m_user->GetItem(name);
            std::vector<int>& mine = expect[name];
            for (int k = 0; k < 80; ++k)
                if (int(rng() % 80) < u % 80)
                    mine.push_back(k);
            std::vector<int> shuffled = mine;
            std::shuffle(shuffled.begin(), shuffled.end(), rng);
            for (int k : shuffled)
                user += groups[size_t(k)];
            // Drop most of them again, so arrays shrink.
            for (size_t k = 0; k < shuffled.size() * 3 / 4; ++k) {
                user -= groups[size_t(shuffled[k])];
                mine.erase(std::find(mine.begin(), mine.end(), shuffled[k]));
            }
        }
        for (auto it = expect.begin(); it != expect.end();)
            if (rng() % 2) {
                ItemPtr(m_user->HasItem(it->first)).Remove();
                it = expect.erase(it);
            } else {
                ++it;
            }
        for (const auto& [name, mine] : expect) {
            QStringList want;
            for (int k : mine)
                want << "user_list_group:g" + QString::number(k);
            QCOMPARE(Names(ItemPtr(m_user->HasItem(name)).GetItems("user_list_group")), want);
        }
    }
}

void TestStoreSets::memoryReusedAcrossSizesAndResets()
{
    // Partner arrays of every size, more of them than one heap block of the
    // store's slabs holds, all freed and made again in other sizes: each
    // item keeps exactly its own partners.
    std::vector<ItemPtr> groups;
    for (int k = 0; k < 64; ++k)
        groups.push_back(m_group->GetItem("g" + std::to_string(k)));
    for (int round = 0; round < 2; ++round) {
        const auto count = [round](int i_user) { return 2 + i_user * (round ? 7 : 1) % 60; };
        std::vector<ItemPtr> users;
        for (int u = 0; u < 8000; ++u) {
            users.push_back(m_user->GetItem("u" + std::to_string(u)));
            for (int k = 0; k < count(u); ++k)
                users.back() += groups[size_t(k)];
        }
        for (int u = 0; u < 8000; ++u) {
            const ItemSet mine = users[size_t(u)].GetItems("user_list_group");
            QCOMPARE(int(mine.size()), count(u));
            QCOMPARE(Name(mine.Items().back()), "user_list_group:g" + QString::number(count(u) - 1));
        }
        for (ItemPtr user : users)
            user.Remove();
    }
    // After a reset new types take over the numbers, and the kept memory,
    // of the old ones: every item still tells its own type.
    d->Reset();
    Type* nick = d->NewType("nick", false, false, true);
    Type* user = d->NewType("user", true, false, true);
    user->RelateToType(nick, Many, One, false);
    for (int u = 0; u < 5000; ++u)
        ItemPtr(user->GetItem("u" + std::to_string(u))) += ItemPtr(nick->GetItem("n" + std::to_string(u % 7)));
    QCOMPARE(Name(user->HasItem("u4999")), QStringLiteral("user:u4999"));
    QCOMPARE(Names(ItemPtr(user->HasItem("u4999")).GetItems("nick")), QStringList{"nick:n1"});
    QCOMPARE(Name(nick->HasItem("n6")), QStringLiteral("nick:n6"));
}

QTEST_GUILESS_MAIN(TestStoreSets)
#include "test_store_sets.moc"
