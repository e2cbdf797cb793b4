// Users behind a router reach alice and trade files with her, while a party
// claiming their names from elsewhere gets nothing, with the server up, down
// and coming back. The server gives the router's address, where connects are
// refused; the users connect, and answer relayed requests, from their own.

#include "TransferTestSupport.h"
#include "TransferThreadSupport.h"

#include "Compression.h"
#include "PeerMessageDecoders.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonObject>

#include <deque>
#include <list>

using namespace transfertest;

namespace
{
// A scripted user behind the router.
struct Behind
{
    Behind(quint32 i_from, quint16 i_alice) : m_from(i_from), m_alice(i_alice) {}
    QTcpSocket* Connect(bool i_file = false)
    {
        auto& list = i_file ? m_files : m_links;
        list.emplace_back(ConnectFrom(m_alice, m_from, 1 << 20), FrameReader());
        return list.back().first.get();
    }
    // Answers what the server relays; reads what comes on his "P" links.
    void Pump()
    {
        for (QByteArray m; m_answering && !(m = m_user.m_reader.Next(m_user.mp_server.get(), 0)).isEmpty();)
        {
            int at = 4;
            if (ToU32(m) != SM_CONNECT_TO_PEER || StrAt(m, at).isEmpty())
                continue;
            QTcpSocket* pierced = Connect(StrAt(m, at) == "F");
            WriteRaw(pierced, Pierce(ToU32(m, at + 8)));
        }
        for (auto& link : m_links)
            for (QByteArray m; !(m = link.second.Next(link.first.get(), 0)).isEmpty();)
                m_got << m;
    }
    quint32 m_from;
    quint16 m_alice;
    bool m_answering = true;
    ScriptedUser m_user;
    std::list<std::pair<std::unique_ptr<QTcpSocket>, FrameReader>> m_links, m_files;
    QList<QByteArray> m_got;
};

QByteArray Offer(quint32 i_req, const QByteArray& i_name, qint64 i_size)
{
    return Frame(PM_TRANSFER_REQUEST, U32(1) + U32(i_req) + Str("music\\" + i_name) + I64(i_size));
}

// What the share replies among the messages show: "list:" and the folders
// of a share list, then the folder of each folder reply, by last name.
QStringList Shown(const QList<QByteArray>& i_messages)
{
    QStringList shown;
    for (const QByteArray& m : i_messages)
    {
        std::string body;
        if ((Code(m) != PM_SHARED_FILE_LIST && Code(m) != PM_SHARED_FILES_IN_FOLDER) ||
            !Compression::Inflate(m.constData() + 4, size_t(m.size() - 4), body))
            continue;
        PeerDecoders::SharedFileList list;
        QStringList folders;
        int at = 4;
        if (Code(m) == PM_SHARED_FILES_IN_FOLDER)
            shown << QString(StrAt(QByteArray::fromStdString(body), at)).section('\\', -1);
        else if (PeerDecoders::DecodeSharedFileList(body.data(), body.size(), list))
        {
            for (const auto& folder : list.m_share)
                folders << QString::fromStdString(folder.first).section('\\', -1);
            shown << "list:" + folders.join(' ');
        }
    }
    return shown;
}
} // namespace

class TestReachingUsers : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_fixture.Start(); }
    void cleanup() { m_fixture.TearDown(); }
    void BehindARouterAndClaimedFromElsewhere();
    void EvidenceLastsAndClaimsCostTheClaimant();
    void AClaimIsShownWhatAStrangerIs();
    void ClaimsWaitTheirTurnAndGuessesCostTheGuesser();
    void AnUploadUnderWayAtADropStartsAgain();

private:
    QueueFixture m_fixture;
    // The messenger's clock: real time, moved on by the test.
    QElapsedTimer m_clock;
    qint64 m_skipMs = 0;
};

