// The distributed-network node against the scripted central server, with
// scripted parents and children made of raw sockets: reports at login and
// on change, adoption of the first candidate that answers, refusal of
// candidates whose root is us, the cap of attempts and of child users, parent
// loss, searches from the server and from the parent with the ring of the
// last 1024, own searches, malformed messages and a lost server; silent
// candidates, climbing levels and keepalive on "D" sockets. Alice is the node
// under test.

#include "DNetManager.h"
#include "DNetProbe.h"
#include "PeerTestSupport.h"
#include "common/TestServer.h"
#include "server.h"

#include <QJsonArray>
#include <QJsonObject>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

using namespace peertest;

namespace
{
QByteArray Level(quint32 i_level) { return Frame(DM_BRANCH_LEVEL, U32(i_level)); }
QByteArray Root(const QByteArray& i_root) { return Frame(DM_BRANCH_ROOT, Str(i_root)); }
QByteArray Search(const QByteArray& i_user, quint32 i_token, const QByteArray& i_text)
{
    return Frame(DM_SEARCH_REQUEST, Str(i_user) + U32(i_token) + Str(i_text));
}
// A search as the server relays it.
QJsonArray ServerSearch(const QString& i_user, qint64 i_token, const QString& i_text)
{
    return {QJsonArray{"string", i_user}, QJsonArray{"u32", i_token}, QJsonArray{"utf8", i_text}};
}
// The same messages as a reader returns them (no length word).
QByteArray Body(const QByteArray& i_frame) { return i_frame.mid(4); }

// The keepalive settings of this process's socket from i_localPort to
// i_peerPort on the loopback, read back from the system.
struct KeepAlive
{
    int on = 0;
    int idleS = 0;
    int intervalS = 0;
    int probes = 0;
};
bool ReadKeepAlive(quint16 i_localPort, quint16 i_peerPort, KeepAlive& o_settings)
{
    for (int fd = 0; fd < 4096; ++fd)
    {
        sockaddr_in local{}, peer{};
        socklen_t localSize = sizeof local, peerSize = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 || local.sin_family != AF_INET ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
            ntohs(local.sin_port) != i_localPort || ntohs(peer.sin_port) != i_peerPort)
            continue;
        socklen_t size = sizeof(int);
        return ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &o_settings.on, &size) == 0 &&
               ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &o_settings.idleS, &size) == 0 &&
               ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &o_settings.intervalS, &size) == 0 &&
               ::getsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &o_settings.probes, &size) == 0;
    }
    return false;
}

// A would-be parent: a listener of the test's own that the node connects to.
struct ScriptedParent
{
    explicit ScriptedParent(const QByteArray& i_name) : m_name(i_name)
    {
        m_listener.listen(QHostAddress::LocalHost, 0);
    }
    // Takes the node's connection and checks its first message.
    bool Accept()
    {
        mp_socket = peertest::Accept(m_listener);
        return mp_socket && m_reader.Next(mp_socket) == Body(PeerInit("alice", "D"));
    }
    bool HasPending() const { return m_listener.hasPendingConnections(); }
    void Send(const QByteArray& i_bytes) { WriteRaw(mp_socket, i_bytes); }
    QJsonArray Entry() const
    {
        return {QJsonArray{"string", QString::fromLatin1(m_name)}, QJsonArray{"ip", "127.0.0.1"},
                QJsonArray{"u32", m_listener.serverPort()}};
    }

    QByteArray m_name;
    QTcpServer m_listener;
    QTcpSocket* mp_socket = nullptr; // the listener's child
    FrameReader m_reader;
};

// A child: a raw "D" connection to the node.
struct ScriptedChild
{
    bool Open(quint16 i_port, const QByteArray& i_name)
    {
        mp_socket = ConnectRaw(i_port);
        if (!mp_socket)
            return false;
        WriteRaw(mp_socket.get(), PeerInit(i_name, "D"));
        return true;
    }
    QByteArray Next() { return m_reader.Next(mp_socket.get()); }
    // The level and root every new child gets first, and after every change.
    bool Told(quint32 i_level, const QByteArray& i_root)
    {
        return Next() == Body(Level(i_level)) && Next() == Body(Root(i_root));
    }

