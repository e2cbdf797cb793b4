// The upload queue against scripted peers on loopback and real shared
// folders: who may queue what, the order and the slots, the negotiation with
// its refusals and time-outs, the notices about our own downloads, and the
// speed limits the upload threads obey.

#include "TransferTestSupport.h"
#include "TransferThreadSupport.h"

#include "MemStream.h"
#include "ProtocolCodes.h"
#include "TimerManager.h"

#include <QProcess>
#include <QtTest>

#include <sys/socket.h>
#include <sys/stat.h>

using namespace transfertest;

namespace
{

QByteArray Wire(const QString& i_path)
{
    return QString(i_path).replace('/', '\\').toUtf8();
}

void MakeFile(const QString& i_path, qint64 i_size)
{
    QDir().mkpath(QFileInfo(i_path).path());
    QFile f(i_path);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(i_size))
        qFatal("cannot make %s", qPrintable(i_path));
}

std::string UploadStatus(ItemPtr i_upload)
{
    return i_upload["upload_entry_status"].AsString();
}

// A transfer request as the peer reads it: request number, file, size.
struct TransferRequest
{
    quint32 req = 0;
    QByteArray file;
    qint64 size = -1;
};

bool ReadRequest(const QByteArray& i_message, TransferRequest& o_request)
{
    if (i_message.size() < 12 || ToU32(i_message) != PM_TRANSFER_REQUEST || ToU32(i_message, 4) != 1)
        return false;
    o_request.req = ToU32(i_message, 8);
    int at = 12;
    o_request.file = StrAt(i_message, at);
    o_request.size = qFromLittleEndian<qint64>(i_message.constData() + at);
    return true;
}

// Bytes that differ at every offset within a large file.
QByteArray Pattern(qint64 i_size)
{
    QByteArray bytes(int(i_size), '\0');
    for (int k = 0; k < bytes.size(); ++k)
        bytes[k] = char((k * 7) ^ (k >> 11));
    return bytes;
}

} // namespace

class TestUploadQueue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { m_fixture.TearDown(); }

    void OnlyVisibleFilesAreQueuedAndOffered();
    void PlaceInLineAnswers();
    void PriorityPrivilegeAndOrder();
    void SlotsUsersAndOffline();
    void RefusalTimeOutAndLateAcceptance();
    void UnshareUserStopsARunningUpload();
    void NoticesReachTheRightDownload();
    void SpeedLimits();
    void ChangedFilesAreOfferedAsTheyAre();
    void SharesHoldWholeFilesOnce();

private:
    // The peer's side of an accepted upload from offset 0: the file
    // connection, the request number checked, the offset sent.
    std::unique_ptr<QTcpSocket> AcceptUpload(const QByteArray& i_user, quint32 i_req);
    // A scripted peer for the user, online and with an open "P" connection.
    ScriptedPeer& Peer(const QByteArray& i_user);
    QByteArray Path(const QString& i_name) const { return Wire(m_share + "/" + i_name); }
    ItemPtr Upload(const std::string& i_user, const QString& i_name) const;
    // The transfer requests the peer received, waiting for the first.
    QList<TransferRequest> Requests(const QByteArray& i_user, int i_waitMs = g_waitMs);
    void ListUser(const std::string& i_user, const std::string& i_group, int i_priority);

    QueueFixture m_fixture;
    QString m_share;
    QDateTime m_now;
    std::map<QByteArray, std::unique_ptr<ScriptedPeer>> m_peers;
};

void TestUploadQueue::init()
{
    m_peers.clear();
    m_fixture.Start();
    QVERIFY(m_fixture.GoOnline());
    m_now = QDateTime::currentDateTime();
    m_fixture.mp_queue->SetClock([this] { return m_now; });
    m_share = m_fixture.m_dir.path() + "/share";
    for (const char* name : {"a.bin", "b.bin", "c.bin", "d.bin"})
        MakeFile(m_share + "/" + name, 1000);
    MakeFile(m_share + "/huge.bin", 5000000000LL);
    MakeFile(m_fixture.m_dir.path() + "/group/secret.bin", 10);
    m_fixture.mp_shares->Init();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(m_share))) += T("shared_public")->GetGlobalNullItem();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(m_fixture.m_dir.path() + "/group"))) +=
        T("user_list_group")->GetItem("friends");
}

ScriptedPeer& TestUploadQueue::Peer(const QByteArray& i_user)
{
    auto& peer = m_peers[i_user];
    if (!peer)
    {
        peer = std::make_unique<ScriptedPeer>();
        if (!peer->Open(m_fixture.mp_messenger, i_user))
            qFatal("peer %s did not connect", i_user.constData());
        SetOnline(i_user.toStdString(), true);
    }
    return *peer;
}