void TestReachingUsers::BehindARouterAndClaimedFromElsewhere()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    PeerMessenger* messenger = m_fixture.mp_messenger;
    const QString dir = m_fixture.m_dir.path();
    SetSetting("download_folder", ToUtf8(dir + "/dl"));
    QDir().mkpath(dir + "/share");
    const QByteArray up = Noise(300000, 1), song = Noise(400000, 2), other = Noise(100000, 3);
    threadtest::WriteFile(dir + "/share/up.bin", up);
    m_fixture.mp_shares->Init();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir + "/share"))) += T("shared_public")->GetGlobalNullItem();
    TestServer ts;
    QVERIFY(ts.Start());
    const QJsonArray router{"127.0.0.50", int(FreePort())};
    QVERIFY(ts.Set("peer_addresses", QJsonObject{{"bob", router}, {"carol", router}}) && ts.Set("address_delay", 1));
    QVERIFY(m_fixture.LogIn(ts));
    const quint16 port = messenger->ListeningPort();
    Behind bob(0x7F000002, port), carol(0x7F000003, port);
    QVERIFY(bob.m_user.LogIn(ts.Port(), "bob") && carol.m_user.LogIn(ts.Port(), "carol"));
    SetOnline("bob", true);
    const auto pump = [&] { bob.Pump(); carol.Pump(); };
    // A file connection claiming bob: whether it was asked for the offset.
    const auto sendFile = [&](quint32 i_from, quint32 i_req, const QByteArray& i_bytes) {
        auto file = ConnectFrom(port, i_from, 1 << 20);
        WriteRaw(file.get(), PeerInit("bob", "F") + U32(i_req));
        QByteArray offset;
        Spin([&] { return (offset += file->read(8 - offset.size())).size() == 8 || file->state() != QAbstractSocket::ConnectedState; }, pump);
        WriteRaw(file.get(), offset == I64(0) ? i_bytes : QByteArray());
        return offset == I64(0);
    };
    const auto downloaded = [&](ItemPtr i_download, const QByteArray& i_bytes) {
        return Spin([&] { return Status(i_download) == "complete"; }, pump) &&
               threadtest::ReadFile(dir + "/dl/complete/music/" + FromUtf8(i_download["file_name"].AsString())) == i_bytes;
    };
    const auto accepted = [&](const char* ip_req) { return Spin([&] { return T("remote_transfer_req")->HasItem(ip_req) != nullptr; }, pump); };
    // Whether all the socket sent before a marker was handled.
    int markers = 0, marked = 0;
    connect(messenger, &PeerMessenger::DownloadPlaceInLine, this, [&] { ++marked; });
    const auto handled = [&](QTcpSocket* ip_socket) {
        WriteRaw(ip_socket, Frame(PM_UPLOAD_PLACE_IN_LINE, Str("marker") + U32(1)));
        return Spin([&, want = ++markers] { return marked == want; }, pump);
    };

    // Bob offers a file we queued before the server has said where he is:
    // the offer waits until he answers from his address a relayed request.
    QTcpSocket* own = bob.Connect();
    ItemPtr download = queue->AddDownload("bob", "song.bin", "music", song.size(), 0);
    WriteRaw(own, PeerInit("bob", "P") + Offer(7, "song.bin", song.size()));
    QVERIFY(accepted("7") && sendFile(bob.m_from, 7, song) && downloaded(download, song));
    // He queues a file of ours: the upload goes through his address.
    WriteRaw(own, Frame(PM_QUEUE_UPLOAD, Str((dir + "/share/up.bin").toUtf8().replace('/', '\\'))));
    const auto offered = [&] {
        return std::find_if(bob.m_got.begin(), bob.m_got.end(), [](const QByteArray& i_m) { return Code(i_m) == PM_TRANSFER_REQUEST; });
    };
    QVERIFY(Spin([&] { return offered() != bob.m_got.end(); }, pump));
    const QByteArray req = offered()->mid(8, 4);
    WriteRaw(own, Frame(U32(PM_TRANSFER_RESPONSE) + req + B8(1)));
    QVERIFY(Spin([&] { return !bob.m_files.empty() && bob.m_files.front().first->bytesAvailable() >= 4; }, pump));
    QTcpSocket* upload = bob.m_files.front().first.get();
    QCOMPARE(upload->read(4), req);
    WriteRaw(upload, I64(0));
    QByteArray received;
    QVERIFY(Spin([&] { return (received += upload->readAll()).size() >= up.size(); }, pump));
    QCOMPARE(received, up);

    // Someone elsewhere claims bob, with the server up: its offer, its file
    // connection and its list take nothing; bob's, after the upload, do.
    int lists = 0;
    connect(messenger, &PeerMessenger::UserShare, this, [&] { ++lists; });
    ItemPtr second = queue->AddDownload("bob", "other.bin", "music", other.size(), 0);
    auto impostor = ConnectFrom(port, 0x7F000008, 1 << 20);
    WriteRaw(impostor.get(), PeerInit("bob", "P") + Offer(9, "other.bin", 5));
    QVERIFY(handled(impostor.get()));
    WriteRaw(own, Offer(11, "other.bin", other.size()));
    QVERIFY(accepted("11") && !sendFile(0x7F000008, 11, QByteArray(other.size(), 'x')));
    QVERIFY(sendFile(bob.m_from, 11, other) && downloaded(second, other));
    messenger->GetUserSharedFiles("bob");
    WriteRaw(impostor.get(), Frame(U32(PM_SHARED_FILE_LIST) + Zlib(U32(1) + Str("A") + U32(1) + FileRecord("x", 1) + U32(0))));
    QVERIFY(Spin([&] { return bob.m_got.contains(U32(PM_GET_SHARED_FILE_LIST)); }, pump));

    // With the server down, what was known still decides.
    ItemPtr third = queue->AddDownload("bob", "third.bin", "music", other.size(), 0);
    WriteRaw(own, Offer(13, "third.bin", other.size()));
    QVERIFY(accepted("13"));
    const auto drop = [&] { return ts.Drop("alice") && Spin([&] { return m_fixture.mp_server->IsAbruptlyDisconnected(); }); };
    QVERIFY(drop());
    WriteRaw(impostor.get(), Offer(12, "third.bin", 5));
    QVERIFY(handled(impostor.get()) && !sendFile(0x7F000008, 13, QByteArray(other.size(), 'x')));
    QVERIFY(sendFile(bob.m_from, 13, other) && downloaded(third, other));
    messenger->QueueDownload("bob", "while down");
    QVERIFY(Spin([&] { return bob.m_got.contains(U32(PM_QUEUE_UPLOAD) + Str("while down")); }, pump));
    QVERIFY(!T("remote_transfer_req")->HasItem("9") && !T("remote_transfer_req")->HasItem("12") && lists == 0);

    // The server drops three times while an attempt to carol, who answers
    // nothing meanwhile, is under way; a browse after the login reaches her,
    // and nothing the party claiming her name from elsewhere.
    auto carolImpostor = ConnectFrom(port, 0x7F000008, 1 << 20);
    WriteRaw(carolImpostor.get(), PeerInit("carol", "P"));
    carol.m_answering = false;
    QSignalSpy connected(m_fixture.mp_server, &Server::Connected);
    m_fixture.mp_server->OnHalfMinuteTimer();
    QVERIFY(Spin([&] { return connected.count() == 1; }));
    const int relayed = ts.Received("alice", SM_CONNECT_TO_PEER).size();
    messenger->QueueDownload("carol", "before");
    for (int login = 2; login <= 4; ++login)
    {
        QVERIFY(ts.WaitFor("alice", SM_CONNECT_TO_PEER, relayed + login - 1, g_waitMs) && drop());
        m_fixture.mp_server->OnHalfMinuteTimer();
        QVERIFY(Spin([&] { return connected.count() == login; }));
    }
    messenger->GetUserSharedFiles("carol");
    carol.m_answering = true;
    QVERIFY(Spin([&] { return carol.m_got.contains(U32(PM_GET_SHARED_FILE_LIST)); }, pump));
    QVERIFY(carol.m_got.contains(U32(PM_QUEUE_UPLOAD) + Str("before")));
    QCOMPARE(impostor->readAll() + carolImpostor->readAll(), QByteArray());
}

