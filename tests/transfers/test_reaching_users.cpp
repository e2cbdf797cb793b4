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

QTEST_MAIN(TestReachingUsers)
#include "test_reaching_users.moc"
