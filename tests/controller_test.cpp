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

class ControllerTest : public ControllerFixture
{};

// ------------------------------------------------------------ one exchange

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

TEST_F(ControllerTest, MalformedAnswerCompletesWithABadResponse)
{
    // The name answer has one quoted field; two number slots cannot take it.
    TaviDeviceRequestC req("AGLN", RT_READ, 1000);
    NumberResponseParamC first;
    NumberResponseParamC second;
    req.addResponseParam(&first);
    req.addResponseParam(&second);
    EXPECT_EQ(RC_OK, m_controller.request(&req));
    EXPECT_EQ(RC_BAD_RESPONSE, req.getReturnCode());

    // Four information fields where five are expected: the buffer stays.
    module().modifyState([](SimStateS& state) { state.m_vecInfo.pop_back(); });
    std::vector<char> vecInfo(TaviDeviceControllerImplC::c_unInfoSlots *
                                  TaviDeviceControllerImplC::c_unInfoSlotSize,
                              'x');
    const std::vector<char> vecBefore = vecInfo;
    EXPECT_EQ(RC_FAILED, m_controller.getDeviceNameAndAddress(vecInfo.data()));
    EXPECT_TRUE(vecInfo == vecBefore);
}

TEST_F(ControllerTest, ModuleInDataModeRefusesCommandsAfterOnePing)
{
    module().setMode(SM_DATA);
    size_t unMark = mark();
    auto tStart = SteadyT::now();
    EXPECT_EQ(RC_FAILED, m_controller.setDeviceName("NEW", true));
    EXPECT_GE(msSince(tStart), 190) << "the ping is given its 200 ms";
    EXPECT_TRUE(linesSince(unMark).empty());
    EXPECT_EQ(c_szPing, module().transcript().joined(EK_DATA)) << "only the ping went out";
    EXPECT_EQ(PURGE_TXCLEAR, m_port.m_unLastFlushFlags.load());
}

TEST_F(ControllerTest, ExchangeIsTracedInItsScope)
{
    LogCaptureC capture;
    capture.route("TaviDeviceControllerImplC", 3);
    uint32_t ulProfile = 0;
    ASSERT_EQ(RC_OK, m_controller.getDefaultServerProfile(&ulProfile));
    std::string strLog = capture.joined();
    EXPECT_NE(std::string::npos, strLog.find("TaviDeviceControllerImplC::request"));
    EXPECT_NE(std::string::npos, strLog.find("handling request AT"));
    EXPECT_NE(std::string::npos, strLog.find("handling request ADDSP"));
    EXPECT_NE(std::string::npos, strLog.find("wait returned: 0, request return code: 0"));
}

// Each kind of operation on a port that is not open (closed, or its device gone):
// RC_FAILED (false for the mode test) at once, no traffic, no pause.
void expectEverythingRefused(TaviDeviceControllerImplC& controller)
{
    const DeviceInfoS peer = makeDevice("0012f3a1b2c3r", "QUENTA-ALPHA");
    DeviceInfoS paired = makeDevice("kept", "kept");
    Rs232SettingsS settings;
    settings.unBaudRate = 4;
    char szResponse[TaviDeviceControllerImplC::c_unTransparentSize];
    std::vector<char> vecInfo(10000);
    std::vector<DeviceInfoS> devices;
    uint32_t ulValue = 77;
    const std::vector<std::pair<const char*, CallT>> vecCalls = {
        {"switchToDataMode", [](auto& c) { return c.switchToDataMode(); }},
        {"switchToCommandMode", [](auto& c) { return c.switchToCommandMode(); }},
        {"switchToProductionMode", [](auto& c) { return c.switchToProductionMode(); }},
        {"searchDevices", [&](auto& c) { return c.searchDevices(devices); }},
        {"pairDevice", [&](auto& c) { return c.pairDevice(peer, true); }},
        {"getPairedDevice", [&](auto& c) { return c.getPairedDevice(paired); }},
        {"info", [&](auto& c) { return c.getDeviceNameAndAddress(vecInfo.data()); }},
        {"clientProfile", [&](auto& c) { return c.getDefaultClientProfile(&ulValue); }},
        {"setDeviceName", [](auto& c) { return c.setDeviceName("N", true); }},
        {"setBaudRate", [](auto& c) { return c.setBaudRate(921600, true, true); }},
        {"resetModule", [](auto& c) { return c.resetModule(); }},
        {"restoreFactoryDefaults", [](auto& c) { return c.restoreFactoryDefaults(); }},
        {"getRS232Settings", [&](auto& c) { return c.getRS232Settings(&settings); }},
        {"setRS232Settings", [&](auto& c) { return c.setRS232Settings(settings, true, true); }},
        {"transparent", [&](auto& c) { return c.transparentCommand("AT", szResponse); }},
        {"writeIoPin", [](auto& c) { return c.writeIoPin(1, 1); }},
        {"ping",
         [](auto& c) {
             PingRequestC ping(200);
             return c.request(&ping);
         }},
    };
    for (const auto& call : vecCalls) {
        SCOPED_TRACE(call.first);
        auto tStart = SteadyT::now();
        EXPECT_EQ(RC_FAILED, call.second(controller));
        EXPECT_LT(msSince(tStart), 150);
    }
    auto tStart = SteadyT::now();
    EXPECT_FALSE(controller.isCommandMode());
    EXPECT_LT(msSince(tStart), 150);
    EXPECT_STREQ("kept", paired.szName);
    EXPECT_EQ(4u, settings.unBaudRate);
    EXPECT_EQ(77u, ulValue);
    EXPECT_TRUE(devices.empty());
}

