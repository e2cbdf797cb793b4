// The download queue against the real peer network on loopback: a scripted
// peer holds a "P" connection as the uploader "bob" and reads every queue and
// place-in-line request and every answer to its transfer requests.

#include "TransferTestSupport.h"

#include <QFileInfo>

#include <algorithm>
#include <unordered_set>

using namespace transfertest;

namespace
{

// The remote path the peer sees for a download.
QByteArray PathOf(const char* ip_folder, const char* ip_name)
{
    return QByteArray(ip_folder) + "\\" + ip_name;
}

} // namespace

class TestDownloadQueue : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void AddingTwiceQueuesOnce();
    void OfflineUserIsAskedWhenOnline();
    void PeriodicCheckAsksAgainInOrder();
    void ComingOnlineSkipsFinishedDownloads();
    void TransferRequestsAnswered();
    void LongPassesKeepTheirOrderAcrossTurns();
    void ForgottenRequestsAskedAgainWhileOthersRun();
    void FolderQueuedAfterARemovalIsAskedForWhole();

private:
    // The codes and first strings of everything bob receives until it is quiet.
    QStringList Received();

    QueueFixture m_fixture;
    ScriptedPeer m_bob;
};

void TestDownloadQueue::init()
{
    m_fixture.Start();
    QVERIFY(m_fixture.GoOnline());
    QVERIFY(m_bob.Open(m_fixture.mp_messenger, "bob"));
}

void TestDownloadQueue::cleanup()
{
    m_bob = ScriptedPeer();
    m_fixture.TearDown();
}

QStringList TestDownloadQueue::Received()
{
    QStringList out;
    for (const QByteArray& m : m_bob.Drain())
        out << QString::number(Code(m)) + " " + QString::fromLatin1(FirstString(m));
    return out;
}

void TestDownloadQueue::AddingTwiceQueuesOnce()
{
    SetOnline("bob", true);
    SetSetting("transfer_order_counter", "7");
    TransferQueueManager* queue = m_fixture.mp_queue;

    ItemPtr first = queue->AddDownload("bob", "song.mp3", "music\\rock", 5000000000LL, 1);
    ItemPtr again = queue->AddDownload("bob", "song.mp3", "music\\rock", 5000000000LL, 1);
    QCOMPARE(again, first);
    QCOMPARE(T("download_entry")->ItemCount(), size_t(1));
    QCOMPARE(first["download_order"].AsString(), std::string("7"));
    QCOMPARE(GetSetting("transfer_order_counter"), std::string("8"));
    QCOMPARE(first["file_size"].AsInt64(), 5000000000LL);
    QCOMPARE(first["subfolder_save_level"].AsString(), std::string("1"));
    QCOMPARE(Status(first), std::string("queued"));
    QVERIFY(T("user")->HasItem("bob")->IsConnected("is_tracked"));

    // One queue request and one place-in-line request, with the full path.
    QCOMPARE(Received(), QStringList({"43 music\\rock\\song.mp3", "51 music\\rock\\song.mp3"}));

    // A second file of the same folder is its own entry with the next number.
    ItemPtr second = queue->AddDownload("bob", "other.mp3", "music\\rock", 10, 0);
    QVERIFY(second != first);
    QCOMPARE(second["download_order"].AsString(), std::string("8"));
    QCOMPARE(queue->GetDownloadEntry("bob", "other.mp3", "music\\rock"), second);
    QVERIFY(!queue->GetDownloadEntry("bob", "other.mp3", "music"));

    // Order numbers are 64-bit.
    SetSetting("transfer_order_counter", "5000000000");
    ItemPtr third = queue->AddDownload("bob", "third.mp3", "music", 1, 0);
    QCOMPARE(third["download_order"].AsInt64(), 5000000000LL);
    QCOMPARE(GetSetting("transfer_order_counter"), std::string("5000000001"));
}

void TestDownloadQueue::OfflineUserIsAskedWhenOnline()
{
    // Online status comes from the scripted server, as in a real run.
    TestServer& ts = *m_fixture.mp_ts;

    ItemPtr download = m_fixture.mp_queue->AddDownload("bob", "a.flac", "share\\x", 100, 0);
    QCOMPARE(Status(download), std::string("queued"));
    QVERIFY(ts.WaitFor("alice", SM_ADD_USER, 1, g_waitMs));
    QCOMPARE(Received(), QStringList());

    QVERIFY(ts.Send("alice", SM_USER_STATUS, {QJsonArray{"latin1", "bob"}, QJsonArray{"u32", 2}, QJsonArray{"byte", 0}}));
    QCOMPARE(Received(), QStringList({"43 share\\x\\a.flac", "51 share\\x\\a.flac"}));
    QCOMPARE(Status(download), std::string("queued"));
    QCOMPARE(m_fixture.Logged("User bob went online, processing pending downloads"), 1);
}

