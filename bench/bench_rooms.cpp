// The room list at size, through the store and the main window's handlers:
// 20,000 rooms as one room list fills the Rooms tab, then a second list
// with every count changed updates the rows. Targets: the fill under 0.5 s,
// the update under 1 s. Both include the list's deferred sort.
//
// The window runs offline with a home of its own, so no state file of the
// user is read or written. Sanitizer builds, or TV_BENCH_SMALL=1, use a
// tenth of the rooms.

#include "BenchSupport.h"
#include "QtBenchmarkMain.h"

#include "Data.h"
#include "DelayedInvoker.h"
#include "mainwindow.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

namespace
{

int RoomCount()
{
    return benchsupport::IsSmallRun() ? 2000 : 20000;
}

// Not in creation order, so the list really sorts.
std::string RoomName(int i_n)
{
    return "room " + std::to_string((unsigned(i_n) * 2654435761u) % 1000000007u);
}

// One window for the whole run, started the first time it is needed and
// closed before the application object goes.
std::unique_ptr<MainWindow> g_window;

MainWindow* Window()
{
    static QTemporaryDir home;
    std::unique_ptr<MainWindow>& window = g_window;
    if (!window)
    {
        qputenv("HOME", home.path().toLocal8Bit());
        // The first-start credentials dialog is cancelled: the client stays
        // offline.
        QTimer cancel;
        QObject::connect(&cancel, &QTimer::timeout, [] {
            if (QWidget* modal = QApplication::activeModalWidget())
                QMetaObject::invokeMethod(modal, "reject", Qt::QueuedConnection);
        });
        cancel.start(10);
        window = std::make_unique<MainWindow>();
        window->setVisible(true);
        window->Init();
        // As the user sees it: the Rooms tab in front.
        window->Form()->tabControl->setCurrentWidget(window->Form()->roomsTab);
    }
    return window.get();
}

// One room list as the server connection stores it.
void StoreRoomList(int i_countBase)
{
    Type* room = T("room");
    Type* userCount = T("user_count");
    const int rooms = RoomCount();
    for (int n = 0; n < rooms; ++n)
        ItemPtr(room->GetItem(RoomName(n))) += userCount->GetItem(Value(i_countBase + n % 500));
}

// The list sorts, and shows changed counts, once the event loop turns.
void Settle()
{
    do
        QCoreApplication::processEvents();
    while (delayedInvoker && delayedInvoker->PendingCount() > 0);
}

void BM_RoomListFill(benchmark::State& io_state)
{
    MainWindow* window = Window();
    for (auto _ : io_state)
    {
        StoreRoomList(1);
        Settle();
    }
    io_state.counters["rows"] = window->Form()->roomList->topLevelItemCount();
}
BENCHMARK(BM_RoomListFill)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_RoomListUpdate(benchmark::State& io_state)
{
    MainWindow* window = Window();
    int base = 1000;
    for (auto _ : io_state)
    {
        StoreRoomList(base);
        Settle();
        base += 1000;
    }
    QTreeWidget* list = window->Form()->roomList;
    io_state.counters["rows"] = list->topLevelItemCount();
    // The counts of the last list, shown.
    io_state.counters["count"] = list->topLevelItem(0)->text(1).toInt() >= base - 1000 ? 1 : 0;
}
BENCHMARK(BM_RoomListUpdate)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

TV_QT_WIDGETS_BENCHMARK_MAIN([] { g_window.reset(); })
