// A browse tab over a large received share: 100,000 files in 5,000 folders
// (depth up to 6, one folder of 10,000 files). Times, in one run, the
// shared-files manager storing the list, then from the stored list's
// arrival to the open tab's tree built and expanded (also as a ratio to the
// storing), listing the large folder, a filter keystroke that matches no
// folder name, "Download Folder" on the root, and closing the tab.
//
// Sanitizer builds, or TV_BENCH_SMALL=1, use a share a tenth of the size.

#include "BenchSupport.h"
#include "common/TestEnvironment.h"
#include "QtBenchmarkMain.h"

#include "ActionSetToolBar.h"
#include "DataSaver.h"
#include "EventToolBar.h"
#include "PeerMessenger.h"
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
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace
{

using benchsupport::FreePort;

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

// What start-up builds for the browse page, without a server to log in to.
class Client
{
public:
    Client()
    {
        ResetTestEnvironment();
        (new Server)->CreateData();
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

} // namespace

BENCHMARK(BM_BrowseLargeShare)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

TV_QT_WIDGETS_BENCHMARK_MAIN([] {})
