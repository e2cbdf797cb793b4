// The state file: what is saved, how a load comes back through the store,
// and that no damaged file ever touches the store or gets overwritten.

#include "core/DataSaver.h"
#include "core/StateFile.h"

#include <QTemporaryDir>
#include <QtTest>

#include <fstream>
#include <functional>
#include <iterator>
#include <optional>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

namespace {

std::string ReadAll(const std::string& i_path) {
    std::ifstream f(i_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& i_path, const std::string& i_bytes) {
    std::ofstream f(i_path, std::ios::binary | std::ios::trunc);
    f.write(i_bytes.data(), std::streamsize(i_bytes.size()));
}

// Writes the bytes as the state file and loads it: what the failure said,
// or nothing when the file loaded.
std::optional<std::string> LoadFailure(DataSaver& io_saver, const std::string& i_path, const std::string& i_bytes) {
    WriteAll(i_path, i_bytes);
    try {
        io_saver.Load(i_path.c_str());
    } catch (const DataLoadFailure& e) {
        return std::string(e.what());
    }
    return std::nullopt;
}

bool Exists(const std::string& i_path) {
    struct stat st;
    return ::lstat(i_path.c_str(), &st) == 0;
}

// Every type, item (by serial) and connection, and the next serial: equal
// dumps mean nothing was added, removed or relinked, not even briefly.
std::string Dump() {
    std::string out;
    for (Type* t : d->TypesInOrder()) {
        out += "type " + t->GetName() + "\n";
        t->ForEachItem([&](Item* p) {
            out += "  " + std::to_string(p->Serial()) + " '" + p->GetValue() + "' ->";
            for (const ConnGroup& g : p->Groups()) g.ForEach([&](Item* o) { out += " " + std::to_string(o->Serial()); });
            out += "\n";
        });
    }
    return out + "next " + std::to_string(d->NextSerial());
}

// Builds bodies byte by byte, independently of the encoder under test.
struct Bytes {
    std::string b;
    Bytes& U32(uint32_t i_n) {
        for (int k = 0; k < 4; ++k) b += char((i_n >> (8 * k)) & 0xff);
        return *this;
    }
    Bytes& Str(const std::string& i_s) {
        U32(uint32_t(i_s.size()));
        b += i_s;
        return *this;
    }
    Bytes& Byte(unsigned char i_c) {
        b += char(i_c);
        return *this;
    }
};

std::string WithHeader(const std::string& i_body, uint32_t i_version = 1, const char* ip_magic = "TVRNSTAT") {
    Bytes h;
    h.b.append(ip_magic, 8);
    h.U32(i_version).U32(uint32_t(i_body.size()));
    h.U32(uint32_t(crc32(0, reinterpret_cast<const Bytef*>(i_body.data()), uInt(i_body.size()))));
    return h.b + i_body;
}

// The settings types as start-up makes them, and a few others covering each
// kind of saving and relation.
struct Schema {
    Type* global;
    Type* vglobal;
    Type* globalValue;
    Type* wish;
    Type* wishEnabled;
    Type* tag;
    Type* user;
    Type* room;
    Type* note;
    Type* scratch;
};

Schema MakeSchema(DataSaver& io_saver) {
    Schema k;
    k.global = d->NewType("global", true, false, true);
    k.vglobal = d->NewType("vglobal", true, false, true);
    k.globalValue = d->NewType("global_value", false, false, true);
    k.global->RelateToType(k.globalValue, Many, One, false);
    k.vglobal->RelateToType(k.globalValue, Many, One, false);
    io_saver.AddSavedType("global");
    io_saver.AddSavedByConnectionType("global_value", "global");

    k.wish = d->NewType("wish_list_item", true, false, true);
    k.wishEnabled = d->NewType("wish_list_item_enabled", false, true, true);
    k.wish->RelateToType(k.wishEnabled, Many, One, false);
    io_saver.AddSavedType("wish_list_item");
    io_saver.AddSavedType("wish_list_item_enabled");

    k.tag = d->NewType("tag", false, true, false);
    k.wish->RelateToType(k.tag, One, Many, false);
    io_saver.AddSavedType("tag");

    k.user = d->NewType("user", true, false, true);
    k.room = d->NewType("room", true, false, true);
    k.note = d->NewType("note", false, false, true);
    k.note->RelateToType(k.user, Many, Many, false);
    k.note->RelateToType(k.room, Many, Many, false);
    io_saver.AddSavedType("user");
    io_saver.AddSavedByConnectionType("note", "user");
    io_saver.AddSavedByConnectionType("note", "room");

    k.scratch = d->NewType("scratch", false, false, true);
    k.scratch->RelateToType(k.global, Many, Many, false);
    return k;
}

class Counter : public DataLoadedEventHandler {
public:
    explicit Counter(std::vector<std::string>* ip_log = nullptr, std::string i_name = "") : mp_log(ip_log), m_name(i_name) {}
    void DataLoaded() override {
        ++calls;
        if (mp_log) mp_log->push_back(m_name);
        if (action) action();
    }
    int calls = 0;
    std::function<void()> action;

private:
    std::vector<std::string>* mp_log;
    std::string m_name;
};

class Recorder : public DataHandler {
public:
    void OnAdded(Item* ip_item) { log.push_back("add " + ip_item->GetType()->GetName() + " " + ip_item->GetValue()); }
    void OnConnected(ConnectionInfo& i_c) {
        log.push_back("link " + i_c.from->GetValue() + " " + i_c.to->GetValue());
    }
    std::vector<std::string> log;
};

const std::string kPassword("p\0w\xff\n\"x", 7);

// A store with every case the round trip must handle.
void Populate(const Schema& k) {
    SetSetting("username", "alice");
    SetSetting("minimize_to_tray", "no");
    SetSetting("password", kPassword);
    ItemPtr(k.vglobal->GetItem("session")) += ItemPtr(k.globalValue->GetItem("transient"));
    k.globalValue->GetItem("orphan");

    ItemPtr beatles = k.wish->GetItem("beatles");
    beatles.NewItem("wish_list_item_enabled");
    ItemPtr(k.wish->GetItem("stones")).NewItem("wish_list_item_enabled");
    k.wish->GetItem("kinks");
    beatles.NewItem("tag");
    beatles.NewItem("tag");

    ItemPtr bob = k.user->GetItem("bob");
    k.user->GetItem("carol");
    ItemPtr(k.note->GetItem("n1")) += bob;
    ItemPtr(k.note->GetItem("n2")) += ItemPtr(k.room->GetItem("lobby"));
    k.note->GetItem("n3");
    ItemPtr(k.scratch->GetItem("s")) += ItemPtr(k.global->GetItem("username"));
}

}  // namespace

class TestDataSaver : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void roundTripRestoresWhatWasSaved();
    void loadRunsTheStoreEventsItemsFirst();
    void creationOrderIsKept();
    void scatteredSerialsAndSelfLinksRoundTrip();
    void skipsWhatTheStoreCannotTake();
    void handlerRemovingAnItemDuringLoadIsSafe();
    void layoutIsAsSpecified();

