// The radio module controller against the simulated module on a real
// pseudo-terminal: the exact lines it sends (a ping before every other
// command), the checks that send nothing, the outcome of OK, ERROR and
// malformed answers, search and pairing, the module's serial settings, the
// quick mode changes, the facade, and two threads on one controller.
#include "ControllerFixture.h"
#include "LogCapture.h"
#include "TRC_CFG_PlainRequests.h"
#include "TRC_CFG_TaviDeviceController.h"

#include <cstring>
#include <functional>
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

bool sameSettings(const Rs232SettingsS& a, const Rs232SettingsS& b)
{
    return a.unBaudRate == b.unBaudRate && a.unDataBits == b.unDataBits &&
           a.unStopBits == b.unStopBits && a.unParity == b.unParity &&
           a.unFlowControl == b.unFlowControl && a.bDtrDsr == b.bDtrDsr;
}

Rs232SettingsS portSettings(TRC::PRT::SerialPortC& port)
{
    Rs232SettingsS settings;
    port.GetRs232Settings(&settings);
    return settings;
}

using ControllerTest = ControllerFixture;

// ------------------------------------------------------------ one exchange

// An answer the command cannot use (here ERROR) completes the exchange; the
// request keeps its own code.
TEST_F(ControllerTest, ErrorAnswerCompletesTheExchangeButNotTheCommand)
{
    // The ping is answered ERROR too, which still proves command mode.
    module().failNextCommands(2);
    size_t unMark = mark();
    TaviDeviceRequestC req("AGLC", RT_WRITE, 1000);
    req.addParameter(uint32_t{7978});
    req.addParameter(uint8_t{1});
    req.finishParameters();
    EXPECT_EQ(RC_OK, m_controller.request(&req));
    EXPECT_EQ(RC_FAILED, req.getReturnCode());
    EXPECT_EQ((LinesT{c_szPing, "AT*AGLC=7978,1\r"}), linesSince(unMark));
}

// An unanswered request ends after its own time with RC_TIMEOUT and the
// unsent bytes purged; a command goes no further than its unanswered ping.
TEST_F(ControllerTest, ModuleInDataModeLeavesPingsUnansweredAndGetsNoCommand)
{
    module().setMode(SM_DATA);
    PingRequestC ping(300);
    auto tStart = SteadyT::now();
    EXPECT_EQ(RC_TIMEOUT, m_controller.request(&ping));
    const int64_t llMs = msSince(tStart);
    EXPECT_GE(llMs, 290);
    EXPECT_LE(llMs, 300 + 250) << "a loaded machine may add 250 ms, no more";
    EXPECT_EQ(RC_TIMEOUT, ping.getReturnCode());
    EXPECT_EQ(PURGE_TXCLEAR, m_port.m_unLastFlushFlags.load());

    tStart = SteadyT::now();
    EXPECT_EQ(RC_FAILED, m_controller.setDeviceName("NEW", true));
    EXPECT_GE(msSince(tStart), 190) << "the ping is given its 200 ms";
    EXPECT_EQ("AT\rAT\r", module().transcript().joined(EK_DATA)) << "only the pings went out";
}

TEST_F(ControllerTest, ClosedPortRefusesEveryOperationWithoutTraffic)
{
    ASSERT_EQ(RC_OK, m_controller.closePort());
    size_t unEntries = module().transcript().size();
    DeviceInfoS paired = makeDevice("kept", "kept");
    std::vector<DeviceInfoS> devices;
    char szResponse[TaviDeviceControllerImplC::c_unTransparentSize];
    const std::vector<std::pair<const char*, CallT>> vecCalls = {
        {"data mode", [](auto& c) { return c.switchToDataMode(); }},
        {"command mode", [](auto& c) { return c.switchToCommandMode(); }},
        {"search", [&](auto& c) { return c.searchDevices(devices); }},
        {"paired", [&](auto& c) { return c.getPairedDevice(paired); }},
        {"name", [](auto& c) { return c.setDeviceName("N", true); }},
        {"baud", [](auto& c) { return c.setBaudRate(921600, true, true); }},
        {"transparent", [&](auto& c) { return c.transparentCommand("AT", szResponse); }},
    };
    for (const auto& call : vecCalls) {
        SCOPED_TRACE(call.first);
        auto tStart = SteadyT::now();
        EXPECT_EQ(RC_FAILED, call.second(m_controller));
        EXPECT_LT(msSince(tStart), 150);
    }
    EXPECT_FALSE(m_controller.isCommandMode());
    EXPECT_STREQ("kept", paired.szName);
    EXPECT_EQ(unEntries, module().transcript().size());
}