    std::unique_ptr<QTcpSocket> mp_socket;
    FrameReader m_reader;
};
}

class TestDNet : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void ReportsAtLoginAndTellsNewChildren();
    void AdoptsTheFirstCandidateThatAnswers();
    void AttemptsCappedAndSkipSelfAndChildren();
    void CandidateWhoseRootIsUsIsRefused();
    void ParentChangesReachChildrenAndServer();
    void ParentLossResetsAndReports();
    void ParentWhoseRootBecomesUsIsDropped();
    void SearchFromServerForwardedOnceAndEmittedOnce();
    void SearchesFromParentAndTheRing();
    void OwnSearchForwardedNotEmitted();
    void EleventhChildRefused();
    void SilentCandidatesClimbingLevelsAndChildUsers();
    void KeepAliveOnDistributedSockets();
    void MalformedAndUnknownMessages();
    void ServerLossKeepsTheTree();

private:
    // The last report the server holds for alice.
    bool WaitReport(bool i_noParent, int i_level, const QString& i_root);
    void OfferParents(const std::vector<ScriptedParent*>& i_parents, bool i_withSelf = false);
    // Offers the one parent and lets it answer; it becomes alice's parent.
    bool Adopt(ScriptedParent& i_parent, quint32 i_level, const QByteArray& i_root);
    bool OpenChild(ScriptedChild& i_child, const QByteArray& i_name);
    bool WaitLogged(const QString& i_part);

    Fixture m_fixture;
    TestServer m_ts;
    Server* mp_server = nullptr;
    PeerMessenger* mp_messenger = nullptr;
    DNetManager* mp_dnet = nullptr;
    std::vector<std::pair<int, QString>> m_log;
};

void TestDNet::init()
{
    m_fixture.SetUpStore();
    m_log.clear();
    SetLogSink([this](const QString& i_category, int i_level, const QString& i_text, ItemPtr) {
        if (i_category == QLatin1String("Distributed Network"))
            m_log.emplace_back(i_level, i_text);
    });
    QVERIFY(m_ts.Start());
    mp_server = new Server;
    mp_server->CreateData();
    mp_messenger = m_fixture.NewMessenger();
    mp_dnet = new DNetManager;
    QCOMPARE(dnetManager, mp_dnet);
    QVERIFY(m_fixture.LogIn(mp_server, m_ts.Port()));
}

void TestDNet::cleanup()
{
    delete mp_dnet;
    mp_dnet = nullptr;
    QVERIFY(dnetManager == nullptr);
    m_fixture.TearDown();
    mp_messenger = nullptr;
    delete mp_server;
    mp_server = nullptr;
    m_ts.Stop();
    // Lines of this category are top-level or one step in.
    for (const auto& line : m_log)
        QVERIFY2(line.first == 1 || line.first == 2, qPrintable(line.second));
}

bool TestDNet::WaitReport(bool i_noParent, int i_level, const QString& i_root)
{
    return QTest::qWaitFor(
        [&] {
            for (const QJsonValue& user : m_ts.Users())
            {
                const QJsonObject u = user.toObject();
                if (u["user"].toString() == "alice")
                    return u["no_parent"].toBool() == i_noParent && u["level"].toInt(-1) == i_level &&
                           u["root"].toString() == i_root;
            }
            return false;
        },
        g_waitMs);
}

void TestDNet::OfferParents(const std::vector<ScriptedParent*>& i_parents, bool i_withSelf)
{
    QJsonArray fields{QJsonArray{"u32", int(i_parents.size() + (i_withSelf ? 1 : 0))}};
    if (i_withSelf)
    {
        fields.append(QJsonArray{"string", "alice"});
        fields.append(QJsonArray{"ip", "127.0.0.1"});
        fields.append(QJsonArray{"u32", mp_messenger->ListeningPort()});
    }
    for (ScriptedParent* parent : i_parents)
        for (const QJsonValue& field : parent->Entry())
            fields.append(field);
    QVERIFY(m_ts.Send("alice", SM_POSSIBLE_PARENTS, fields));
}