ItemPtr TestUploadQueue::Upload(const std::string& i_user, const QString& i_name) const
{
    Item* user = T("user")->HasItem(i_user);
    Item* file = T("filename_as_requested")->HasItem(Wire(m_share + "/" + i_name).toStdString());
    return user && file ? d->GetItem(ItemPtr(user), ItemPtr(file), "upload_entry") : nullptr;
}

QList<TransferRequest> TestUploadQueue::Requests(const QByteArray& i_user, int i_waitMs)
{
    QList<TransferRequest> requests;
    ScriptedPeer& peer = Peer(i_user);
    for (QByteArray m = peer.Next(i_waitMs); !m.isEmpty(); m = peer.Next(300))
    {
        TransferRequest request;
        if (ReadRequest(m, request))
            requests << request;
    }
    return requests;
}

void TestUploadQueue::ListUser(const std::string& i_user, const std::string& i_group, int i_priority)
{
    ItemPtr entry = ItemPtr(T("user")->GetItem(i_user)).NewItem("in_user_list");
    ItemPtr group = T("user_list_group")->GetItem(i_group);
    group += entry;
    group += T("group_download_priority")->GetItem(Value(i_priority));
}

void TestUploadQueue::OnlyVisibleFilesAreQueuedAndOffered()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    ScriptedPeer& bob = Peer("bob");
    Peer("carol");
    // Not shared at all, only shared with a group, asked by an unshared
    // user: each is denied and leaves no entry.
    const QByteArray group = Wire(m_fixture.m_dir.path() + "/group/secret.bin");
    queue->OnQueueUploadRequested("bob", "\\etc\\passwd");
    queue->OnQueueUploadRequested("bob", group.toStdString());
    queue->UnshareUser("carol");
    queue->OnQueueUploadRequested("carol", Path("a.bin").toStdString());
    for (const QByteArray& file : {QByteArray("\\etc\\passwd"), group})
    {
        const QByteArray m = bob.Next();
        int at = 4;
        QCOMPARE(Code(m), quint32(PM_UPLOAD_DENIED));
        QCOMPARE(StrAt(m, at), file);
        QCOMPARE(StrAt(m, at), QByteArray("File not shared."));
    }
    QCOMPARE(Code(Peer("carol").Next()), quint32(PM_UPLOAD_DENIED));
    QCOMPARE(T("upload_entry")->ItemCount(), size_t(0));

    // Queued while visible, hidden or unshared before its turn: never
    // requested, denied and dropped when its turn comes.
    queue->ReshareUser("carol");
    SetOnline("bob", false);
    SetOnline("carol", false);
    queue->OnQueueUploadRequested("bob", Path("a.bin").toStdString());
    queue->OnQueueUploadRequested("carol", Path("b.bin").toStdString());
    QCOMPARE(UploadStatus(Upload("bob", "a.bin")), std::string("queued"));
    QCOMPARE(queue->QueuedUploadCount(), 2u);
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(m_share))) -= T("shared_public")->GetGlobalNullItem();
    SetOnline("bob", true);
    queue->StartNewUploads();
    QList<QByteArray> toBob = bob.Drain();
    QCOMPARE(toBob.size(), 1);
    QCOMPARE(Code(toBob[0]), quint32(PM_UPLOAD_DENIED));
    QVERIFY(!Upload("bob", "a.bin"));
    // Visible again, but carol's file went from the share meanwhile.
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(m_share))) += T("shared_public")->GetGlobalNullItem();
    QFile::remove(m_share + "/b.bin");
    m_fixture.mp_shares->RescanShares();
    SetOnline("carol", true);
    QList<QByteArray> toCarol = Peer("carol").Drain();
    QCOMPARE(toCarol.size(), 1);
    QCOMPARE(Code(toCarol[0]), quint32(PM_UPLOAD_DENIED));
    QCOMPARE(T("upload_entry")->ItemCount(), size_t(0));

    // A shared file of 5,000,000,000 bytes is announced exactly.
    queue->OnQueueUploadRequested("bob", Path("huge.bin").toStdString());
    const QList<TransferRequest> requests = Requests("bob");
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].size, 5000000000LL);
    QCOMPARE(requests[0].file, Path("huge.bin"));
    QCOMPARE(UploadStatus(Upload("bob", "huge.bin")), std::string("requesting"));
    QCOMPARE(Upload("bob", "huge.bin")["transfer_req"].AsUInt(), static_cast<unsigned long>(requests[0].req));
    QVERIFY(!queue->IsFreeToUpload());
    QVERIFY(gp_uploadStatusProvider == queue && gp_uploadPlaceProvider == queue);
}

