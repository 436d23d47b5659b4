// Answer processing of the request engine: a typical one-field answer, and a
// 15-device inquiry answer delivered whole and byte by byte, with the plain
// search for the final OK in the same bytes as the reference. Heap
// allocations made during processing are counted through a replaced global
// operator new and reported per answer ("allocs").
#include "TRC_CFG_InquiryRequest.h"
#include "TRC_CFG_ResponseParam.h"
#include "TRC_CFG_TaviRequest.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

// The replacements below pair malloc with free, which GCC cannot see through.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

std::atomic<bool> g_bCounting{false};
std::atomic<uint64_t> g_unAllocations{0};

} // namespace

void* operator new(std::size_t unSize)
{
    if (g_bCounting.load(std::memory_order_relaxed)) {
        g_unAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (void* p = std::malloc(unSize != 0 ? unSize : 1)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

using namespace TRC::CFG;

namespace {

// Requests are used once: each answer goes to a fresh one from a pool that is
// rebuilt outside the timed region.
constexpr size_t c_unPoolSize = 256;

const std::string c_oneFieldAnswer = "AT*AGLN?\r\r\n*AGLN:\"QUENTA-1\"\r\nOK\r\n";

std::string inquiryAnswer()
{
    std::string strAnswer = "AT*AGI=2,10,15\r\r\n";
    for (int i = 0; i < 15; ++i) {
        char szLine[64];
        std::snprintf(szLine, sizeof(szLine), "*AGI:02A0C70000%02d,7978\r\n", i);
        strAnswer += szLine;
    }
    return strAnswer + "\r\nOK\r\n";
}

const std::string c_inquiryAnswer = inquiryAnswer();

struct ReadRequestS
{
    ReadRequestS() : request("AGLN", RT_READ, 1000) { request.addResponseParam(&name); }
    TaviDeviceRequestC request;
    BasicStringResponseParamC name;
};

void reportCounters(benchmark::State& state, size_t unAnswerBytes, uint64_t unAllocations)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * unAnswerBytes));
    state.counters["bytes"] = static_cast<double>(unAnswerBytes);
    // Seconds per byte, printed with an SI prefix ("ns").
    state.counters["per_byte"] =
        benchmark::Counter(static_cast<double>(state.iterations() * unAnswerBytes),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs"] =
        benchmark::Counter(static_cast<double>(unAllocations), benchmark::Counter::kAvgIterations);
}

template <class RequestT, class MakeT, class ProcessT>
void runPooled(benchmark::State& state, size_t unAnswerBytes, MakeT make, ProcessT process)
{
    std::vector<std::unique_ptr<RequestT>> vecPool;
    size_t unNext = c_unPoolSize;
    uint64_t unAllocations = 0;
    for (auto _ : state) {
        if (unNext == c_unPoolSize) {
            state.PauseTiming();
            vecPool.clear();
            for (size_t i = 0; i < c_unPoolSize; ++i) {
                vecPool.emplace_back(make());
            }
            unNext = 0;
            state.ResumeTiming();
        }
        RequestT& req = *vecPool[unNext++];
        uint64_t unBefore = g_unAllocations.load(std::memory_order_relaxed);
        g_bCounting.store(true, std::memory_order_relaxed);
        process(req);
        g_bCounting.store(false, std::memory_order_relaxed);
        unAllocations += g_unAllocations.load(std::memory_order_relaxed) - unBefore;
        benchmark::DoNotOptimize(req);
    }
    reportCounters(state, unAnswerBytes, unAllocations);
}

void deliverWhole(TaviDeviceRequestC& req, const std::string& strAnswer)
{
    req.procReadData(strAnswer.data(), static_cast<uint16_t>(strAnswer.size()));
}

void deliverBytes(TaviDeviceRequestC& req, const std::string& strAnswer)
{
    for (char c : strAnswer) {
        req.procReadData(&c, 1);
    }
}

void BM_OneFieldAnswerWhole(benchmark::State& state)
{
    runPooled<ReadRequestS>(
        state, c_oneFieldAnswer.size(), [] { return new ReadRequestS; },
        [](ReadRequestS& r) {
            deliverWhole(r.request, c_oneFieldAnswer);
            if (r.request.getReturnCode() != RC_OK || r.name.getValue() != "QUENTA-1") {
                std::abort();
            }
        });
}

DeviceInquiryRequestC* makeInquiry()
{
    return new DeviceInquiryRequestC("AGI", 10, 2, 15, 15000);
}

void checkInquiry(DeviceInquiryRequestC& inquiry)
{
    if (inquiry.getReturnCode() != RC_OK) {
        std::abort();
    }
}

void BM_InquiryAnswerWhole(benchmark::State& state)
{
    runPooled<DeviceInquiryRequestC>(state, c_inquiryAnswer.size(), makeInquiry,
                                     [](DeviceInquiryRequestC& inquiry) {
                                         deliverWhole(inquiry, c_inquiryAnswer);
                                         checkInquiry(inquiry);
                                     });
}

void BM_InquiryAnswerByteByByte(benchmark::State& state)
{
    runPooled<DeviceInquiryRequestC>(state, c_inquiryAnswer.size(), makeInquiry,
                                     [](DeviceInquiryRequestC& inquiry) {
                                         deliverBytes(inquiry, c_inquiryAnswer);
                                         checkInquiry(inquiry);
                                     });
}

// The least any recogniser does: one search for the final OK.
void BM_ReferenceFindOk(benchmark::State& state)
{
    std::string_view answer(c_inquiryAnswer);
    for (auto _ : state) {
        benchmark::DoNotOptimize(answer.find("\r\nOK\r\n"));
    }
    reportCounters(state, c_inquiryAnswer.size(), 0);
}

} // namespace

BENCHMARK(BM_OneFieldAnswerWhole);
BENCHMARK(BM_InquiryAnswerWhole);
BENCHMARK(BM_InquiryAnswerByteByByte);
BENCHMARK(BM_ReferenceFindOk);
BENCHMARK_MAIN();
