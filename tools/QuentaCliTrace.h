// What quenta sees on the serial line: with -v it prints every exchange on
// standard error, time-stamped (line settings, bytes sent and received, the
// silences around an escape sequence); with -vv it adds the library's log
// records, with -vvv also its traces of every call. It also knows whether an
// inquiry is under way and can hold every further write, which is how an
// interrupted run lets the module finish in peace.
#pragma once

#include "TRC_PRT_WireTap.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace QUENTA {
namespace CLI {

class WireTraceC : public TRC::PRT::WireTapI
{
public:
    // Prints only when bPrint; installs itself as the core's tap, for good:
    // it must live as long as the process.
    WireTraceC(std::FILE* pErr, bool bPrint);
    WireTraceC(const WireTraceC&) = delete;
    WireTraceC& operator=(const WireTraceC&) = delete;

    void configured(uint32_t ulBaudRate, bool bRtsCts) override;
    void sent(const char* pData, uint32_t unCount) override;
    void received(const char* pData, uint32_t unCount) override;
    void closed() override;
    bool holdsWrites() override { return m_bHold.load(); }

    void holdWrites() { m_bHold.store(true); }
    // Prints the library's log records among the exchanges: those of info
    // level and above, and with bEveryCall also the traces of every call
    // (where each starts, how long it took) and every finer record.
    void showLibraryRecords(bool bEveryCall);
    void libraryRecord(const std::string& strLog, const std::string& strRecord);
    // An inquiry was sent and its final answer has not come yet.
    bool inquiryUnderWay();

private:
    // Only with -v: without it nothing is formatted on the reader's path.
    void print(const std::string& strEvent);

    using ClockT = std::chrono::steady_clock;
    std::FILE* m_pErr;
    const bool m_bPrint;
    const ClockT::time_point m_tStart;
    std::mutex m_mutex;
    ClockT::time_point m_tLast;
    bool m_bInquiry = false;
    std::string m_strInquiryTail; // the last bytes of its answer, for the final OK
    std::atomic<bool> m_bHold{false};
};

} // namespace CLI
} // namespace QUENTA