void TestUploadQueue::PlaceInLineAnswers()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    for (const char* user : {"bob", "carol", "dave"})
        Peer(user);
    queue->OnQueueUploadRequested("bob", Path("a.bin").toStdString());   // requested at once
    queue->OnQueueUploadRequested("carol", Path("b.bin").toStdString());
    queue->OnQueueUploadRequested("dave", Path("c.bin").toStdString());
    queue->OnQueueUploadRequested("dave", Path("d.bin").toStdString());
    int place = -1;
    QVERIFY(queue->GetUploadPlaceInLine("bob", Path("a.bin").toStdString(), place));
    QCOMPARE(place, 0);
    QVERIFY(queue->GetUploadPlaceInLine("carol", Path("b.bin").toStdString(), place));
    QCOMPARE(place, 1);
    QVERIFY(queue->GetUploadPlaceInLine("dave", Path("d.bin").toStdString(), place));
    QCOMPARE(place, 3);
    QVERIFY(!queue->GetUploadPlaceInLine("carol", Path("c.bin").toStdString(), place));
    QVERIFY(!queue->GetUploadPlaceInLine("nobody", Path("c.bin").toStdString(), place));

    // Over the wire: code 51 is answered with 1003 and the rank.
    ScriptedPeer& dave = Peer("dave");
    dave.Drain();
    dave.Send(Frame(PM_UPLOAD_PLACE_IN_LINE_REQUEST, Str(Path("c.bin"))));
    const QByteArray m = dave.Next();
    QCOMPARE(Code(m), quint32(PM_UPLOAD_PLACE_IN_LINE));
    int at = 4;
    QCOMPARE(StrAt(m, at), Path("c.bin"));
    QCOMPARE(ToU32(m, at), 2u);
}

void TestUploadQueue::PriorityPrivilegeAndOrder()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    // Everyone offline: nothing starts, only the order is built.
    ListUser("vip", "friends", 5);
    ListUser("low", "grumpy", -3);
    ItemPtr(T("user")->GetItem("priv")) += T("is_privileged")->GetGlobalNullItem();
    QCOMPARE(queue->GetUserGroupDownloadPriority("low"), 0);
    QCOMPARE(queue->GetUserGroupDownloadPriority("vip"), 5);

    queue->OnQueueUploadRequested("low", Path("a.bin").toStdString());
    queue->OnQueueUploadRequested("plain", Path("a.bin").toStdString());
    queue->OnQueueUploadRequested("low", Path("b.bin").toStdString());
    // Same priority and privilege: the order of the requests.
    QCOMPARE(Upload("low", "a.bin")["effective_upload_order"].AsInt(), 1L);
    QCOMPARE(Upload("plain", "a.bin")["effective_upload_order"].AsInt(), 2L);
    QCOMPARE(Upload("low", "b.bin")["effective_upload_order"].AsInt(), 3L);
    // Privilege breaks the tie and renumbers; priority beats both.
    queue->OnQueueUploadRequested("priv", Path("c.bin").toStdString());
    queue->OnQueueUploadRequested("vip", Path("d.bin").toStdString());
    QStringList order;
    for (Item* upload : T("upload_entry")->GetItems().SortNumericBy("effective_upload_order"))
        order << QString::fromStdString(ItemPtr(upload)["effective_upload_order"].AsString() + ":" +
                                        ItemPtr(upload)["user"].AsString());
    QCOMPARE(order, QStringList({"1:vip", "2:priv", "3:low", "4:plain", "5:low"}));
    QVERIFY(queue->UploadEntrySortCompare(Upload("low", "a.bin"), Upload("low", "b.bin")));

    // A request repeated for a finished entry re-queues it with its numbers.
    ItemPtr plain = Upload("plain", "a.bin");
    queue->SetUploadEntryStatus(plain, "complete");
    queue->OnQueueUploadRequested("plain", Path("a.bin").toStdString());
    QCOMPARE(UploadStatus(plain), std::string("queued"));
    QCOMPARE(plain["effective_upload_order"].AsInt(), 4L);
    QVERIFY(m_fixture.Logged("complete, re-queueing"));

    // The stable renumbering keeps the same order, from 0.
    queue->DetermineUploadsEffectiveOrder();
    QCOMPARE(Upload("vip", "d.bin")["effective_upload_order"].AsInt(), 0L);
    QCOMPARE(Upload("low", "b.bin")["effective_upload_order"].AsInt(), 4L);
}