    void missingFileIsAFirstStart();
    void handlersAreNotifiedInOrderOnce();
    void everyTruncationFailsAndLeavesTheStore();
    void everyFlippedByteFails();
    void craftedFilesFail_data();
    void craftedFilesFail();
    void failedFilesAreKeptAsideUnderFreeNames();

    void savedFileIsOwnerOnly();
    void temporaryNameIsTheFirstFree();
    void saveIntoAFileAsFolderFails();
    void saveThatCannotWriteKeepsThePreviousFile();
    void saveThatCannotRenameLeavesNoTemporaryFile();
    void killedBeforeRenameLeavesThePreviousFile();

private:
    std::string Path(const char* ip_name = "state") const { return m_dir->filePath(ip_name).toStdString(); }
    // Saves a small valid store to the path and returns the file's bytes.
    std::string SmallFile(const std::string& i_path);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<DataSaver> m_saver;
};

void TestDataSaver::init() {
    d->Reset();
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_saver.reset(new DataSaver);
    QCOMPARE(dataSaver, m_saver.get());
}

void TestDataSaver::cleanup() {
    gp_stateFileBeforeRename = nullptr;
    m_saver.reset();
    QCOMPARE(dataSaver, nullptr);
    d->Reset();
}

std::string TestDataSaver::SmallFile(const std::string& i_path) {
    Schema k = MakeSchema(*m_saver);
    SetSetting("username", "alice");
    ItemPtr(k.wish->GetItem("beatles")).NewItem("wish_list_item_enabled");
    m_saver->Save(i_path.c_str());
    d->Reset();
    return ReadAll(i_path);
}