// ------------------------------------------------------------ catalogue

TEST_F(ControllerTest, EachCommandSendsItsExactLineAfterAPing)
{
    const std::string strSsid(32, 's');
    const std::string strPin(51, '7'); // 64 characters on the line: the longest taken
    uint32_t ulValue = 0;
    std::vector<char> vecInfo(10000);
    const DeviceInfoS peer = makeDevice("02a0c7a1b2c3r", "SIXTEEN-CHARS-16");
    const std::vector<std::pair<CallT, std::string>> vecCases = {
        {[](auto& c) { return c.setDeviceName("FIFTEEN-CHARS15", true); },
         "AT*AGLN=\"FIFTEEN-CHARS15\",1\r"},
        {[](auto& c) { return c.setServiceName(3, "SPP", false); }, "AT*ADWSN=3,\"SPP\",1\r"},
        {[](auto& c) { return c.setClassOfDevice(7978, false); }, "AT*AGLC=7978,0\r"},
        {[](auto& c) { return c.configureConnectabilityMode(1, true); }, "AT*AGCM=1,1\r"},
        {[](auto& c) { return c.configureDiscoverabilityMode(2, false); }, "AT*AGDM=2,0\r"},
        {[](auto& c) { return c.configureWirelessMultidrop(1, true); }, "AT*ADWM=1,0,1\r"},
        {[](auto& c) { return c.configureDefaultClientProfile(0, true); }, "AT*ADDCP=0,1\r"},
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
        {[&](auto& c) { return c.getDefaultServerProfile(&ulValue); }, "AT*ADDSP?\r"},
        {[&](auto& c) { return c.getDefaultClientProfile(&ulValue); }, "AT*ADDCP?\r"},
        {[&](auto& c) { return c.getDeviceNameAndAddress(vecInfo.data()); }, "AT*AILVI?\r"},
        {[&](auto& c) { return c.transparentCommand("AT*AGLN?", vecInfo.data()); }, "AT*AGLN?\r"},
    };
    for (const auto& item : vecCases) {
        SCOPED_TRACE(item.second);
        size_t unMark = mark();
        EXPECT_EQ(RC_OK, item.first(m_controller));
        EXPECT_EQ((LinesT{c_szPing, item.second}), linesSince(unMark));
    }
    EXPECT_EQ(255u, module().state().m_ulServerProfile);
    EXPECT_EQ("FIFTEEN-CHARS15", module().state().m_strLocalName);
}

TEST_F(ControllerTest, ChecksThatRefuseSendNothing)
{
    const std::string strName16(16, 'n');
    const std::string strSsid33(33, 's');
    const std::string strPin52(52, '7');
    const std::string strText65(65, 'T');
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
    for (const auto& call : vecCalls) {
        SCOPED_TRACE(call.first);
        size_t unMark = mark();
        EXPECT_EQ(RC_FAILED, call.second(m_controller));
        expectNothingSentSince(unMark);
    }
}