void TestUploadQueue::SlotsUsersAndOffline()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    Peer("bob");
    Peer("carol");
    Peer("dave");
    SetOnline("carol", false);
    queue->OnQueueUploadRequested("bob", Path("a.bin").toStdString());
    queue->OnQueueUploadRequested("bob", Path("b.bin").toStdString());
    queue->OnQueueUploadRequested("carol", Path("c.bin").toStdString());
    queue->OnQueueUploadRequested("dave", Path("d.bin").toStdString());
    QCOMPARE(Requests("bob").size(), 1);
    QVERIFY(!queue->IsFreeToUpload());

    // Three slots: one per user, the offline user skipped.
    queue->SetUploadSlots(0);
    queue->SetUploadSlots(100);
    QCOMPARE(GetSetting("upload_slots"), std::string("1"));
    queue->SetUploadSlots(3);
    QCOMPARE(Requests("dave").size(), 1);
    QCOMPARE(UploadStatus(Upload("bob", "b.bin")), std::string("queued"));
    QCOMPARE(UploadStatus(Upload("carol", "c.bin")), std::string("queued"));
    QVERIFY(queue->IsFreeToUpload());
    // Carol comes online and takes the third slot.
    SetOnline("carol", true);
    QCOMPARE(Requests("carol").size(), 1);
    QVERIFY(!queue->IsFreeToUpload());

    // Fewer slots stop nothing, and nothing new starts until below them.
    queue->SetUploadSlots(1);
    QCOMPARE(UploadStatus(Upload("dave", "d.bin")), std::string("requesting"));
    queue->RemoveUpload(Upload("dave", "d.bin"));
    queue->RemoveUpload(Upload("carol", "c.bin"));
    QCOMPARE(UploadStatus(Upload("bob", "b.bin")), std::string("queued"));
    queue->RemoveUpload(Upload("bob", "a.bin"));
    QCOMPARE(Requests("bob").size(), 1);
    QCOMPARE(UploadStatus(Upload("bob", "b.bin")), std::string("requesting"));
}

void TestUploadQueue::RefusalTimeOutAndLateAcceptance()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    Peer("bob");
    Peer("carol");
    queue->OnQueueUploadRequested("bob", Path("a.bin").toStdString());
    queue->OnQueueUploadRequested("carol", Path("b.bin").toStdString());
    const quint32 bobReq = Requests("bob").value(0).req;

    // A refusal: "denied" with its reason, and the next entry at once.
    queue->OnFileTransferResponse("bob", bobReq, false, false, 0, "Complete");
    QCOMPARE(UploadStatus(Upload("bob", "a.bin")), std::string("denied"));
    QCOMPARE(Upload("bob", "a.bin")["denial_reason"].AsString(), std::string("Complete"));
    const quint32 carolReq = Requests("carol").value(0).req;
    QCOMPARE(UploadStatus(Upload("carol", "b.bin")), std::string("requesting"));
    // Another user's answer to carol's request changes nothing.
    queue->OnFileTransferResponse("bob", carolReq, true, false, 0, "");
    QCOMPARE(UploadStatus(Upload("carol", "b.bin")), std::string("requesting"));

    // 20 s: it stays; 50 s: aborted and the peer told with code 46.
    m_now = m_now.addSecs(20);
    queue->EveryHalfMinute();
    QCOMPARE(UploadStatus(Upload("carol", "b.bin")), std::string("requesting"));
    m_now = m_now.addSecs(30);
    queue->EveryHalfMinute();
    QCOMPARE(UploadStatus(Upload("carol", "b.bin")), std::string("aborted"));
    const QByteArray failed = Peer("carol").Next();
    QCOMPARE(Code(failed), quint32(PM_UPLOAD_FAILED));
    QCOMPARE(FirstString(failed), Path("b.bin"));
    QVERIFY(queue->IsFreeToUpload());

    // Its acceptance, late, is ignored.
    queue->OnFileTransferResponse("carol", carolReq, true, false, 0, "");
    QCOMPARE(UploadStatus(Upload("carol", "b.bin")), std::string("aborted"));
    QVERIFY(m_fixture.Logged("Upload no longer in requesting phase, instead status is aborted"));
    QVERIFY(!Upload("carol", "b.bin")["upload_file"]);
}

void TestUploadQueue::UnshareUserStopsARunningUpload()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    Peer("bob");
    Peer("carol");
    queue->OnQueueUploadRequested("bob", Path("a.bin").toStdString());
    queue->OnQueueUploadRequested("carol", Path("b.bin").toStdString());
    const quint32 req = Requests("bob").value(0).req;
    queue->OnFileTransferResponse("bob", req, true, false, 0, "");
    ItemPtr upload = Upload("bob", "a.bin");
    QCOMPARE(UploadStatus(upload), std::string("connecting"));
    QVERIFY(upload["upload_file"]);

    // The file connection: our end goes to the thread, which sends the
    // request number and waits for the offset that never comes.
    QTcpServer listener;
    QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
    QTcpSocket downloader;
    downloader.connectToHost(QHostAddress::LocalHost, listener.serverPort());
    QVERIFY(listener.waitForNewConnection(g_waitMs));
    QTcpSocket* own = listener.nextPendingConnection();
    queue->OnFileConnectionAccepted("bob", own);
    QCOMPARE(UploadStatus(upload), std::string("uploading"));
    QPointer<QThread> thread = reinterpret_cast<QThread*>(upload["upload_thread"].AsUInt());
    QVERIFY(QTest::qWaitFor([&] { return downloader.bytesAvailable() >= 4 || downloader.waitForReadyRead(100); },
                            g_waitMs));
    QCOMPARE(qFromLittleEndian<quint32>(downloader.read(4).constData()), req);

    // A second connection for the same user finds nothing "connecting".
    QTcpSocket second;
    second.connectToHost(QHostAddress::LocalHost, listener.serverPort());
    QVERIFY(listener.waitForNewConnection(g_waitMs));
    QPointer<QTcpSocket> extra = listener.nextPendingConnection();
    queue->OnFileConnectionAccepted("bob", extra);
    QTRY_VERIFY(extra.isNull());

    queue->UnshareUser("bob");
    QVERIFY(!Upload("bob", "a.bin"));
    QTRY_VERIFY(thread.isNull());
    QVERIFY(WaitClosed(&downloader));
    // The slot went to carol.
    QCOMPARE(Requests("carol").size(), 1);
    QCOMPARE(Code(Peer("bob").Next()), quint32(PM_UPLOAD_DENIED));
}

