// The reader thread and the consumer registration of the port base, through a
// port whose reader body each test chooses.
#include "LogCapture.h"
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "TRC_PRT_PortBase.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

using ClockT = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr long c_lBoundMs = 5000;

long msSince(ClockT::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(ClockT::now() - start).count());
}

bool waitFor(const std::function<bool()>& fnDone, long lBoundMs = c_lBoundMs)
{
    const auto start = ClockT::now();
    while (!fnDone()) {
        if (msSince(start) > lBoundMs) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

class TestPortC : public TRC::PRT::PortBaseC
{
public:
    using Body = std::function<void(TestPortC&, int nRun)>;

    explicit TestPortC(Body fnBody = nullptr) : m_fnBody(std::move(fnBody)) {}
    // The body lives in this class: stop the reader before it goes.
    ~TestPortC() override { StopReading(); }

    bool Connect() override { return StartReading(); }
    bool Disconnect() override { return StopReading(); }
    bool IsConnected() override { return isReading(); }
    bool Write(const char*, uint32_t) override { return false; }
    void Read() override
    {
        const int nRun = m_nRuns++;
        if (m_fnBody) {
            m_fnBody(*this, nRun);
        }
        ++m_nEnded;
    }

    // Keeps the reader alive, without spinning, until it is told to stop.
    void idle()
    {
        while (isReading()) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }

    using PortBaseC::deliver;
    using PortBaseC::isReading;

    std::atomic<int> m_nRuns{0};
    std::atomic<int> m_nEnded{0};

private:
    Body m_fnBody;
};

class RecordingConsumerC : public NOX::BIO::XferProcC<NOX::BIO::ReadConsumerC, NOX::BIO::ReaderC>
{
public:
    explicit RecordingConsumerC(size_t nExpected = 1) : m_nExpected(nExpected) {}

    void procReadData(const char* pData, uint16_t unCount) override
    {
        if (m_fnBefore) {
            m_fnBefore();
        }
        std::lock_guard<std::mutex> lock(m_mtx);
        m_strData.append(pData, unCount);
        m_vecSizes.push_back(unCount);
        if (m_strData.size() >= m_nExpected) {
            signal();
        }
    }

    std::string data()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_strData;
    }
    std::vector<uint16_t> sizes()
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_vecSizes;
    }

    std::function<void()> m_fnBefore;

private:
    std::mutex m_mtx;
    size_t m_nExpected;
    std::string m_strData;
    std::vector<uint16_t> m_vecSizes;
};

TEST(PortBaseTest, StopReadingWithoutAThreadSucceedsAndDoesNothing)
{
    TestPortC port([](TestPortC& p, int) { p.idle(); });
    LogCaptureC capture;
    capture.route("PortBaseC", 3);
    EXPECT_TRUE(port.StopReading());
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ(0, port.m_nRuns.load());
    EXPECT_FALSE(port.IsConnected());
    EXPECT_EQ(std::string::npos, capture.joined().find("Error"));
}

TEST(PortBaseTest, SecondStartReadingIsRefusedAndOneThreadRuns)
{
    TestPortC port([](TestPortC& p, int) { p.idle(); });
    EXPECT_TRUE(port.StartReading());
    EXPECT_FALSE(port.StartReading());
    EXPECT_TRUE(port.IsConnected()) << "the running reader is left alone";
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() >= 1; }));
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ(1, port.m_nRuns.load());
    EXPECT_EQ(1, port.m_nEnded.load()) << "StopReading waited for the end";
    EXPECT_FALSE(port.IsConnected());

    EXPECT_TRUE(port.StartReading()) << "a stopped port starts again";
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ(2, port.m_nEnded.load());
}

TEST(PortBaseTest, ReaderThatDoesNotEndInTimeIsLeftBehind)
{
    std::atomic<bool> bRelease(false);
    TestPortC port([&](TestPortC& p, int nRun) {
        if (nRun == 0) {
            waitFor([&] { return bRelease.load(); }, 10000);
        } else {
            p.idle();
        }
    });
    LogCaptureC capture;
    capture.route("PortBaseC", 3);
    ASSERT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 1; }));

    const auto start = ClockT::now();
    EXPECT_FALSE(port.StopReading());
    const long lElapsed = msSince(start);
    EXPECT_GE(lElapsed, 1990);
    EXPECT_LT(lElapsed, 3000);
    EXPECT_NE(std::string::npos, capture.joined().find("Error terminating read thread: "));
    EXPECT_EQ(0, port.m_nEnded.load());

    EXPECT_TRUE(port.StartReading()) << "the handle was forgotten";
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 2; }));
    bRelease = true;
    ASSERT_TRUE(waitFor([&] { return port.m_nEnded.load() == 1; }));
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ(2, port.m_nEnded.load());
}