void TestDataSaver::roundTripRestoresWhatWasSaved() {
    const std::string path = Path();
    {
        Schema k = MakeSchema(*m_saver);
        Populate(k);
        m_saver->Save(path.c_str());
    }
    d->Reset();
    Schema k = MakeSchema(*m_saver);

    // What start-up makes before the load: a key item, defaults, the shared flag.
    Item* username = k.global->GetItem("username");
    SetSetting("minimize_to_tray", "yes");
    SetSetting("expand_new_shares", "yes");
    Item* flag = k.wishEnabled->GetGlobalNullItem();
    Item* oldTag = k.tag->NewItem();

    Recorder rec;
    rec.AddHandler(k.global->itemAdded, &rec, &Recorder::OnAdded);
    rec.AddPairHandler(k.global, k.globalValue, &rec, &Recorder::OnConnected);
    std::vector<Item*> pathHits;
    auto* root = new PathNode(username);
    new PathNode(root, "global_value", ConnectedNotify);
    rec.AddPathHandler(root, [&](Item* ip_root) { pathHits.push_back(ip_root); });
    std::string seenByHandler;
    Counter counter;
    counter.action = [&] { seenByHandler = GetSetting("username"); };
    m_saver->AddDataLoadedEventHandler(&counter);

    m_saver->Load(path.c_str());

    // Settings, with the stored one replacing the default and the other default kept.
    QCOMPARE(GetSetting("username"), std::string("alice"));
    QCOMPARE(GetSetting("password"), kPassword);
    QCOMPARE(GetSetting("minimize_to_tray"), std::string("no"));
    QCOMPARE(GetSetting("expand_new_shares"), std::string("yes"));
    QCOMPARE(ItemPtr(k.global->HasItem("minimize_to_tray")).GetItems("global_value").size(), size_t(1));
    QCOMPARE(k.global->HasItem("username"), username);
    // Values linked only to unsaved keys, or to nothing, were not written.
    QVERIFY(!k.globalValue->HasItem("transient"));
    QVERIFY(!k.globalValue->HasItem("orphan"));
    QCOMPARE(k.vglobal->ItemCount(), size_t(0));
    QCOMPARE(k.scratch->ItemCount(), size_t(0));

    // The lone flag in the file is the flag made before the load.
    QCOMPARE(k.wishEnabled->ItemCount(), size_t(1));
    QCOMPARE(k.wish->HasItem("beatles")->GetItem(k.wishEnabled), flag);
    QCOMPARE(k.wish->HasItem("stones")->GetItem(k.wishEnabled), flag);
    QVERIFY(!k.wish->HasItem("kinks")->GetItem(k.wishEnabled));
    // Two tags in the file are two new tags; the earlier one stays apart.
    QCOMPARE(k.tag->ItemCount(), size_t(3));
    ItemSet tags = k.wish->HasItem("beatles")->GetItems(k.tag);
    QCOMPARE(tags.size(), size_t(2));
    QVERIFY(!tags.Contains(oldTag));

    // Notes: saved while linked to any registered other type; links only
    // between saved items.
    QVERIFY(k.user->HasItem("bob") && k.user->HasItem("carol"));
    QVERIFY(k.note->HasItem("n1")->IsConnected(k.user->HasItem("bob")));
    QVERIFY(k.note->HasItem("n2"));
    QVERIFY(k.note->HasItem("n2")->IsDisconnectedFromAll());
    QVERIFY(!k.note->HasItem("n3"));
    QCOMPARE(k.room->ItemCount(), size_t(0));

    // The events of the load: one new key, three value links, the path once.
    QCOMPARE(rec.log, (std::vector<std::string>{"add global password", "link username alice",
                                                "link minimize_to_tray no", "link password " + kPassword}));
    QCOMPARE(pathHits, std::vector<Item*>{username});
    QCOMPARE(counter.calls, 1);
    QCOMPARE(seenByHandler, std::string("alice"));
}