void TestDownloadQueue::PeriodicCheckAsksAgainInOrder()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    // Added while offline, so nothing is sent yet; carol stays offline.
    ItemPtr queued = queue->AddDownload("bob", "1.mp3", "f", 1, 0);
    ItemPtr aborted = queue->AddDownload("bob", "2.mp3", "f", 1, 0);
    ItemPtr denied = queue->AddDownload("bob", "3.mp3", "f", 1, 0);
    ItemPtr localError = queue->AddDownload("bob", "4.mp3", "f", 1, 0);
    ItemPtr running = queue->AddDownload("bob", "5.mp3", "f", 1, 0);
    ItemPtr carols = queue->AddDownload("carol", "6.mp3", "f", 1, 0);
    queue->SetDownloadEntryStatus(aborted, "aborted");
    queue->SetDownloadEntryStatus(denied, "denied");
    queue->SetDownloadEntryStatus(localError, "local error");
    queue->SetDownloadEntryStatus(running, "downloading");
    // The lowest order number goes last in creation, to show the order rules.
    T("download_order")->HasItem("1")->Disconnect(queued.Get());
    queued += T("download_order")->GetItem("100");
    SetOnline("bob", true);
    m_bob.Drain();

    queue->PeriodicCheck();
    QCOMPARE(Received(), QStringList());

    queue->SetDownloadEntryStatus(running, "aborted");
    queue->PeriodicCheck();
    QCOMPARE(Received(), QStringList({"43 f\\2.mp3", "43 f\\5.mp3", "43 f\\1.mp3"}));
    QCOMPARE(Status(queued), std::string("queued"));
    QCOMPARE(Status(aborted), std::string("aborted"));
    QCOMPARE(Status(running), std::string("aborted"));
    QCOMPARE(Status(carols), std::string("queued"));
    QCOMPARE(m_fixture.Logged("Not currently downloading anything, re-queueing inactive downloads"), 1);
    QCOMPARE(m_fixture.Logged("User bob appears to still be online, re-queueing f\\1.mp3"), 1);
}

void TestDownloadQueue::ComingOnlineSkipsFinishedDownloads()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    ItemPtr complete = queue->AddDownload("bob", "1.mp3", "f", 1, 0);
    queue->AddDownload("bob", "2.mp3", "f", 1, 0);
    ItemPtr denied = queue->AddDownload("bob", "3.mp3", "f", 1, 0);
    ItemPtr localError = queue->AddDownload("bob", "4.mp3", "f", 1, 0);
    ItemPtr aborted = queue->AddDownload("bob", "5.mp3", "f", 1, 0);
    queue->SetDownloadEntryStatus(complete, "complete");
    queue->SetDownloadEntryStatus(denied, "denied");
    queue->SetDownloadEntryStatus(localError, "local error");
    queue->SetDownloadEntryStatus(aborted, "aborted");
    QCOMPARE(Received(), QStringList());

    SetOnline("bob", true);
    QCOMPARE(Received(), QStringList({"43 f\\2.mp3", "51 f\\2.mp3", "43 f\\4.mp3", "51 f\\4.mp3", "43 f\\5.mp3",
                                      "51 f\\5.mp3"}));
    QCOMPARE(Status(localError), std::string("local error"));
    QCOMPARE(m_fixture.Logged("Queueing"), 3);

    // A failed local file is not asked for again by the periodic check.
    queue->PeriodicCheck();
    QCOMPARE(Received(), QStringList({"43 f\\2.mp3", "43 f\\5.mp3"}));
}