TEST(PortBaseTest, ConsumerRegisteredBeforeStartGetsTheFirstBytes)
{
    TestPortC port([](TestPortC& p, int nRun) {
        const std::string strFirst = "first" + std::to_string(nRun);
        p.deliver(strFirst.data(), static_cast<uint32_t>(strFirst.size()));
        p.idle();
    });
    RecordingConsumerC consumer(6);
    port.ConnectReadConsumer(&consumer);
    ASSERT_TRUE(port.StartReading());
    ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ("first0", consumer.data());

    // The registration outlives the thread.
    ASSERT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return consumer.data().size() == 12; }));
    EXPECT_EQ("first0first1", consumer.data());
    EXPECT_TRUE(port.StopReading());
    port.ConnectReadConsumer(nullptr);
}

TEST(PortBaseTest, NothingReachesAConsumerAfterUnregistrationReturned)
{
    TestPortC port([](TestPortC& p, int) {
        const char szChunk[16] = "0123456789abcde";
        while (p.isReading()) {
            p.deliver(szChunk, sizeof(szChunk));
        }
    });
    ASSERT_TRUE(port.StartReading());
    for (int nRound = 0; nRound < 200; ++nRound) {
        std::atomic<bool> bGone(false);
        std::atomic<int> nLate(0);
        RecordingConsumerC oldConsumer(64);
        oldConsumer.m_fnBefore = [&] {
            if (bGone) {
                ++nLate;
            }
            std::this_thread::yield();
        };
        port.ConnectReadConsumer(&oldConsumer);
        ASSERT_EQ(NOX::RC_OK, oldConsumer.wait(c_lBoundMs));
        port.ConnectReadConsumer(nullptr);
        bGone = true;
        RecordingConsumerC newConsumer(64);
        port.ConnectReadConsumer(&newConsumer);
        ASSERT_EQ(NOX::RC_OK, newConsumer.wait(c_lBoundMs));
        port.ConnectReadConsumer(nullptr);
        ASSERT_EQ(0, nLate.load()) << "round " << nRound;
    }
    EXPECT_TRUE(port.StopReading());
}

// The consumer's count is 16 bits: larger chunks go out in pieces, all bytes
// in order, none lost.
TEST(PortBaseTest, LargeChunksAreDeliveredInPieces)
{
    struct RowS
    {
        uint32_t unCount;
        std::vector<uint16_t> vecSizes;
    };
    const RowS aRows[] = {
        {1, {1}},
        {65535, {65535}},
        {65536, {65535, 1}},
        {102400, {65535, 36865}},
        {200000, {65535, 65535, 65535, 3395}},
    };
    for (const RowS& row : aRows) {
        SCOPED_TRACE(row.unCount);
        std::string strChunk(row.unCount, '\0');
        for (size_t i = 0; i < strChunk.size(); ++i) {
            strChunk[i] = static_cast<char>((i * 31 + i / 256) & 0xFF);
        }
        TestPortC port([&](TestPortC& p, int) {
            p.deliver(strChunk.data(), row.unCount);
            p.idle();
        });
        RecordingConsumerC consumer(row.unCount);
        port.ConnectReadConsumer(&consumer);
        ASSERT_TRUE(port.StartReading());
        ASSERT_EQ(NOX::RC_OK, consumer.wait(c_lBoundMs));
        EXPECT_TRUE(port.StopReading());
        EXPECT_EQ(row.vecSizes, consumer.sizes());
        EXPECT_TRUE(strChunk == consumer.data());
        port.ConnectReadConsumer(nullptr);
    }
}