void TestReachingUsers::EvidenceLastsAndClaimsCostTheClaimant()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    PeerMessenger* messenger = m_fixture.mp_messenger;
    const QString dir = m_fixture.m_dir.path();
    SetSetting("download_folder", ToUtf8(dir + "/dl"));
    const QByteArray song = Noise(300000, 4);
    TestServer ts;
    QVERIFY(ts.Start());
    QTcpServer carolsRouter;
    QVERIFY(carolsRouter.listen(QHostAddress("127.0.0.51"), 0));
    const QJsonArray router{"127.0.0.50", int(FreePort())};
    QVERIFY(ts.Set("peer_addresses", QJsonObject{{"bob", router}, {"dave", router}, {"carol", QJsonArray{"127.0.0.51", carolsRouter.serverPort()}}}));
    const quint16 port = messenger->ListeningPort();
    Behind bob(0x7F000002, port), dave(0x7F00000D, port);
    QVERIFY(bob.m_user.LogIn(ts.Port(), "bob") && dave.m_user.LogIn(ts.Port(), "dave"));
    const auto pump = [&] { bob.Pump(); dave.Pump(); };
    const auto relayed = [&] { return ts.Received("alice", SM_CONNECT_TO_PEER).size(); };
    const auto taken = [&](quint32 i_req) { return T("remote_transfer_req")->HasItem(std::to_string(i_req)) != nullptr; };
    int markers = 0, marked = 0;
    connect(messenger, &PeerMessenger::DownloadPlaceInLine, this, [&] { ++marked; });
    const auto handled = [&](QTcpSocket* ip_socket) {
        WriteRaw(ip_socket, Frame(PM_UPLOAD_PLACE_IN_LINE, Str("marker") + U32(1)));
        return Spin([&, want = ++markers] { return marked == want; }, pump);
    };
    const auto claim = [&](quint32 i_from, const QByteArray& i_user, quint32 i_req) {
        auto conn = ConnectFrom(port, i_from, 1 << 20);
        WriteRaw(conn.get(), PeerInit(i_user, "P") + Offer(i_req, "song.bin", song.size()));
        return conn;
    };
    const QByteArray answer = U32(PM_FILE_SEARCH_RESULT) + Zlib(Str("alice") + U32(1) + U32(0) + B8(1) + U32(0) + U32(0));

    // Before the first login nothing is known: a connection claiming dave,
    // from whom we expect a file, gets no request, answer or message, its
    // offer and its list are not taken; after the login they go to dave.
    int lists = 0;
    connect(messenger, &PeerMessenger::UserShare, this, [&] { ++lists; });
    queue->AddDownload("dave", "song.bin", "music", song.size(), 0);
    auto early = claim(0x7F00000C, "dave", 31);
    messenger->QueueDownload("dave", "before login");
    messenger->GetUserSharedFiles("dave");
    messenger->SendAnswer("dave", Stream(answer));
    WriteRaw(early.get(), Frame(U32(PM_SHARED_FILE_LIST) + Zlib(U32(1) + Str("A") + U32(1) + FileRecord("x", 1) + U32(0))));
    QVERIFY(handled(early.get()) && !taken(31) && lists == 0);
    QVERIFY(m_fixture.LogIn(ts));
    QVERIFY(Spin([&] {
        return dave.m_got.contains(U32(PM_QUEUE_UPLOAD) + Str("before login")) &&
               dave.m_got.contains(U32(PM_GET_SHARED_FILE_LIST)) && dave.m_got.contains(answer);
    }, pump));
    QVERIFY(handled(early.get()) && !taken(31) && lists == 0);
    QCOMPARE(early->readAll(), QByteArray());

    // The queue asks bob, who answers nothing yet: nothing of his is known.
    bob.m_answering = false;
    const int before = relayed();
    ItemPtr download = queue->AddDownload("bob", "song.bin", "music", song.size(), 0);
    QVERIFY(ts.WaitFor("alice", SM_CONNECT_TO_PEER, before + 1, g_waitMs));
    const int base = relayed();

    // Made-up names from one address cost nothing; bob's claim is then proved.
    std::vector<std::unique_ptr<QTcpSocket>> made;
    for (int k = 0; k < 64; ++k)
        made.push_back(claim(0x7F000009, "made" + QByteArray::number(k), 100 + k));
    QVERIFY(handled(made.back().get()) && relayed() == base);
    QTcpSocket* own = bob.Connect();
    WriteRaw(own, PeerInit("bob", "P") + Offer(7, "song.bin", song.size()));
    QVERIFY(ts.WaitFor("alice", SM_CONNECT_TO_PEER, base + 1, g_waitMs));
    bob.m_answering = true;
    QVERIFY(Spin([&] { return taken(7); }, pump) && relayed() == base + 1);

    // 200 claims of bob from elsewhere, half leaving at once: one proof,
    // answered from bob's address.
    for (int k = 0; k < 200; ++k)
    {
        auto other = claim(0x7F000004, "bob", 1000 + k);
        QVERIFY(k % 2 || handled(other.get()));
    }
    QVERIFY(relayed() <= base + 1 + 3 && !taken(1000) && !taken(1199));

    // Bob moves behind the same router and his connections from there end;
    // a party that now has his old address gets no offer, answer or byte.
    int gone = 0;
    SetLogSink([&](const QString&, int, const QString& i_text, ItemPtr) {
        gone += i_text.contains("to user bob (type P): closed by the other side");
    });
    const int links = int(bob.m_links.size());
    bob.m_links.clear();
    QVERIFY(Spin([&] { return gone == links; }));
    bob.m_from = 0x7F000004;
    // The address that told against him is his now: his claim is proved.
    const int beforeMove = relayed();
    WriteRaw(bob.Connect(), PeerInit("bob", "P") + Offer(13, "song.bin", song.size()));
    QVERIFY(ts.WaitFor("alice", SM_CONNECT_TO_PEER, beforeMove + 1, g_waitMs));
    auto mallory = claim(0x7F000002, "bob", 11);
    QVERIFY(handled(mallory.get()) && !taken(11));
    messenger->SendAnswer("bob", Stream(answer));
    QVERIFY(Spin([&] { return bob.m_got.contains(answer); }, pump));
    // Then the server gives a new address: what was proved at the old one ends.
    QSignalSpy given(m_fixture.mp_server, &Server::PeerAddressReceived);
    QVERIFY(ts.Send("alice", SM_GET_PEER_ADDRESS, {QJsonArray{"latin1", "bob"}, QJsonArray{"ip", "127.0.0.3"}, QJsonArray{"u32", 1}, QJsonArray{"u32", 0}}));
    QVERIFY(Spin([&] { return given.count() == 1; }));
    bob.m_from = 0x7F000003;
    auto lingering = claim(0x7F000004, "bob", 12);
    QVERIFY(handled(lingering.get()) && !taken(12));
    QCOMPARE(mallory->readAll() + lingering->readAll(), QByteArray());

    // Made-up names flooding from the address of known users close none.
    DescriptorLimit limit(256);
    QVERIFY(limit.Set());
    std::vector<std::unique_ptr<QTcpSocket>> known;
    for (int k = 0; k < 8; ++k)
    {
        const QByteArray name = "u" + QByteArray::number(k);
        QVERIFY(ts.Send("alice", SM_GET_PEER_ADDRESS, {QJsonArray{"latin1", QString(name)}, QJsonArray{"ip", "127.9.9.9"}, QJsonArray{"u32", 1}, QJsonArray{"u32", 0}}));
        known.push_back(ConnectFrom(port, 0x7F090909, 65536));
        WriteRaw(known.back().get(), PeerInit(name, "P"));
    }
    QVERIFY(Spin([&] { return given.count() == 9; }) && handled(known.back().get()));
    made.clear();
    for (size_t k = 0; k < PeerBounds::IncomingPerAddressBound(); ++k)
    {
        made.push_back(ConnectFrom(port, 0x7F090909));
        WriteRaw(made.back().get(), PeerInit("flood" + QByteArray::number(int(k)), "P"));
    }
    QVERIFY(WaitClosed(made.back().get()));
    for (auto& user : known)
        QVERIFY(handled(user.get()));

    // With the server down, carol's file from inside her router arrives on
    // the transfer we accepted on our connection to her; a guess after it
    // gets nothing.
    SetOnline("carol", true);
    ItemPtr carols = queue->AddDownload("carol", "carols.bin", "music", song.size(), 0);
    QTcpSocket* toCarol = Accept(carolsRouter);
    QVERIFY(toCarol && ts.Drop("alice") && Spin([&] { return m_fixture.mp_server->IsAbruptlyDisconnected(); }));
    WriteRaw(toCarol, Offer(21, "carols.bin", song.size()));
    QVERIFY(Spin([&] { return taken(21); }));
    auto file = ConnectFrom(port, 0x7F00000B, 1 << 20);
    WriteRaw(file.get(), PeerInit("carol", "F") + U32(21));
    QVERIFY(Spin([&] { return file->bytesAvailable() >= 8; }));
    QCOMPARE(file->read(8), I64(0));
    auto guess = ConnectFrom(port, 0x7F00000C, 1 << 20);
    WriteRaw(guess.get(), PeerInit("carol", "F") + U32(22));
    QVERIFY(WaitClosed(guess.get()));
    WriteRaw(file.get(), song);
    QVERIFY(Spin([&] { return Status(carols) == "complete"; }));
    QCOMPARE(threadtest::ReadFile(dir + "/dl/complete/music/carols.bin"), song);
    QCOMPARE(Status(download), std::string("queued"));
}

