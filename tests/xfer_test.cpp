// The completion signal between a producer thread and a waiting thread.
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace NOX;
using namespace std::chrono_literals;

TEST(XferProcBase, WaitResultsMapToTheRequestCodes)
{
    BIO::XferProcBaseC xfer;
    EXPECT_EQ(RC_TIMEOUT, xfer.wait(0)) << "a zero time-out on an unsignalled semaphore";

    xfer.signal();
    xfer.signal();
    EXPECT_EQ(RC_OK, xfer.wait(0));
    EXPECT_EQ(RC_TIMEOUT, xfer.wait(0)) << "maximum count 1: the second signal is lost";

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RC_TIMEOUT, xfer.wait(100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);

    std::thread producer([&] {
        std::this_thread::sleep_for(20ms);
        xfer.signal();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(RC_OK, xfer.wait(INFINITE)) << "a signal from another thread releases the waiter";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    producer.join();
}

namespace {

class CountingConsumerC : public BIO::XferProcC<BIO::ReadConsumerC, BIO::ReaderC>
{
public:
    void procReadData(const char*, uint16_t unCount) override
    {
        m_unBytes += unCount;
        signal();
    }
    unsigned m_unBytes = 0;
};

class TestReaderC : public BIO::ReaderC
{
public:
    void startReading() override { ++m_nStarts; }
    void stopReading() override { ++m_nStops; }
    LONG consumers() const { return m_Consumers.count(); }
    int m_nStarts = 0;
    int m_nStops = 0;
};

} // namespace

TEST(Reader, DistributesToEveryConsumerAndStartsAndStopsWithThem)
{
    TestReaderC reader;
    CountingConsumerC first;
    CountingConsumerC second;
    reader.addConsumer(&first);
    reader.addConsumer(&second);
    EXPECT_EQ(1, reader.m_nStarts);

    reader.dispatch("abc", 3);
    EXPECT_EQ(3u, first.m_unBytes);
    EXPECT_EQ(3u, second.m_unBytes);
    EXPECT_EQ(RC_OK, first.wait(0));

    reader.removeConsumer(&first);
    EXPECT_EQ(0, reader.m_nStops);
    {
        CountingConsumerC transient;
        reader.addConsumer(&transient);
        EXPECT_EQ(2, reader.consumers());
    }
    EXPECT_EQ(1, reader.consumers()) << "a destroyed consumer leaves the list";
    reader.removeConsumer(&second);
    EXPECT_EQ(1, reader.m_nStops);
}
