// The simulated module's command set, driven by a raw host over the line:
// the exact answer framing of its commands. The controller's own tables
// send each write of its catalogue to this module and read the profiles, the
// version, the address and the paired peer back; here stand the writes it
// never sends and those whose effect a read shows.
#include "SIM_RawHost.h"
#include "SIM_SimulatedModule.h"

#include <gtest/gtest.h>

using namespace QUENTA::SIM;

namespace {

SimConfigS commandConfig()
{
    SimConfigS config;
    config.m_eInitialMode = SM_COMMAND;
    config.m_ulScanMs = 50;
    config.m_ulNameMs = 10;
    config.m_vecDevices = {{"02a0c7a1b2c3r", 7978, "ALPHA", -40},
                           {"02a0c7a1b2c4r", 1234, "Other", -50}};
    return config;
}

class SimCommandsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_module.start());
        ASSERT_TRUE(m_host.open(m_module.slavePath()));
    }

    SimulatedModuleC m_module{commandConfig()};
    RawHostC m_host;
};

TEST_F(SimCommandsTest, AnswersEveryCommandWithTheModulesFraming)
{
    const std::pair<const char*, const char*> exchanges[] = {
        {"AT", "\r\nOK\r\n"},
        {"AT*AGLN?", "\r\n*AGLN:\"QUENTA-SIM\"\r\nOK\r\n"},
        {"AT*AGLN=\"My, Module\",1", "\r\nOK\r\n"},
        {"AT*AGLN?", "\r\n*AGLN:\"My, Module\"\r\nOK\r\n"},
        {"AT*ADRDRP=0", "\r\nERROR\r\n"},
        {"AT*AMRS?", "\r\n*AMRS:9,1,1,1,2\r\nOK\r\n"},
        {"AT*AMRS=12,1,1,1,1,0,1", "\r\nOK\r\n"},
        {"AT*AMRS?", "\r\n*AMRS:12,1,1,1,1\r\nOK\r\n"},
        {"AT*AGND=02a0c7a1b2c4r", "\r\n*AGND:\"Other\"\r\nOK\r\n"},
        {"AT*AGND=02a0c7ffffffr", "\r\nERROR\r\n"},
        {"AT*AGI=2,10,15", "\r\n*AGI:02a0c7a1b2c3r,7978\r\n*AGI:02a0c7a1b2c4r,1234\r\n\r\nOK\r\n"},
        {"AT*AGI=3,10,1", "\r\n*AGI:02a0c7a1b2c3r,7978,0,\"ALPHA\",-40\r\n\r\nOK\r\n"},
        {"AT*AGLC=-2147483648,0", "\r\nOK\r\n"},
        {"AT*AGFP=\"\",1", "\r\nOK\r\n"},
        {"AT*AGSSID=\"net\",0", "\r\nOK\r\n"},
        {"AT*NOPE?", "\r\nERROR\r\n"},
        {"AT&F", "\r\nOK\r\n"},
        {"AT*AGLN?", "\r\n*AGLN:\"QUENTA-SIM\"\r\nOK\r\n"},
        {"ATP", "\r\nOK\r\n"},
        {"AT*ADDM", "\r\nOK\r\n"},
    };
    for (const auto& [szLine, szAnswer] : exchanges) {
        EXPECT_EQ(szLine + std::string("\r") + szAnswer, m_host.command(szLine)) << szLine;
    }
    EXPECT_EQ(SM_DATA, m_module.mode());
}

// A lenient module would hide the library's mistakes: every malformed line is
// refused, and refused lines change nothing.
TEST_F(SimCommandsTest, RefusesBadParametersAndLeavesTheStateAlone)
{
    const char* const lines[] = {
        "AT*AGLN=name,1",
        "AT*AGLN=\"\",1",
        "AT*AGLN=\"x\"",
        "AT*AGLN=\"x\",2",
        "AT*AGLN=\"x\",1,1",
        "AT*AGCM=x,1",
        "AT*AMWIO=256,1",
        "AT*AGSSID=\"123456789012345678901234567890123\",1",
        "AT*ADWDRP=0,02a0c7a1b2c3r,130,0,ALPHA,1",
        "AT*ADWDRP=0,\"02a0c7a1b2c3r\",130,0,\"ALPHA\",1",
        "AT*ADNRP=8,1",
        "AT*AGI=0,10,15",
        "AT*AMRS=10,1,1,1,1,0,1",
        "AT*AMRS=9,5,1,1,1,0,1",
        "AT*AMRS=9,1,1,1,1,0",
        "AT*ADDM=1",
        "AT*AGLN?x",
        "AT*ADDCP",
        "at",
    };
    const SimStateS before = m_module.state();
    for (const char* szLine : lines) {
        EXPECT_EQ(szLine + std::string("\r\r\nERROR\r\n"), m_host.command(szLine)) << szLine;
    }
    const SimStateS after = m_module.state();
    EXPECT_EQ(before.m_strLocalName, after.m_strLocalName);
    EXPECT_EQ(before.m_stored, after.m_stored);
    EXPECT_TRUE(after.m_mapPeers.empty());
    EXPECT_TRUE(after.m_mapWrites.empty());
    EXPECT_EQ(SM_COMMAND, after.m_eMode);
}

} // namespace
