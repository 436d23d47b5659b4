// Shared by the benchmarks: the usual console table, plus the median time of
// each benchmark so main can print wrapper/raw ratios side by side.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

class MedianReporterC : public benchmark::ConsoleReporter
{
public:
    MedianReporterC() : benchmark::ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& vecRuns) override
    {
        benchmark::ConsoleReporter::ReportRuns(vecRuns);
        for (const Run& run : vecRuns) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                m_mapMedianNs[run.run_name.function_name] = run.run_name.time_type.empty()
                                                                ? run.GetAdjustedCPUTime()
                                                                : run.GetAdjustedRealTime();
            } else if (run.run_type == Run::RT_Iteration &&
                       m_mapMedianNs.count(run.run_name.function_name) == 0) {
                m_mapSingleNs[run.run_name.function_name] = run.run_name.time_type.empty()
                                                                ? run.GetAdjustedCPUTime()
                                                                : run.GetAdjustedRealTime();
            }
        }
    }

    // The median of the repetitions, or the single run's time.
    double timeOf(const std::string& strName) const
    {
        auto it = m_mapMedianNs.find(strName);
        if (it != m_mapMedianNs.end()) {
            return it->second;
        }
        auto itSingle = m_mapSingleNs.find(strName);
        return itSingle != m_mapSingleNs.end() ? itSingle->second : -1.0;
    }

    void printRatio(const char* szLabel, const std::string& strOurs,
                    const std::string& strPeer) const
    {
        double dOurs = timeOf(strOurs);
        double dPeer = timeOf(strPeer);
        if (dOurs < 0.0 || dPeer <= 0.0) {
            return;
        }
        std::printf("ratio %s: %.2f (%.2f ns vs %.2f ns)\n", szLabel, dOurs / dPeer, dOurs, dPeer);
    }

private:
    std::map<std::string, double> m_mapMedianNs;
    std::map<std::string, double> m_mapSingleNs;
};

// Runs the registered benchmarks with the reporter, then calls printRatios.
template <class F> int runWithRatios(int argc, char** argv, F&& printRatios)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    MedianReporterC reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::fflush(stdout);
    printRatios(reporter);
    benchmark::Shutdown();
    return 0;
}
