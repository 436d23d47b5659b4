// The simulated module's command set, driven by a raw host over the line:
// the exact answer framing of every command, strict parameter checks, and
// the state each write leaves behind.
#include "SIM_RawHost.h"
#include "SIM_SimulatedModule.h"

#include <gtest/gtest.h>

using namespace QUENTA::SIM;

namespace {

class SimCommandsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SimConfigS config;
        config.m_eInitialMode = SM_COMMAND;
        config.m_ulScanMs = 50;
        config.m_ulNameMs = 10;
        config.m_ulRestartMs = 50;
        config.m_vecDevices = {{"0012f3a1b2c3r", 7978, "ALPHA", -40},
                               {"0012f3a1b2c4r", 1234, "Other", -50},
                               {"0012f3a1b2c5r", 7978, "BRAVO", -60}};
        m_pModule.reset(new SimulatedModuleC(config));
        ASSERT_TRUE(m_pModule->start());
        ASSERT_TRUE(m_host.open(m_pModule->slavePath()));
    }

    // The line's echo, then the answer.
    std::string answerTo(const std::string& strLine)
    {
        const std::string strReceived = m_host.command(strLine);
        const std::string strEcho = strLine + "\r";
        EXPECT_EQ(strEcho, strReceived.substr(0, strEcho.size())) << strLine;
        return strReceived.size() >= strEcho.size() ? strReceived.substr(strEcho.size())
                                                    : strReceived;
    }

    std::unique_ptr<SimulatedModuleC> m_pModule;
    RawHostC m_host;
};

struct ExchangeS
{
    const char* m_szLine;
    const char* m_szAnswer;
};

TEST_F(SimCommandsTest, AnswersEveryCommandWithTheModulesFraming)
{
    const ExchangeS exchanges[] = {
        {"AT", "\r\nOK\r\n"},
        {"AT*AGLN?", "\r\n*AGLN:\"QUENTA-SIM\"\r\nOK\r\n"},
        {"AT*AGLN=\"My, Module\",1", "\r\nOK\r\n"},
        {"AT*AGLN?", "\r\n*AGLN:\"My, Module\"\r\nOK\r\n"},
        {"AT*AILBA?", "\r\n*AILBA:0012f3000001r\r\nOK\r\n"},
        {"AT*AILVI?", "\r\n*AILVI:\"QUENTA\",\"SIM-1\",\"1.0.0\",\"1\",\"0001\"\r\nOK\r\n"},
        {"AT*ADDCP=0,1", "\r\nOK\r\n"},
        {"AT*ADDCP?", "\r\n*ADDCP:0\r\nOK\r\n"},
        {"AT*ADDSP=255,1", "\r\nOK\r\n"},
        {"AT*ADDSP?", "\r\n*ADDSP:255\r\nOK\r\n"},
        {"AT*ADRDRP=0", "\r\nERROR\r\n"},
        {"AT*ADWDRP=0,0012f3a1b2c3r,130,0,\"ALPHA\",1", "\r\nOK\r\n"},
        {"AT*ADRDRP=0", "\r\n*ADRDRP:0012f3a1b2c3r,130,0,\"ALPHA\"\r\nOK\r\n"},
        {"AT*ADNRP=0,1", "\r\nOK\r\n"},
        {"AT*ADRDRP=0", "\r\n*ADRDRP:0012f3a1b2c3r,130,0,\"ALPHA\"\r\nOK\r\n"},
        {"AT*AMRS?", "\r\n*AMRS:9,1,1,1,2\r\nOK\r\n"},
        {"AT*AMRS=12,1,1,1,1,0,1", "\r\nOK\r\n"},
        {"AT*AMRS?", "\r\n*AMRS:12,1,1,1,1\r\nOK\r\n"},
        {"AT*AGND=0012f3a1b2c5r", "\r\n*AGND:\"BRAVO\"\r\nOK\r\n"},
        {"AT*AGND=0012f3ffffffr", "\r\nERROR\r\n"},
        {"AT*AGI=2,10,15",
         "\r\n*AGI:0012f3a1b2c3r,7978\r\n*AGI:0012f3a1b2c4r,1234\r\n*AGI:0012f3a1b2c5r,7978\r\n"
         "\r\nOK\r\n"},
        {"AT*AGI=2,10,2", "\r\n*AGI:0012f3a1b2c3r,7978\r\n*AGI:0012f3a1b2c4r,1234\r\n\r\nOK\r\n"},
        {"AT*AGI=3,10,1", "\r\n*AGI:0012f3a1b2c3r,7978,0,\"ALPHA\",-40\r\n\r\nOK\r\n"},
        {"AT*AGCM=1,1", "\r\nOK\r\n"},
        {"AT*AGDM=1,1", "\r\nOK\r\n"},
        {"AT*AMWFM=1,1,1", "\r\nOK\r\n"},
        {"AT*AMDS=2,1,1", "\r\nOK\r\n"},
        {"AT*AMPM=3,1", "\r\nOK\r\n"},
        {"AT*ADWSN=1,\"Serial\",1", "\r\nOK\r\n"},
        {"AT*AGLC=-2147483648,0", "\r\nOK\r\n"},
        {"AT*ADWM=1,0,1", "\r\nOK\r\n"},
        {"AT*AGSM=1,1", "\r\nOK\r\n"},
        {"AT*AGFP=\"\",1", "\r\nOK\r\n"},
        {"AT*AMWIO=44,1", "\r\nOK\r\n"},
        {"AT*AGSSID=\"net\",0", "\r\nOK\r\n"},
        {"AT*NOPE?", "\r\nERROR\r\n"},
        {"ATZ", "\r\nERROR\r\n"},
    };
    for (const ExchangeS& exchange : exchanges) {
        EXPECT_EQ(exchange.m_szAnswer, answerTo(exchange.m_szLine)) << exchange.m_szLine;
    }
    const SimStateS state = m_pModule->state();
    EXPECT_EQ("My, Module", state.m_strLocalName);
    EXPECT_EQ(255u, state.m_ulServerProfile);
    EXPECT_EQ(0u, state.m_unNumberOfPeers);
    EXPECT_EQ(12u, state.m_stored.m_unBaudRate);
    EXPECT_EQ(9u, state.m_active.m_unBaudRate) << "AMRS must not touch the line before a restart";
    EXPECT_EQ((std::vector<std::string>{"2", "1", "1"}), state.m_mapWrites.at("AMDS"));
    EXPECT_EQ((std::vector<std::string>{"\"net\"", "0"}), state.m_mapWrites.at("AGSSID"));
    EXPECT_EQ("Serial", state.m_strServiceName);
}

