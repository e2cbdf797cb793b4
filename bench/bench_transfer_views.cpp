// The transfers view at size, around the real transfer queue: 10,000
// running downloads, either 100 users x 10 folders x 10 files or one user
// with 10,000 files in 100 folders. Every download reports once a second
// for ten seconds, a second's reports in one burst (counters written, then
// DownloadProgressed, as the queue does), while the form is on screen.
// Target: the event loop never blocked over 100 ms, read as the worst
// lateness of a 10 ms timer. Reported too: main-thread CPU over the ten
// seconds, the rows built at TransfersLoaded (aim 1 s) with the first
// redraw, "Clear Complete" of all of them, and the heap the rows take.
//
// The list's own actions on a large queue: 50,000 downloads of 50 users
// (1,000 each in 100 folders four deep), 16,000 of them complete, the
// first folder of each user wholly; "Clear
// Complete", "Remove downloads" on one user's row (1,000 rows), "Expand
// Folders" off and on, then "Download Folder" of a browsed share's folder
// of 100,000 files. Each timed with the redraw that follows; target under
// 1 s each.
//
// Sanitizer builds, or TV_BENCH_SMALL=1, use a tenth of the downloads and
// two bursts (a tenth of the list and the folder for the actions).

#include "BenchSupport.h"
#include "common/TestEnvironment.h"
#include "QtBenchmarkMain.h"

#include "DataSaver.h"
#include "DownloadMenuOptions.h"
#include "LiveAddresses.h"
#include "PeerMessenger.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "TabWidget.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "TransfersForm.h"
#include "server.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QMenu>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <ctime>
#include <memory>
#include <string>
#include <malloc.h>
#include <vector>