bool TestDNet::Adopt(ScriptedParent& i_parent, quint32 i_level, const QByteArray& i_root)
{
    OfferParents({&i_parent});
    if (!i_parent.Accept())
        return false;
    i_parent.Send(Level(i_level) + Root(i_root));
    return QTest::qWaitFor([&] { return mp_dnet->HasParent(); }, g_waitMs);
}

bool TestDNet::OpenChild(ScriptedChild& i_child, const QByteArray& i_name)
{
    return i_child.Open(mp_messenger->ListeningPort(), i_name) &&
           i_child.Told(mp_dnet->GetBranchLevel(), QByteArray::fromStdString(mp_dnet->GetBranchRoot()));
}

bool TestDNet::WaitLogged(const QString& i_part)
{
    return QTest::qWaitFor(
        [&] {
            for (const auto& line : m_log)
                if (line.second.contains(i_part))
                    return true;
            return false;
        },
        g_waitMs);
}

void TestDNet::ReportsAtLoginAndTellsNewChildren()
{
    QVERIFY(WaitReport(true, 0, "alice"));
    QCOMPARE(mp_dnet->GetBranchLevel(), 0u);
    QCOMPARE(mp_dnet->GetBranchRoot(), std::string("alice"));

    ScriptedChild child;
    QVERIFY(child.Open(mp_messenger->ListeningPort(), "carol"));
    QVERIFY(child.Told(0, "alice"));
    QVERIFY(QTest::qWaitFor([&] { return mp_dnet->GetChildCount() == 1; }, g_waitMs));
    // A child changes nothing that is reported.
    QCOMPARE(int(m_ts.Received("alice", SM_HAVE_NO_PARENT).size()), 1);
}

void TestDNet::AdoptsTheFirstCandidateThatAnswers()
{
    ScriptedParent p1("p1"), p2("p2"), p3("p3");
    OfferParents({&p1, &p2, &p3});
    QVERIFY(p1.Accept());
    QVERIFY(p2.Accept());
    QVERIFY(p3.Accept());

    // Half an answer is no answer: p1 sends its level only.
    p1.Send(Level(7));
    p2.Send(Level(3) + Root("root"));
    QVERIFY(QTest::qWaitFor([&] { return mp_dnet->HasParent(); }, g_waitMs));
    QCOMPARE(mp_dnet->GetParent(), std::string("p2"));
    QCOMPARE(mp_dnet->GetBranchLevel(), 4u);
    QCOMPARE(mp_dnet->GetBranchRoot(), std::string("root"));
    QVERIFY(WaitReport(false, 4, "root"));

    // The others are closed; the parent stays.
    QVERIFY(WaitClosed(p1.mp_socket));
    QVERIFY(WaitClosed(p3.mp_socket));
    QCOMPARE(p2.mp_socket->state(), QAbstractSocket::ConnectedState);

    // A later list is not acted on while there is a parent.
    ScriptedParent p4("p4");
    OfferParents({&p4});
    QVERIFY(WaitLogged("we have a parent already"));
    QVERIFY(!p4.HasPending());
}

void TestDNet::AttemptsCappedAndSkipSelfAndChildren()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "c1"));

    // c1 is a child and alice is alice: neither is tried.
    ScriptedParent c1("c1");
    std::vector<std::unique_ptr<ScriptedParent>> parents;
    std::vector<ScriptedParent*> offered{&c1};
    for (int k = 1; k <= 6; ++k)
    {
        parents.push_back(std::make_unique<ScriptedParent>("p" + QByteArray::number(k)));
        offered.push_back(parents.back().get());
    }
    OfferParents(offered, true);
    for (int k = 0; k < 5; ++k)
        QVERIFY(parents[size_t(k)]->Accept());
    // Five at once: the sixth waits for a free place.
    QVERIFY(!QTest::qWaitFor([&] { return parents[5]->HasPending(); }, 300));
    parents[0]->mp_socket->close();
    QVERIFY(parents[5]->Accept());
    QVERIFY(!c1.HasPending());

    // Refusals free places too; the sixth answers and is adopted.
    parents[5]->Send(Level(0) + Root("p6"));
    QVERIFY(WaitReport(false, 1, "p6"));
    QCOMPARE(mp_dnet->GetParent(), std::string("p6"));
    QVERIFY(child.Told(1, "p6"));
    QVERIFY(!c1.HasPending());
}