TEST_F(ControllerTest, ClosedPortRefusesEveryOperationWithoutTraffic)
{
    ASSERT_EQ(RC_OK, m_controller.closePort());
    ASSERT_FALSE(m_controller.isConnected());
    size_t unEntries = module().transcript().size();
    expectEverythingRefused(m_controller);
    EXPECT_EQ(unEntries, module().transcript().size());
    // And it comes back.
    ASSERT_EQ(RC_OK, m_controller.openPort());
    EXPECT_TRUE(m_controller.isCommandMode());
}

TEST_F(ControllerTest, VanishedModuleClosesThePortAndEveryOperationFails)
{
    ASSERT_TRUE(m_controller.isCommandMode());
    module().vanish();
    auto tStart = SteadyT::now();
    while (m_controller.isConnected() && msSince(tStart) < 3000) {
        std::this_thread::yield();
    }
    ASSERT_FALSE(m_controller.isConnected()) << "the port did not notice the hang-up";
    expectEverythingRefused(m_controller);
}

TEST(ControllerWithoutPort, PortOperationsAndRequestsFail)
{
    TaviDeviceControllerImplC controller;
    Rs232SettingsS settings;
    EXPECT_EQ(RC_FAILED, controller.openPort());
    EXPECT_EQ(RC_FAILED, controller.closePort());
    EXPECT_EQ(RC_FAILED, controller.changePortSettings(settings));
    EXPECT_FALSE(controller.isConnected());
    PingRequestC ping(200);
    EXPECT_EQ(RC_FAILED, controller.request(&ping));
    EXPECT_EQ(RC_OK, controller.setPort(nullptr));
    EXPECT_EQ(RC_FAILED, loadDebugConfiguration("/nonexistent/quenta/debug.cfg"));
}

// ------------------------------------------------------------ catalogue

TEST_F(ControllerTest, EachWriteSendsItsExactLineAfterAPing)
{
    const std::string strSsid32(32, 's');
    const std::string strPin51(51, '7');
    uint32_t ulPin = 300;
    const DeviceInfoS longest = makeDevice("0012f3a1b2c3r", "SIXTEEN-CHARS-16");
    const std::vector<std::pair<CallT, std::string>> vecCases = {
        {[](auto& c) { return c.setDeviceName("FIFTEEN-CHARS15", true); },
         "AT*AGLN=\"FIFTEEN-CHARS15\",1\r"},
        {[](auto& c) { return c.setServiceName(3, "SPP", false); }, "AT*ADWSN=3,\"SPP\",1\r"},
        {[](auto& c) { return c.setClassOfDevice(7978, false); }, "AT*AGLC=7978,0\r"},
        {[](auto& c) { return c.setClassOfDevice(2147483648u, true); }, "AT*AGLC=-2147483648,1\r"},
        {[](auto& c) { return c.configureConnectabilityMode(1, true); }, "AT*AGCM=1,1\r"},
        {[](auto& c) { return c.configureDiscoverabilityMode(2, false); }, "AT*AGDM=2,0\r"},
        {[](auto& c) { return c.configureWirelessMultidrop(1, true); }, "AT*ADWM=1,0,1\r"},
        {[](auto& c) { return c.configureDefaultClientProfile(0, true); }, "AT*ADDCP=0,1\r"},
        {[](auto& c) { return c.configureDefaultServerProfile(255, true); }, "AT*ADDSP=255,1\r"},
        {[](auto& c) { return c.configureFeatureMask(1, true); }, "AT*AMWFM=1,1,1\r"},
        {[](auto& c) { return c.configureDtrDsrSettings(2, 1, true); }, "AT*AMDS=2,1,1\r"},
        {[](auto& c) { return c.configurePowerSaveMode(3, true); }, "AT*AMPM=3,1\r"},
        {[](auto& c) { return c.configureSecurityMode(1, false); }, "AT*AGSM=1,0\r"},
        {[](auto& c) { return c.setFixedPin("", true); }, "AT*AGFP=\"\",1\r"},
        // 64 characters: the longest line the module takes.
        {[&](auto& c) { return c.setFixedPin(strPin51.c_str(), true); },
         "AT*AGFP=\"" + strPin51 + "\",1\r"},
        {[&](auto& c) { return c.writeIoPin(ulPin, 1); }, "AT*AMWIO=44,1\r"},
        {[&](auto& c) { return c.configureSSID(strSsid32.c_str(), true); },
         "AT*AGSSID=\"" + strSsid32 + "\",1\r"},
        {[](auto& c) { return c.configureNoRemotePeers(0, true); }, "AT*ADNRP=0,1\r"},
        {[&](auto& c) { return c.configureDefaultRemotePeer(0, longest, 130, 0, false); },
         "AT*ADWDRP=0,0012f3a1b2c3r,130,0,\"SIXTEEN-CHARS-16\",0\r"},
    };
    for (const auto& item : vecCases) {
        SCOPED_TRACE(item.second);
        size_t unMark = mark();
        EXPECT_EQ(RC_OK, item.first(m_controller));
        EXPECT_EQ((LinesT{c_szPing, item.second}), linesSince(unMark));
    }
    EXPECT_EQ(64u, vecCases[14].second.size());
    EXPECT_EQ(255u, module().state().m_ulServerProfile);
    EXPECT_EQ("FIFTEEN-CHARS15", module().state().m_strLocalName);
}

