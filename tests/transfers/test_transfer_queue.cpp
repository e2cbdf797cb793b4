// The transfer queue's model: its schema, the settings of a first run, what
// the state file keeps of downloads and completed downloads, and the release
// of a download's run-time objects.

#include "TransferTestSupport.h"

#include <QDir>

using namespace transfertest;

class TestTransferQueue : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { m_fixture.TearDown(); }

    void FirstRunSettingsAndActiveStatuses();
    void LeavingDownloadingReleasesTheTransfer();
    void StatePersistsAcrossRestart();

private:
    QueueFixture m_fixture;
};

void TestTransferQueue::FirstRunSettingsAndActiveStatuses()
{
    m_fixture.Build();
    QSignalSpy loaded(m_fixture.mp_queue, &TransferQueueManager::TransfersLoaded);
    m_fixture.Listen();
    dataSaver->NotifyDataLoaded();
    QCOMPARE(loaded.count(), 1);
    QCOMPARE(transferQueueManager, m_fixture.mp_queue);

    QCOMPARE(FromUtf8(GetSetting("download_folder")), QDir::homePath() + "/Tavrinel Downloads");
    QCOMPARE(GetSetting("transfer_order_counter"), std::string("1"));
    QCOMPARE(GetSetting("transfer_req_counter"), std::string("1"));
    QCOMPARE(GetSetting("upload_speed_limit"), std::string("0"));
    QCOMPARE(GetSetting("upload_speed_limit_enabled"), std::string("no"));
    QCOMPARE(GetSetting("upload_slots"), std::string("1"));

    // Exactly these statuses are active, all through the one shared flag.
    Item* flag = T("is_active")->GetGlobalNullItem();
    QCOMPARE(T("is_active")->ItemCount(), size_t(1));
    QStringList active;
    for (const char* type : {"download_entry_status", "upload_entry_status"})
        for (Item* status : flag->GetItems(type))
            active << QString::fromLatin1(type) + ":" + QString::fromLatin1(status->AsCStr());
    active.sort();
    QCOMPARE(active, QStringList({"download_entry_status:downloading", "upload_entry_status:connecting",
                                  "upload_entry_status:requesting", "upload_entry_status:uploading",
                                  "upload_entry_status:waiting for offset"}));
}

void TestTransferQueue::LeavingDownloadingReleasesTheTransfer()
{
    m_fixture.Start();
    TransferQueueManager* queue = m_fixture.mp_queue;
    const QString partialA = m_fixture.m_dir.filePath("a.bin");
    const QString partialB = m_fixture.m_dir.filePath("b.bin");
    for (const QString& path : {partialA, partialB})
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("abc");
    }

    // Aborting stops the thread at once, frees what the transfer held and
    // keeps the partial file.
    ItemPtr a = queue->AddDownload("bob", "a.bin", "f", 1000, 0);
    RunningDownload runA;
    QVERIFY(runA.Start(queue, a, partialA));
    QVERIFY(T("write_position")->HasItem(Value(runA.objects[0])));
    queue->SetDownloadEntryStatus(a, "aborted");
    QVERIFY(runA.thread && runA.thread->isFinished());
    QVERIFY(RunningDownload::ItemsGone(a));
    QVERIFY(runA.ObjectsFreed());
    // The thread goes on a later turn, after the signal it sent on its way
    // out has found no download.
    QTRY_VERIFY(runA.thread.isNull() && runA.socket.isNull());
    QCOMPARE(Status(a), std::string("aborted"));
    QVERIFY(a["last_status_change_time"]);

    // Leaving an inactive status releases nothing (and needs nothing).
    queue->SetDownloadEntryStatus(a, "queued");
    QCOMPARE(Status(a), std::string("queued"));

    // Removal does the same and takes the entry.
    ItemPtr b = queue->AddDownload("bob", "b.bin", "f", 1000, 0);
    RunningDownload runB;
    QVERIFY(runB.Start(queue, b, partialB));
    queue->RemoveDownload(b);
    QVERIFY(!m_fixture.mp_queue->GetDownloadEntry("bob", "b.bin", "f"));
    QVERIFY(runB.thread && runB.thread->isFinished());
    QVERIFY(runB.ObjectsFreed());
    QTRY_VERIFY(runB.thread.isNull() && runB.socket.isNull());

    for (const QString& path : {partialA, partialB})
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), QByteArray("abc"));
    }
}