void TestDNet::CandidateWhoseRootIsUsIsRefused()
{
    ScriptedParent p1("p1"), p2("p2");
    OfferParents({&p1, &p2});
    QVERIFY(p1.Accept());
    QVERIFY(p2.Accept());
    p1.Send(Level(5) + Root("alice"));
    QVERIFY(WaitClosed(p1.mp_socket));
    QVERIFY(!mp_dnet->HasParent());
    QCOMPARE(p2.mp_socket->state(), QAbstractSocket::ConnectedState);

    p2.Send(Level(0) + Root("p2"));
    QVERIFY(WaitReport(false, 1, "p2"));
    QCOMPARE(mp_dnet->GetParent(), std::string("p2"));
}

void TestDNet::ParentChangesReachChildrenAndServer()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "carol"));
    ScriptedParent parent("pat");
    QVERIFY(Adopt(parent, 2, "rex"));
    QVERIFY(child.Told(3, "rex"));
    QVERIFY(WaitReport(false, 3, "rex"));

    parent.Send(Level(5));
    QVERIFY(child.Told(6, "rex"));
    QVERIFY(WaitReport(false, 6, "rex"));
    parent.Send(Root("sam"));
    QVERIFY(child.Told(6, "sam"));
    QVERIFY(WaitReport(false, 6, "sam"));

    // The same values again are no change: the next thing the child hears
    // is the search that follows.
    parent.Send(Level(5) + Root("sam") + Search("dave", 9, "x"));
    QCOMPARE(child.Next(), Body(Search("dave", 9, "x")));
}

void TestDNet::ParentLossResetsAndReports()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "carol"));
    ScriptedParent parent("pat");
    QVERIFY(Adopt(parent, 2, "rex"));
    QVERIFY(child.Told(3, "rex"));
    QVERIFY(WaitReport(false, 3, "rex"));

    parent.mp_socket->close();
    QVERIFY(child.Told(0, "alice"));
    QVERIFY(WaitReport(true, 0, "alice"));
    QVERIFY(!mp_dnet->HasParent());
    QCOMPARE(mp_dnet->GetParent(), std::string());

    // Without a parent a new list is acted on again.
    ScriptedParent next("quin");
    QVERIFY(Adopt(next, 0, "quin"));
    QVERIFY(child.Told(1, "quin"));
}

void TestDNet::ParentWhoseRootBecomesUsIsDropped()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "carol"));
    ScriptedParent parent("pat");
    QVERIFY(Adopt(parent, 0, "pat"));
    QVERIFY(child.Told(1, "pat"));

    parent.Send(Root("alice"));
    QVERIFY(WaitClosed(parent.mp_socket));
    QVERIFY(child.Told(0, "alice"));
    QVERIFY(WaitReport(true, 0, "alice"));
}

void TestDNet::SearchFromServerForwardedOnceAndEmittedOnce()
{
    ScriptedChild c1, c2;
    QVERIFY(OpenChild(c1, "c1"));
    QVERIFY(OpenChild(c2, "c2"));
    QSignalSpy searches(mp_dnet, &DNetManager::DNetSearchRequest);
    QVERIFY(m_ts.Send("alice", SM_DISTRIBUTED_SEARCH,
                      ServerSearch("bob", 7, QString::fromUtf8("caf\xc3\xa9 song"))));
    QCOMPARE(c1.Next(), Body(Search("bob", 7, "caf\xc3\xa9 song")));
    QCOMPARE(c2.Next(), Body(Search("bob", 7, "caf\xc3\xa9 song")));
    QCOMPARE(searches.size(), 1);
    QCOMPARE(searches[0][0].value<std::string>(), std::string("bob"));
    QCOMPARE(searches[0][1].toUInt(), 7u);
    QCOMPARE(searches[0][2].value<std::string>(), std::string("caf\xc3\xa9 song"));

    // The same (user, token) again, even with another text, is dropped; the
    // same token of another user is not.
    QVERIFY(m_ts.Send("alice", SM_DISTRIBUTED_SEARCH, ServerSearch("bob", 7, "other")));
    QVERIFY(m_ts.Send("alice", SM_DISTRIBUTED_SEARCH, ServerSearch("eve", 7, "next")));
    QCOMPARE(c1.Next(), Body(Search("eve", 7, "next")));
    QCOMPARE(c2.Next(), Body(Search("eve", 7, "next")));
    QCOMPARE(searches.size(), 2);
    QCOMPARE(searches[1][0].value<std::string>(), std::string("eve"));
}

