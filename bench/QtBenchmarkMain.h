#pragma once
// The main of a benchmark that needs Qt's event loop objects (sockets,
// timers, threads): the application object lives while the benchmarks run.

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