void TestDownloadQueue::TransferRequestsAnswered()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    ItemPtr complete = queue->AddDownload("bob", "done.mp3", "f", 10, 0);
    ItemPtr queued = queue->AddDownload("bob", "wanted.mp3", "f", 10, 0);
    queue->SetDownloadEntryStatus(complete, "complete");

    auto request = [&](quint32 i_direction, quint32 i_req, const QByteArray& i_file, qint64 i_size) {
        m_bob.Send(Frame(PM_TRANSFER_REQUEST, U32(i_direction) + U32(i_req) + Str(i_file) + I64(i_size)));
    };

    // Another client asking us to upload this way gets no answer at all.
    request(0, 70, PathOf("f", "wanted.mp3"), 10);
    const size_t itemsBefore = d->ItemCount();
    request(1, 71, PathOf("gone", "never.mp3"), 10);
    request(1, 72, PathOf("f", "done.mp3"), 10);
    const QList<QByteArray> answers = m_bob.Drain();
    QCOMPARE(answers.size(), 2);
    QCOMPARE(answers[0], U32(PM_TRANSFER_RESPONSE) + U32(71) + B8(0) + Str("Cancelled"));
    QCOMPARE(answers[1], U32(PM_TRANSFER_RESPONSE) + U32(72) + B8(0) + Str("Complete"));
    // A request for an unknown file leaves no trace in the store.
    QCOMPARE(d->ItemCount(), itemsBefore);
    QVERIFY(!T("file_name")->HasItem("never.mp3"));
    QVERIFY(!T("remote_folder")->HasItem("gone"));

    // A queued download is accepted without a size; the status waits for
    // the file connection. A larger offered size replaces the queued one.
    request(1, 73, PathOf("f", "wanted.mp3"), 4294967296LL + 5);
    QCOMPARE(m_bob.Next(), U32(PM_TRANSFER_RESPONSE) + U32(73) + B8(1));
    QCOMPARE(Status(queued), std::string("queued"));
    QCOMPARE(queued["remote_transfer_req"].AsString(), std::string("73"));
    QCOMPARE(queued["file_size"].AsInt64(), 4294967296LL + 5);

    // A size of 0 means none was sent: the stored size stays.
    request(1, 74, PathOf("f", "wanted.mp3"), 0);
    QCOMPARE(m_bob.Next(), U32(PM_TRANSFER_RESPONSE) + U32(74) + B8(1));
    QCOMPARE(queued["remote_transfer_req"].AsString(), std::string("74"));
    QCOMPARE(queued["file_size"].AsInt64(), 4294967296LL + 5);

    // A refused offer takes its number from the download an earlier offer
    // gave it to (an uploader that restarted counts again), so that the
    // file connection of the refused offer cannot write into that download.
    request(1, 74, PathOf("gone", "never.mp3"), 10);
    QCOMPARE(m_bob.Next(), U32(PM_TRANSFER_RESPONSE) + U32(74) + B8(0) + Str("Cancelled"));
    QVERIFY(!queued["remote_transfer_req"]);

    // An offer for a download that is running stops the running transfer,
    // keeps its partial file and is accepted.
    ItemPtr busy = queue->AddDownload("bob", "busy.mp3", "f", 1000, 0);
    QTemporaryDir dir;
    const QString partial = dir.filePath("busy.mp3");
    {
        QFile f(partial);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("0123456789");
    }
    RunningDownload run;
    QVERIFY(run.Start(queue, busy, partial));
    request(1, 75, PathOf("f", "busy.mp3"), 1000);
    QCOMPARE(m_bob.Next(), U32(PM_TRANSFER_RESPONSE) + U32(75) + B8(1));
    QCOMPARE(Status(busy), std::string("aborted"));
    QCOMPARE(busy["remote_transfer_req"].AsString(), std::string("75"));
    QVERIFY(RunningDownload::ItemsGone(busy));
    QVERIFY(run.ObjectsFreed());
    QCOMPARE(QFileInfo(partial).size(), qint64(10));
    QCOMPARE(m_fixture.Logged("Transfer is already downloading, cancelling..."), 1);

    // Places in line are kept for known files only.
    m_bob.Send(Frame(PM_UPLOAD_PLACE_IN_LINE, Str(PathOf("f", "wanted.mp3")) + U32(12)));
    m_bob.Send(Frame(PM_UPLOAD_PLACE_IN_LINE, Str(PathOf("nowhere", "x.mp3")) + U32(3)));
    QVERIFY(m_bob.Sync());
    QCOMPARE(queued["place_in_line"].AsString(), std::string("12"));
    QVERIFY(!T("place_in_line")->HasItem("3"));
    QVERIFY(!T("remote_folder")->HasItem("nowhere"));
    QCOMPARE(m_fixture.Logged("Received download request from bob for file f\\wanted.mp3, currently not processing"), 1);
}