void TestReachingUsers::AClaimIsShownWhatAStrangerIs()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    PeerMessenger* messenger = m_fixture.mp_messenger;
    m_clock.start();
    m_skipMs = 0;
    messenger->SetClock([this] { return m_clock.elapsed() + m_skipMs; });
    const QString dir = m_fixture.m_dir.path();
    SetSetting("download_folder", ToUtf8(dir + "/dl"));
    // PUB for everyone, PRIV for the user list, GRP for a group; bob and
    // carol are listed and in the group.
    m_fixture.mp_shares->Init();
    for (const char* name : {"pub", "priv", "grp"})
    {
        QDir().mkpath(dir + "/" + name);
        threadtest::WriteFile(dir + "/" + name + "/" + name + ".bin", Noise(1000));
    }
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir + "/pub"))) += T("shared_public")->GetGlobalNullItem();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir + "/priv"))) += T("shared_userlist")->GetGlobalNullItem();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir + "/grp"))) += T("user_list_group")->GetItem("friends");
    for (const char* name : {"bob", "carol"})
        ItemPtr(T("user")->GetItem(name)).NewItem("in_user_list") += T("user_list_group")->GetItem("friends");
    const auto folderRequest = [&](quint32 i_req, const char* ip_name) {
        return Frame(PM_GET_SHARED_FILES_IN_FOLDER, U32(i_req) + Str((dir + "/" + ip_name).toUtf8().replace('/', '\\')));
    };
    const QByteArray asks = Frame(PM_GET_SHARED_FILE_LIST) + folderRequest(1, "priv") + folderRequest(2, "grp") + folderRequest(3, "pub");
    const QStringList all{"list:grp priv pub", "priv", "grp", "pub"}, publicOnly{"list:pub", "pub"};

    TestServer ts;
    QVERIFY(ts.Start());
    const QJsonArray router{"127.0.0.50", int(FreePort())};
    QVERIFY(ts.Set("peer_addresses", QJsonObject{{"bob", router}, {"carol", QJsonArray{"127.0.0.3", 1}}}));
    QVERIFY(m_fixture.LogIn(ts));
    const quint16 port = messenger->ListeningPort();
    Behind bob(0x7F000002, port), carol(0x7F000003, port), mallory(0x7F000009, port), other(0x7F00000A, port);
    carol.m_answering = mallory.m_answering = other.m_answering = false;
    QVERIFY(bob.m_user.LogIn(ts.Port(), "bob"));
    const auto pump = [&] { bob.Pump(); carol.Pump(); mallory.Pump(); other.Pump(); };
    const auto relayed = [&] { return ts.Received("alice", SM_CONNECT_TO_PEER).size(); };
    // Whom the server places where, as the client asks before sending to them.
    QSignalSpy given(m_fixture.mp_server, &Server::PeerAddressReceived);
    m_fixture.mp_server->GetPeerAddress("bob");
    m_fixture.mp_server->GetPeerAddress("carol");
    QVERIFY(Spin([&] { return given.count() == 2; }));
    const auto shownTo = [&](Behind& i_who) {
        // The public folder is asked last: its reply comes after any other.
        Spin([&] { return Shown(i_who.m_got).contains("pub"); }, pump);
        return Shown(i_who.m_got);
    };

    // Carol, from the address the server gives, is shown her folders at once.
    const int base = relayed();
    WriteRaw(carol.Connect(), PeerInit("carol", "P") + asks);
    QCOMPARE(shownTo(carol), all);
    // Bob, behind a router, is shown his after one request through the server.
    QTcpSocket* own = bob.Connect();
    WriteRaw(own, PeerInit("bob", "P") + asks);
    QCOMPARE(shownTo(bob), all);
    QCOMPARE(relayed(), base + 1);

    // Mallory claims bob from elsewhere: the proof tells against her, and
    // she is shown the public folder alone; so is another with the server down.
    WriteRaw(mallory.Connect(), PeerInit("bob", "P") + asks);
    QCOMPARE(shownTo(mallory), publicOnly);
    QVERIFY(ts.Drop("alice") && Spin([&] { return m_fixture.mp_server->IsAbruptlyDisconnected(); }));
    WriteRaw(other.Connect(), PeerInit("bob", "P") + asks);
    QCOMPARE(shownTo(other), publicOnly);
    QSignalSpy connected(m_fixture.mp_server, &Server::Connected);
    m_fixture.mp_server->OnHalfMinuteTimer();
    QVERIFY(Spin([&] { return connected.count() == 1; }));

    // Bob moves while a download from him waits; his connections from the
    // old address stay open and silent, and what we send there does not
    // keep them his.
    const QByteArray song = Noise(300000, 5);
    SetOnline("bob", true);
    ItemPtr download = queue->AddDownload("bob", "song.bin", "music", song.size(), 0);
    QVERIFY(Spin([&] { return std::any_of(bob.m_got.begin(), bob.m_got.end(), [](const QByteArray& i_m) { return Code(i_m) == PM_QUEUE_UPLOAD; }); }, pump));
    std::list<std::pair<std::unique_ptr<QTcpSocket>, FrameReader>> silent;
    silent.splice(silent.end(), bob.m_links);
    bob.m_from = 0x7F000004;
    const auto silentGot = [&] {
        QByteArray got;
        for (auto& link : silent)
            got += link.first->readAll();
        return got;
    };
    messenger->QueueDownload("bob", "while silent");
    QByteArray before;
    QVERIFY(Spin([&] { return (before += silentGot()).contains("while silent"); }));
    m_skipMs += PeerClaims::SILENCE_LIMIT_MS;

    // Past the silence limit an answer to bob goes to him anew, and a claim
    // from his old address gets no answer, offer or byte of his.
    const QByteArray answer = U32(PM_FILE_SEARCH_RESULT) + Zlib(Str("alice") + U32(1) + U32(0) + B8(1) + U32(0) + U32(0));
    messenger->SendAnswer("bob", Stream(answer));
    QVERIFY(Spin([&] { return bob.m_got.contains(answer); }, pump));
    Behind old(0x7F000002, port);
    old.m_answering = false;
    QTcpSocket* claim = old.Connect();
    int marked = 0;
    connect(messenger, &PeerMessenger::DownloadPlaceInLine, this, [&] { ++marked; });
    // Nor does its word that bob denies or failed the file end the download.
    WriteRaw(claim, PeerInit("bob", "P") + Offer(41, "song.bin", song.size()) +
                        Frame(PM_UPLOAD_DENIED, Str("music\\song.bin") + Str("Cancelled")) + Frame(PM_UPLOAD_FAILED, Str("music\\song.bin")) +
                        Frame(PM_UPLOAD_PLACE_IN_LINE, Str("marker") + U32(1)));
    QVERIFY(Spin([&] { return marked == 1; }, pump));
    messenger->SendAnswer("bob", Stream(answer));
    QVERIFY(Spin([&] { return bob.m_got.count(answer) == 2; }, pump));
    auto file = ConnectFrom(port, 0x7F000002, 1 << 20);
    WriteRaw(file.get(), PeerInit("bob", "F") + U32(41));
    QVERIFY(WaitClosed(file.get()));
    old.Pump();
    QVERIFY(!T("remote_transfer_req")->HasItem("41") && Status(download) == "queued");
    QCOMPARE(old.m_got, QList<QByteArray>());
    QCOMPARE(silentGot(), QByteArray());
}