void TestTransferQueue::StatePersistsAcrossRestart()
{
    // The search view ties downloads to the search they came from.
    auto searchViewSchema = [] { Relate(T("download_entry"), T("search_request_text"), Many, One); };
    m_fixture.Start();
    searchViewSchema();
    TransferQueueManager* queue = m_fixture.mp_queue;

    ItemPtr running = queue->AddDownload("bob", "x.mp3", "f\\g", 123, 1);
    queue->SetDownloadEntryStatus(running, "downloading");
    ItemPtr finished = queue->AddDownload("dave", "z.mp3", "k", 1, 0);
    queue->SetDownloadEntryStatus(finished, "complete");

    // A finished download's record outlives its entry, search text included.
    ItemPtr searched = queue->AddDownload("carol", "y.mp3", "h", 5, 0);
    ItemPtr text = T("search_request_text")->GetItem("y query");
    searched += text;
    ItemPtr record = T("complete_download")->NewItem();
    record += T("user")->GetItem("carol");
    record += T("complete_download_folder")->GetItem("\\d\\complete\\h");
    record += T("complete_download_relative_folder")->GetItem("\\h");
    record += T("complete_download_filename")->GetItem("y.mp3");
    record += T("complete_download_file_size")->GetItem("5");
    record += T("complete_download_completion_time")->GetItem("Mon Dec 7 10:00:00 2026");
    record += text;
    queue->RemoveDownload(searched);

    SetSetting("upload_slots", "3");
    SetSetting("upload_speed_limit", "20");
    SetSetting("upload_speed_limit_enabled", "yes");

    // With nothing running, the shared flag alone keeps "downloading" active.
    queue->SetDownloadEntryStatus(running, "aborted");
    d->RemoveDisconnectedItems();
    QVERIFY(ItemPtr(T("download_entry_status")->HasItem("downloading")).IsConnected("is_active"));
    queue->SetDownloadEntryStatus(running, "downloading");

    m_fixture.RoundTrip(searchViewSchema);

    ItemPtr loaded = m_fixture.mp_queue->GetDownloadEntry("bob", "x.mp3", "f\\g");
    QVERIFY(loaded);
    QCOMPARE(Status(loaded), std::string("queued"));
    QCOMPARE(loaded["file_size"].AsString(), std::string("123"));
    QCOMPARE(loaded["subfolder_save_level"].AsString(), std::string("1"));
    QCOMPARE(loaded["download_order"].AsString(), std::string("1"));
    QCOMPARE(Status(m_fixture.mp_queue->GetDownloadEntry("dave", "z.mp3", "k")), std::string("complete"));
    QVERIFY(!m_fixture.mp_queue->GetDownloadEntry("carol", "y.mp3", "h"));
    for (const char* user : {"bob", "dave"})
        QVERIFY(T("user")->HasItem(user)->IsConnected("is_tracked"));
    QCOMPARE(GetSetting("transfer_order_counter"), std::string("4"));
    QCOMPARE(GetSetting("upload_slots"), std::string("3"));
    QCOMPARE(GetSetting("upload_speed_limit_enabled"), std::string("yes"));

    QCOMPARE(T("complete_download")->ItemCount(), size_t(1));
    ItemPtr kept = T("complete_download")->GetItems().First();
    QCOMPARE(kept["search_request_text"].AsString(), std::string("y query"));
    QCOMPARE(kept["user"].AsString(), std::string("carol"));
    QCOMPARE(kept["complete_download_relative_folder"].AsString(), std::string("\\h"));
    QCOMPARE(kept["complete_download_file_size"].AsString(), std::string("5"));

    // Still active after the load and a sweep.
    d->RemoveDisconnectedItems();
    QVERIFY(ItemPtr(T("download_entry_status")->HasItem("downloading")).IsConnected("is_active"));
    QCOMPARE(T("is_active")->ItemCount(), size_t(1));
}

QTEST_MAIN(TestTransferQueue)
#include "test_transfer_queue.moc"
