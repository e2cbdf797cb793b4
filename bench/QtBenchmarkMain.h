#pragma once
// The main of a benchmark that needs Qt's event loop objects (sockets,
// timers, threads): the application object lives while the benchmarks run.

#include <QApplication>
#include <QCoreApplication>

#include <benchmark/benchmark.h>

#define TV_QT_BENCHMARK_MAIN()                                   \
    int main(int argc, char** argv)                              \
    {                                                            \
        QCoreApplication app(argc, argv);                        \
        benchmark::Initialize(&argc, argv);                      \
        if (benchmark::ReportUnrecognizedArguments(argc, argv))  \
            return 1;                                            \
        benchmark::RunSpecifiedBenchmarks();                     \
        benchmark::Shutdown();                                   \
        return 0;                                                \
    }

// The same for benchmarks of widgets: a QApplication, on the offscreen
// platform unless another is set. i_atEnd (a callable) runs after the
// benchmarks, while the application object still exists.
#define TV_QT_WIDGETS_BENCHMARK_MAIN(i_atEnd)                    \
    int main(int argc, char** argv)                              \
    {                                                            \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))      \
            qputenv("QT_QPA_PLATFORM", "offscreen");             \
        QApplication app(argc, argv);                            \
        benchmark::Initialize(&argc, argv);                      \
        if (benchmark::ReportUnrecognizedArguments(argc, argv))  \
            return 1;                                            \
        benchmark::RunSpecifiedBenchmarks();                     \
        (i_atEnd)();                                             \
        benchmark::Shutdown();                                   \
        return 0;                                                \
    }