TEST_F(ControllerTest, ChecksThatRefuseSendNothing)
{
    const std::string strName16(16, 'n');
    const std::string strSsid33(33, 's');
    const std::string strPin52(52, '7');
    const std::string strText64(64, 'T');
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
        {"service 16", [&](auto& c) { return c.setServiceName(1, strName16.c_str(), false); }},
        {"service null", [](auto& c) { return c.setServiceName(1, nullptr, false); }},
        {"ssid 33", [&](auto& c) { return c.configureSSID(strSsid33.c_str(), true); }},
        {"ssid null", [](auto& c) { return c.configureSSID(nullptr, true); }},
        {"connectability 0", [](auto& c) { return c.configureConnectabilityMode(0, true); }},
        {"discoverability 0", [](auto& c) { return c.configureDiscoverabilityMode(0, true); }},
        {"baud 38400", [](auto& c) { return c.setBaudRate(38400, true, true); }},
        {"no address", [](auto& c) { return c.pairDevice(makeDevice("", "NAME"), true); }},
        {"no name", [](auto& c) { return c.pairDevice(makeDevice("0012f3a1b2c3r", ""), true); }},
        {"peer line too long", [&](auto& c) { return c.pairDevice(tooLong, true); }},
        {"pin 52", [&](auto& c) { return c.setFixedPin(strPin52.c_str(), true); }},
        {"text 65", [&](auto& c) { return c.transparentCommand(strText65.c_str(), szResponse); }},
        {"text 64", [&](auto& c) { return c.transparentCommand(strText64.c_str(), szResponse); }},
    };
    for (const auto& call : vecCalls) {
        SCOPED_TRACE(call.first);
        size_t unMark = mark();
        EXPECT_EQ(RC_FAILED, call.second(m_controller));
        expectNothingSentSince(unMark);
    }
}

TEST_F(ControllerTest, ErrorAnswersGiveEachOperationsOutcome)
{
    uint32_t ulProfile = 77;
    Rs232SettingsS settings;
    settings.unBaudRate = 4;
    const std::vector<std::tuple<const char*, CallT, uint32_t>> vecCases = {
        {"setDeviceName", [](auto& c) { return c.setDeviceName("N", true); }, RC_FAILED},
        {"configureSSID", [](auto& c) { return c.configureSSID("net", true); }, RC_FAILED},
        {"profile", [&](auto& c) { return c.getDefaultClientProfile(&ulProfile); }, RC_FAILED},
        {"rs232", [&](auto& c) { return c.getRS232Settings(&settings); }, RC_FAILED},
        {"noRemotePeers", [](auto& c) { return c.configureNoRemotePeers(0, true); }, RC_FAILED},
        // Only a missing answer counts for the I/O pin.
        {"writeIoPin", [](auto& c) { return c.writeIoPin(1, 0); }, RC_OK},
        // No restart after a failed service name.
        {"setServiceName", [](auto& c) { return c.setServiceName(1, "S", true); }, RC_FAILED},
    };
    for (const auto& [szName, fnCall, unResult] : vecCases) {
        SCOPED_TRACE(szName);
        module().failNextCommands(2);
        size_t unMark = mark();
        EXPECT_EQ(unResult, fnCall(m_controller));
        EXPECT_EQ(2u, linesSince(unMark).size());
    }
    EXPECT_EQ(77u, ulProfile);
    EXPECT_EQ(4u, settings.unBaudRate);
    EXPECT_EQ(0u, module().state().m_unRestarts);
}

TEST_F(ControllerTest, ReadsSendTheirQueryAfterAPingAndFillTheirOutputs)
{
    module().modifyState([](SimStateS& state) {
        state.m_ulServerProfile = 255;
        state.m_ulClientProfile = 7;
    });
    uint32_t ulServer = 0;
    uint32_t ulClient = 0;
    std::vector<char> vecInfo(10000, 'x');
    DeviceInfoS local;
    const std::vector<std::pair<CallT, LinesT>> vecReads = {
        {[&](auto& c) { return c.getDefaultServerProfile(&ulServer); }, {c_szPing, "AT*ADDSP?\r"}},
        {[&](auto& c) { return c.getDefaultClientProfile(&ulClient); }, {c_szPing, "AT*ADDCP?\r"}},
        {[&](auto& c) { return c.getDeviceNameAndAddress(vecInfo.data()); },
         {c_szPing, "AT*AILVI?\r"}},
        {[&](auto& c) { return c.getDeviceNameAndAddress(local); },
         {c_szPing, "AT*AGLN?\r", c_szPing, "AT*AILBA?\r"}},
    };
    for (const auto& item : vecReads) {
        SCOPED_TRACE(item.second[1]);
        size_t unMark = mark();
        ASSERT_EQ(RC_OK, item.first(m_controller));
        EXPECT_EQ(item.second, linesSince(unMark));
    }
    EXPECT_EQ(255u, ulServer);
    EXPECT_EQ(7u, ulClient);
    const char* aszExpected[] = {"QUENTA", "SIM-1", "1.0.0", "1", "0001"};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_STREQ(aszExpected[i], vecInfo.data() + 2000 * i);
    }
    EXPECT_STREQ("QUENTA-SIM", local.szName);
    EXPECT_STREQ("0012f3000001r", local.szAddress);
    EXPECT_EQ(0u, m_port.m_unFlushCount.load()) << "a completed exchange purges nothing";
}