void TestDataSaver::loadRunsTheStoreEventsItemsFirst() {
    const std::string path = Path();
    {
        Schema k = MakeSchema(*m_saver);
        Populate(k);
        m_saver->Save(path.c_str());
    }
    d->Reset();
    MakeSchema(*m_saver);
    Recorder rec;
    rec.AddHandler(d->itemAdded, &rec, &Recorder::OnAdded);
    rec.AddHandler(d->connected, &rec, &Recorder::OnConnected);
    m_saver->Load(path.c_str());

    // Every item first, then every link, each through the store's events.
    size_t firstLink = 0;
    while (firstLink < rec.log.size() && rec.log[firstLink].rfind("add ", 0) == 0) ++firstLink;
    QVERIFY(firstLink > 0);
    for (size_t n = firstLink; n < rec.log.size(); ++n) QVERIFY(rec.log[n].rfind("link ", 0) == 0);
    QCOMPARE(size_t(d->ItemCount()), firstLink);
    size_t links = 0;
    for (Type* t : d->TypesInOrder()) t->ForEachItem([&](Item* p) { links += p->ConnectionCount(); });
    QCOMPARE(rec.log.size() - firstLink, links / 2);
}

void TestDataSaver::creationOrderIsKept() {
    const std::string path = Path();
    std::vector<std::string> before;
    {
        Schema k = MakeSchema(*m_saver);
        // Interleaved across types, and an early key that gets its value late.
        k.global->GetItem("z_first");
        k.user->GetItem("u1");
        k.wish->GetItem("w1");
        SetSetting("a_second", "v1");
        k.user->GetItem("u0");
        SetSetting("z_first", "v0");
        std::vector<Item*> all;
        for (Type* t : d->TypesInOrder()) t->ForEachItem([&](Item* p) { all.push_back(p); });
        std::sort(all.begin(), all.end(), [](Item* a, Item* b) { return a->Serial() < b->Serial(); });
        for (Item* p : all) before.push_back(p->GetType()->GetName() + ":" + p->GetValue());
        m_saver->Save(path.c_str());
    }
    d->Reset();
    MakeSchema(*m_saver);
    m_saver->Load(path.c_str());
    std::vector<Item*> all;
    for (Type* t : d->TypesInOrder()) t->ForEachItem([&](Item* p) { all.push_back(p); });
    std::sort(all.begin(), all.end(), [](Item* a, Item* b) { return a->Serial() < b->Serial(); });
    std::vector<std::string> after;
    for (Item* p : all) after.push_back(p->GetType()->GetName() + ":" + p->GetValue());
    QCOMPARE(after, before);
    QCOMPARE(GetSetting("z_first"), std::string("v0"));
}

void TestDataSaver::scatteredSerialsAndSelfLinksRoundTrip() {
    // Saved items far apart among many transient ones take the saver's
    // other way of numbering items; a type linked to itself writes each
    // link once.
    const std::string path = Path();
    auto make = [this] {
        Type* peer = d->NewType("peer", true, false, true);
        peer->RelateToType(peer, Many, Many, false);
        d->NewType("noise", false, false, true);
        m_saver->AddSavedType("peer");
    };
    make();
    Type* peer = d->HasType("peer");
    Type* noise = d->HasType("noise");
    const int n = 60;
    for (int k = 0; k < n; ++k) {
        peer->GetItem(k);
        for (int j = 0; j < 100; ++j) noise->GetItem(k * 1000 + j);
    }
    std::vector<std::pair<int, int>> links;
    for (int k = 0; k < n; ++k)
        for (int j : {k + 1, k * 7 % n, (k * 13 + 5) % n})
            if (j != k && j < n) {
                ItemPtr(peer->HasItem(k)) += ItemPtr(peer->HasItem(j));
                links.emplace_back(std::min(k, j), std::max(k, j));
            }
    std::sort(links.begin(), links.end());
    links.erase(std::unique(links.begin(), links.end()), links.end());
    m_saver->Save(path.c_str());
    const std::string bytes = ReadAll(path);
    QCOMPARE(statefile::Parse(bytes).links.size(), links.size());

    d->Reset();
    make();
    peer = d->HasType("peer");
    m_saver->Load(path.c_str());
    QCOMPARE(peer->ItemCount(), size_t(n));
    std::vector<std::pair<int, int>> got;
    peer->ForEachItem([&](Item* p) {
        for (Item* o : p->GetItems(peer))
            if (p->AsInt() < o->AsInt()) got.emplace_back(int(p->AsInt()), int(o->AsInt()));
    });
    std::sort(got.begin(), got.end());
    QCOMPARE(got, links);
}

