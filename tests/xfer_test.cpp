// The transfer signal's request codes over its semaphore, and a reader that
// reads while it has consumers. Wake-ups and time-outs are the platform's.
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"

#include <gtest/gtest.h>

using namespace NOX;

TEST(XferProcBase, WaitResultsMapToTheRequestCodes)
{
    BIO::XferProcBaseC xfer;
    EXPECT_EQ(RC_TIMEOUT, xfer.wait(0));
    xfer.signal();
    xfer.signal();
    EXPECT_EQ(RC_OK, xfer.wait(0));
    EXPECT_EQ(RC_TIMEOUT, xfer.wait(0)) << "maximum count 1: the second signal is lost";
}

namespace {

class CountingConsumerC : public BIO::XferProcC<BIO::ReadConsumerC, BIO::ReaderC>
{
public:
    void procReadData(const char*, uint16_t unCount) override { m_unBytes += unCount; }
    unsigned m_unBytes = 0;
};

class TestReaderC : public BIO::ReaderC
{
public:
    void startReading() override { ++m_nStarts; }
    void stopReading() override { ++m_nStops; }
    LONG consumers() const { return m_Consumers.count(); }
    int m_nStarts = 0, m_nStops = 0;
};

} // namespace

TEST(Reader, DistributesToEveryConsumerAndStartsAndStopsWithThem)
{
    TestReaderC reader;
    CountingConsumerC first, second;
    reader.addConsumer(&first);
    reader.addConsumer(&second);
    EXPECT_EQ(1, reader.m_nStarts);

    reader.dispatch("abc", 3);
    EXPECT_EQ(3u, first.m_unBytes);
    EXPECT_EQ(3u, second.m_unBytes);

    reader.removeConsumer(&first);
    EXPECT_EQ(0, reader.m_nStops);
    {
        CountingConsumerC transient;
        reader.addConsumer(&transient);
    }
    EXPECT_EQ(1, reader.consumers()) << "a destroyed consumer leaves the list";
    reader.removeConsumer(&second);
    EXPECT_EQ(1, reader.m_nStops);
}