TEST_F(ControllerTest, RecordFormCutsLongTextsAndIgnoresAnErrorAnswer)
{
    module().modifyState([](SimStateS& state) {
        state.m_strLocalName = "TWENTY-CHARACTERS-20";
        state.m_strLocalAddress = "0012f3000001r-and-more";
    });
    DeviceInfoS local;
    ASSERT_EQ(RC_OK, m_controller.getDeviceNameAndAddress(local));
    EXPECT_STREQ("TWENTY-CHARACTER", local.szName);
    EXPECT_STREQ("0012f3000001r-and", local.szAddress);

    // ERROR to the name read: an empty name, the address still read, 0.
    module().failNextCommands(2);
    ASSERT_EQ(RC_OK, m_controller.getDeviceNameAndAddress(local));
    EXPECT_STREQ("", local.szName);
    EXPECT_STREQ("0012f3000001r-and", local.szAddress);
}

TEST_F(ControllerTest, ServiceNameWithRestartResetsTheModule)
{
    size_t unMark = mark();
    EXPECT_EQ(RC_OK, m_controller.setServiceName(2, "SERIAL", true));
    EXPECT_EQ((LinesT{c_szPing, "AT*ADWSN=2,\"SERIAL\",1\r", c_szPing, "AT*AMWS=0,0,0,0,1,0\r"}),
              linesSince(unMark));
    EXPECT_TRUE(
        module().waitForState([](const SimStateS& s) { return s.m_unRestarts == 1; }, 2000));
}

// ------------------------------------------------------------ search and pairing

TEST_F(ControllerTest, SearchKeepsClass7978RetriesANameOnceAndStopsAtAnErrorInquiry)
{
    struct SearchCaseS
    {
        const char* szName;
        std::vector<SimDeviceS> vecDevices;
        std::vector<std::pair<const char*, SimNameFailE>> vecNameFailures;
        uint32_t unFailedCommands;
        uint32_t unResult;
        std::vector<std::string> vecNames;
        LinesT vecLines;
    };
    const std::vector<SearchCaseS> vecCases = {
        {"other classes left out",
         {{"0012f3a1b2c4r", 1234, "Headset"},
          {"0012f3a1b2c3r", 7978, "QUENTA-ALPHA"},
          {"0012f3a1b2c6r", 524, "Phone"}},
         {},
         0,
         RC_OK,
         {"QUENTA-ALPHA"},
         searchLines({"0012f3a1b2c3r"})},
        {"name retried once",
         {{"0012f3a1b2c3r", 7978, "QUENTA-ALPHA"},
          {"0012f3a1b2c5r", 7978, "QUENTA-BRAVO"},
          {"0012f3a1b2c7r", 7978, "QUENTA-CHARLIE"}},
         {{"0012f3a1b2c3r", NF_ONCE}, {"0012f3a1b2c5r", NF_ALWAYS}},
         0,
         RC_OK,
         {"QUENTA-ALPHA", "QUENTA-CHARLIE"},
         searchLines({"0012f3a1b2c3r", "0012f3a1b2c3r", "0012f3a1b2c5r", "0012f3a1b2c5r",
                      "0012f3a1b2c7r"})},
        {"error inquiry",
         {{"0012f3a1b2c3r", 7978, "QUENTA-ALPHA"}},
         {},
         2,
         RC_FAILED,
         {},
         searchLines({})},
    };
    for (const SearchCaseS& item : vecCases) {
        SCOPED_TRACE(item.szName);
        module().setDevices(item.vecDevices);
        for (const auto& failure : item.vecNameFailures) {
            module().failNameQuery(failure.first, failure.second);
        }
        module().failNextCommands(item.unFailedCommands);
        size_t unMark = mark();
        std::vector<DeviceInfoS> devices;
        EXPECT_EQ(item.unResult, m_controller.searchDevices(devices));
        std::vector<std::string> vecNames;
        for (const DeviceInfoS& device : devices) {
            vecNames.push_back(device.szName);
        }
        EXPECT_EQ(item.vecNames, vecNames);
        EXPECT_EQ(item.vecLines, linesSince(unMark));
    }

    // A list that already holds a record makes an error inquiry a success.
    std::vector<DeviceInfoS> devices = {makeDevice("earlier", "EARLIER")};
    module().failNextCommands(2);
    EXPECT_EQ(RC_OK, m_controller.searchDevices(devices));
    ASSERT_EQ(1u, devices.size());
    EXPECT_STREQ("EARLIER", devices[0].szName);
}

TEST_F(ControllerTest, SearchNeverOverrunsTheRecord)
{
    const std::string strAddress47(47, 'a');
    const std::string strAddress48(48, 'b');
    module().setDevices({{strAddress47, 7978, "TWENTY-CHARACTERS-20"},
                         {strAddress48, 7978, "DROPPED"},
                         {"0012f3a1b2c3r", 7978, "QUENTA-ALPHA"},
                         {"0012f3a1b2c3r", 7978, "QUENTA-ALPHA"}});
    std::vector<DeviceInfoS> devices;
    size_t unMark = mark();
    ASSERT_EQ(RC_OK, m_controller.searchDevices(devices));
    ASSERT_EQ(3u, devices.size()) << "an address over 47 characters is left out";
    EXPECT_EQ(strAddress47, devices[0].szAddress);
    EXPECT_STREQ("TWENTY-CHARACTER", devices[0].szName);
    // A device reported twice is queried and listed twice.
    EXPECT_STREQ("QUENTA-ALPHA", devices[1].szName);
    EXPECT_STREQ("QUENTA-ALPHA", devices[2].szName);
    for (const std::string& strLine : linesSince(unMark)) {
        EXPECT_EQ(std::string::npos, strLine.find(strAddress48));
    }
}