void TestDataSaver::skipsWhatTheStoreCannotTake() {
    const std::string path = Path();
    {
        Schema k = MakeSchema(*m_saver);
        Type* gone = d->NewType("gone", true, false, true);
        gone->RelateToType(k.global, Many, Many, false);
        Type* flip = d->NewType("flip", true, false, true);
        k.wish->RelateToType(k.user, Many, Many, false);
        m_saver->AddSavedType("gone");
        m_saver->AddSavedType("flip");
        SetSetting("username", "alice");
        ItemPtr(gone->GetItem("g")) += ItemPtr(k.global->GetItem("username"));
        flip->GetItem("f");
        ItemPtr(k.wish->GetItem("w")) += ItemPtr(k.user->GetItem("bob"));
        m_saver->Save(path.c_str());
    }
    d->Reset();
    // No "gone", a null "flip", and wishes no longer related to users.
    Schema k = MakeSchema(*m_saver);
    Type* flip = d->NewType("flip", true, true, true);
    m_saver->Load(path.c_str());
    QCOMPARE(GetSetting("username"), std::string("alice"));
    QCOMPARE(k.global->HasItem("username")->ConnectionCount(), size_t(1));
    QCOMPARE(flip->ItemCount(), size_t(0));
    QVERIFY(k.wish->HasItem("w") && k.user->HasItem("bob"));
    QVERIFY(k.wish->HasItem("w")->IsDisconnectedFromAll());
}

void TestDataSaver::handlerRemovingAnItemDuringLoadIsSafe() {
    const std::string path = Path();
    {
        MakeSchema(*m_saver);
        SetSetting("drop", "x");
        SetSetting("keep", "y");
        m_saver->Save(path.c_str());
    }
    d->Reset();
    Schema k = MakeSchema(*m_saver);
    DataHandler owner;
    auto* h = new FunctionHandler<Item*>([](Item* ip_item) {
        if (ip_item->GetValue() == "drop") ip_item->Remove();
    });
    owner.Track(h);
    k.global->itemAdded.Add(h);
    m_saver->Load(path.c_str());
    QVERIFY(!k.global->HasItem("drop"));
    QCOMPARE(GetSetting("keep"), std::string("y"));
    QVERIFY(k.globalValue->HasItem("x")->IsDisconnectedFromAll());
}

void TestDataSaver::layoutIsAsSpecified() {
    const std::string path = Path();
    Schema k = MakeSchema(*m_saver);
    ItemPtr key = k.global->GetItem("k");
    key += ItemPtr(k.globalValue->GetItem("v"));
    ItemPtr(k.wish->GetItem("w")).NewItem("wish_list_item_enabled");
    m_saver->Save(path.c_str());

    // Saved types in the store's order, items in creation order, links a < b.
    Bytes body;
    body.U32(7)
        .Str("global").Byte(0)
        .Str("global_value").Byte(0)
        .Str("wish_list_item").Byte(0)
        .Str("wish_list_item_enabled").Byte(1)
        .Str("tag").Byte(1)
        .Str("user").Byte(0)
        .Str("note").Byte(0);
    body.U32(4).U32(0).Str("k").U32(1).Str("v").U32(2).Str("w").U32(3);
    body.U32(2).U32(0).U32(1).U32(2).U32(3);
    QCOMPARE(ReadAll(path), WithHeader(body.b));
}

void TestDataSaver::missingFileIsAFirstStart() {
    const std::string path = Path();
    Schema k = MakeSchema(*m_saver);
    SetSetting("minimize_to_tray", "yes");
    k.wishEnabled->GetGlobalNullItem();
    Counter counter;
    m_saver->AddDataLoadedEventHandler(&counter);
    const std::string before = Dump();
    m_saver->Load(path.c_str());
    QCOMPARE(counter.calls, 1);
    QCOMPARE(Dump(), before);
    QVERIFY(!Exists(path));
    QVERIFY(!Exists(path + ".bad"));
}