void TestUploadQueue::NoticesReachTheRightDownload()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    ScriptedPeer& bob = Peer("bob");
    ItemPtr song = queue->AddDownload("bob", "song.mp3", "music\\band", 100, 0);
    ItemPtr other = queue->AddDownload("bob", "band", "music", 100, 0);
    ItemPtr done = queue->AddDownload("bob", "done.mp3", "music\\band", 100, 0);
    queue->SetDownloadEntryStatus(done, "complete");
    bob.Drain();

    // Code 50 over the wire: the download named by folder and name.
    bob.Send(Frame(PM_UPLOAD_DENIED, Str("music\\band\\song.mp3") + Str("Banned")));
    QTRY_COMPARE(Status(song), std::string("denied"));
    QCOMPARE(song["denial_reason"].AsString(), std::string("Banned"));
    QCOMPARE(Status(other), std::string("queued"));
    // A complete download stays complete.
    bob.Send(Frame(PM_UPLOAD_DENIED, Str("music\\band\\done.mp3") + Str("File not shared.")));
    QTRY_VERIFY(m_fixture.Logged("already complete"));
    QCOMPARE(Status(done), std::string("complete"));

    // Code 46: the download is asked for again.
    bob.Send(Frame(PM_UPLOAD_FAILED, Str("music\\band")));
    QTRY_VERIFY(m_fixture.Logged("Download found!"));
    const QByteArray again = bob.Next();
    QCOMPARE(Code(again), quint32(PM_QUEUE_UPLOAD));
    QCOMPARE(FirstString(again), QByteArray("music\\band"));
    queue->OnUploadFailedNotification("bob", "music\\nothing.mp3");
    QVERIFY(m_fixture.Logged("Download not found."));

    // Queue requests and places in line: at most every ten minutes per user.
    SetOnline("bob", true);
    queue->SetDownloadEntryStatus(song, "queued");
    bob.Drain();
    queue->EveryHalfMinute();
    QCOMPARE(bob.Drain().size(), 4);
    m_now = m_now.addSecs(590);
    queue->EveryHalfMinute();
    QCOMPARE(bob.Drain().size(), 0);
    m_now = m_now.addSecs(10);
    queue->EveryHalfMinute();
    QCOMPARE(bob.Drain().size(), 4);
}

void TestUploadQueue::SpeedLimits()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    UploadRateLimiter* limiter = queue->RateLimiter();
    for (const char* user : {"bob", "carol", "dave"})
        Peer(user);
    queue->SetUploadSlots(3);
    queue->SetUploadSpeedLimit(100);
    QCOMPARE(GetSetting("upload_speed_limit_enabled"), std::string("no"));
    QCOMPARE(limiter->GetUploadSpeed(), 0);
    queue->EnableUploadSpeedLimit(true);
    QCOMPARE(limiter->GetPerUploadSpeed(), 100);
    queue->OnQueueUploadRequested("bob", Path("a.bin").toStdString());
    queue->OnQueueUploadRequested("carol", Path("b.bin").toStdString());
    queue->OnQueueUploadRequested("dave", Path("c.bin").toStdString());
    QCOMPARE(limiter->GetUploadSpeed(), 100);
    QCOMPARE(limiter->GetPerUploadSpeed(), 33);
    queue->SetUploadSpeedLimit(2);
    QCOMPARE(limiter->GetPerUploadSpeed(), 1);

    // Every recomputation under a limit empties the allowance.
    limiter->Credit(5000);
    queue->DetermineUploadSpeedLimit();
    QCOMPARE(limiter->GetAllowance(), qint64(0));
    limiter->Credit(5000);
    queue->SetUploadEntryStatus(Upload("dave", "c.bin"), "aborted");
    QCOMPARE(limiter->GetAllowance(), qint64(0));
    QCOMPARE(limiter->GetPerUploadSpeed(), 1);

    // Zero or switched off: no limit.
    queue->SetUploadSpeedLimit(0);
    QCOMPARE(limiter->GetUploadSpeed(), 0);
    QCOMPARE(limiter->GetPerUploadSpeed(), 0);
    queue->SetUploadSpeedLimit(100);
    QCOMPARE(limiter->GetPerUploadSpeed(), 50);
    queue->EnableUploadSpeedLimit(false);
    QCOMPARE(limiter->GetUploadSpeed(), 0);
    QCOMPARE(limiter->GetPerUploadSpeed(), 0);
    QCOMPARE(queue->GetUploadSpeed(), 0);
}