// The reader may stop itself (its device vanished); that must not cost the
// stop bound, and the port must start again at once.
TEST(PortBaseTest, ReaderStoppingItselfReturnsAtOnceAndThePortStartsAgain)
{
    std::atomic<bool> bStopResult(false);
    std::atomic<long> lStopMs(-1);
    TestPortC port([&](TestPortC& p, int nRun) {
        if (nRun == 0) {
            const auto start = ClockT::now();
            bStopResult = p.StopReading();
            lStopMs = msSince(start);
        } else {
            p.idle();
        }
    });
    ASSERT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return port.m_nEnded.load() == 1; }));
    EXPECT_TRUE(bStopResult.load());
    EXPECT_LT(lStopMs.load(), 100);
    EXPECT_FALSE(port.IsConnected());

    EXPECT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 2; }));
    EXPECT_TRUE(port.IsConnected());
    EXPECT_TRUE(port.StopReading());
    EXPECT_EQ(2, port.m_nEnded.load());
}

// A reader that stopped itself is still on its way out; a port destroyed or
// restarted in that moment must wait for its end, not run over it.
TEST(PortBaseTest, ReaderThatStoppedItselfIsWaitedForBeforeThePortGoes)
{
    std::atomic<bool> bStopped(false);
    std::atomic<int> nEnded(0);
    auto* pPort = new TestPortC([&](TestPortC& p, int) {
        p.StopReading();
        bStopped = true;
        std::this_thread::sleep_for(milliseconds(50));
        EXPECT_FALSE(p.isReading());
        ++nEnded;
    });
    ASSERT_TRUE(pPort->StartReading());
    ASSERT_TRUE(waitFor([&] { return bStopped.load(); }));
    delete pPort;
    EXPECT_EQ(1, nEnded.load()) << "the destructor returned before the reader ended";

    std::atomic<int> nRunning(0);
    std::atomic<int> nOverlaps(0);
    TestPortC port([&](TestPortC& p, int nRun) {
        if (nRunning++ != 0) {
            ++nOverlaps;
        }
        if (nRun == 0) {
            p.StopReading();
            bStopped = true;
            std::this_thread::sleep_for(milliseconds(50));
        } else {
            p.idle();
        }
        --nRunning;
    });
    bStopped = false;
    ASSERT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return bStopped.load(); }));
    EXPECT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 2; }));
    EXPECT_EQ(0, nOverlaps.load()) << "two readers ran at once";
    EXPECT_TRUE(port.StopReading());
}

// Built over memory that holds a live handle, a port must not take that value
// for a thread of its own: starting and stopping leaves the handle alone.
TEST(PortBaseTest, NewPortHoldsNoStaleThreadHandle)
{
    HANDLE hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, hEvent);
    alignas(TestPortC) unsigned char aStorage[sizeof(TestPortC)];
    for (size_t i = 0; i + sizeof(HANDLE) <= sizeof(aStorage); i += sizeof(HANDLE)) {
        std::memcpy(aStorage + i, &hEvent, sizeof(HANDLE));
    }
    auto* pPort = new (aStorage) TestPortC([](TestPortC& p, int) { p.idle(); });
    EXPECT_TRUE(pPort->StartReading());
    EXPECT_TRUE(pPort->StopReading());
    pPort->~TestPortC();
    EXPECT_TRUE(SetEvent(hEvent)) << "the port closed a handle that was not its own";
    EXPECT_TRUE(CloseHandle(hEvent));
}

TEST(PortBaseTest, StartAndStopAreTraced)
{
    TestPortC port([](TestPortC& p, int) { p.idle(); });
    LogCaptureC capture;
    capture.route("PortBaseC", 4);
    ASSERT_TRUE(port.StartReading());
    ASSERT_TRUE(waitFor([&] { return port.m_nRuns.load() == 1; }));
    port.ConnectReadConsumer(nullptr);
    EXPECT_TRUE(port.StopReading());
    const std::string strLog = capture.joined();
    for (const char* szScope : {"PortBaseC::StartReading", "PortBaseC::StopReading",
                                "PortBaseC::DoRead", "PortBaseC::ConnectReadConsumer"}) {
        EXPECT_NE(std::string::npos, strLog.find(std::string("START ") + szScope + "\n"))
            << szScope;
        EXPECT_NE(std::string::npos, strLog.find(std::string(" ms ") + szScope + "\n")) << szScope;
    }
}

} // namespace