void TestDataSaver::handlersAreNotifiedInOrderOnce() {
    std::vector<std::string> log;
    Counter a(&log, "a"), b(&log, "b"), c(&log, "c"), late(&log, "late");
    m_saver->AddDataLoadedEventHandler(&a);
    m_saver->AddDataLoadedEventHandler(&b);
    m_saver->AddDataLoadedEventHandler(&a);
    // Objects may also register themselves inline.
    QVERIFY(m_saver->m_dataLoadedEventHandlers.insert(&c));
    QVERIFY(!m_saver->m_dataLoadedEventHandlers.insert(&c));
    QVERIFY(!m_saver->m_dataLoadedEventHandlers.insert(nullptr));
    QCOMPARE(m_saver->m_dataLoadedEventHandlers.size(), size_t(3));

    // A handler removed by an earlier one is skipped; one added waits.
    a.action = [&] {
        m_saver->RemoveDataLoadedEventHandler(&b);
        m_saver->AddDataLoadedEventHandler(&late);
    };
    m_saver->NotifyDataLoaded();
    QCOMPARE(log, (std::vector<std::string>{"a", "c"}));
    log.clear();
    a.action = nullptr;
    m_saver->NotifyDataLoaded();
    QCOMPARE(log, (std::vector<std::string>{"a", "c", "late"}));
}

void TestDataSaver::everyTruncationFailsAndLeavesTheStore() {
    const std::string path = Path();
    const std::string full = SmallFile(path);
    QVERIFY(full.size() > statefile::kHeaderSize);

    Schema k = MakeSchema(*m_saver);
    SetSetting("minimize_to_tray", "yes");
    k.wishEnabled->GetGlobalNullItem();
    Counter counter;
    m_saver->AddDataLoadedEventHandler(&counter);
    Recorder rec;
    rec.AddHandler(d->itemAdded, &rec, &Recorder::OnAdded);
    rec.AddHandler(d->connected, &rec, &Recorder::OnConnected);
    const std::string before = Dump();

    for (size_t len = 0; len < full.size(); ++len) {
        const std::string cut = full.substr(0, len);
        QVERIFY2(LoadFailure(*m_saver, path, cut), qPrintable(QString("a file cut to %1 bytes loaded").arg(len)));
        QCOMPARE(Dump(), before);
        QVERIFY(!Exists(path));
        QCOMPARE(ReadAll(path + ".bad"), cut);
        ::unlink((path + ".bad").c_str());
    }
    QCOMPARE(counter.calls, 0);
    QVERIFY(rec.log.empty());

    WriteAll(path, full);
    m_saver->Load(path.c_str());
    QCOMPARE(GetSetting("username"), std::string("alice"));
    QCOMPARE(counter.calls, 1);
}

void TestDataSaver::everyFlippedByteFails() {
    const std::string path = Path();
    const std::string full = SmallFile(path);
    MakeSchema(*m_saver);
    SetSetting("username", "before");
    const std::string before = Dump();
    for (size_t at = 0; at < full.size(); ++at) {
        for (unsigned char mask : {0x01, 0x80}) {
            std::string bad = full;
            bad[at] = char(bad[at] ^ mask);
            QVERIFY2(LoadFailure(*m_saver, path, bad),
                     qPrintable(QString("a change at byte %1 went unnoticed").arg(at)));
            QCOMPARE(Dump(), before);
            ::unlink((path + ".bad").c_str());
        }
    }
}