TEST_F(ControllerTest, PairingWritesThePeerAndReadsItBack)
{
    const DeviceInfoS alpha = makeDevice("0012f3a1b2c3r", "QUENTA-ALPHA");
    size_t unMark = mark();
    ASSERT_EQ(RC_OK, m_controller.pairDevice(alpha, true));
    EXPECT_EQ((LinesT{c_szPing, "AT*ADWDRP=0,0012f3a1b2c3r,130,0,\"QUENTA-ALPHA\",1\r"}),
              linesSince(unMark));
    SimPeerS peer = module().state().m_mapPeers[0];
    EXPECT_EQ("QUENTA-ALPHA", peer.m_strName);
    EXPECT_EQ(130, peer.m_lField3);

    DeviceInfoS paired;
    unMark = mark();
    ASSERT_EQ(RC_OK, m_controller.getPairedDevice(paired));
    EXPECT_EQ((LinesT{c_szPing, "AT*ADRDRP=0\r"}), linesSince(unMark));
    EXPECT_STREQ("QUENTA-ALPHA", paired.szName);
    EXPECT_STREQ("0012f3a1b2c3r", paired.szAddress);

    module().modifyState(
        [](SimStateS& state) { state.m_mapPeers[0].m_strName = "TWENTY-CHARACTERS-20"; });
    ASSERT_EQ(RC_OK, m_controller.getPairedDevice(paired));
    EXPECT_STREQ("TWENTY-CHARACTER", paired.szName);
}

TEST_F(ControllerTest, ReadBackWithoutPairingLeavesTheRecord)
{
    DeviceInfoS paired = makeDevice("kept-address", "kept-name");
    EXPECT_EQ(RC_FAILED, m_controller.getPairedDevice(paired));
    EXPECT_STREQ("kept-name", paired.szName);
    EXPECT_STREQ("kept-address", paired.szAddress);
}

// ------------------------------------------------------------ serial settings

class SerialSettingsTest : public ControllerFixture
{
protected:
    void SetUp() override
    {
        ControllerFixture::SetUp();
        // The module reports 9,1,1,1,1; its line stays at 115200.
        module().modifyState([](SimStateS& state) { state.m_stored.m_unFlowControl = 1; });
        // DTR on, to see the hand-over turn it off.
        Rs232SettingsS withDtr;
        withDtr.bDtrDsr = true;
        ASSERT_EQ(RC_OK, m_controller.changePortSettings(withDtr));
    }
};

TEST_F(SerialSettingsTest, WritesReadFirstChangeOnlyTheirFieldAndLeaveTheHostAlone)
{
    const Rs232SettingsS before = portSettings(m_port);
    size_t unMark = mark();
    EXPECT_EQ(RC_OK, m_controller.setFlowControl(false, false, true));
    EXPECT_EQ("AT*AMRS=9,1,1,1,2,0,1\r", linesSince(unMark).at(3));
    module().modifyState([](SimStateS& state) { state.m_stored.m_unFlowControl = 1; });

    unMark = mark();
    EXPECT_EQ(RC_OK, m_controller.setBaudRate(921600, false, true));
    EXPECT_EQ((LinesT{c_szPing, "AT*AMRS?\r", c_szPing, "AT*AMRS=12,1,1,1,1,0,1\r"}),
              linesSince(unMark));
    EXPECT_TRUE(sameSettings(before, portSettings(m_port)));
    EXPECT_TRUE(m_controller.isCommandMode()) << "the host line did not move";
}

TEST_F(SerialSettingsTest, PersistentBaudRateMovesTheHostWithDtrOff)
{
    EXPECT_EQ(RC_OK, m_controller.setBaudRate(921600, true, true));
    EXPECT_EQ("AT*AMRS=12,1,1,1,1,1,1\r", linesSince(mark() - 1).at(0));
    Rs232SettingsS expected;
    expected.unBaudRate = 12;
    expected.unFlowControl = 1;
    EXPECT_TRUE(sameSettings(expected, portSettings(m_port)));
    // The module still listens at 115200: the host's next ping is noise to it,
    // seen at the host's new line settings.
    EXPECT_FALSE(m_controller.isCommandMode());
    const auto vecNoise = entriesOf(module(), EK_NOISE);
    EXPECT_TRUE(std::any_of(vecNoise.begin(), vecNoise.end(), [](const auto& entry) {
        return entry.m_host.m_ulBaudRate == 921600 && entry.m_host.m_bRtsCts;
    }));
}

TEST_F(SerialSettingsTest, ReadFillsFiveFieldsAndKeepsDtr)
{
    module().modifyState([](SimStateS& state) { state.m_stored.m_unParity = 3; });
    Rs232SettingsS settings;
    settings.bDtrDsr = true;
    ASSERT_EQ(RC_OK, m_controller.getRS232Settings(&settings));
    Rs232SettingsS expected;
    expected.unParity = 3;
    expected.unFlowControl = 1;
    expected.bDtrDsr = true;
    EXPECT_TRUE(sameSettings(expected, settings));
}

TEST_F(SerialSettingsTest, RefusedWriteLeavesTheHostPort)
{
    // A parity code the module does not know makes it refuse the write.
    module().modifyState([](SimStateS& state) { state.m_stored.m_unParity = 7; });
    const Rs232SettingsS before = portSettings(m_port);
    size_t unMark = mark();
    EXPECT_EQ(RC_FAILED, m_controller.setBaudRate(921600, true, true));
    EXPECT_EQ("AT*AMRS=12,1,1,7,1,1,1\r", linesSince(unMark).at(3));
    EXPECT_TRUE(sameSettings(before, portSettings(m_port)));

    // A failed read stops before the write.
    module().failNextCommands(2);
    unMark = mark();
    EXPECT_EQ(RC_FAILED, m_controller.setFlowControl(true, true, true));
    EXPECT_EQ((LinesT{c_szPing, "AT*AMRS?\r"}), linesSince(unMark));
}