std::unique_ptr<QTcpSocket> TestUploadQueue::AcceptUpload(const QByteArray& i_user, quint32 i_req)
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    queue->OnFileTransferResponse(i_user.toStdString(), i_req, true, false, 0, "");
    QTcpServer listener;
    auto downloader = std::make_unique<QTcpSocket>();
    if (!listener.listen(QHostAddress::LocalHost, 0))
        return nullptr;
    downloader->connectToHost(QHostAddress::LocalHost, listener.serverPort());
    if (!listener.waitForNewConnection(g_waitMs))
        return nullptr;
    queue->OnFileConnectionAccepted(i_user.toStdString(), listener.nextPendingConnection());
    const QByteArray req = threadtest::ReadExactly(downloader.get(), 4);
    if (req.size() != 4 || qFromLittleEndian<quint32>(req.constData()) != i_req)
        return nullptr;
    threadtest::WriteNow(downloader.get(), threadtest::I64(0));
    return downloader;
}

void TestUploadQueue::ChangedFilesAreOfferedAsTheyAre()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    ScriptedPeer& bob = Peer("bob");
    const QByteArray bytes = Pattern(4 << 20);
    threadtest::WriteFile(m_share + "/cut.bin", bytes.left(3 << 20));
    threadtest::WriteFile(m_share + "/grown.bin", bytes.left(100000));
    threadtest::WriteFile(m_share + "/during.bin", bytes);
    for (const char* name : {"/gone.bin", "/pipe.bin", "/late.bin"})
        MakeFile(m_share + name, 10);
    m_fixture.mp_shares->RescanShares();
    QVERIFY(QFile::resize(m_share + "/cut.bin", 1 << 20));
    threadtest::WriteFile(m_share + "/grown.bin", bytes.left(150000));
    QVERIFY(QFile::remove(m_share + "/gone.bin"));

    // Gone since the scan: denied as a file that is not shared.
    queue->OnQueueUploadRequested("bob", Path("gone.bin").toStdString());
    const QByteArray denied = bob.Next();
    QCOMPARE(Code(denied), quint32(PM_UPLOAD_DENIED));
    int at = 4;
    QCOMPARE(StrAt(denied, at), Path("gone.bin"));
    QCOMPARE(StrAt(denied, at), QByteArray("File not shared."));
    QVERIFY(!Upload("bob", "gone.bin"));

    // Swapped for a FIFO, before the offer or after it: denied the same
    // way, and nothing waits for a writer.
    auto swapForFifo = [&](const char* i_name) {
        const QString path = m_share + "/" + i_name;
        return QFile::remove(path) && ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    };
    QVERIFY(swapForFifo("pipe.bin"));
    queue->OnQueueUploadRequested("bob", Path("pipe.bin").toStdString());
    queue->OnQueueUploadRequested("bob", Path("late.bin").toStdString());
    QList<QByteArray> messages = bob.Drain();
    QCOMPARE(messages.size(), 2);
    QCOMPARE(Code(messages[0]), quint32(PM_UPLOAD_DENIED));
    QCOMPARE(FirstString(messages[0]), Path("pipe.bin"));
    TransferRequest late;
    QVERIFY(ReadRequest(messages[1], late));
    QVERIFY(swapForFifo("late.bin"));
    queue->OnFileTransferResponse("bob", late.req, true, false, 0, "");
    const QByteArray lateDenied = bob.Next();
    QCOMPARE(Code(lateDenied), quint32(PM_UPLOAD_DENIED));
    at = 4;
    QCOMPARE(StrAt(lateDenied, at), Path("late.bin"));
    QCOMPARE(StrAt(lateDenied, at), QByteArray("File not shared."));
    QVERIFY(!Upload("bob", "pipe.bin") && !Upload("bob", "late.bin"));

    // Cut since the scan: offered at its size now, which the share's record
    // takes, and sent byte for byte.
    queue->OnQueueUploadRequested("bob", Path("cut.bin").toStdString());
    TransferRequest request = Requests("bob").value(0);
    QCOMPARE(request.size, qint64(1 << 20));
    ItemPtr cut = m_fixture.mp_shares->GetSharedFileItem(ToUtf8(m_share + "/cut.bin"));
    QCOMPARE(cut["shared_file_size"].AsString(), std::string("1048576"));
    std::unique_ptr<QTcpSocket> downloader = AcceptUpload("bob", request.req);
    QVERIFY(downloader);
    QCOMPARE(threadtest::ReadExactly(downloader.get(), request.size), bytes.left(1 << 20));
    downloader->disconnectFromHost();
    QTRY_COMPARE(UploadStatus(Upload("bob", "cut.bin")), std::string("complete"));

    // Grown since the scan, and again after the offer: exactly the offered
    // bytes go, and nothing past them. The peer closes only its sending
    // half, so whatever else came would still arrive.
    queue->OnQueueUploadRequested("bob", Path("grown.bin").toStdString());
    request = Requests("bob").value(0);
    QCOMPARE(request.size, qint64(150000));
    threadtest::WriteFile(m_share + "/grown.bin", bytes.left(200000));
    downloader = AcceptUpload("bob", request.req);
    QVERIFY(downloader);
    QCOMPARE(threadtest::ReadExactly(downloader.get(), request.size), bytes.left(150000));
    ::shutdown(int(downloader->socketDescriptor()), SHUT_WR);
    QTRY_COMPARE(UploadStatus(Upload("bob", "grown.bin")), std::string("complete"));
    downloader->waitForReadyRead(0);
    QCOMPARE(downloader->bytesAvailable(), qint64(0));

    // Cut while it is sent (slowly, under a limit): the upload fails where
    // the file ends, with one line why; the connection closes, the peer
    // hears of it, and the slot is free again.
    queue->SetUploadSpeedLimit(100);
    queue->EnableUploadSpeedLimit(true);
    queue->OnQueueUploadRequested("bob", Path("during.bin").toStdString());
    request = Requests("bob").value(0);
    QCOMPARE(request.size, qint64(bytes.size()));
    downloader = AcceptUpload("bob", request.req);
    QVERIFY(downloader);
    QByteArray received = threadtest::ReadExactly(downloader.get(), 8192);
    QCOMPARE(received, bytes.left(8192));
    QVERIFY(QFile::resize(m_share + "/during.bin", 65536));
    QElapsedTimer sinceCut;
    sinceCut.start();
    QVERIFY(QTest::qWaitFor(
        [&] {
            received += downloader->readAll();
            return downloader->state() == QAbstractSocket::UnconnectedState;
        },
        g_waitMs));
    const QByteArray failed = bob.Next();
    QCOMPARE(Code(failed), quint32(PM_UPLOAD_FAILED));
    QCOMPARE(FirstString(failed), Path("during.bin"));
    qInfo("failure seen %lld ms after the cut", static_cast<long long>(sinceCut.elapsed()));
    QCOMPARE(UploadStatus(Upload("bob", "during.bin")), std::string("aborted"));
    QVERIFY(queue->IsFreeToUpload());
    QCOMPARE(received, bytes.left(65536));
    QCOMPARE(m_fixture.Logged("failed: the file ends at 65536 of the 4194304 bytes offered"), 1);
}