void TestDataSaver::craftedFilesFail_data() {
    QTest::addColumn<QByteArray>("file");
    auto row = [](const char* ip_name, const std::string& i_bytes) {
        QTest::newRow(ip_name) << QByteArray(i_bytes.data(), qsizetype(i_bytes.size()));
    };
    auto types = [] {
        Bytes b;
        b.U32(2).Str("global").Byte(0).Str("global_value").Byte(0);
        return b;
    };
    Bytes valid = types();
    valid.U32(2).U32(0).Str("k").U32(1).Str("v").U32(1).U32(0).U32(1);
    const std::string good = WithHeader(valid.b);

    row("empty", "");
    row("header cut short", good.substr(0, 19));
    row("header only", good.substr(0, 20));
    row("wrong magic", WithHeader(valid.b, 1, "TVRNSTAX"));
    row("version 0", WithHeader(valid.b, 0));
    row("version 2", WithHeader(valid.b, 2));
    {
        std::string f = good;
        f[12] = char(f[12] + 1);
        row("announced body longer than the file", f);
        f = good;
        f[12] = char(f[12] - 1);
        row("announced body shorter than the file", f);
        f = good;
        f[16] = char(f[16] ^ 0xff);
        row("checksum wrong", f);
    }
    row("type count huge", WithHeader(Bytes().U32(0xffffffffu).U32(0).U32(0).b));
    {
        Bytes b;
        b.U32(3).Str("global").Byte(0).Str("global_value").Byte(0).U32(0).U32(0);
        row("one type more than written", WithHeader(b.b));
    }
    row("type name past the end", WithHeader(Bytes().U32(1).U32(0xfffffff0u).Byte(0).U32(0).U32(0).b));
    row("null flag 2", WithHeader(Bytes().U32(1).Str("global").Byte(2).U32(0).U32(0).b));
    row("same type twice",
        WithHeader(Bytes().U32(2).Str("global").Byte(0).Str("global").Byte(0).U32(0).U32(0).b));
    row("item count huge", WithHeader(types().U32(0x7fffffffu).U32(0).b));
    row("item of a type that is not listed", WithHeader(types().U32(1).U32(2).Str("k").U32(0).b));
    {
        Bytes b = types();
        b.U32(1).U32(0).U32(1000);
        b.b += "k";
        b.U32(0);
        row("value past the end", WithHeader(b.b));
    }
    row("body ends before the links", WithHeader(types().U32(2).U32(0).Str("k").U32(1).Str("v").b));
    row("link count huge", WithHeader(types().U32(2).U32(0).Str("k").U32(1).Str("v").U32(0x20000000u).b));
    row("link of an item with itself",
        WithHeader(types().U32(2).U32(0).Str("k").U32(1).Str("v").U32(1).U32(1).U32(1).b));
    row("link written backwards",
        WithHeader(types().U32(2).U32(0).Str("k").U32(1).Str("v").U32(1).U32(1).U32(0).b));
    row("link past the items",
        WithHeader(types().U32(2).U32(0).Str("k").U32(1).Str("v").U32(1).U32(0).U32(2).b));
    row("byte after the links", WithHeader(valid.b + std::string(1, '\0')));
}

void TestDataSaver::craftedFilesFail() {
    QFETCH(QByteArray, file);
    const std::string path = Path();
    Schema k = MakeSchema(*m_saver);
    SetSetting("k", "old");
    k.wishEnabled->GetGlobalNullItem();
    Counter counter;
    m_saver->AddDataLoadedEventHandler(&counter);
    const std::string before = Dump();

    const std::string bytes(file.constData(), size_t(file.size()));
    const std::string message = LoadFailure(*m_saver, path, bytes).value_or("");
    QVERIFY2(!message.empty(), "the file loaded");
    QVERIFY2(message.find(path + ".bad") != std::string::npos, message.c_str());
    QCOMPARE(Dump(), before);
    QCOMPARE(counter.calls, 0);
    QVERIFY(!Exists(path));
    QCOMPARE(ReadAll(path + ".bad"), bytes);
}

void TestDataSaver::failedFilesAreKeptAsideUnderFreeNames() {
    const std::string path = Path();
    MakeSchema(*m_saver);
    const char* suffixes[] = {".bad", ".bad.1", ".bad.2"};
    for (int n = 0; n < 3; ++n) {
        const std::optional<std::string> failure = LoadFailure(*m_saver, path, "junk " + std::to_string(n));
        QVERIFY2(failure, "junk loaded");
        QVERIFY2(failure->find(path + suffixes[n]) != std::string::npos, failure->c_str());
    }
    for (int n = 0; n < 3; ++n) QCOMPARE(ReadAll(path + suffixes[n]), "junk " + std::to_string(n));

    // A good file after them loads, and the kept ones stay.
    Bytes good;
    good.U32(2).Str("global").Byte(0).Str("global_value").Byte(0);
    good.U32(2).U32(0).Str("k").U32(1).Str("v").U32(1).U32(0).U32(1);
    WriteAll(path, WithHeader(good.b));
    m_saver->Load(path.c_str());
    QCOMPARE(GetSetting("k"), std::string("v"));
    QVERIFY(Exists(path));
    QCOMPARE(ReadAll(path + ".bad.2"), std::string("junk 2"));
}

