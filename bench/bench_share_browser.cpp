// A browse tab over a large received share: 100,000 files in 5,000 folders
// (depth up to 6, one folder of 10,000 files). Times, in one run, the
// shared-files manager storing the list, then from the stored list's
// arrival to the open tab's tree built and expanded (also as a ratio to the
// storing), listing the large folder, a filter keystroke that matches no
// folder name, "Download Folder" on the root, and closing the tab.
//
// A second benchmark shows a share list as a peer sends it, from the frame
// on a loopback connection to the painted tab, and closes the tab with the
// freed memory handed back, for two shapes of 1,000,000 files or near it:
// 200,000 folders of 2 files and 1,000 folders of 1,000 files. Targets:
// close_ms under 1,000 and under show_ms; rss_closed_mib near rss_before_mib.
//
// Sanitizer builds, or TV_BENCH_SMALL=1, use a share a tenth of the size.

#include "BenchSupport.h"
#include "common/TestEnvironment.h"
#include "QtBenchmarkMain.h"

#include "ActionSetToolBar.h"
#include "Compression.h"
#include "DataSaver.h"
#include "EventToolBar.h"
#include "FrameCodec.h"
#include "HeapMemory.h"
#include "MemStream.h"
#include "PeerMessenger.h"
#include "ProtocolCodes.h"
#include "ShareForm.h"
#include "SharedFoldersManager.h"
#include "SharesForm.h"
#include "TabWidget.h"
#include "TimerManager.h"
#include "TransferQueueManager.h"
#include "server.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QMainWindow>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace
{

using benchsupport::FreePort;
using benchsupport::ResidentMiB;

// Folders level by level below one root, the last levels partly filled, so
// that the deepest lies 6 folders down; the folder "share\f1" holds the
// large part, the others share the rest evenly.
FileInfoMap MakeShare(int i_folders, int i_files, int i_bigFolderFiles, std::string& o_bigFolder)
{
    std::vector<std::string> folders{"share"};
    std::vector<std::string> level{"share"};
    const int fanOut[] = {10, 10, 10, 3, 2};
    for (int depth = 0; depth < 5 && int(folders.size()) < i_folders; ++depth)
    {
        std::vector<std::string> next;
        for (const std::string& parent : level)
            for (int k = 0; k < fanOut[depth] && int(folders.size()) < i_folders; ++k)
            {
                next.push_back(parent + "\\f" + std::to_string(k));
                folders.push_back(next.back());
            }
        level = next;
    }
    o_bigFolder = folders[2];   // share\f1
    FileInfoMap share;
    const int rest = i_files - i_bigFolderFiles;
    const int others = int(folders.size()) - 1;
    int made = 0;
    for (size_t k = 0; k < folders.size(); ++k)
    {
        std::set<FileInfo>& files = share[folders[k]];
        int count = 0;
        if (folders[k] == o_bigFolder)
            count = i_bigFolderFiles;
        else
        {
            count = rest / others;
            if (made < rest % others)
            {
                ++count;
                ++made;
            }
        }
        for (int n = 0; n < count; ++n)
            files.insert(FileInfo("track " + std::to_string(n) + " of folder " + std::to_string(k) + ".mp3",
                                  4000000 + n));
    }
    return share;
}

// What start-up builds for the browse page, without a server: its types
// only, so that with nobody to ask, the peer's name is taken as it is.
class Client
{
public:
    Client()
    {
        ResetTestEnvironment();
        Server().CreateData();
        mp_window = new QMainWindow;
        mp_window->addToolBar(new ActionSetToolBar(mp_window));
        mp_window->addToolBar(new EventToolBar(mp_window));
        SetSetting("username", "alice");
        SetSetting("listening_port", std::to_string(FreePort()));
        SetSetting("obfuscated_listening_port", std::to_string(FreePort()));
        SetSetting("expand_new_shares", "yes");
        new PeerMessenger;
        new SharedFoldersManager(nullptr);
        new TransferQueueManager;
        mp_form = new SharesForm;
        mp_window->setCentralWidget(mp_form);
        mp_form->Init();
        dataSaver->NotifyDataLoaded();
        mp_window->resize(1200, 800);
        mp_window->show();
    }

    ~Client()
    {
        delete mp_window;
        delete transferQueueManager;
        delete sharedFoldersManager;
        delete peerMessenger;
        delete gp_server;
        delete dataSaver;
        delete timerManager;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        d->Reset();
    }

    QMainWindow* mp_window = nullptr;
    SharesForm* mp_form = nullptr;
};

double Ms(QElapsedTimer& io_clock)
{
    const double ms = io_clock.nsecsElapsed() / 1e6;
    io_clock.restart();
    return ms;
}

void BM_BrowseLargeShare(benchmark::State& state)
{
    const bool small = benchsupport::IsSmallRun();
    std::string bigFolder;
    FileInfoMap share = MakeShare(small ? 500 : 5000, small ? 10000 : 100000, small ? 1000 : 10000, bigFolder);
    for (auto _ : state)
    {
        Client client;
        client.mp_form->OpenShareBrowse("bob");
        auto* view = qobject_cast<ShareForm*>(client.mp_form->TabControl()->widget(0));

        // The store's own work ends when the loaded mark is made, just
        // before it is connected and the page's handler builds the tree.
        QElapsedTimer clock;
        qint64 loadedAt = 0;
        T("user_share_loaded")->itemAdded.Add(
            new FunctionHandler<Item*>([&](Item*) { loadedAt = clock.nsecsElapsed(); }));
        AttributeTranslationTable table;
        FileInfoMap records = share;   // the store takes the records it stores
        clock.start();
        sharedFoldersManager->OnUserShare("bob", records, table);
        const double totalMs = clock.nsecsElapsed() / 1e6;
        const double storeMs = loadedAt / 1e6;
        const double treeMs = totalMs - storeMs;
        QCoreApplication::processEvents();

        QTreeWidget* tree = view->FolderTree();
        // The large folder is the root's second row, see MakeShare.
        QTreeWidgetItem* big = tree->topLevelItem(0)->child(1);
        clock.restart();
        tree->setCurrentItem(big);
        const double listMs = Ms(clock);
        const int listed = view->FileList()->topLevelItemCount();

        QLineEdit* filter = view->findChild<QLineEdit*>("filterEdit");
        clock.restart();
        filter->setText("qqzx");
        const double filterMs = Ms(clock);
        filter->setText("");

        tree->setCurrentItem(tree->topLevelItem(0));
        clock.restart();
        emit actionBar->ActionTriggered("download_share_folder");
        const double downloadMs = Ms(clock);
        const size_t queued = T("download_entry")->ItemCount();

        clock.restart();
        emit client.mp_form->TabControl()->tabCloseRequested(0);
        const double closeMs = Ms(clock);

        state.counters["store_ms"] = storeMs;
        state.counters["tree_ms"] = treeMs;
        state.counters["tree_per_store"] = storeMs > 0 ? treeMs / storeMs : 0;
        state.counters["list_big_folder_ms"] = listMs;
        state.counters["listed_files"] = listed;
        state.counters["filter_no_folder_ms"] = filterMs;
        state.counters["download_root_ms"] = downloadMs;
        state.counters["queued"] = double(queued);
        state.counters["close_tab_ms"] = closeMs;
    }
}

// A share list frame as a peer sends it: folders share\artist A\album B,
// nine albums to an artist, each folder with i_files MP3 records.
QByteArray ShareListFrame(int i_folders, int i_files)
{
    std::vector<std::string> paths{"share"};
    for (int artist = 0; int(paths.size()) < i_folders; ++artist)
    {
        const std::string path = "share\\artist " + std::to_string(artist);
        paths.push_back(path);
        for (int album = 0; album < 9 && int(paths.size()) < i_folders; ++album)
            paths.push_back(path + "\\album " + std::to_string(album));
    }
    std::sort(paths.begin(), paths.end());
    MemStream body;
    body.WriteUInt32(quint32(paths.size()));
    for (size_t k = 0; k < paths.size(); ++k)
    {
        body.WriteString(paths[k]);
        body.WriteUInt32(quint32(i_files));
        for (int n = 0; n < i_files; ++n)
        {
            FileInfo file(std::to_string(n + 1) + " - song " + std::to_string(n) + " of folder " + std::to_string(k) +
                              ".mp3",
                          3000000 + qint64(k * 7919 + size_t(n) * 104729) % 9000000);
            file.m_attributes.m_extension = "mp3";
            file.m_attributes.Add(ATTRIBUTE_BITRATE, n % 3 ? 320 : 192);
            file.m_attributes.Add(ATTRIBUTE_LENGTH, 120 + int((k + size_t(n)) % 300));
            file.m_attributes.Add(ATTRIBUTE_VBR, n % 4 == 0);
            file.Write(body);
        }
    }
    body.WriteUInt32(0);
    return FrameCodec::Encode(Compression::CompressMessage(PM_SHARED_FILE_LIST, body, 1));
}

// Showing: from the frame written by the peer to the tab's tree built and
// painted. Closing: the tab's close request with what it leaves for the
// event loop (the deferred deletes, the heap's return to the system).
void BM_ShowAndCloseShare(benchmark::State& state)
{
    const int folders = int(state.range(0)) / (benchsupport::IsSmallRun() ? 10 : 1);
    const int files = int(state.range(1));
    const QByteArray frame = ShareListFrame(folders, files);
    for (auto _ : state)
    {
        Client client;
        QTcpSocket peer;
        // The tab's request goes on bob's connection once the messenger
        // knows it; before that it would wait for a connection of its own.
        const bool open = benchsupport::OpenKnownMessaging(peer, peerMessenger->ListeningPort(), "bob");
        if (!open)
        {
            state.SkipWithError("no connection to the messenger");
            return;
        }
        // Not what an earlier shape left with the heap.
        heapmemory::ReturnFreeMemory();
        const double rssBefore = ResidentMiB();
        client.mp_form->OpenShareBrowse("bob");
        auto* view = qobject_cast<ShareForm*>(client.mp_form->TabControl()->widget(0));
        // The list is taken as the answer to the tab's request, which may
        // still be on its way to the peer.
        QElapsedTimer clock;
        clock.start();
        peer.write(frame);
        const bool shown =
            benchsupport::WaitUntil([&] { return view->FolderTree()->topLevelItemCount() > 0; }, 600000);
        view->FolderTree()->repaint();
        QCoreApplication::processEvents();
        const double showMs = Ms(clock);
        if (!shown)
        {
            state.SkipWithError("the share was not shown");
            return;
        }
        const double rssShown = ResidentMiB();

        clock.restart();
        emit client.mp_form->TabControl()->tabCloseRequested(0);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCoreApplication::processEvents();
        const double closeMs = Ms(clock);
        const double rssClosed = ResidentMiB();

        state.counters["files"] = double(folders) * files;
        state.counters["show_ms"] = showMs;
        state.counters["close_ms"] = closeMs;
        state.counters["close_per_show"] = showMs > 0 ? closeMs / showMs : 0;
        state.counters["rss_before_mib"] = rssBefore;
        state.counters["rss_shown_mib"] = rssShown;
        state.counters["rss_closed_mib"] = rssClosed;
        peer.abort();
    }
}

} // namespace

BENCHMARK(BM_ShowAndCloseShare)
    ->Args({200000, 2})
    ->Args({1000, 1000})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_BrowseLargeShare)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

TV_QT_WIDGETS_BENCHMARK_MAIN([] {})