void TestDownloadQueue::LongPassesKeepTheirOrderAcrossTurns()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    // Every download in a slice of its own.
    queue->SetPassSlice(0);
    std::vector<ItemPtr> downloads;
    for (int n = 1; n <= 5; ++n)
        downloads.push_back(queue->AddDownload("bob", std::to_string(n) + ".mp3", "f", 1, 0));

    SetOnline("bob", true);
    QVERIFY(queue->IsPassRunning());
    // Removed before its turn: skipped. A periodic check meanwhile waits for
    // the pass ahead of it.
    queue->RemoveDownload(downloads[2]);
    queue->PeriodicCheck();
    ItemPtr later = queue->AddDownload("bob", "6.mp3", "f", 1, 0);
    QTRY_VERIFY(!queue->IsPassRunning());
    // A download added meanwhile is asked for at once, as always.
    QCOMPARE(Received(), QStringList({"43 f\\1.mp3", "51 f\\1.mp3", "43 f\\6.mp3", "51 f\\6.mp3", "43 f\\2.mp3",
                                      "51 f\\2.mp3", "43 f\\4.mp3", "51 f\\4.mp3", "43 f\\5.mp3", "51 f\\5.mp3",
                                      "43 f\\1.mp3", "43 f\\2.mp3", "43 f\\4.mp3", "43 f\\5.mp3"}));

    // A user who goes offline ends that user's pass.
    SetOnline("bob", false);
    SetOnline("bob", true);
    SetOnline("bob", false);
    QTRY_VERIFY(!queue->IsPassRunning());
    QCOMPARE(Received(), QStringList({"43 f\\1.mp3", "51 f\\1.mp3"}));
    QCOMPARE(Status(later), std::string("queued"));
}

// An uploader that forgot a waiting download (it restarted without being
// seen offline, or the request never reached it) is asked again every ten
// minutes, also while a download from someone else runs and the periodic
// check therefore sends nothing.
void TestDownloadQueue::ForgottenRequestsAskedAgainWhileOthersRun()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    QDateTime now = QDateTime::currentDateTime();
    queue->SetClock([&] { return now; });
    ItemPtr queued = queue->AddDownload("bob", "1.mp3", "f", 1, 0);
    ItemPtr aborted = queue->AddDownload("bob", "2.mp3", "f", 1, 0);
    ItemPtr denied = queue->AddDownload("bob", "3.mp3", "f", 1, 0);
    ItemPtr carols = queue->AddDownload("carol", "4.mp3", "f", 1000, 0);
    queue->SetDownloadEntryStatus(aborted, "aborted");
    queue->SetDownloadEntryStatus(denied, "denied");
    QTemporaryDir dir;
    RunningDownload run;
    QVERIFY(run.Start(queue, carols, dir.filePath("4.mp3")));
    SetOnline("bob", true);
    QTRY_VERIFY(!queue->IsPassRunning());
    m_bob.Drain();

    queue->PeriodicCheck();
    QCOMPARE(Received(), QStringList());
    queue->EveryHalfMinute();
    const QStringList again({"43 f\\1.mp3", "51 f\\1.mp3", "43 f\\2.mp3"});
    QCOMPARE(Received(), again);
    now = now.addSecs(599);
    queue->EveryHalfMinute();
    QCOMPARE(Received(), QStringList());
    now = now.addSecs(1);
    queue->EveryHalfMinute();
    QCOMPARE(Received(), again);
    QCOMPARE(Status(queued), std::string("queued"));
    QCOMPARE(Status(aborted), std::string("aborted"));
    queue->RemoveDownload(carols);
}

// Downloads removed while a folder is asked for in slices, then a folder
// queued at once, whose entries take the removed ones' memory: each of its
// files is still asked for.
void TestDownloadQueue::FolderQueuedAfterARemovalIsAskedForWhole()
{
    TransferQueueManager* queue = m_fixture.mp_queue;
    SetOnline("bob", true);
    queue->SetPassSlice(0);
    std::vector<TransferQueueManager::DownloadRequest> first, second;
    for (int n = 0; n < 6; ++n)
    {
        first.push_back({"bob", std::to_string(n), "first", 1, 0});
        second.push_back({"bob", std::to_string(n), "second", 1, 0});
    }
    std::vector<ItemPtr> entries = queue->AddDownloads(first);
    QVERIFY(queue->IsPassRunning());
    std::unordered_set<Item*> freed;
    for (size_t n = 3; n < entries.size(); ++n)
    {
        freed.insert(entries[n].Get());
        queue->RemoveDownload(entries[n]);
    }
    entries = queue->AddDownloads(second);
    QVERIFY(std::any_of(entries.begin(), entries.end(), [&](ItemPtr i_e) { return freed.count(i_e.Get()); }));
    QTRY_VERIFY(!queue->IsPassRunning());
    QStringList asked;
    for (const QString& message : Received())
        if (message.startsWith("43 "))
            asked << message.mid(3);
    QCOMPARE(asked, QStringList({"first\\0", "first\\1", "first\\2", "second\\0", "second\\1", "second\\2",
                                 "second\\3", "second\\4", "second\\5"}));
}

QTEST_MAIN(TestDownloadQueue)
#include "test_download_queue.moc"