namespace
{

bool Small()
{
    return benchsupport::IsSmallRun();
}

using benchsupport::FreePort;

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Heap in use; what the rows add is its growth while they are built (the
// sanitizers keep their own heap, so it reads 0 there).
double HeapBytes()
{
    return double(mallinfo2().uordblks);
}

// The start-up order up to the transfers view, torn down at the end of a
// run so that each shape starts from an empty store.
class Setup
{
public:
    Setup()
    {
        ResetTestEnvironment();
        mp_server = new Server;
        mp_server->CreateData();
        mp_messenger = new PeerMessenger;
        mp_shares = new SharedFoldersManager;
        mp_queue = new TransferQueueManager;
        SetSetting("username", "alice");
        SetSetting("download_folder", m_folder.path().toUtf8().toStdString());
        SetSetting("listening_port", std::to_string(FreePort()));
        SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
        mp_form = new TransfersForm;
        mp_form->resize(1200, 800);
        // Around the form's own slot: connected before and after it.
        QObject::connect(mp_queue, &TransferQueueManager::TransfersLoaded, [this] { m_rows.start(); });
        mp_form->Init();
        QObject::connect(mp_queue, &TransferQueueManager::TransfersLoaded,
                         [this] { m_rowsMs = m_rows.nsecsElapsed() / 1e6; });
    }

    ~Setup()
    {
        delete mp_form;
        delete mp_queue;
        delete mp_shares;
        delete mp_messenger;
        delete mp_server;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        d->Reset();
    }

    TransfersForm* mp_form;
    TransferQueueManager* mp_queue;
    QElapsedTimer m_rows;
    double m_rowsMs = 0;

private:
    Server* mp_server;
    PeerMessenger* mp_messenger;
    SharedFoldersManager* mp_shares;
    QTemporaryDir m_folder;
};

void BM_TransferViews(benchmark::State& io_state)
{
    const bool oneUser = io_state.range(0) == 1;
    const int total = Small() ? 1000 : 10000;
    const int users = oneUser ? 1 : total / 100;
    const int folders = oneUser ? 100 : 10;
    const int bursts = Small() ? 2 : 10;
    const int burstMs = Small() ? 100 : 1000;

    for (auto _ : io_state)
    {
        Setup setup;
        TransferQueueManager* queue = setup.mp_queue;
        std::vector<Item*> downloads;
        downloads.reserve(total);
        const int perUser = total / users;
        for (int n = 0; n < total; ++n)
        {
            const int user = n / perUser;
            const int folder = (n % perUser) * folders / perUser;
            downloads.push_back(queue->AddDownload("user " + std::to_string(user), "file " + std::to_string(n) + ".mp3",
                                                   "music\\artist " + std::to_string(user) + "\\album " +
                                                       std::to_string(folder),
                                                   40000000 + n, 0));
        }

        // Rows at TransfersLoaded: the form's slot, then its first redraw.
        const double before = HeapBytes();
        dataSaver->NotifyDataLoaded();
        QElapsedTimer timer;
        timer.start();
        QCoreApplication::processEvents();
        const double redrawMs = timer.nsecsElapsed() / 1e6;
        const double rowBytes = (HeapBytes() - before) / total;

        setup.mp_form->show();
        QCoreApplication::processEvents();
        // Every download running.
        for (Item* download : downloads)
        {
            queue->SetDownloadEntryStatus(download, "downloading");
            ItemPtr entry(download);
            entry += T("write_position")->GetItem(Value(NewListed<qint64>(0)));
            entry += T("bytes_per_second")->GetItem(Value(NewListed<int>(0)));
            entry += T("last_receipt_time")->GetItem(Value(NewListed<QDateTime>(QDateTime::currentDateTime())));
        }
        QCoreApplication::processEvents();

        // The bursts, with a 10 ms timer watching how late it fires.
        QEventLoop loop;
        QElapsedTimer sinceTick;
        double worstLateMs = 0;
        QTimer probe;
        probe.setTimerType(Qt::PreciseTimer);
        probe.setInterval(10);
        QObject::connect(&probe, &QTimer::timeout, [&] {
            worstLateMs = std::max(worstLateMs, sinceTick.nsecsElapsed() / 1e6 - 10);
            sinceTick.restart();
        });
        int done = 0;
        double worstBurstMs = 0;
        QTimer burst;
        burst.setInterval(burstMs);
        QObject::connect(&burst, &QTimer::timeout, [&] {
            QElapsedTimer emitting;
            emitting.start();
            const QDateTime now = QDateTime::currentDateTime();
            for (Item* download : downloads)
            {
                ItemPtr entry(download);
                auto* position = LiveObject<qint64>(entry["write_position"]);
                auto* speed = LiveObject<int>(entry["bytes_per_second"]);
                auto* receipt = LiveObject<QDateTime>(entry["last_receipt_time"]);
                *speed = 100 * 1024;
                *position += *speed;
                *receipt = now;
                emit queue->DownloadProgressed(entry);
            }
            worstBurstMs = std::max(worstBurstMs, emitting.nsecsElapsed() / 1e6);
            if (++done == bursts)
                QTimer::singleShot(burstMs / 2, &loop, &QEventLoop::quit);
        });
        const double cpuStart = ThreadCpuSeconds();
        QElapsedTimer wall;
        wall.start();
        sinceTick.start();
        probe.start();
        burst.start();
        loop.exec();
        probe.stop();
        burst.stop();
        const double cpu = ThreadCpuSeconds() - cpuStart;
        const double wallSeconds = wall.nsecsElapsed() / 1e9;

        // Clear Complete of all of them.
        for (Item* download : downloads)
            queue->SetDownloadEntryStatus(download, "complete");
        QCoreApplication::processEvents();
        timer.restart();
        setup.mp_form->OnActionBarTriggered("clear_complete_downloads");
        QCoreApplication::processEvents();
        const double clearMs = timer.nsecsElapsed() / 1e6;
        if (setup.mp_form->DownloadsList()->topLevelItemCount() != 0)
            io_state.SkipWithError("rows left after Clear Complete");

        io_state.counters["downloads"] = total;
        io_state.counters["rows_ms"] = setup.m_rowsMs;
        io_state.counters["first_redraw_ms"] = redrawMs;
        io_state.counters["row_bytes"] = rowBytes;
        io_state.counters["worst_late_ms"] = worstLateMs;
        io_state.counters["worst_burst_emit_ms"] = worstBurstMs;
        io_state.counters["cpu_share"] = cpu / wallSeconds;
        io_state.counters["cpu_s"] = cpu;
        io_state.counters["clear_complete_ms"] = clearMs;
    }
}

// Milliseconds from i_action's start until the event loop has drawn what
// it changed.
template <class F>
double TimedWithRedraw(F i_action)
{
    QElapsedTimer timer;
    timer.start();
    i_action();
    QCoreApplication::processEvents();
    return timer.nsecsElapsed() / 1e6;
}

void BM_TransferListActions(benchmark::State& io_state)
{
    const int scale = Small() ? 10 : 1;
    const int users = 50;
    const int perUser = 1000 / scale;
    const int perFolder = 10;
    const int completeCount = 16000 / scale;
    const int folderFiles = 100000 / scale;
    // Its rows are removed whole, none of them complete; rows are made in
    // queue order, so it is the top-level row of that number.
    const int removedUser = users / 2;

    for (auto _ : io_state)
    {
        Setup setup;
        TransferQueueManager* queue = setup.mp_queue;
        int complete = 0;
        for (int n = 0; n < users * perUser; ++n)
        {
            const int user = n % users;   // users interleave, as a queue fills over time
            const int folder = (n / users) / perFolder;
            ItemPtr download =
                queue->AddDownload("user " + std::to_string(user), "file " + std::to_string(n) + ".mp3",
                                   "music\\genre " + std::to_string(user % 7) + "\\artist " + std::to_string(user) +
                                       "\\album " + std::to_string(folder),
                                   4000000 + n, 0);
            // Each user's first folder is complete throughout: its row goes
            // while the user's row stays.
            if ((n % 3 == 0 || folder == 0) && user != removedUser && complete < completeCount)
            {
                queue->SetDownloadEntryStatus(download, "complete");
                ++complete;
            }
        }
        SharesForm browsing;
        browsing.Init();
        dataSaver->NotifyDataLoaded();
        setup.mp_form->show();
        QCoreApplication::processEvents();
        QTreeWidget* tree = setup.mp_form->DownloadsList();

        // The context menu of a user row in the middle of the list.
        QTreeWidgetItem* userRow = tree->topLevelItem(removedUser);
        const ItemSet ofUser = setup.mp_form->GetNodeDownloadEntryItems(userRow);
        QMenu menu;
        DownloadMenuOptions options(&menu, ofUser);
        const double removeMs = TimedWithRedraw([&] { options.OnRemoveDownloads(); });
        const size_t afterRemove = T("download_entry")->ItemCount();

        const double clearMs =
            TimedWithRedraw([&] { setup.mp_form->OnActionBarTriggered("clear_complete_downloads"); });
        const size_t afterClear = T("download_entry")->ItemCount();

        const double foldersOffMs =
            TimedWithRedraw([&] { setup.mp_form->OnActionBarTriggered("expand_download_folders"); });
        const double foldersOnMs =
            TimedWithRedraw([&] { setup.mp_form->OnActionBarTriggered("expand_download_folders"); });

        // A browsed user's share: one folder with 100 subfolders, all files
        // below them; the user is online, as browsing needs.
        FileInfoMap share;
        for (int n = 0; n < folderFiles; ++n)
            share["share\\album " + std::to_string(n % 100)].insert(
                FileInfo("track " + std::to_string(n) + ".mp3", 5000000 + n));
        share["share"];
        AttributeTranslationTable table;
        ItemPtr(T("user")->GetItem("bob")) += T("is_online")->GetGlobalNullItem();
        browsing.OpenShareBrowse("bob");
        auto* browse = qobject_cast<ShareForm*>(browsing.TabControl()->widget(0));
        sharedFoldersManager->OnUserShare("bob", share, table);
        ItemPtr bobShare = ItemPtr(T("user")->GetItem("bob"))["user_share"];
        Item* root = d->GetItem(bobShare, T("user_share_folder_name")->HasItem("share"), "user_share_folder");
        const size_t beforeFolder = T("download_entry")->ItemCount();
        const double folderMs = TimedWithRedraw([&] { browse->DownloadFolder(root, false); });
        const size_t queuedFromFolder = T("download_entry")->ItemCount() - beforeFolder;

        if (afterRemove + ofUser.size() != size_t(users * perUser) || ofUser.size() != size_t(perUser) ||
            afterClear + complete != afterRemove || queuedFromFolder != size_t(folderFiles))
            io_state.SkipWithError("the actions did not touch the entries they should");

        io_state.counters["downloads"] = users * perUser;
        io_state.counters["clear_complete_rows"] = complete;
        io_state.counters["clear_complete_ms"] = clearMs;
        io_state.counters["remove_user_rows"] = double(ofUser.size());
        io_state.counters["remove_user_ms"] = removeMs;
        io_state.counters["folders_off_ms"] = foldersOffMs;
        io_state.counters["folders_on_ms"] = foldersOnMs;
        io_state.counters["folder_files"] = double(queuedFromFolder);
        io_state.counters["download_folder_ms"] = folderMs;
    }
}

} // namespace

BENCHMARK(BM_TransferListActions)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TransferViews)->Arg(0)->Arg(1)->ArgNames({"one_user"})->Iterations(1)->Unit(benchmark::kMillisecond);

TV_QT_WIDGETS_BENCHMARK_MAIN([] {})
