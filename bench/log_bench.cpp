// What logging costs while it is silent: a suppressed log call and an
// inactive trace scope, against a bare loop and spdlog's call at a disabled
// level, in one run. Counts heap allocations on the silent path.
#include "AllocCounter.h"
#include "BenchRatio.h"

#include "Nox_Dbg/nox_dbg_perflog.h"

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

namespace {

NOX::DBG::PerformanceLoggableC g_Loggable("SilentBench");

void reportAllocations(benchmark::State& state, unsigned long ulBefore)
{
    state.counters["allocs/iter"] =
        benchmark::Counter(static_cast<double>(g_ulAllocations.load() - ulBefore) /
                           static_cast<double>(state.iterations()));
}

void BM_BareLoop(benchmark::State& state)
{
    int i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(++i);
    }
}

void BM_SuppressedLog(benchmark::State& state)
{
    int i = 0;
    unsigned long ulBefore = g_ulAllocations.load();
    for (auto _ : state) {
        g_Loggable.log(NOX::DBG::LVL_FINE, "value %d\r\n", ++i);
        benchmark::DoNotOptimize(i);
    }
    reportAllocations(state, ulBefore);
}

void BM_InactiveScope(benchmark::State& state)
{
    int i = 0;
    unsigned long ulBefore = g_ulAllocations.load();
    for (auto _ : state) {
        NOX::DBG::PerformanceLogC scope(&g_Loggable, "SilentBench::op");
        scope << "value " << ++i << NOX::DBG::endl;
        benchmark::DoNotOptimize(i);
    }
    reportAllocations(state, ulBefore);
}

void BM_SpdlogDisabled(benchmark::State& state)
{
    auto logger =
        std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>());
    logger->set_level(spdlog::level::err);
    int i = 0;
    unsigned long ulBefore = g_ulAllocations.load();
    for (auto _ : state) {
        logger->debug("value {}", ++i);
        benchmark::DoNotOptimize(i);
    }
    reportAllocations(state, ulBefore);
}

BENCHMARK(BM_BareLoop)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SuppressedLog)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_InactiveScope)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_SpdlogDisabled)->Repetitions(5)->ReportAggregatesOnly(true);

} // namespace

int main(int argc, char** argv)
{
    return runWithRatios(argc, argv, [](const MedianReporterC& reporter) {
        reporter.printRatio("suppressed log/spdlog disabled", "BM_SuppressedLog",
                            "BM_SpdlogDisabled");
        reporter.printRatio("inactive scope/spdlog disabled", "BM_InactiveScope",
                            "BM_SpdlogDisabled");
        reporter.printRatio("suppressed log/bare loop", "BM_SuppressedLog", "BM_BareLoop");
    });
}
