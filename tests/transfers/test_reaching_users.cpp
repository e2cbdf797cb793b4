// Users behind a router reach alice and trade files with her, while a party
// claiming their names from elsewhere gets nothing, with the server up, down
// and coming back. The server gives the router's address, where connects are
// refused; the users connect, and answer relayed requests, from their own.

#include "TransferTestSupport.h"
#include "TransferThreadSupport.h"

#include <QJsonArray>
#include <QJsonObject>

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
} // namespace

class TestReachingUsers : public QObject
{
    Q_OBJECT

private slots:
    void init() { m_fixture.Start(); }
    void cleanup() { m_fixture.TearDown(); }
    void BehindARouterAndClaimedFromElsewhere();
    void EvidenceLastsAndClaimsCostTheClaimant();
    void AnUploadUnderWayAtADropStartsAgain();

private:
    QueueFixture m_fixture;
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
    // the transfer we accepted on our connection to her; a guess gets nothing.
    SetOnline("carol", true);
    ItemPtr carols = queue->AddDownload("carol", "carols.bin", "music", song.size(), 0);
    QTcpSocket* toCarol = Accept(carolsRouter);
    QVERIFY(toCarol && ts.Drop("alice") && Spin([&] { return m_fixture.mp_server->IsAbruptlyDisconnected(); }));
    WriteRaw(toCarol, Offer(21, "carols.bin", song.size()));
    QVERIFY(Spin([&] { return taken(21); }));
    auto guess = ConnectFrom(port, 0x7F00000C, 1 << 20);
    WriteRaw(guess.get(), PeerInit("carol", "F") + U32(22));
    QVERIFY(WaitClosed(guess.get()));
    auto file = ConnectFrom(port, 0x7F00000B, 1 << 20);
    WriteRaw(file.get(), PeerInit("carol", "F") + U32(21));
    QVERIFY(Spin([&] { return file->bytesAvailable() >= 8; }));
    QCOMPARE(file->read(8), I64(0));
    WriteRaw(file.get(), song);
    QVERIFY(Spin([&] { return Status(carols) == "complete"; }));
    QCOMPARE(threadtest::ReadFile(dir + "/dl/complete/music/carols.bin"), song);
    QCOMPARE(Status(download), std::string("queued"));
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
