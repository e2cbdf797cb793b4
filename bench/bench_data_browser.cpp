// The data browser over a store of 1,000,000 items: a valued type of
// 500,000 items and one hub item connected to 500,000 leaves. Targets:
// opening the dialog under 100 ms; selecting the 500,000-item type shows
// rows under 1 s; unfolding the hub's connections under 100 ms; a sweep of
// 100,000 items with the dialog open (their type listed, one shown) at most
// 1.5 x the same sweep without it (counter ratio). Also the log sink: the
// cost per line, and the heap a category takes after 200,000 typical lines
// and after 60,000 lines at the 1,000-character cut.
//
// Sanitizer builds, or TV_BENCH_SMALL=1, use a store a tenth of the size.

#include "BenchSupport.h"
#include "QtBenchmarkMain.h"
#include "DataDialog.h"
#include "DiagnosticsForm.h"
#include "Log.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListView>
#include <QTreeWidget>

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <algorithm>

#include <string>

namespace
{

int Scale(int i_n)
{
    return benchsupport::IsSmallRun() ? i_n / 10 : i_n;
}

std::string Name(const char* ip_prefix, int i_n)
{
    // Not in creation order, so the list really sorts.
    return ip_prefix + std::to_string((unsigned(i_n) * 2654435761u) % 1000000007u);
}

void BuildStore()
{
    static bool built = false;
    if (built)
        return;
    built = true;
    Type* values = d->NewType("bench_value", true, false, true);
    Type* hubs = d->NewType("bench_hub", true, false, true);
    Type* leaves = d->NewType("bench_leaf", false, false, true);
    Relate(hubs, leaves, Many, Many);
    d->NewType("bench_swept", false, false, true);
    const int half = Scale(500000);
    for (int k = 0; k < half; ++k)
        values->GetItem(Name("v", k));
    ItemPtr hub = hubs->GetItem("hub");
    for (int k = 0; k < half - 1; ++k)
        hub += leaves->GetItem(Name("l", k));
}

QTreeWidgetItem* TypeRow(DataDialog* ip_dialog, const char* ip_name)
{
    auto* types = ip_dialog->findChild<QTreeWidget*>("typeList");
    return types->findItems(QString::fromLatin1(ip_name), Qt::MatchExactly, 0).value(0);
}

void Select(DataDialog* ip_dialog, const char* ip_name)
{
    ip_dialog->findChild<QTreeWidget*>("typeList")->setCurrentItem(TypeRow(ip_dialog, ip_name));
}

QAbstractItemModel* ListModel(DataDialog* ip_dialog)
{
    return ip_dialog->findChild<QListView*>("itemList")->model();
}

void Turn()
{
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

void BM_OpenDialog(benchmark::State& state)
{
    BuildStore();
    for (auto _ : state) {
        auto* dialog = new DataDialog(d);
        dialog->show();
        Turn();
        state.PauseTiming();
        delete dialog;
        state.ResumeTiming();
    }
    state.counters["items"] = double(d->ItemCount());
}
BENCHMARK(BM_OpenDialog)->Unit(benchmark::kMillisecond);

void BM_SelectLargeType(benchmark::State& state)
{
    BuildStore();
    DataDialog dialog(d);
    dialog.show();
    Turn();
    for (auto _ : state) {
        state.PauseTiming();
        Select(&dialog, "bench_hub");
        Turn();
        state.ResumeTiming();
        Select(&dialog, "bench_value");
        Turn();
        if (ListModel(&dialog)->rowCount() == 0)
            state.SkipWithError("no rows shown");
    }
    state.counters["listed"] = double(T("bench_value")->ItemCount());
}
BENCHMARK(BM_SelectLargeType)->Unit(benchmark::kMillisecond);

// Clicking the hub builds its first level; expanding a hub node below a
// leaf builds the same level lazily.
void BM_UnfoldHub(benchmark::State& state)
{
    BuildStore();
    DataDialog dialog(d);
    dialog.show();
    Select(&dialog, "bench_hub");
    Turn();
    auto* tree = dialog.findChild<QTreeWidget*>("itemDataTree");
    for (auto _ : state) {
        dialog.OnItemClicked(ListModel(&dialog)->index(0, 0));
        Turn();
        if (tree->topLevelItem(0)->childCount() != DataDialog::MAX_CHILDREN_PER_LEVEL + 1)
            state.SkipWithError("level not built");
    }
}
BENCHMARK(BM_UnfoldHub)->Unit(benchmark::kMillisecond);

void BM_ExpandHubNode(benchmark::State& state)
{
    BuildStore();
    DataDialog dialog(d);
    dialog.show();
    Select(&dialog, "bench_leaf");
    Turn();
    auto* tree = dialog.findChild<QTreeWidget*>("itemDataTree");
    for (auto _ : state) {
        state.PauseTiming();
        dialog.OnItemClicked(ListModel(&dialog)->index(0, 0));
        QTreeWidgetItem* hubNode = tree->topLevelItem(0)->child(0);
        Turn();
        state.ResumeTiming();
        hubNode->setExpanded(true);
        Turn();
        if (hubNode->childCount() != DataDialog::MAX_CHILDREN_PER_LEVEL + 1)
            state.SkipWithError("level not built");
    }
}
BENCHMARK(BM_ExpandHubNode)->Unit(benchmark::kMillisecond);

// The same sweep with and without the dialog, alternately in one run.
void BM_SweepWithDialog(benchmark::State& state)
{
    BuildStore();
    Type* swept = T("bench_swept");
    const int count = Scale(100000);
    double without = 0, with = 0;
    for (auto _ : state) {
        for (int withDialog = 0; withDialog < 2; ++withDialog) {
            for (int k = 0; k < count; ++k)
                swept->GetItem(Name("s", k));
            DataDialog* dialog = nullptr;
            if (withDialog) {
                dialog = new DataDialog(d);
                dialog->show();
                Select(dialog, "bench_swept");
                Turn();
                dialog->OnItemClicked(ListModel(dialog)->index(0, 0));
            }
            QElapsedTimer timer;
            timer.start();
            const size_t removed = d->RemoveDisconnectedItems();
            Turn();
            const double ms = timer.nsecsElapsed() / 1e6;
            (withDialog ? with : without) += ms;
            if (removed != size_t(count) || (dialog && ListModel(dialog)->rowCount() != 0))
                state.SkipWithError("sweep did not remove the items");
            delete dialog;
        }
        state.SetIterationTime((with + without) / 1000.0);
    }
    state.counters["without_ms"] = without / double(state.iterations());
    state.counters["with_ms"] = with / double(state.iterations());
    state.counters["ratio"] = without > 0 ? with / without : 0;
}
BENCHMARK(BM_SweepWithDialog)->UseManualTime()->Unit(benchmark::kMillisecond);

QString LogText(int i_n)
{
    return QStringLiteral("Received a message of type 9 from peer user%1 at 10.0.%2.%3, 1,234 bytes").arg(i_n).arg(i_n % 250).arg(i_n % 7);
}

// A busy client: an event-loop turn every 100 lines shows them.
void BM_LogLine(benchmark::State& state)
{
    DiagnosticsForm form;
    int n = 0;
    for (auto _ : state) {
        Log(QStringLiteral("Peer Messenger"), 1 + n % 3, LogText(n));
        if (++n % 100 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
}
BENCHMARK(BM_LogLine);

// Small blocks and large ones (mapped on their own) alike.
size_t HeapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Typical lines, and lines at the cut (peer-sent names), past the cap.
void BM_LogMemory(benchmark::State& state)
{
    const bool longLines = state.range(0) != 0;
    const int lines = longLines ? std::max(Scale(60000), DiagnosticsForm::MAX_LINES_PER_TAB + 1000) : Scale(200000);
    for (auto _ : state) {
        const size_t before = HeapInUse();
        auto* form = new DiagnosticsForm;
        for (int n = 0; n < lines; ++n) {
            const QString text = longLines ? LogText(n).repeated(20) : LogText(n);
            Log(QStringLiteral("Peer Messenger"), 1 + n % 3, text);
            if (n % 100 == 99)
                QCoreApplication::processEvents();
        }
        QCoreApplication::processEvents();
        state.counters["heap_mb"] = double(HeapInUse() - before) / (1024.0 * 1024.0);
        state.counters["lines"] = lines;
        delete form;
    }
}
BENCHMARK(BM_LogMemory)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

TV_QT_WIDGETS_BENCHMARK_MAIN([] {})