void TestDNet::SearchesFromParentAndTheRing()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "carol"));
    ScriptedParent parent("pat");
    QVERIFY(Adopt(parent, 0, "pat"));
    QVERIFY(child.Told(1, "pat"));

    // Messages from a child other than level and root are ignored.
    WriteRaw(child.mp_socket.get(), Search("mallory", 1, "from below") + Level(9) + Root("zed"));

    QSignalSpy searches(mp_dnet, &DNetManager::DNetSearchRequest);
    // 1025 searches push the first out of the ring of 1024.
    QByteArray burst;
    for (quint32 t = 0; t <= 1024; ++t)
        burst += Search("bob", t, "t" + QByteArray::number(t));
    parent.Send(burst);
    for (quint32 t = 0; t <= 1024; ++t)
        QCOMPARE(child.Next(), Body(Search("bob", t, "t" + QByteArray::number(t))));
    QCOMPARE(searches.size(), 1025);

    // Token 1024 is still remembered; token 0 is forgotten and passes again.
    parent.Send(Search("bob", 1024, "again") + Search("bob", 0, "again"));
    QCOMPARE(child.Next(), Body(Search("bob", 0, "again")));
    QCOMPARE(searches.size(), 1026);
    // The same search relayed by the server is the same search.
    QVERIFY(m_ts.Send("alice", SM_DISTRIBUTED_SEARCH, ServerSearch("bob", 0, "again")));
    QVERIFY(WaitLogged("Dropping search 0 of bob from the server"));
    parent.Send(Search("bob", 5000, "last"));
    QCOMPARE(child.Next(), Body(Search("bob", 5000, "last")));
    QCOMPARE(searches.size(), 1027);
    QCOMPARE(mp_dnet->GetBranchRoot(), std::string("pat"));
}

void TestDNet::OwnSearchForwardedNotEmitted()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "carol"));
    QVERIFY(WaitReport(true, 0, "alice"));
    QSignalSpy searches(mp_dnet, &DNetManager::DNetSearchRequest);
    // The server relays a search to every branch root, the searcher too.
    const unsigned int token = mp_server->FileSearch("my own", false);
    QCOMPARE(child.Next(), Body(Search("alice", token, "my own")));
    QVERIFY(m_ts.Send("alice", SM_DISTRIBUTED_SEARCH, ServerSearch("bob", token, "theirs")));
    QCOMPARE(child.Next(), Body(Search("bob", token, "theirs")));
    QCOMPARE(searches.size(), 1);
    QCOMPARE(searches[0][0].value<std::string>(), std::string("bob"));
}

