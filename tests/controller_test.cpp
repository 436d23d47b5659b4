// The radio module controller against the simulated module on a real
// pseudo-terminal: the exact lines it sends (a ping before every other
// command), the checks that send nothing, search and pairing, the module's
// serial settings, the quick mode changes, the facade, and two threads on one
// controller. An ERROR answer against silence is the session's cause table.
#include "ControllerFixture.h"
#include "LogCapture.h"
#include "TRC_CFG_TaviDeviceController.h"

#include <cstring>
#include <functional>
#include <numeric>
#include <thread>
#include <tuple>

using namespace ctrltest;

namespace {

using LinesT = std::vector<std::string>;
using CallT = std::function<uint32_t(TaviDeviceControllerImplC&)>;

DeviceInfoS makeDevice(const std::string& strAddress, const std::string& strName)
{
    DeviceInfoS device;
    std::strncpy(device.szAddress, strAddress.c_str(), sizeof(device.szAddress) - 1);
    std::strncpy(device.szName, strName.c_str(), sizeof(device.szName) - 1);
    return device;
}

// Every field of the port's line settings, comparable at once.
auto portFields(TRC::PRT::SerialPortC& port)
{
    Rs232SettingsS s;
    port.GetRs232Settings(&s);
    return std::make_tuple(s.unBaudRate, s.unDataBits, s.unStopBits, s.unParity, s.unFlowControl,
                           s.bDtrDsr);
}

using ControllerTest = ControllerFixture;

TEST_F(ControllerTest, ClosedPortRefusesEveryOperationWithoutTraffic)
{
    ASSERT_EQ(RC_OK, m_controller.closePort());
    size_t unEntries = module().transcript().size();
    DeviceInfoS paired = makeDevice("kept", "kept");
    std::vector<DeviceInfoS> devices;
    char szResponse[TaviDeviceControllerImplC::c_unTransparentSize];
    const CallT calls[] = {
        [](auto& c) { return c.switchToDataMode(); },
        [](auto& c) { return c.switchToCommandMode(); },
        [&](auto& c) { return c.searchDevices(devices); },
        [&](auto& c) { return c.getPairedDevice(paired); },
        [](auto& c) { return c.setDeviceName("N", true); },
        [](auto& c) { return c.setBaudRate(921600, true, true); },
        [&](auto& c) { return c.transparentCommand("AT", szResponse); },
    };
    for (size_t i = 0; i < std::size(calls); ++i) {
        auto tStart = SteadyT::now();
        EXPECT_EQ(RC_FAILED, calls[i](m_controller)) << i;
        EXPECT_LT(msSince(tStart), 150) << i;
    }
    EXPECT_FALSE(m_controller.isCommandMode());
    EXPECT_STREQ("kept", paired.szName);
    EXPECT_EQ(unEntries, module().transcript().size());
}

// Each command's lines after its first ping (joined), then what the reads
// filled in and the modes the module went through; the exchange is traced in
// the controller's scope.
TEST_F(ControllerTest, EachCommandSendsItsExactLineAfterAPing)
{
    const std::string strSsid(32, 's');
    const std::string strPin(51, '7'); // 64 characters on the line: the longest taken
    uint32_t ulServer = 0, ulClient = 0;
    std::vector<char> vecInfo(10000, 'x'), vecText(10000);
    DeviceInfoS local;
    const DeviceInfoS peer = makeDevice("02a0c7a1b2c3r", "SIXTEEN-CHARS-16");
    const std::vector<std::pair<CallT, std::string>> vecCases = {
        {[](auto& c) { return c.setDeviceName("FIFTEEN-CHARS15", true); },
         "AT*AGLN=\"FIFTEEN-CHARS15\",1\r"},
        {[](auto& c) { return c.setServiceName(3, "SPP", false); }, "AT*ADWSN=3,\"SPP\",1\r"},
        {[](auto& c) { return c.setClassOfDevice(7978, false); }, "AT*AGLC=7978,0\r"},
        {[](auto& c) { return c.configureConnectabilityMode(1, true); }, "AT*AGCM=1,1\r"},
        {[](auto& c) { return c.configureDiscoverabilityMode(2, false); }, "AT*AGDM=2,0\r"},
        {[](auto& c) { return c.configureWirelessMultidrop(1, true); }, "AT*ADWM=1,0,1\r"},
        {[](auto& c) { return c.configureDefaultClientProfile(7, true); }, "AT*ADDCP=7,1\r"},
        {[](auto& c) { return c.configureDefaultServerProfile(255, true); }, "AT*ADDSP=255,1\r"},
        {[](auto& c) { return c.configureFeatureMask(1, true); }, "AT*AMWFM=1,1,1\r"},
        {[](auto& c) { return c.configureDtrDsrSettings(2, 1, true); }, "AT*AMDS=2,1,1\r"},
        {[](auto& c) { return c.configurePowerSaveMode(3, true); }, "AT*AMPM=3,1\r"},
        {[](auto& c) { return c.configureSecurityMode(1, false); }, "AT*AGSM=1,0\r"},
        {[&](auto& c) { return c.setFixedPin(strPin.c_str(), true); },
         "AT*AGFP=\"" + strPin + "\",1\r"},
        {[](auto& c) { return c.writeIoPin(44, 1); }, "AT*AMWIO=44,1\r"},
        {[&](auto& c) { return c.configureSSID(strSsid.c_str(), true); },
         "AT*AGSSID=\"" + strSsid + "\",1\r"},
        {[](auto& c) { return c.configureNoRemotePeers(0, true); }, "AT*ADNRP=0,1\r"},
        {[&](auto& c) { return c.configureDefaultRemotePeer(0, peer, 130, 0, false); },
         "AT*ADWDRP=0,02a0c7a1b2c3r,130,0,\"SIXTEEN-CHARS-16\",0\r"},
        {[&](auto& c) { return c.getDefaultServerProfile(&ulServer); }, "AT*ADDSP?\r"},
        {[&](auto& c) { return c.getDefaultClientProfile(&ulClient); }, "AT*ADDCP?\r"},
        {[&](auto& c) { return c.getDeviceNameAndAddress(vecInfo.data()); }, "AT*AILVI?\r"},
        {[&](auto& c) { return c.getDeviceNameAndAddress(local); }, "AT*AGLN?\rAT\rAT*AILBA?\r"},
        {[&](auto& c) { return c.transparentCommand("AT*AGLN?", vecText.data()); }, "AT*AGLN?\r"},
        // Already in command mode: one ping, no pause, no escape.
        {[](auto& c) { return c.switchToCommandMode(); }, ""},
        {[](auto& c) { return c.switchToProductionMode(); }, "AT\rATP\r"},
        {[](auto& c) { return c.switchToDataMode(); }, "AT*ADDM\r"},
    };
    LogCaptureC capture;
    capture.route("TaviDeviceControllerImplC", 3);
    for (const auto& [fnCall, strLines] : vecCases) {
        SCOPED_TRACE(strLines);
        size_t unMark = mark();
        auto tStart = SteadyT::now();
        EXPECT_EQ(RC_OK, fnCall(m_controller));
        EXPECT_LT(msSince(tStart), 1000) << "no guard period";
        const LinesT vecSent = linesSince(unMark);
        EXPECT_EQ(c_szPing + strLines,
                  std::accumulate(vecSent.begin(), vecSent.end(), std::string()));
    }
    EXPECT_EQ(255u, ulServer);
    EXPECT_EQ(7u, ulClient);
    EXPECT_NE(std::string::npos, capture.joined().find("handling request ADDCP"));
    const char* aszExpected[] = {"QUENTA", "SIM-1", "1.0.0", "1", "0001"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(aszExpected[i], vecInfo.data() + 2000 * i);
    }
    EXPECT_STREQ("FIFTEEN-CHARS15", local.szName);
    EXPECT_STREQ("02a0c7000001r", local.szAddress);
    ASSERT_TRUE(module().waitForMode(SM_DATA, 1000));
    std::string strModes;
    for (const SimTranscriptEntryS& entry : entriesOf(module(), EK_MODE)) {
        strModes += entry.m_strBytes + ";";
    }
    EXPECT_EQ("command;production;data;", strModes);
}

TEST_F(ControllerTest, ChecksThatRefuseSendNothing)
{
    const std::string strName16(16, 'n'), strSsid33(33, 's'), strPin52(52, '7'), strText65(65, 'T');
    // 87 characters on the line: address of 47 and name of 16.
    const DeviceInfoS tooLong = makeDevice(std::string(47, 'a'), "SIXTEEN-CHARS-16");
    char szResponse[TaviDeviceControllerImplC::c_unTransparentSize];
    const std::vector<std::pair<const char*, CallT>> vecCalls = {
        {"unfinished request",
         [](auto& c) {
             TaviDeviceRequestC unfinished("AGLN", RT_WRITE, 1000);
             unfinished.addParameter("NAME", true);
             return c.request(&unfinished);
         }},
        {"name 16", [&](auto& c) { return c.setDeviceName(strName16.c_str(), true); }},
        {"name null", [](auto& c) { return c.setDeviceName(nullptr, true); }},
        {"ssid 33", [&](auto& c) { return c.configureSSID(strSsid33.c_str(), true); }},
        {"connectability 0", [](auto& c) { return c.configureConnectabilityMode(0, true); }},
        {"baud 38400", [](auto& c) { return c.setBaudRate(38400, true, true); }},
        {"no address", [](auto& c) { return c.pairDevice(makeDevice("", "NAME"), true); }},
        {"peer line too long", [&](auto& c) { return c.pairDevice(tooLong, true); }},
        {"pin 52", [&](auto& c) { return c.setFixedPin(strPin52.c_str(), true); }},
        {"text 65", [&](auto& c) { return c.transparentCommand(strText65.c_str(), szResponse); }},
    };
    for (const auto& [szName, fnCall] : vecCalls) {
        SCOPED_TRACE(szName);
        size_t unMark = mark();
        EXPECT_EQ(RC_FAILED, fnCall(m_controller));
        // A ping afterwards is the only line: bytes still in flight cannot hide.
        EXPECT_TRUE(m_controller.isCommandMode());
        EXPECT_EQ(LinesT{c_szPing}, linesSince(unMark));
    }
}

// ------------------------------------------------------------ search and pairing

// Each row: the devices nearby, whether name queries fail, how many commands
// fail (any: the search fails), the devices found (name and address) and the
// lines sent.
TEST_F(ControllerTest, SearchKeepsClass7978RetriesANameOnceAndStopsAtAnErrorInquiry)
{
    const std::string a = "02a0c7a1b2c3r", b = "02a0c7a1b2c5r", c = "02a0c7a1b2c7r", a47(47, 'a');
    const std::vector<SimDeviceS> vecThree = {
        {a, 7978, "ALPHA"}, {b, 7978, "BRAVO"}, {c, 7978, "C"}};
    const std::vector<SimDeviceS> vecClasses = {{b, 1234, "B"}, {a, 7978, "ALPHA"}, {c, 524, "C"}};
    const std::vector<SimDeviceS> vecLong = {{a47, 7978, "TWENTY-CHARACTERS-20"},
                                             {std::string(48, 'b'), 7978, "DROPPED"}};
    const std::tuple<std::vector<SimDeviceS>, bool, uint32_t, LinesT, LinesT> cases[] = {
        {vecClasses, false, 0, {"ALPHA " + a}, searchLines({a})}, // other classes left out
        // The first name fails once, the second always.
        {vecThree, true, 0, {"ALPHA " + a, "C " + c}, searchLines({a, a, b, b, c})},
        // The record holds 47 characters of address and 16 of name.
        {vecLong, false, 0, {"TWENTY-CHARACTER " + a47}, searchLines({a47})},
        {vecThree, false, 2, {}, searchLines({})}, // an inquiry answered ERROR: no result
    };
    for (const auto& row : cases) {
        const auto& [vecDevices, bFailNames, unFailed, vecFound, vecLines] = row;
        SCOPED_TRACE(&row - cases);
        module().setDevices(vecDevices);
        if (bFailNames) {
            module().failNameQuery(a, NF_ONCE);
            module().failNameQuery(b, NF_ALWAYS);
        }
        module().failNextCommands(unFailed);
        size_t unMark = mark();
        std::vector<DeviceInfoS> devices;
        EXPECT_EQ(unFailed > 0 ? RC_FAILED : RC_OK, m_controller.searchDevices(devices));
        LinesT vecSeen;
        for (const DeviceInfoS& device : devices) {
            vecSeen.push_back(std::string(device.szName) + " " + device.szAddress);
        }
        EXPECT_EQ(vecFound, vecSeen);
        EXPECT_EQ(vecLines, linesSince(unMark));
    }
}

TEST_F(ControllerTest, PairingWritesThePeerAndReadsItBack)
{
    size_t unMark = mark();
    ASSERT_EQ(RC_OK, m_controller.pairDevice(makeDevice("02a0c7a1b2c3r", "QUENTA-ALPHA"), true));
    DeviceInfoS paired;
    ASSERT_EQ(RC_OK, m_controller.getPairedDevice(paired));
    EXPECT_EQ((LinesT{c_szPing, "AT*ADWDRP=0,02a0c7a1b2c3r,130,0,\"QUENTA-ALPHA\",1\r", c_szPing,
                      "AT*ADRDRP=0\r"}),
              linesSince(unMark));
    EXPECT_STREQ("QUENTA-ALPHA", paired.szName);
    EXPECT_STREQ("02a0c7a1b2c3r", paired.szAddress);
}

// ------------------------------------------------------------ serial settings

class SerialSettingsTest : public ControllerFixture
{
protected:
    void SetUp() override
    {
        ControllerFixture::SetUp();
        // The module reports 9,1,2,3,1 (each field its own value); its line
        // stays at 115200.
        module().modifyState([](SimStateS& state) {
            state.m_stored.m_unStopBits = 2;
            state.m_stored.m_unParity = 3;
            state.m_stored.m_unFlowControl = 1;
        });
        // DTR on, to see the hand-over turn it off.
        Rs232SettingsS withDtr;
        withDtr.bDtrDsr = true;
        ASSERT_EQ(RC_OK, m_controller.changePortSettings(withDtr));
    }
};

// A write reads the module's settings first and changes the bit rate only;
// the host follows a persistent write at once (with DTR off), never a
// temporary one.
TEST_F(SerialSettingsTest, WriteReadsFirstAndTheHostFollowsOnlyAPersistentOne)
{
    const auto before = portFields(m_port);
    for (bool bPersistent : {false, true}) {
        SCOPED_TRACE(bPersistent ? "persistent" : "temporary");
        size_t unMark = mark();
        EXPECT_EQ(RC_OK, m_controller.setBaudRate(921600, bPersistent, true));
        const std::string strWrite = std::string("AT*AMRS=12,1,2,3,1,") + (bPersistent ? "1" : "0");
        EXPECT_EQ((LinesT{c_szPing, "AT*AMRS?\r", c_szPing, strWrite + ",1\r"}),
                  linesSince(unMark));
        EXPECT_EQ(bPersistent ? std::make_tuple(12u, 1u, 2u, 3u, 1u, false) : before,
                  portFields(m_port));
    }
}

TEST_F(SerialSettingsTest, ResetAndFactoryDefaultsSendTheirLines)
{
    // A restart brings the stored settings to the line: keep them the host's.
    module().modifyState([](SimStateS& state) {
        state.m_stored.m_unStopBits = 1;
        state.m_stored.m_unParity = 1;
    });
    const std::string strReset = "AT*AMWS=0,0,0,0,1,0\r";
    const std::vector<std::pair<CallT, LinesT>> vecCases = {
        {[](auto& c) { return c.resetModule(); }, {c_szPing, strReset}},
        {[](auto& c) { return c.restoreFactoryDefaults(); },
         {c_szPing, "AT&F\r", c_szPing, strReset}},
        // A service name with restart is followed by the reset.
        {[](auto& c) { return c.setServiceName(2, "SERIAL", true); },
         {c_szPing, "AT*ADWSN=2,\"SERIAL\",1\r", c_szPing, strReset}},
    };
    uint32_t unRestarts = 0;
    for (const auto& [fnCall, vecLines] : vecCases) {
        SCOPED_TRACE(vecLines[1]);
        size_t unMark = mark();
        EXPECT_EQ(RC_OK, fnCall(m_controller));
        EXPECT_EQ(vecLines, linesSince(unMark));
        ++unRestarts;
        ASSERT_TRUE(module().waitForState(
            [&](const SimStateS& s) { return s.m_unRestarts == unRestarts && !s.m_bRestarting; },
            2000));
        module().setMode(SM_COMMAND);
    }
}

// ------------------------------------------------------------ facade

// Records the calls that reach it and answers with a code of its own.
class RecordingImplC : public TaviDeviceControllerImplC
{
public:
    uint32_t note(const std::string& strCall)
    {
        m_strCalls += strCall + ";";
        return 0x4711;
    }

