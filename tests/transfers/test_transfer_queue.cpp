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

QTEST_MAIN(TestTransferQueue)
#include "test_transfer_queue.moc"