void TestDNet::EleventhChildRefused()
{
    std::vector<std::unique_ptr<ScriptedChild>> children;
    for (int k = 0; k < 10; ++k)
    {
        children.push_back(std::make_unique<ScriptedChild>());
        QVERIFY(OpenChild(*children.back(), "c" + QByteArray::number(k)));
    }
    QCOMPARE(mp_dnet->GetChildCount(), size_t(10));
    ScriptedChild eleventh;
    QVERIFY(eleventh.Open(mp_messenger->ListeningPort(), "c10"));
    QVERIFY(WaitClosed(eleventh.mp_socket.get()));
    QCOMPARE(eleventh.Next(), QByteArray());
    QCOMPARE(mp_dnet->GetChildCount(), size_t(10));

    // A child's second connection (direct and relayed both arrived) is kept
    // even when full, since the child decides which one stays; it is the
    // same child, so the count stays ten. A third connection is refused.
    ScriptedChild second, third;
    QVERIFY(second.Open(mp_messenger->ListeningPort(), "c0"));
    QVERIFY(second.Told(0, "alice"));
    QVERIFY(WaitLogged("User c0 is our child (10 of 10), on a second connection"));
    QCOMPARE(mp_dnet->GetChildCount(), size_t(10));
    QVERIFY(third.Open(mp_messenger->ListeningPort(), "c0"));
    QVERIFY(WaitClosed(third.mp_socket.get()));
    second.mp_socket->close();
    QVERIFY(WaitLogged("Child c0 closed one of its two connections"));
    QCOMPARE(mp_dnet->GetChildCount(), size_t(10));

    // A child that leaves frees its place.
    children[3]->mp_socket->close();
    QVERIFY(QTest::qWaitFor([&] { return mp_dnet->GetChildCount() == 9; }, g_waitMs));
    ScriptedChild late;
    QVERIFY(OpenChild(late, "c11"));
    QCOMPARE(mp_dnet->GetChildCount(), size_t(10));
}

void TestDNet::SilentCandidatesClimbingLevelsAndChildUsers()
{
    // Five child users with two connections each (direct and relayed both
    // arrived) take five places, not ten: a sixth user joins.
    std::vector<std::unique_ptr<ScriptedChild>> children;
    for (int k = 0; k < 11; ++k)
    {
        children.push_back(std::make_unique<ScriptedChild>());
        QVERIFY(OpenChild(*children.back(), "k" + QByteArray::number(k / 2)));
    }
    QCOMPARE(mp_dnet->GetChildCount(), size_t(6));

    // Five candidates that connect and never speak are given up after the
    // limit (shortened here from 30 s), and their places are freed.
    DNetProbe probe(*mp_dnet);
    probe.SetCandidateLimitMs(200);
    std::vector<std::unique_ptr<ScriptedParent>> silent;
    std::vector<ScriptedParent*> offered;
    for (int k = 1; k <= 5; ++k)
    {
        silent.push_back(std::make_unique<ScriptedParent>("s" + QByteArray::number(k)));
        offered.push_back(silent.back().get());
    }
    OfferParents(offered);
    for (auto& candidate : silent)
        QVERIFY(candidate->Accept());
    for (auto& candidate : silent)
        QVERIFY(WaitClosed(candidate->mp_socket));
    QVERIFY(WaitLogged("Giving up possible parent s5: no level and root within 0.2 s of connecting"));
    QCOMPARE(probe.CandidateCount(), size_t(0));

    // A later list naming one of them again tries it again, and a good
    // parent named with it is adopted.
    probe.SetCandidateLimitMs(DNetManager::CANDIDATE_LIMIT_MS);
    ScriptedParent good("good");
    OfferParents({silent[0].get(), &good});
    QVERIFY(silent[0]->Accept());
    QVERIFY(good.Accept());
    good.Send(Level(0) + Root("good"));
    QVERIFY(WaitReport(false, 1, "good"));
    QVERIFY(WaitClosed(silent[0]->mp_socket));

    // The parent's level climbs as it does in a loop (it sits below one of
    // our children, and each level we pass down comes back raised): at the
    // bound it is dropped, and the server hears a few coalesced reports, not
    // one per level.
    const qsizetype reports = m_ts.Received("alice", SM_BRANCH_LEVEL).size();
    QByteArray climb;
    for (quint32 level = 1; level <= DNetManager::MAX_PARENT_LEVEL; ++level)
        climb += Level(level);
    good.Send(climb);
    QVERIFY(WaitClosed(good.mp_socket));
    QVERIFY(WaitReport(true, 0, "alice"));
    QVERIFY(WaitLogged("Parent good is gone (its level 1000 is beyond any real tree: a loop)"));
    QVERIFY(m_ts.Received("alice", SM_BRANCH_LEVEL).size() - reports < 12);

    // A parent at level 0xFFFFFFFE would make ours the largest: refused.
    ScriptedParent top("top");
    OfferParents({&top});
    QVERIFY(top.Accept());
    top.Send(Level(0xfffffffe) + Root("top"));
    QVERIFY(WaitClosed(top.mp_socket));
    QVERIFY(!mp_dnet->HasParent());
    QCOMPARE(mp_dnet->GetBranchLevel(), 0u);
}

