// The escape sequence with the real guard period of one second, timed as the
// library times it: 1100 ms of silence, "///" in one write, 1100 ms of silence.
#include "SIM_RawHost.h"
#include "SIM_SimulatedModule.h"

#include <gtest/gtest.h>

using namespace QUENTA::SIM;

namespace {

const uint32_t c_ulLibraryGuardMs = 1100;

class SimEscapeSlowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_module.start());
        ASSERT_TRUE(m_host.open(m_module.slavePath()));
    }

    // The host stays silent for ulMs; the module must stay silent too.
    void silence(uint32_t ulMs) { EXPECT_EQ("", m_host.readFor(ulMs)); }

    SimulatedModuleC m_module; // default: data mode, 115200, one-second guard
    RawHostC m_host;
};

TEST_F(SimEscapeSlowTest, AcceptsTheSequenceAsTheLibrarySendsIt)
{
    ASSERT_TRUE(m_host.write("AT\r"));
    silence(200); // the ping in data mode goes unanswered
    silence(c_ulLibraryGuardMs);
    ASSERT_TRUE(m_host.write("///"));
    silence(c_ulLibraryGuardMs);
    EXPECT_EQ(SM_COMMAND, m_module.mode());
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT", 200));
}

TEST_F(SimEscapeSlowTest, RefusesASequenceFollowedOrPrecededTooSoon)
{
    silence(c_ulLibraryGuardMs);
    ASSERT_TRUE(m_host.write("///"));
    silence(500);
    ASSERT_TRUE(m_host.write("AT\r"));
    silence(c_ulLibraryGuardMs);
    EXPECT_EQ(SM_DATA, m_module.mode()) << "followed too soon";

    ASSERT_TRUE(m_host.write("data"));
    silence(500);
    ASSERT_TRUE(m_host.write("///"));
    silence(c_ulLibraryGuardMs);
    EXPECT_EQ(SM_DATA, m_module.mode()) << "preceded too soon";
    EXPECT_EQ("", m_host.command("AT", 200));
    EXPECT_EQ("///AT\rdata///AT\r", m_module.transcript().joined(EK_DATA));
}

// The configurator tries 921600 with RTS/CTS first, then 115200 without
// handshake; an unconfigured module answers only the second.
TEST_F(SimEscapeSlowTest, AnUnconfiguredModuleIsReachedAtTheSecondLineSetting)
{
    ASSERT_TRUE(m_host.setLine(921600, true));
    for (uint32_t unAttempt = 0; unAttempt < 2; ++unAttempt) {
        ASSERT_TRUE(m_host.write("AT\r"));
        silence(200);
        silence(c_ulLibraryGuardMs);
        ASSERT_TRUE(m_host.write("///"));
        silence(c_ulLibraryGuardMs);
        if (unAttempt == 0) {
            EXPECT_EQ("", m_host.command("AT", 200));
            EXPECT_EQ(SM_DATA, m_module.mode());
            ASSERT_TRUE(m_host.setLine(115200, false));
        }
    }
    EXPECT_EQ("AT\r\r\nOK\r\n", m_host.command("AT", 200));
    EXPECT_NE(std::string::npos, m_module.transcript().joined(EK_NOISE).find("AT\r///AT\r"));
}

} // namespace