TEST_F(SerialSettingsTest, ResetAndFactoryDefaultsReturnZero)
{
    size_t unMark = mark();
    EXPECT_EQ(RC_OK, m_controller.resetModule());
    EXPECT_EQ((LinesT{c_szPing, "AT*AMWS=0,0,0,0,1,0\r"}), linesSince(unMark));
    ASSERT_TRUE(module().waitForState(
        [](const SimStateS& s) { return s.m_unRestarts == 1 && !s.m_bRestarting; }, 2000));

    // After the restart the module is in data mode: the reset is not even
    // sent, and still 0.
    EXPECT_EQ(RC_OK, m_controller.resetModule());

    module().setMode(SM_COMMAND);
    unMark = mark();
    EXPECT_EQ(RC_OK, m_controller.restoreFactoryDefaults());
    EXPECT_EQ((LinesT{c_szPing, "AT&F\r", c_szPing, "AT*AMWS=0,0,0,0,1,0\r"}), linesSince(unMark));
    EXPECT_EQ(1u, module().state().m_unFactoryResets);
}

// ------------------------------------------------------------ modes, quick cases

TEST_F(ControllerTest, QuickModeChangesSendTheirLines)
{
    struct ModeCaseS
    {
        const char* szName;
        std::function<void()> fnPrepare;
        CallT fnCall;
        LinesT vecLines;
        SimModeE eMode;
    };
    const std::vector<ModeCaseS> vecCases = {
        // Already in command mode: one ping, no pause, no escape.
        {"command mode",
         [] {},
         [](auto& c) { return c.switchToCommandMode(); },
         {c_szPing},
         SM_COMMAND},
        // The first attempt's ping goes unanswered: the second attempt sends it.
        {"data mode",
         [&] { module().dropNextAnswers(1); },
         [](auto& c) { return c.switchToDataMode(); },
         {c_szPing, c_szPing, "AT*ADDM\r"},
         SM_DATA},
        // Production mode ignores the answers, even the ERROR that keeps the module here.
        {"production mode",
         [&] { module().failNextCommands(3); },
         [](auto& c) { return c.switchToProductionMode(); },
         {c_szPing, c_szPing, "ATP\r"},
         SM_COMMAND},
    };
    for (const ModeCaseS& item : vecCases) {
        SCOPED_TRACE(item.szName);
        module().setMode(SM_COMMAND);
        item.fnPrepare();
        size_t unMark = mark();
        auto tStart = SteadyT::now();
        EXPECT_EQ(RC_OK, item.fnCall(m_controller));
        EXPECT_LT(msSince(tStart), 1000);
        EXPECT_EQ(item.vecLines, linesSince(unMark));
        EXPECT_TRUE(module().waitForMode(item.eMode, 1000));
    }
    EXPECT_EQ(RC_OK, m_controller.switchToProductionMode());
    EXPECT_TRUE(module().waitForMode(SM_PRODUCTION, 1000));
    EXPECT_EQ(std::string::npos, module().transcript().joined(EK_DATA).find("///"));
}

// ------------------------------------------------------------ transparent text

TEST_F(ControllerTest, TransparentCommandReturnsEverythingReceived)
{
    std::vector<char> vecResponse(TaviDeviceControllerImplC::c_unTransparentSize, 'x');
    size_t unMark = mark();
    ASSERT_EQ(RC_OK, m_controller.transparentCommand("AT*AGLN?", vecResponse.data()));
    EXPECT_EQ((LinesT{c_szPing, "AT*AGLN?\r"}), linesSince(unMark));
    const std::string strExpected = "AT*AGLN?\r\r\n*AGLN:\"QUENTA-SIM\"\r\nOK\r\n";
    EXPECT_EQ(strExpected, std::string(vecResponse.data()));
    for (size_t i = strExpected.size(); i < vecResponse.size(); ++i) {
        ASSERT_EQ('\0', vecResponse[i]) << i;
    }
}

// ------------------------------------------------------------ facade

template <class T> std::string piece(const T& value)
{
    if constexpr (std::is_convertible_v<T, std::string>) {
        return std::string(value);
    } else {
        return std::to_string(value);
    }
}

// Records every call that reaches it and answers with a code of its own.
class RecordingImplC : public TaviDeviceControllerImplC
{
public:
    static constexpr uint32_t c_unAnswer = 0x4711;
    using S = Rs232SettingsS;
    using D = DeviceInfoS;

    explicit RecordingImplC(std::vector<std::string>& vecCalls) : m_vecCalls(vecCalls) {}

    template <class... ArgsT> uint32_t note(std::string strCall, const ArgsT&... args)
    {
        strCall += sizeof...(args) > 0 ? " " : "";
        ((strCall += piece(args)), ...);
        m_vecCalls.push_back(strCall);
        return c_unAnswer;
    }