void TestDNet::KeepAliveOnDistributedSockets()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "carol"));
    ScriptedParent parent("pat");
    QVERIFY(Adopt(parent, 0, "pat"));

    // Alice's end of each: 60 s idle, then three probes 10 s apart.
    KeepAlive toParent, toChild;
    QVERIFY(ReadKeepAlive(parent.mp_socket->peerPort(), parent.m_listener.serverPort(), toParent));
    QVERIFY(ReadKeepAlive(mp_messenger->ListeningPort(), child.mp_socket->localPort(), toChild));
    for (const KeepAlive& settings : {toParent, toChild})
    {
        QVERIFY(settings.on != 0);
        QCOMPARE(settings.idleS, 60);
        QCOMPARE(settings.intervalS, 10);
        QCOMPARE(settings.probes, 3);
    }
}

void TestDNet::MalformedAndUnknownMessages()
{
    ScriptedChild child, bad;
    QVERIFY(OpenChild(child, "carol"));
    QVERIFY(OpenChild(bad, "bad"));
    // A child's malformed root (count over the bytes) closes that child only.
    WriteRaw(bad.mp_socket.get(), Frame(DM_BRANCH_ROOT, U32(100) + "ab"));
    QVERIFY(WaitClosed(bad.mp_socket.get()));
    QVERIFY(QTest::qWaitFor([&] { return mp_dnet->GetChildCount() == 1; }, g_waitMs));

    ScriptedParent parent("pat");
    QVERIFY(Adopt(parent, 0, "pat"));
    QVERIFY(child.Told(1, "pat"));
    // An unknown code is ignored, the connection stays.
    QSignalSpy searches(mp_dnet, &DNetManager::DNetSearchRequest);
    parent.Send(Frame(4242, "whatever") + Search("bob", 1, "still here"));
    QCOMPARE(child.Next(), Body(Search("bob", 1, "still here")));
    QCOMPARE(searches.size(), 1);

    // A search cut short is malformed: the parent is closed and forgotten.
    parent.Send(Frame(DM_SEARCH_REQUEST, Str("bob") + QByteArray("\x02\x00", 2)));
    QVERIFY(WaitClosed(parent.mp_socket));
    QVERIFY(child.Told(0, "alice"));
    QVERIFY(WaitReport(true, 0, "alice"));
    QVERIFY(WaitLogged("Malformed distributed message (code 1103) from pat"));
}

void TestDNet::ServerLossKeepsTheTree()
{
    ScriptedChild child;
    QVERIFY(OpenChild(child, "carol"));
    ScriptedParent parent("pat");
    QVERIFY(Adopt(parent, 1, "rex"));
    QVERIFY(child.Told(2, "rex"));
    QVERIFY(WaitReport(false, 2, "rex"));
    const int reports = int(m_ts.Received("alice", SM_HAVE_NO_PARENT).size());

    QVERIFY(m_ts.Drop("alice"));
    QVERIFY(QTest::qWaitFor([&] { return mp_server->IsAbruptlyDisconnected(); }, g_waitMs));
    // Offline: the parent and the child stay, and searches still flow.
    QSignalSpy searches(mp_dnet, &DNetManager::DNetSearchRequest);
    parent.Send(Level(2) + Search("bob", 3, "offline"));
    QVERIFY(child.Told(3, "rex"));
    QCOMPARE(child.Next(), Body(Search("bob", 3, "offline")));
    QCOMPARE(searches.size(), 1);
    QVERIFY(mp_dnet->HasParent());

    // Back online: the state as it is now is reported at once.
    QSignalSpy connected(mp_server, &Server::Connected);
    mp_server->OnHalfMinuteTimer();
    QVERIFY(connected.wait(g_waitMs));
    QVERIFY(WaitReport(false, 3, "rex"));
    QVERIFY(int(m_ts.Received("alice", SM_HAVE_NO_PARENT).size()) > reports);
}

QTEST_GUILESS_MAIN(TestDNet)
#include "test_dnet.moc"