TEST_F(SimCommandsTest, RefusesBadParametersAndLeavesTheStateAlone)
{
    const char* const lines[] = {
        "AT*AGLN=name,1",                                    // unquoted string
        "AT*AGLN=\"\",1",                                    // empty name
        "AT*AGLN=\"x\"",                                     // missing flag
        "AT*AGLN=\"x\",2",                                   // flag not a bool
        "AT*AGLN=\"x\",1,1",                                 // one field too many
        "AT*AGCM=x,1",                                       // not a number
        "AT*AGCM=,1",                                        // empty number
        "AT*AMWIO=256,1",                                    // not a byte
        "AT*AGSSID=\"123456789012345678901234567890123\",1", // 33 characters
        "AT*ADWDRP=0,0012f3a1b2c3r,130,0,ALPHA,1",           // name unquoted
        "AT*ADWDRP=0,\"0012f3a1b2c3r\",130,0,\"ALPHA\",1",   // address quoted
        "AT*ADWDRP=7,0012f3a1b2c3r,130,0,\"ALPHA\",1",       // no such peer index
        "AT*ADNRP=8,1",
        "AT*AGI=0,10,15",         // inquiry type 0
        "AT*AGI=2,10,0",          // no device wanted
        "AT*AMRS=10,1,1,1,1,0,1", // no such bit-rate code
        "AT*AMRS=9,5,1,1,1,0,1",
        "AT*AMRS=9,1,3,1,1,0,1",
        "AT*AMRS=9,1,1,4,1,0,1",
        "AT*AMRS=9,1,1,1,3,0,1",
        "AT*AMRS=9,1,1,1,1,0",
        "AT*AMWS=0,0,0,0,1",
        "AT*ADDM=1",
        "AT*AGLN?x",
        "AT*ADDCP",
        "at",
    };
    const SimStateS before = m_pModule->state();
    for (const char* szLine : lines) {
        EXPECT_EQ("\r\nERROR\r\n", answerTo(szLine)) << szLine;
    }
    const SimStateS after = m_pModule->state();
    EXPECT_EQ(before.m_strLocalName, after.m_strLocalName);
    EXPECT_EQ(before.m_stored, after.m_stored);
    EXPECT_TRUE(after.m_mapPeers.empty());
    EXPECT_TRUE(after.m_mapWrites.empty());
    EXPECT_EQ(SM_COMMAND, after.m_eMode);
}

TEST_F(SimCommandsTest, FactorySettingsAreStoredAtOnceButLeaveTheLineAlone)
{
    answerTo("AT*AGLN=\"Renamed\",1");
    answerTo("AT*ADWDRP=0,0012f3a1b2c3r,130,0,\"ALPHA\",1");
    answerTo("AT*AMRS=12,1,1,1,1,0,1");
    m_pModule->modifyState([](SimStateS& state) { state.m_active = state.m_stored; });
    ASSERT_TRUE(m_host.setLine(921600, true));
    EXPECT_EQ("\r\nOK\r\n", answerTo("AT&F"));
    EXPECT_EQ("\r\n*AGLN:\"QUENTA-SIM\"\r\nOK\r\n", answerTo("AT*AGLN?"));
    EXPECT_EQ("\r\nERROR\r\n", answerTo("AT*ADRDRP=0"));
    EXPECT_EQ("\r\n*AMRS:9,1,1,1,2\r\nOK\r\n", answerTo("AT*AMRS?"));
    const SimStateS state = m_pModule->state();
    EXPECT_EQ(12u, state.m_active.m_unBaudRate);
    EXPECT_EQ(1u, state.m_unFactoryResets);
}

TEST_F(SimCommandsTest, DataModeAndProductionModeFollowTheirOk)
{
    EXPECT_EQ("\r\nOK\r\n", answerTo("ATP"));
    EXPECT_EQ(SM_PRODUCTION, m_pModule->mode());
    EXPECT_EQ("\r\nOK\r\n", answerTo("AT")) << "production mode answers like command mode";
    // The bytes after ADDM in the same write are already data.
    ASSERT_TRUE(m_host.write("AT*ADDM\rAT\r"));
    EXPECT_EQ("AT*ADDM\r\r\nOK\r\n", m_host.readUntil("OK\r\n", 1000));
    EXPECT_TRUE(m_pModule->transcript().waitForBytes(EK_DATA, "AT\r", 1000));
    EXPECT_EQ(SM_DATA, m_pModule->mode());
    EXPECT_EQ("", m_host.readFor(100));
}

} // namespace