void TestDataSaver::savedFileIsOwnerOnly() {
    MakeSchema(*m_saver);
    SetSetting("password", "secret");
    const std::string fresh = Path("fresh"), existing = Path("existing");
    WriteAll(existing, "old");
    QCOMPARE(::chmod(existing.c_str(), 0644), 0);
    const mode_t old = ::umask(0);
    m_saver->Save(fresh.c_str());
    ::umask(077);
    m_saver->Save(existing.c_str());
    ::umask(old);
    for (const std::string& p : {fresh, existing}) {
        struct stat st;
        QCOMPARE(::stat(p.c_str(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), 0600);
    }
}

void TestDataSaver::temporaryNameIsTheFirstFree() {
    const std::string path = Path();
    MakeSchema(*m_saver);
    SetSetting("k", "v");
    QCOMPARE(::mkdir((path + ".1").c_str(), 0700), 0);
    WriteAll(path + ".2", "someone else's");
    m_saver->Save(path.c_str());
    struct stat st;
    QVERIFY(::stat((path + ".1").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    QCOMPARE(ReadAll(path + ".2"), std::string("someone else's"));
    QVERIFY(!Exists(path + ".3"));
    const std::string bytes = ReadAll(path);
    QCOMPARE(statefile::Parse(bytes).items.size(), size_t(2));
}

void TestDataSaver::saveIntoAFileAsFolderFails() {
    MakeSchema(*m_saver);
    SetSetting("k", "v");
    const std::string plain = Path("plain");
    WriteAll(plain, "not a folder");
    const std::string path = plain + "/state";
    try {
        m_saver->Save(path.c_str());
        QFAIL("saved below a regular file");
    } catch (const DataSaveFailure& e) {
        QVERIFY2(std::string(e.what()).find(path) != std::string::npos, e.what());
    }
    QCOMPARE(ReadAll(plain), std::string("not a folder"));
}

void TestDataSaver::saveThatCannotWriteKeepsThePreviousFile() {
    const std::string path = Path();
    MakeSchema(*m_saver);
    SetSetting("username", "alice");
    m_saver->Save(path.c_str());
    const std::string previous = ReadAll(path);
    SetSetting("big", std::string(256 * 1024, 'x'));

    // A file size limit stops the write even for root.
    struct rlimit old;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 16 * 1024;
    ::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string message;
    try {
        m_saver->Save(path.c_str());
    } catch (const DataSaveFailure& e) {
        message = e.what();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, SIG_DFL);
    QVERIFY2(!message.empty(), "the save went through");
    QCOMPARE(ReadAll(path), previous);
    QVERIFY(!Exists(path + ".1"));

    d->Reset();
    MakeSchema(*m_saver);
    m_saver->Load(path.c_str());
    QCOMPARE(GetSetting("username"), std::string("alice"));
}

void TestDataSaver::saveThatCannotRenameLeavesNoTemporaryFile() {
    const std::string path = Path();
    MakeSchema(*m_saver);
    SetSetting("k", "v");
    QCOMPARE(::mkdir(path.c_str(), 0700), 0);
    WriteAll(path + "/inside", "kept");
    bool failed = false;
    try {
        m_saver->Save(path.c_str());
    } catch (const DataSaveFailure&) {
        failed = true;
    }
    QVERIFY(failed);
    QVERIFY(!Exists(path + ".1"));
    QCOMPARE(ReadAll(path + "/inside"), std::string("kept"));
}

void TestDataSaver::killedBeforeRenameLeavesThePreviousFile() {
    const std::string path = Path();
    MakeSchema(*m_saver);
    SetSetting("username", "alice");
    m_saver->Save(path.c_str());
    const std::string previous = ReadAll(path);
    SetSetting("username", "bob");

    std::fflush(nullptr);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        gp_stateFileBeforeRename = [](const char*) { ::raise(SIGKILL); };
        try {
            m_saver->Save(path.c_str());
        } catch (...) {
        }
        ::_exit(3);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // The path still holds the whole previous file; the dead process's
    // temporary file is complete but was never put in its place.
    QCOMPARE(ReadAll(path), previous);
    const std::string orphan = ReadAll(path + ".1");
    QCOMPARE(statefile::Parse(orphan).items.size(), size_t(2));

    // The next save takes the next free name and goes through.
    m_saver->Save(path.c_str());
    QVERIFY(!Exists(path + ".2"));
    d->Reset();
    MakeSchema(*m_saver);
    m_saver->Load(path.c_str());
    QCOMPARE(GetSetting("username"), std::string("bob"));
}

QTEST_GUILESS_MAIN(TestDataSaver)
#include "test_datasaver.moc"