// The client's own unfinished downloads are never shared, even from a
// shared folder that holds the download folder; two spellings of one folder
// are one share; a proc file system mounted inside a share is not entered.
void TestUploadQueue::SharesHoldWholeFilesOnce()
{
    QStringList shareLog;
    SetLogSink([&](const QString& i_category, int, const QString& i_text, ItemPtr) {
        if (i_category == QLatin1String("Shared"))
            shareLog << i_text;
    });
    struct SinkGuard
    {
        ~SinkGuard() { ClearLogSink(); }
    } sinkGuard;
    auto logged = [&](const QString& i_part) { return int(shareLog.filter(i_part).size()); };
    SharedFoldersManager* shares = m_fixture.mp_shares;
    auto fileAt = [&](const QString& i_path) { return shares->GetSharedFileItem(ToUtf8(i_path)); };

    const QString procHolder = QString::fromLocal8Bit(qgetenv("TV_TEST_PROC_SHARE"));
    if (!procHolder.isEmpty())
    {
        // Run again inside a mount namespace, with proc mounted in the share.
        T("shared_folder")->GetItem(ToUtf8(procHolder));
        QVERIFY(fileAt(procHolder + "/kept.txt"));
        QVERIFY(!T("shared_file_folder")->HasItem(ToUtf8(procHolder + "/proc")));
        QCOMPARE(logged("Not sharing " + procHolder + "/proc: it is on a proc file system"), 1);
        QCOMPARE(logged("Adding folder"), 1);
        // Shared by itself, it lists nothing either.
        T("shared_folder")->GetItem(ToUtf8(procHolder + "/proc"));
        QCOMPARE(logged("Not sharing " + procHolder + "/proc: it is on a proc file system"), 2);
        QVERIFY(!T("shared_file_folder")->HasItem(ToUtf8(procHolder + "/proc")));
        return;
    }

    // The download folder inside the shared "home", with a partial file and
    // a finished one.
    const QString home = m_fixture.m_dir.path() + "/home";
    const QString downloads = home + "/Tavrinel Downloads";
    SetSetting("download_folder", ToUtf8(downloads));
    TransferQueueManager* queue = m_fixture.mp_queue;
    ItemPtr download = queue->AddDownload("bob", "part two.bin", "music\\album", 1048909, 0);
    const QString partial = queue->GetDownloadTargetPath(download, false).replace('\\', '/');
    QVERIFY(partial.startsWith(downloads + "/downloading/album/"));
    const QByteArray bytes = Pattern(1048909);
    QVERIFY(QDir().mkpath(QFileInfo(partial).path()));
    threadtest::WriteFile(partial, bytes.left(419563));
    MakeFile(downloads + "/complete/album/part one.bin", 1000);
    MakeFile(home + "/notes.txt", 10);
    // A link into them, wherever below them it leads, is left out as well.
    QVERIFY(QFile::link(downloads + "/downloading/album", home + "/linked album"));
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(home))) += T("shared_public")->GetGlobalNullItem();
    QVERIFY(!T("shared_file_folder")->HasItem(ToUtf8(home + "/linked album")));
    QCOMPARE(logged("Not sharing " + home + "/linked album: it lies within the unfinished downloads"), 1);
    QVERIFY(fileAt(downloads + "/complete/album/part one.bin"));
    QVERIFY(!fileAt(partial));
    QVERIFY(!T("shared_file_folder")->HasItem(ToUtf8(downloads + "/downloading")));
    QCOMPARE(logged("Not sharing " + downloads + "/downloading: it holds the unfinished downloads"), 1);
    Peer("carol");
    queue->OnQueueUploadRequested("carol", Wire(partial).toStdString());
    const QByteArray denied = Peer("carol").Next();
    QCOMPARE(Code(denied), quint32(PM_UPLOAD_DENIED));
    QCOMPARE(FirstString(denied), Wire(partial));
    // Nor is a share that lies within them.
    T("shared_folder")->GetItem(ToUtf8(downloads + "/downloading/album"));
    QVERIFY(!fileAt(partial));
    QCOMPARE(logged("Not sharing " + downloads + "/downloading/album: it lies within the unfinished downloads"), 1);

    // "home/" as well: the same folders and files, counted once.
    const size_t folders = T("shared_file_folder")->ItemCount();
    const size_t files = T("shared_file")->ItemCount();
    ItemPtr(T("shared_folder")->GetItem(ToUtf8(home + "/"))) += T("shared_userlist")->GetGlobalNullItem();
    shares->RescanShares();
    QCOMPARE(T("shared_file_folder")->ItemCount(), folders);
    QCOMPARE(T("shared_file")->ItemCount(), files);
    QVERIFY(!T("shared_file_folder")->HasItem(ToUtf8(home + "/")));

    // The download completes: in "complete" it is shared from the next
    // scan on, whole.
    RunningDownload run;
    QVERIFY(run.Start(queue, download, partial));
    run.uploader->write(bytes.mid(419563));
    QTRY_COMPARE(Status(download), std::string("complete"));
    const QString done = downloads + "/complete/album/part two.bin";
    QCOMPARE(threadtest::ReadFile(done), bytes);
    QVERIFY(!fileAt(done));
    shares->RescanShares();
    QCOMPARE(fileAt(done)["shared_file_size"].AsString(), std::string("1048909"));
    QVERIFY(!fileAt(partial));

    // Stored and loaded as two spellings, they are one share from the start,
    // seen by everyone that either spelling let see it.
    QVERIFY(m_fixture.RoundTrip());
    m_fixture.mp_shares->Init();
    QVERIFY(!T("shared_folder")->HasItem(ToUtf8(home + "/")));
    ItemPtr root = T("shared_folder")->HasItem(ToUtf8(home));
    QVERIFY(root.IsConnected("shared_public") && root.IsConnected("shared_userlist"));
    QCOMPARE(T("shared_file")->ItemCount(), files + 1);

    // A proc mount inside a share: this test again, inside a mount namespace
    // of its own.
    const QString holder = m_fixture.m_dir.path() + "/withproc";
    MakeFile(holder + "/kept.txt", 5);
    QVERIFY(QDir().mkpath(holder + "/proc"));
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("TV_TEST_PROC_SHARE", holder);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start("unshare", {"-rmpf", "sh", "-c",
                            "mount -t proc proc \"$0/proc\" || exit 77; echo NAMESPACE_READY; exec \"$1\" "
                            "SharesHoldWholeFilesOnce",
                            holder, QCoreApplication::applicationFilePath()});
    if (!child.waitForStarted())
        QSKIP("no unshare command here: the proc mount case is not run");
    QVERIFY(child.waitForFinished(120000));
    const QByteArray output = child.readAll();
    if (!output.contains("NAMESPACE_READY"))
        QSKIP(qPrintable("no mount namespace with proc of its own here, the proc mount case is not run: " +
                         QString::fromLocal8Bit(output.trimmed())));
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
}

QTEST_GUILESS_MAIN(TestUploadQueue)
#include "test_upload_queue.moc"