    uint32_t setDeviceName(const char* n, bool b) override
    {
        return note(std::string("name ") + n + std::to_string(b));
    }
    uint32_t pairDevice(const DeviceInfoS& d, bool b) override
    {
        return note(std::string("pair ") + d.szName + std::to_string(b));
    }
    uint32_t setRS232Settings(Rs232SettingsS s, bool a, bool b) override
    {
        return note("rs232 " + std::to_string(s.unBaudRate) + std::to_string(a) +
                    std::to_string(b));
    }

    std::string m_strCalls;
};

class FacadeOverC : public TaviDeviceControllerC
{
public:
    explicit FacadeOverC(TaviDeviceControllerImplC* pImpl) : TaviDeviceControllerC(pImpl) {}
};

// Each operation reaches the implementation with its arguments and gives its
// result back; without an implementation it fails with RC_WAIT_FAILED.
TEST(ControllerFacade, ForwardsOperationsOrFailsWithoutAnImplementation)
{
    auto* pImpl = new RecordingImplC;
    FacadeOverC facade(pImpl), empty(nullptr);
    const DeviceInfoS device = makeDevice("addr", "NAME");
    Rs232SettingsS fast;
    fast.unBaudRate = 12;
    const std::pair<std::function<uint32_t(TaviDeviceControllerC&)>, std::string> calls[] = {
        {[](auto& f) { return f.setDeviceName("DEV", true); }, "name DEV1;"},
        {[&](auto& f) { return f.pairDevice(device, false); }, "pair NAME0;"},
        {[&](auto& f) { return f.setRS232Settings(fast, false, true); }, "rs232 1201;"},
    };
    for (const auto& [fnCall, strCall] : calls) {
        pImpl->m_strCalls.clear();
        EXPECT_EQ(0x4711u, fnCall(facade));
        EXPECT_EQ(strCall, pImpl->m_strCalls);
        EXPECT_EQ(RC_WAIT_FAILED, fnCall(empty));
    }
    EXPECT_EQ(RC_WAIT_FAILED, empty.setPort(L"/dev/null", Rs232SettingsS()));
}

// ------------------------------------------------------------ two threads

// Two threads on one port, both with one controller or each with its own:
// the controller's lock serialises one controller, the port's exchange lock
// two controllers that share the port.
using TwoThreadsTest = ControllerFixture;

TEST_F(TwoThreadsTest, AreServedOneExchangeAtATime)
{
    TaviDeviceControllerImplC other;
    ASSERT_EQ(RC_OK, other.setPort(&m_port));
    for (TaviDeviceControllerImplC* pSecond : {&m_controller, &other}) {
        SCOPED_TRACE(pSecond == &other ? "two controllers" : "one controller");
        const int c_nRounds = 15;
        std::atomic<int> nFailures{0};
        size_t unMark = mark();
        auto fnRounds = [&](TaviDeviceControllerImplC* pController, uint32_t ulProfile) {
            for (int i = 0; i < c_nRounds; ++i) {
                nFailures += pController->configureDefaultClientProfile(ulProfile, true) != RC_OK;
            }
        };
        std::thread one(fnRounds, &m_controller, 1);
        std::thread two(fnRounds, pSecond, 2);
        one.join();
        two.join();
        EXPECT_EQ(0, nFailures.load());
        LinesT vecLines = linesSince(unMark);
        ASSERT_EQ(4u * c_nRounds, vecLines.size());
        // Each command right behind its own ping: no exchange slipped in between.
        for (size_t i = 0; i < vecLines.size(); i += 2) {
            EXPECT_EQ(c_szPing, vecLines[i]) << i;
            EXPECT_NE(c_szPing, vecLines[i + 1]) << i;
        }
    }
    other.setPort(nullptr);
}

} // namespace