    uint32_t setPort(TRC::PRT::SerialPortC* p) override { return note(p ? "setPort" : "unset"); }
    uint32_t changePortSettings(const S& s) override { return note("changePort", s.unBaudRate); }
    uint32_t openPort() override { return note("openPort"); }
    uint32_t closePort() override { return note("closePort"); }
    uint32_t switchToDataMode() override { return note("switchToDataMode"); }
    bool isCommandMode() override { return note("isCommandMode") != 0; }
    uint32_t searchDevices(std::vector<D>&) override { return note("searchDevices"); }
    uint32_t pairDevice(const D& d, bool b) override { return note("pair", d.szName, b); }
    uint32_t getPairedDevice(D&) override { return note("getPairedDevice"); }
    uint32_t getDeviceNameAndAddress(char*) override { return note("info"); }
    uint32_t getDeviceNameAndAddress(D&) override { return note("record"); }
    uint32_t getDefaultClientProfile(uint32_t*) override { return note("getClient"); }
    uint32_t getDefaultServerProfile(uint32_t*) override { return note("getServer"); }
    uint32_t setDeviceName(const char* n, bool b) override { return note("name", n, b); }
    uint32_t setServiceName(uint32_t u, const char* n, bool b) override
    {
        return note("service", u, n, b);
    }
    uint32_t setClassOfDevice(uint32_t u, bool b) override { return note("class", u, b); }
    uint32_t configureConnectabilityMode(uint32_t u, bool b) override
    {
        return note("connectability", u, b);
    }
    uint32_t configureDiscoverabilityMode(uint32_t u, bool b) override
    {
        return note("discoverability", u, b);
    }
    uint32_t configureWirelessMultidrop(uint8_t u, bool b) override { return note("md", u, b); }
    uint32_t configureDefaultClientProfile(uint32_t u, bool b) override
    {
        return note("setClient", u, b);
    }
    uint32_t configureDefaultServerProfile(uint32_t u, bool b) override
    {
        return note("setServer", u, b);
    }
    uint32_t configureNoRemotePeers(uint8_t u, bool b) override { return note("nrp", u, b); }
    uint32_t configureFeatureMask(uint8_t u, bool b) override { return note("mask", u, b); }
    uint32_t configureDefaultRemotePeer(uint8_t u, D d, uint32_t f3, uint8_t f4, bool b) override
    {
        return note("remotePeer", u, d.szName, f3, f4, b);
    }
    uint32_t configureDtrDsrSettings(uint32_t u, uint32_t v, bool b) override
    {
        return note("dtrDsr", u, v, b);
    }
    uint32_t configurePowerSaveMode(uint32_t u, bool b) override { return note("power", u, b); }
    uint32_t configureSecurityMode(uint32_t u, bool b) override { return note("security", u, b); }
    uint32_t setFixedPin(const char* p, bool b) override { return note("pin", p, b); }
    uint32_t setBaudRate(uint32_t u, bool a, bool b) override { return note("baud", u, a, b); }
    uint32_t setFlowControl(bool e, bool a, bool b) override { return note("flow", e, a, b); }
    uint32_t resetModule() override { return note("resetModule"); }
    uint32_t restoreFactoryDefaults() override { return note("restoreFactoryDefaults"); }
    uint32_t getRS232Settings(S*) override { return note("getRS232Settings"); }
    uint32_t setRS232Settings(S s, bool a, bool b) override
    {
        return note("setRS232", s.unBaudRate, a, b);
    }
    uint32_t transparentCommand(const char* c, char*) override { return note("transparent", c); }
    uint32_t writeIoPin(uint8_t p, uint8_t v) override { return note("writeIoPin", p, v); }
    uint32_t configureSSID(const char* s, bool b) override { return note("ssid", s, b); }

private:
    std::vector<std::string>& m_vecCalls;
};

class FacadeOverC : public TaviDeviceControllerC
{
public:
    explicit FacadeOverC(TaviDeviceControllerImplC* pImpl) : TaviDeviceControllerC(pImpl) {}
};

using FacadeCallT = std::function<uint32_t(TaviDeviceControllerC&)>;

