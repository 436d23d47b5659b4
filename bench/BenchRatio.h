// Shared by the benchmarks: the usual console table, plus the median times of
// each benchmark so main can print our/peer ratios side by side.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

class MedianReporterC : public benchmark::ConsoleReporter
{
public:
    enum TimeKindE
    {
        // Real time for benchmarks that use it, CPU time for the others.
        TK_OWN,
        TK_REAL,
        TK_CPU
    };

    MedianReporterC() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& vecRuns) override
    {
        benchmark::ConsoleReporter::ReportRuns(vecRuns);
        for (const Run& run : vecRuns) {
            const bool bMedian =
                run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            const bool bSingle = run.run_type == Run::RT_Iteration &&
                                 m_mapTimes.count(run.run_name.function_name) == 0;
            if (bMedian || bSingle) {
                m_mapTimes[run.run_name.function_name] =
                    TimesS{run.GetAdjustedRealTime(), run.GetAdjustedCPUTime(),
                           !run.run_name.time_type.empty()};
            }
        }
    }

    // The median of the repetitions (or the single run's time), or -1.
    double timeOf(const std::string& strName, TimeKindE eKind = TK_OWN) const
    {
        auto it = m_mapTimes.find(strName);
        if (it == m_mapTimes.end()) {
            return -1.0;
        }
        const TimesS& times = it->second;
        const bool bReal = eKind == TK_REAL || (eKind == TK_OWN && times.bRealTime);
        return bReal ? times.dRealNs : times.dCpuNs;
    }

    void printRatio(const char* szLabel, const std::string& strOurs, const std::string& strPeer,
                    TimeKindE eKind = TK_OWN) const
    {
        double dOurs = timeOf(strOurs, eKind);
        double dPeer = timeOf(strPeer, eKind);
        if (dOurs < 0.0 || dPeer <= 0.0) {
            return;
        }
        std::printf("ratio %s: %.2f (%.2f ns vs %.2f ns)\n", szLabel, dOurs / dPeer, dOurs, dPeer);
    }

private:
    struct TimesS
    {
        double dRealNs;
        double dCpuNs;
        bool bRealTime;
    };
    std::map<std::string, TimesS> m_mapTimes;
};

// Runs the registered benchmarks with the reporter, then calls printRatios.
// The repetitions of all benchmarks take turns, so a busy moment of the
// machine does not fall on one side of a ratio only; a later flag on the
// command line wins.
template <class F> int runWithRatios(int argc, char** argv, F&& printRatios)
{
    std::vector<char*> vecArgs(argv, argv + argc);
    char szInterleave[] = "--benchmark_enable_random_interleaving=true";
    vecArgs.insert(vecArgs.begin() + 1, szInterleave);
    int nArgs = static_cast<int>(vecArgs.size());
    benchmark::Initialize(&nArgs, vecArgs.data());
    if (benchmark::ReportUnrecognizedArguments(nArgs, vecArgs.data())) {
        return 1;
    }
    // The C library takes cheaper lock paths until a process starts its
    // second thread; the library always runs beside its reader thread, so
    // every run is measured in that regime.
    std::thread([] {}).join();
    MedianReporterC reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::fflush(stdout);
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