void TestReachingUsers::ClaimsWaitTheirTurnAndGuessesCostTheGuesser()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    PeerMessenger* messenger = m_fixture.mp_messenger;
    const QString dir = m_fixture.m_dir.path();
    SetSetting("download_folder", ToUtf8(dir + "/dl"));
    QDir().mkpath(dir + "/share");
    threadtest::WriteFile(dir + "/share/up.bin", Noise(1000, 5));
    m_fixture.mp_shares->Init();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir + "/share"))) += T("shared_public")->GetGlobalNullItem();
    // The messenger's clock runs as time does; the waits of a minute are
    // passed by moving it on.
    QElapsedTimer elapsed;
    elapsed.start();
    qint64 skew = 0;
    messenger->SetClock([&] { return elapsed.elapsed() + skew; });
    struct ClockBack
    {
        PeerMessenger* mp_messenger;
        ~ClockBack() { mp_messenger->SetClock({}); }
    } clockBack{messenger};
    const QByteArray song = Noise(200000, 6);
    const quint16 port = messenger->ListeningPort();
    TestServer ts;
    QVERIFY(ts.Start());
    QTcpServer erinsRouter, faysRouter;
    QVERIFY(erinsRouter.listen(QHostAddress("127.0.0.52"), 0) && faysRouter.listen(QHostAddress("127.0.0.53"), 0));
    const QJsonArray router{"127.0.0.50", int(FreePort())};
    QJsonObject given{{"carol", router}, {"dave", QJsonArray{"127.0.3.1", 1}},
                      {"erin", QJsonArray{"127.0.0.52", erinsRouter.serverPort()}},
                      {"fay", QJsonArray{"127.0.0.53", faysRouter.serverPort()}}};
    for (int k = 0; k < 10; ++k)
    {
        given["u" + QString::number(k)] = QJsonArray{"127.0.0.1", 1};
        given["r" + QString::number(k)] = router;
    }
    for (int k = 0; k < 4; ++k)
        given["off" + QString::number(k)] = QJsonArray{"127.0.0.60", 1};
    QVERIFY(ts.Set("peer_addresses", given));
    const auto taken = [&](quint32 i_req) { return T("remote_transfer_req")->HasItem(std::to_string(i_req)) != nullptr; };
    const auto relayedFor = [&](const QString& i_user) {
        int n = 0;
        for (const QJsonValue& m : ts.Received("alice", SM_CONNECT_TO_PEER))
            n += m.toObject()["fields"].toObject()["user"].toString() == i_user;
        return n;
    };
    const auto claim = [&](quint32 i_from, const QByteArray& i_user, quint32 i_req) {
        auto conn = ConnectFrom(port, i_from, 1 << 20);
        WriteRaw(conn.get(), PeerInit(i_user, "P") + Offer(i_req, "song.bin", song.size()));
        return conn;
    };
    const auto queueFrom = [&](const std::string& i_user) { queue->AddDownload(i_user, "song.bin", "music", song.size(), 0); };

    // Ten users at the address the server gives offer right after our
    // login, while the server answers address requests late: every offer
    // waits for the answer, and is taken.
    for (int k = 0; k < 10; ++k)
        queueFrom("u" + std::to_string(k));
    QVERIFY(ts.Set("address_delay", 2) && m_fixture.LogIn(ts));
    std::vector<std::unique_ptr<QTcpSocket>> early;
    for (int k = 0; k < 10; ++k)
        early.push_back(claim(0x7F000001, "u" + QByteArray::number(k), 100 + k));
    for (int k = 0; k < 10; ++k)
    {
        FrameReader reader;
        QCOMPARE(reader.Next(early[k].get()).left(9), U32(PM_TRANSFER_RESPONSE) + U32(100 + k) + B8(1));
    }
    QVERIFY(ts.Set("address_delay", 0));

    // Four offline users we expect files from are claimed from 64 addresses
    // at full speed, while ten users behind a router, not proved yet, offer
    // one after another: each is proved within seconds, and the offline
    // names cost a relayed request a minute.
    std::vector<std::unique_ptr<Behind>> routed;
    for (int k = 0; k < 10; ++k)
    {
        routed.push_back(std::make_unique<Behind>(0x7F000201 + k, port));
        QVERIFY(routed.back()->m_user.LogIn(ts.Port(), "r" + QByteArray::number(k)));
        routed.back()->m_answering = false;
        queueFrom("r" + std::to_string(k));
    }
    for (int k = 0; k < 4; ++k)
        queueFrom("off" + std::to_string(k));
    // Our own queue requests to them go unanswered: nothing proves them yet.
    for (auto& user : routed)
        QVERIFY(user->m_user.NextFromServer(SM_CONNECT_TO_PEER).size() > 0);
    std::deque<std::unique_ptr<QTcpSocket>> flood;
    quint32 floods = 0;
    const auto pumpFlood = [&] {
        for (int k = 0; k < 4; ++k, ++floods)
        {
            flood.push_back(claim(0x7F000101 + floods % 64, "off" + QByteArray::number(floods % 4), 1000 + floods));
            if (flood.size() > 200)
                flood.pop_front();
        }
        for (auto& user : routed)
            user->Pump();
    };
    const qint64 floodStart = elapsed.elapsed();
    for (int k = 0; k < 10; ++k)
    {
        Behind& user = *routed[k];
        user.m_answering = true;
        WriteRaw(user.Connect(), PeerInit("r" + QByteArray::number(k), "P") + Offer(200 + k, "song.bin", song.size()));
        QVERIFY2(Spin([&] { return taken(200 + k); }, pumpFlood, g_waitMs), qPrintable(QString("r%1").arg(k)));
    }
    const qint64 floodMs = elapsed.elapsed() - floodStart;
    flood.clear();
    for (int k = 0; k < 4; ++k)
        QVERIFY(relayedFor("off" + QString::number(k)) <= 2 + floodMs / PeerClaims::UNANSWERED_PAUSE_MS);

    // Carol, proved where she is, is claimed from elsewhere once she has
    // been silent a while: her answer tells against that address. She then
    // moves there: she is refused at first, and taken within the minute
    // after.
    Behind carol(0x7F000401, port);
    QVERIFY(carol.m_user.LogIn(ts.Port(), "carol"));
    queue->AddDownload("carol", "carols.bin", "music", song.size(), 0);
    const auto pumpCarol = [&] { carol.Pump(); };
    QVERIFY(Spin([&] { return carol.m_got.size() > 0; }, pumpCarol));
    int markers = 0, marked = 0;
    connect(messenger, &PeerMessenger::DownloadPlaceInLine, this, [&] { ++marked; });
    const auto handled = [&](QTcpSocket* ip_socket) {
        WriteRaw(ip_socket, Frame(PM_UPLOAD_PLACE_IN_LINE, Str("marker") + U32(1)));
        return Spin([&, want = ++markers] { return marked == want; }, pumpCarol);
    };
    const size_t links = carol.m_links.size();
    // While she talks to us from there, a claim of her from elsewhere is
    // refused without asking her to connect once more.
    auto talking = ConnectFrom(port, 0x7F000402, 1 << 20);
    WriteRaw(talking.get(), PeerInit("carol", "P") + Offer(299, "carols.bin", song.size()));
    QVERIFY(handled(talking.get()) && !taken(299) && carol.m_links.size() == links);
    skew += PeerClaims::DISPROOF_MS;
    auto mallory = ConnectFrom(port, 0x7F000402, 1 << 20);
    WriteRaw(mallory.get(), PeerInit("carol", "P") + Offer(300, "carols.bin", song.size()));
    QVERIFY(Spin([&] { return carol.m_links.size() == links + 1; }, pumpCarol) && handled(mallory.get()) && !taken(300));
    carol.m_from = 0x7F000402;
    QTcpSocket* moved = carol.Connect();
    WriteRaw(moved, PeerInit("carol", "P") + Offer(301, "carols.bin", song.size()));
    QVERIFY(handled(moved) && !taken(301));
    skew += PeerClaims::DISPROOF_MS;
    WriteRaw(moved, Offer(302, "carols.bin", song.size()));
    QVERIFY(Spin([&] { return taken(302); }, pumpCarol, g_waitMs));

    // Made-up names fill an address, 1,100 of them; dave, whom the server
    // places there, is answered and stays; one of them gives way to him.
    {
        const DescriptorLimit limit(1024);
        QVERIFY(limit.Set());
        std::vector<std::unique_ptr<QTcpSocket>> made;
        const auto open = [&] {
            made.erase(std::remove_if(made.begin(), made.end(),
                                      [](const auto& i_s) {
                                          i_s->readAll();
                                          return i_s->state() != QAbstractSocket::ConnectedState;
                                      }),
                       made.end());
            return made.size();
        };
        for (int k = 0; k < 1100; ++k)
        {
            made.push_back(ConnectFrom(port, 0x7F000301, 4096));
            QVERIFY(made.back());
            WriteRaw(made.back().get(), PeerInit("made" + QByteArray::number(k), "P"));
            if (k % 32 == 31)
                QVERIFY(Spin([&] { return open() <= PeerBounds::IncomingPerAddressBound(); }));
        }
        QVERIFY(Spin([&] { return open() == PeerBounds::IncomingPerAddressBound(); }));
        // What the flood spent of the server's answers is back a moment later.
        skew += PeerBounds::ADMISSION_ASK_BURST * PeerBounds::ADMISSION_ASK_INTERVAL_MS;
        auto dave = ConnectFrom(port, 0x7F000301, 1 << 20);
        WriteRaw(dave.get(), PeerInit("dave", "P") + Frame(PM_GET_SHARED_FILE_LIST));
        FrameReader reader;
        QCOMPARE(Code(reader.Next(dave.get())), quint32(PM_SHARED_FILE_LIST));
        QVERIFY(Spin([&] { return open() == PeerBounds::IncomingPerAddressBound() - 1; }));
        QVERIFY(dave->state() == QAbstractSocket::ConnectedState);
    }

    // With the server down, a spray of 1,000 wrong request numbers for
    // erin before her offer, from four addresses, and then her number: no
    // byte of the sprayer's is taken. Fay, whom nobody guesses, gets her
    // file through from inside her router.
    queue->AddDownload("erin", "erins.bin", "music", song.size(), 0);
    ItemPtr fays = queue->AddDownload("fay", "fays.bin", "music", song.size(), 0);
    SetOnline("erin", true);
    SetOnline("fay", true);
    QTcpSocket* toErin = Accept(erinsRouter);
    QTcpSocket* toFay = Accept(faysRouter);
    QVERIFY(toErin && toFay && ts.Drop("alice") && Spin([&] { return m_fixture.mp_server->IsAbruptlyDisconnected(); }));
    const auto guess = [&](quint32 i_from, quint32 i_req) {
        auto file = ConnectFrom(port, i_from, 1 << 20);
        WriteRaw(file.get(), PeerInit("erin", "F") + U32(i_req));
        return file;
    };
    for (int batch = 0; batch < 20; ++batch)
    {
        std::vector<std::unique_ptr<QTcpSocket>> guesses;
        for (int k = 0; k < 50; ++k)
            guesses.push_back(guess(0x7F000501 + k % 4, 4000 + batch * 50 + k));
        for (auto& file : guesses)
            QVERIFY(WaitClosed(file.get()));
    }
    WriteRaw(toErin, Offer(5000, "erins.bin", song.size()));
    QVERIFY(Spin([&] { return taken(5000); }));
    for (quint32 from : {0x7F000501u, 0x7F000502u, 0x7F000503u, 0x7F000504u, 0x7F000509u})
    {
        auto file = guess(from, 5000);
        WriteRaw(file.get(), QByteArray(song.size(), 'x'));
        QByteArray got;
        QVERIFY(QTest::qWaitFor([&] { got += file->readAll(); return file->state() != QAbstractSocket::ConnectedState; }, g_waitMs));
        QCOMPARE(got, QByteArray());
    }
    QVERIFY(!QFile::exists(dir + "/dl/downloading/music/erins.bin") && !QFile::exists(dir + "/dl/complete/music/erins.bin"));
    WriteRaw(toFay, Offer(6000, "fays.bin", song.size()));
    QVERIFY(Spin([&] { return taken(6000); }));
    auto file = ConnectFrom(port, 0x7F00050B, 1 << 20);
    WriteRaw(file.get(), PeerInit("fay", "F") + U32(6000));
    QVERIFY(Spin([&] { return file->bytesAvailable() >= 8; }));
    QCOMPARE(file->read(8), I64(0));
    WriteRaw(file.get(), song);
    QVERIFY(Spin([&] { return Status(fays) == "complete"; }));
    QCOMPARE(threadtest::ReadFile(dir + "/dl/complete/music/fays.bin"), song);
}