// Reads fill their outputs; the exchange is traced in the controller's scope.
TEST_F(ControllerTest, ReadsFillTheirOutputs)
{
    module().modifyState([](SimStateS& state) { state.m_ulClientProfile = 7; });
    uint32_t ulClient = 0;
    LogCaptureC capture;
    capture.route("TaviDeviceControllerImplC", 3);
    ASSERT_EQ(RC_OK, m_controller.getDefaultClientProfile(&ulClient));
    EXPECT_EQ(7u, ulClient);
    EXPECT_NE(std::string::npos, capture.joined().find("handling request ADDCP"));
    std::vector<char> vecInfo(10000, 'x');
    ASSERT_EQ(RC_OK, m_controller.getDeviceNameAndAddress(vecInfo.data()));
    const char* aszExpected[] = {"QUENTA", "SIM-1", "1.0.0", "1", "0001"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(aszExpected[i], vecInfo.data() + 2000 * i);
    }
    DeviceInfoS local;
    size_t unMark = mark();
    ASSERT_EQ(RC_OK, m_controller.getDeviceNameAndAddress(local));
    EXPECT_EQ((LinesT{c_szPing, "AT*AGLN?\r", c_szPing, "AT*AILBA?\r"}), linesSince(unMark));
    EXPECT_STREQ("QUENTA-SIM", local.szName);
    EXPECT_STREQ("02a0c7000001r", local.szAddress);
}

// ------------------------------------------------------------ search and pairing