std::vector<std::pair<FacadeCallT, std::string>> facadeCalls()
{
    static DeviceInfoS s_device = makeDevice("addr", "NAME");
    static std::vector<DeviceInfoS> s_devices;
    static uint32_t s_ulValue;
    static Rs232SettingsS s_settings;
    static char s_szBuffer[10000];
    Rs232SettingsS fast;
    fast.unBaudRate = 12;
    return {
        {[](auto& f) { return f.openPort(); }, "openPort"},
        {[](auto& f) { return f.closePort(); }, "closePort"},
        {[fast](auto& f) { return f.changePortSettings(fast); }, "changePort 12"},
        {[](auto& f) { return f.switchToDataMode(); }, "switchToDataMode"},
        {[](auto& f) { return f.searchDevices(s_devices); }, "searchDevices"},
        {[](auto& f) { return f.pairDevice(s_device, true); }, "pair NAME1"},
        {[](auto& f) { return f.getPairedDevice(s_device); }, "getPairedDevice"},
        {[](auto& f) { return f.getDeviceNameAndAddress(s_szBuffer); }, "info"},
        {[](auto& f) { return f.getDeviceNameAndAddress(s_device); }, "record"},
        {[](auto& f) { return f.getDefaultClientProfile(&s_ulValue); }, "getClient"},
        {[](auto& f) { return f.getDefaultServerProfile(&s_ulValue); }, "getServer"},
        {[](auto& f) { return f.setDeviceName("DEV", true); }, "name DEV1"},
        {[](auto& f) { return f.setServiceName(5, "SRV", false); }, "service 5SRV0"},
        {[](auto& f) { return f.setClassOfDevice(7978, true); }, "class 79781"},
        {[](auto& f) { return f.configureConnectabilityMode(2, false); }, "connectability 20"},
        {[](auto& f) { return f.configureDiscoverabilityMode(3, true); }, "discoverability 31"},
        {[](auto& f) { return f.configureWirelessMultidrop(4, false); }, "md 40"},
        {[](auto& f) { return f.configureDefaultClientProfile(6, true); }, "setClient 61"},
        {[](auto& f) { return f.configureDefaultServerProfile(255, false); }, "setServer 2550"},
        {[](auto& f) { return f.configureNoRemotePeers(0, true); }, "nrp 01"},
        {[](auto& f) { return f.configureFeatureMask(9, true); }, "mask 91"},
        {[](auto& f) { return f.configureDefaultRemotePeer(1, s_device, 130, 2, true); },
         "remotePeer 1NAME13021"},
        {[](auto& f) { return f.configureDtrDsrSettings(2, 1, false); }, "dtrDsr 210"},
        {[](auto& f) { return f.configurePowerSaveMode(3, true); }, "power 31"},
        {[](auto& f) { return f.configureSecurityMode(4, false); }, "security 40"},
        {[](auto& f) { return f.setFixedPin("1234", true); }, "pin 12341"},
        {[](auto& f) { return f.setBaudRate(921600, true, false); }, "baud 92160010"},
        {[](auto& f) { return f.setFlowControl(false, false, true); }, "flow 001"},
        {[](auto& f) { return f.getRS232Settings(&s_settings); }, "getRS232Settings"},
        {[fast](auto& f) { return f.setRS232Settings(fast, false, true); }, "setRS232 1201"},
        {[](auto& f) { return f.resetModule(); }, "resetModule"},
        {[](auto& f) { return f.restoreFactoryDefaults(); }, "restoreFactoryDefaults"},
        {[](auto& f) { return f.transparentCommand("AT", s_szBuffer); }, "transparent AT"},
        {[](auto& f) { return f.writeIoPin(7, 1); }, "writeIoPin 71"},
        {[](auto& f) { return f.configureSSID("net", true); }, "ssid net1"},
    };
}

TEST(ControllerFacade, ForwardsEveryOperationWithItsArgumentsAndResult)
{
    std::vector<std::string> vecCalls;
    FacadeOverC facade(new RecordingImplC(vecCalls));
    for (const auto& call : facadeCalls()) {
        SCOPED_TRACE(call.second);
        vecCalls.clear();
        EXPECT_EQ(RecordingImplC::c_unAnswer, call.first(facade));
        EXPECT_EQ(std::vector<std::string>{call.second}, vecCalls);
    }
    vecCalls.clear();
    EXPECT_TRUE(facade.isCommandMode());
    EXPECT_EQ(std::vector<std::string>{"isCommandMode"}, vecCalls);
}

TEST(ControllerFacade, MissingImplementationGivesWaitFailed)
{
    FacadeOverC facade(nullptr);
    for (const auto& call : facadeCalls()) {
        SCOPED_TRACE(call.second);
        EXPECT_EQ(RC_WAIT_FAILED, call.first(facade));
    }
    EXPECT_EQ(RC_WAIT_FAILED, facade.switchToCommandMode());
    EXPECT_EQ(RC_WAIT_FAILED, facade.switchToProductionMode());
    EXPECT_EQ(RC_WAIT_FAILED, facade.setPort(L"/dev/null", Rs232SettingsS()));
}

TEST(ControllerFacade, OwnPortReachesTheModule)
{
    SimulatedModuleC module(fastModuleConfig());
    ASSERT_TRUE(module.start());
    TaviDeviceControllerC facade;
    ASSERT_EQ(RC_OK, facade.setPort(widen(module.slavePath()), Rs232SettingsS()));
    ASSERT_EQ(RC_OK, facade.openPort());
    EXPECT_EQ(RC_OK, facade.configureDefaultServerProfile(255, true));
    EXPECT_EQ(RC_OK, facade.switchToCommandMode());
    // A second setPort replaces the open port with a closed one.
    ASSERT_EQ(RC_OK, facade.setPort(widen(module.slavePath()), Rs232SettingsS()));
    EXPECT_FALSE(facade.isCommandMode());
    ASSERT_EQ(RC_OK, facade.openPort());
    EXPECT_TRUE(facade.isCommandMode());
    EXPECT_EQ(255u, module.state().m_ulServerProfile);
}

// ------------------------------------------------------------ two threads

TEST_F(ControllerTest, TwoThreadsAreServedOneExchangeAtATime)
{
    const int c_nRounds = 15;
    std::atomic<int> nFailures{0};
    size_t unMark = mark();
    std::thread writer([&] {
        for (int i = 0; i < c_nRounds; ++i) {
            nFailures += m_controller.configureDefaultClientProfile(1, true) != RC_OK;
        }
    });
    std::thread reader([&] {
        for (int i = 0; i < c_nRounds; ++i) {
            uint32_t ulProfile = 0;
            nFailures += m_controller.getDefaultServerProfile(&ulProfile) != RC_OK;
        }
    });
    writer.join();
    reader.join();
    EXPECT_EQ(0, nFailures.load());
    LinesT vecLines = linesSince(unMark);
    ASSERT_EQ(4u * c_nRounds, vecLines.size());
    // Each command right behind its own ping: no exchange slipped in between.
    for (size_t i = 0; i < vecLines.size(); i += 2) {
        EXPECT_EQ(c_szPing, vecLines[i]) << i;
        EXPECT_NE(c_szPing, vecLines[i + 1]) << i;
    }
}

} // namespace