// Bob, behind the router, is reached only through the relay. The server
// drops while the file connection of the upload of his first file is under
// way, and he answers that request no more: after the new login the upload
// is offered and made again, his second file follows, and he is never told
// that an upload failed.
void TestReachingUsers::AnUploadUnderWayAtADropStartsAgain()
{
    PeerMessenger* messenger = m_fixture.mp_messenger;
    const QString dir = m_fixture.m_dir.path();
    QDir().mkpath(dir + "/share");
    const QByteArray first = Noise(200000, 4), second = Noise(150000, 5);
    threadtest::WriteFile(dir + "/share/first.bin", first);
    threadtest::WriteFile(dir + "/share/second.bin", second);
    m_fixture.mp_shares->Init();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(dir + "/share"))) += T("shared_public")->GetGlobalNullItem();
    TestServer ts;
    QVERIFY(ts.Start());
    QVERIFY(ts.Set("peer_addresses", QJsonObject{{"bob", QJsonArray{"127.0.0.50", int(FreePort())}}}));
    QVERIFY(m_fixture.LogIn(ts));
    Behind bob(0x7F000002, messenger->ListeningPort());
    QVERIFY(bob.m_user.LogIn(ts.Port(), "bob"));
    const auto pump = [&] { bob.Pump(); };
    const auto path = [&](const char* ip_name) { return (dir + "/share/" + ip_name).toUtf8().replace('/', '\\'); };
    const auto offers = [&] {
        QList<QByteArray> all;
        for (const QByteArray& m : bob.m_got)
            if (Code(m) == PM_TRANSFER_REQUEST)
                all << m;
        return all;
    };
    // Bob accepts the offer; the file comes on the next file connection.
    const auto take = [&](size_t i_files, const QByteArray& i_bytes) {
        const QByteArray req = offers().last().mid(8, 4);
        WriteRaw(bob.m_links.front().first.get(), Frame(U32(PM_TRANSFER_RESPONSE) + req + B8(1)));
        if (!Spin([&] { return bob.m_files.size() == i_files && bob.m_files.back().first->bytesAvailable() >= 4; }, pump))
            return false;
        QTcpSocket* file = bob.m_files.back().first.get();
        if (file->read(4) != req)
            return false;
        WriteRaw(file, I64(0));
        QByteArray received;
        const bool whole = Spin([&] { return (received += file->readAll()).size() >= i_bytes.size(); }, pump) && received == i_bytes;
        // A downloader that has it all closes: the upload ends.
        file->disconnectFromHost();
        return whole;
    };

    // A message of ours reaches him through the relay; he queues both files.
    messenger->QueueDownload("bob", "hello");
    QVERIFY(Spin([&] { return bob.m_got.contains(U32(PM_QUEUE_UPLOAD) + Str("hello")); }, pump));
    WriteRaw(bob.m_links.front().first.get(),
             Frame(PM_QUEUE_UPLOAD, Str(path("first.bin"))) + Frame(PM_QUEUE_UPLOAD, Str(path("second.bin"))));
    QVERIFY(Spin([&] { return offers().size() == 1; }, pump));
    QCOMPARE(FirstString(offers().last(), 12), path("first.bin"));

    // He accepts; the relayed request for the file connection reaches him,
    // unanswered, and the server drops.
    bob.m_answering = false;
    const int relayed = ts.Received("alice", SM_CONNECT_TO_PEER).size();
    WriteRaw(bob.m_links.front().first.get(), Frame(U32(PM_TRANSFER_RESPONSE) + offers().last().mid(8, 4) + B8(1)));
    QVERIFY(ts.WaitFor("alice", SM_CONNECT_TO_PEER, relayed + 1, g_waitMs));
    QVERIFY(!bob.m_user.NextFromServer(SM_CONNECT_TO_PEER).isEmpty());
    QSignalSpy connected(m_fixture.mp_server, &Server::Connected);
    QVERIFY(ts.Drop("alice") && Spin([&] { return m_fixture.mp_server->IsAbruptlyDisconnected(); }, pump));
    m_fixture.mp_server->OnHalfMinuteTimer();
    QVERIFY(Spin([&] { return connected.count() == 1; }, pump));
    bob.m_answering = true;

    // The upload is offered again, and both files reach him.
    QVERIFY(Spin([&] { return offers().size() == 2; }, pump));
    QCOMPARE(FirstString(offers().last(), 12), path("first.bin"));
    QVERIFY(take(1, first));
    QVERIFY(Spin([&] { return offers().size() == 3; }, pump));
    QCOMPARE(FirstString(offers().last(), 12), path("second.bin"));
    QVERIFY(take(2, second));
    (void)Spin([] { return false; }, pump, 300);
    QVERIFY(std::none_of(bob.m_got.begin(), bob.m_got.end(), [](const QByteArray& i_m) { return Code(i_m) == PM_UPLOAD_FAILED; }));
    QCOMPARE(m_fixture.Logged("aborted"), 0);
}

QTEST_MAIN(TestReachingUsers)
#include "test_reaching_users.moc"