// Each row: the devices nearby, whether name queries fail, how many commands
// fail, the result, the devices found (name and address) and the lines sent.
TEST_F(ControllerTest, SearchKeepsClass7978RetriesANameOnceAndStopsAtAnErrorInquiry)
{
    const std::string strA = "02a0c7a1b2c3r", strB = "02a0c7a1b2c5r", strC = "02a0c7a1b2c7r";
    const std::string str47(47, 'a');
    struct SearchCaseS
    {
        const char* szName;
        std::vector<SimDeviceS> vecDevices;
        bool bFailNames;
        uint32_t unFailedCommands;
        uint32_t unResult;
        std::vector<std::string> vecFound;
        LinesT vecLines;
    };
    const std::vector<SearchCaseS> vecCases = {
        {"other classes left out",
         {{"02a0c7a1b2c4r", 1234, "Headset"}, {strA, 7978, "ALPHA"}, {strC, 524, "Phone"}},
         false,
         0,
         RC_OK,
         {"ALPHA " + strA},
         searchLines({strA})},
        // The first name fails once, the second always.
        {"name retried once",
         {{strA, 7978, "ALPHA"}, {strB, 7978, "BRAVO"}, {strC, 7978, "CHARLIE"}},
         true,
         0,
         RC_OK,
         {"ALPHA " + strA, "CHARLIE " + strC},
         searchLines({strA, strA, strB, strB, strC})},
        // The record holds 47 characters of address and 16 of name.
        {"record never overrun",
         {{str47, 7978, "TWENTY-CHARACTERS-20"}, {std::string(48, 'b'), 7978, "DROPPED"}},
         false,
         0,
         RC_OK,
         {"TWENTY-CHARACTER " + str47},
         searchLines({str47})},
        {"error inquiry", {{strA, 7978, "ALPHA"}}, false, 2, RC_FAILED, {}, searchLines({})},
    };
    for (const SearchCaseS& item : vecCases) {
        SCOPED_TRACE(item.szName);
        module().setDevices(item.vecDevices);
        if (item.bFailNames) {
            module().failNameQuery(strA, NF_ONCE);
            module().failNameQuery(strB, NF_ALWAYS);
        }
        module().failNextCommands(item.unFailedCommands);
        size_t unMark = mark();
        std::vector<DeviceInfoS> devices;
        EXPECT_EQ(item.unResult, m_controller.searchDevices(devices));
        std::vector<std::string> vecFound;
        for (const DeviceInfoS& device : devices) {
            vecFound.push_back(std::string(device.szName) + " " + device.szAddress);
        }
        EXPECT_EQ(item.vecFound, vecFound);
        EXPECT_EQ(item.vecLines, linesSince(unMark));
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
    const Rs232SettingsS before = portSettings(m_port);
    Rs232SettingsS moved;
    moved.unBaudRate = 12;
    moved.unStopBits = 2;
    moved.unParity = 3;
    moved.unFlowControl = 1;
    for (bool bPersistent : {false, true}) {
        SCOPED_TRACE(bPersistent ? "persistent" : "temporary");
        size_t unMark = mark();
        EXPECT_EQ(RC_OK, m_controller.setBaudRate(921600, bPersistent, true));
        const std::string strWrite = std::string("AT*AMRS=12,1,2,3,1,") + (bPersistent ? "1" : "0");
        EXPECT_EQ((LinesT{c_szPing, "AT*AMRS?\r", c_szPing, strWrite + ",1\r"}),
                  linesSince(unMark));
        EXPECT_TRUE(sameSettings(bPersistent ? moved : before, portSettings(m_port)));
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
    for (const auto& item : vecCases) {
        SCOPED_TRACE(item.second[1]);
        size_t unMark = mark();
        EXPECT_EQ(RC_OK, item.first(m_controller));
        EXPECT_EQ(item.second, linesSince(unMark));
        ++unRestarts;
        ASSERT_TRUE(module().waitForState(
            [&](const SimStateS& s) { return s.m_unRestarts == unRestarts && !s.m_bRestarting; },
            2000));
        module().setMode(SM_COMMAND);
    }
}

// ------------------------------------------------------------ modes

TEST_F(ControllerTest, QuickModeChangesSendTheirLines)
{
    const std::vector<std::tuple<const char*, CallT, LinesT, SimModeE>> vecCases = {
        // Already in command mode: one ping, no pause, no escape.
        {"command", [](auto& c) { return c.switchToCommandMode(); }, {c_szPing}, SM_COMMAND},
        {"data", [](auto& c) { return c.switchToDataMode(); }, {c_szPing, "AT*ADDM\r"}, SM_DATA},
        {"production",
         [](auto& c) { return c.switchToProductionMode(); },
         {c_szPing, c_szPing, "ATP\r"},
         SM_PRODUCTION},
    };
    for (const auto& [szName, fnCall, vecLines, eMode] : vecCases) {
        SCOPED_TRACE(szName);
        module().setMode(SM_COMMAND);
        size_t unMark = mark();
        auto tStart = SteadyT::now();
        EXPECT_EQ(RC_OK, fnCall(m_controller));
        EXPECT_LT(msSince(tStart), 150);
        EXPECT_EQ(vecLines, linesSince(unMark));
        EXPECT_TRUE(module().waitForMode(eMode, 1000));
    }
}

// ------------------------------------------------------------ facade

// Records the calls that reach it and answers with a code of its own.
class RecordingImplC : public TaviDeviceControllerImplC
{
public:
    static constexpr uint32_t c_unAnswer = 0x4711;

    explicit RecordingImplC(std::string& strCalls) : m_strCalls(strCalls) {}

    uint32_t note(const std::string& strCall)
    {
        m_strCalls += strCall + ";";
        return c_unAnswer;
    }

    uint32_t openPort() override { return note("open"); }
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
    uint32_t transparentCommand(const char* c, char*) override
    {
        return note(std::string("transparent ") + c);
    }

private:
    std::string& m_strCalls;
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
    std::string strCalls;
    FacadeOverC facade(new RecordingImplC(strCalls));
    FacadeOverC empty(nullptr);
    const DeviceInfoS device = makeDevice("addr", "NAME");
    char szBuffer[TaviDeviceControllerImplC::c_unTransparentSize];
    Rs232SettingsS fast;
    fast.unBaudRate = 12;
    const std::vector<std::pair<std::function<uint32_t(TaviDeviceControllerC&)>, std::string>>
        vecCalls = {
            {[](auto& f) { return f.openPort(); }, "open;"},
            {[](auto& f) { return f.setDeviceName("DEV", true); }, "name DEV1;"},
            {[&](auto& f) { return f.pairDevice(device, false); }, "pair NAME0;"},
            {[&](auto& f) { return f.setRS232Settings(fast, false, true); }, "rs232 1201;"},
            {[&](auto& f) { return f.transparentCommand("AT", szBuffer); }, "transparent AT;"},
        };
    for (const auto& call : vecCalls) {
        SCOPED_TRACE(call.second);
        strCalls.clear();
        EXPECT_EQ(RecordingImplC::c_unAnswer, call.first(facade));
        EXPECT_EQ(call.second, strCalls);
        EXPECT_EQ(RC_WAIT_FAILED, call.first(empty));
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
