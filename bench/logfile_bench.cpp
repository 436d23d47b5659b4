// What a durable log record costs: the same 100-byte records through the file
// consumer, through a bare loop of write(2) and fdatasync (the limit for this
// durability) and through spdlog's file sink flushed after every record, in
// one run. The consumer without its per-record commit is set against the
// flushed spdlog sink, which does not commit either.
//
// The files go to a fresh directory under $QUENTA_BENCH_DIR, else /tmp; the
// medium decides the figures, so run it where the logs would live.
#include "BenchRatio.h"

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Dbg/NOX_DBG_LogFile.h"

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;

// 99 characters and the line feed.
const std::string c_strRecord = std::string(88, 'r') + " 0123456789\n";

fs::path s_directory;

fs::path benchFile(const char* szName)
{
    fs::path path = s_directory / szName;
    std::error_code error;
    fs::remove(path, error);
    return path;
}

void finish(benchmark::State& state, const fs::path& path)
{
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c_strRecord.size()));
    std::error_code error;
    fs::remove(path, error);
}

void runConsumer(benchmark::State& state, bool bCommit, const char* szName)
{
    const fs::path path = benchFile(szName);
    NOX::DBG::DbgLogFileConsumerC::setCommitEachRecord(bCommit);
    {
        NOX::DBG::DbgLogFileConsumerC consumer(path.string(), 1, 0, 0, NOX::DBG::HDR_NONE, false);
        if (consumer.getPath().empty()) {
            state.SkipWithError("cannot open the log file");
            return;
        }
        for (auto _ : state) {
            consumer.logWrite(c_strRecord.c_str());
        }
    }
    NOX::DBG::DbgLogFileConsumerC::setCommitEachRecord(true);
    finish(state, path);
}

void BM_FileConsumer(benchmark::State& state)
{
    runConsumer(state, true, "consumer.log");
}

void BM_FileConsumerNoCommit(benchmark::State& state)
{
    runConsumer(state, false, "consumer-nocommit.log");
}

void BM_RawWriteDatasync(benchmark::State& state)
{
    const fs::path path = benchFile("raw.log");
    int nFile = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (nFile < 0) {
        state.SkipWithError("cannot open the raw file");
        return;
    }
    for (auto _ : state) {
        if (::write(nFile, c_strRecord.data(), c_strRecord.size()) !=
                static_cast<ssize_t>(c_strRecord.size()) ||
            ::fdatasync(nFile) != 0) {
            state.SkipWithError("write failed");
            break;
        }
    }
    ::close(nFile);
    finish(state, path);
}

void BM_SpdlogFlushed(benchmark::State& state)
{
    const fs::path path = benchFile("spdlog.log");
    auto pSink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path.string(), true);
    spdlog::logger logger("filebench", pSink);
    // The record as it stands: no header, no added line end.
    logger.set_pattern("%v", spdlog::pattern_time_type::utc);
    pSink->set_pattern("%v");
    logger.flush_on(spdlog::level::trace);
    const std::string strMessage = c_strRecord.substr(0, c_strRecord.size() - 1);
    for (auto _ : state) {
        logger.info(strMessage);
    }
    logger.flush();
    finish(state, path);
}

BENCHMARK(BM_RawWriteDatasync)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_FileConsumer)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_SpdlogFlushed)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly(true);
BENCHMARK(BM_FileConsumerNoCommit)->UseRealTime()->Repetitions(3)->ReportAggregatesOnly(true);

void printRate(const MedianReporterC& reporter, const char* szName)
{
    double dNs = reporter.timeOf(szName);
    if (dNs > 0.0) {
        std::printf("%-26s %12.0f records/s\n", szName, 1e9 / dNs);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const char* szBase = std::getenv("QUENTA_BENCH_DIR");
    std::string strTemplate =
        std::string(szBase != nullptr ? szBase : "/tmp") + "/quenta-logbench-XXXXXX";
    if (::mkdtemp(&strTemplate[0]) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    s_directory = strTemplate;
    int nResult = runWithRatios(argc, argv, [](const MedianReporterC& reporter) {
        for (const char* szName : {"BM_RawWriteDatasync", "BM_FileConsumer", "BM_SpdlogFlushed",
                                   "BM_FileConsumerNoCommit"}) {
            printRate(reporter, szName);
        }
        // Times per record: 1.10 is the goal's limit for the durable consumer,
        // 1.00 for the uncommitted one.
        reporter.printRatio("consumer/raw write+fdatasync", "BM_FileConsumer",
                            "BM_RawWriteDatasync");
        reporter.printRatio("consumer without commit/spdlog flushed", "BM_FileConsumerNoCommit",
                            "BM_SpdlogFlushed");
        reporter.printRatio("consumer/spdlog flushed", "BM_FileConsumer", "BM_SpdlogFlushed");
    });
    std::error_code error;
    fs::remove_all(s_directory, error);
    return nResult;
}
