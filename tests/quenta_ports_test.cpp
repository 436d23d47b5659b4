// quenta ports: what the system says of each serial device (from a fake
// sysfs tree; the real-driver lab lists a real UART and USB adapter), and
// --probe against simulated modules on pseudo-terminals.
#include "SIM_SimulatedModule.h"
#include "ToolTestSupport.h"

#include <sys/file.h>

#include <memory>
#include <sstream>

namespace {

using namespace QUENTA::SIM;
using proctest::RunS;
using tooltest::contains;
using tooltest::runTool;
using tooltest::TempDirC;

// The tool looks for /dev and /sys under this instead of the root.
const char* const c_szTestRoot = "QUENTA_PORTS_TEST_ROOT";

// Sysfs attributes a line each, in a fake root for /dev and /sys (strValues:
// "name=value|name=value...").
void attributes(const TempDirC& root, const std::string& strDir, const std::string& strValues)
{
    std::istringstream values(strValues);
    for (std::string strValue; std::getline(values, strValue, '|');) {
        const size_t unAt = strValue.find('=');
        root.file(strDir + "/" + strValue.substr(0, unAt), strValue.substr(unAt + 1) + "\n");
    }
}

// As udev and the kernel lay them out: an FTDI adapter (driver on the
// usb-serial port, strings on the USB device), a CDC ACM device with an
// interface string, a UART behind the serial-base devices of newer kernels,
// and an empty legacy port.
void buildDeviceTree(const TempDirC& root)
{
    const std::string strFtdi = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    attributes(root, strFtdi,
               "idVendor=0403|idProduct=6001|manufacturer=FTDI|"
               "product=FT232R USB UART|serial=A10K\x1b[2J");
    root.link(strFtdi + "/1-2:1.0/driver", "/sys/bus/usb/drivers/ftdi_sio");
    root.link(strFtdi + "/1-2:1.0/ttyUSB0/driver", "/sys/bus/usb-serial/drivers/ftdi_sio");
    root.link("sys/class/tty/ttyUSB0/device", root / strFtdi + "/1-2:1.0/ttyUSB0");
    root.link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0", "../../ttyUSB0");
    root.link("dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", "../../ttyUSB0");

    const std::string strAcm = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-3";
    attributes(root, strAcm,
               "idVendor=1d50|idProduct=6018|manufacturer=Quenta|product=Quenta Bridge");
    attributes(root, strAcm + "/1-3:1.0", "interface=Quenta Module Port");
    root.link(strAcm + "/1-3:1.0/driver", "/sys/bus/usb/drivers/cdc_acm");
    root.link("sys/class/tty/ttyACM0/device", root / strAcm + "/1-3:1.0");

    const std::string strUart = "sys/devices/platform/serial8250";
    root.link(strUart + "/driver", "/sys/bus/platform/drivers/serial8250");
    root.link(strUart + "/serial8250:0/subsystem", "/sys/bus/serial-base");
    root.link(strUart + "/serial8250:0/driver", "/sys/bus/serial-base/drivers/ctrl");
    root.link(strUart + "/serial8250:0/serial8250:0.1/subsystem", "/sys/bus/serial-base");
    root.link(strUart + "/serial8250:0/serial8250:0.1/driver", "/sys/bus/serial-base/drivers/port");
    root.link("sys/class/tty/ttyS1/device", root / strUart + "/serial8250:0/serial8250:0.1");
    attributes(root, "sys/class/tty/ttyS1", "type=4|port=0x2F8|irq=3|io_type=0");
    attributes(root, "sys/class/tty/ttyS2", "type=0");
    for (const char* szDevice : {"dev/ttyUSB0", "dev/ttyACM0", "dev/ttyS1", "dev/ttyS2"}) {
        root.file(szDevice);
    }
}

TEST(QuentaPortsDescription, UsbAndUartFieldsComeFromSysfsShownOrAsJson)
{
    TempDirC root;
    buildDeviceTree(root);
    const proctest::EnvT vecEnv = {{c_szTestRoot, root.path()}};

    RunS run = runTool({"ports", "--port", "/nonexistent/com8"}, vecEnv);
    EXPECT_EQ(0, run.m_nExit) << run.m_strErr;
    const std::string strById = root / "dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K-if00-port0";
    const std::string strByPath = root / "dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
    EXPECT_EQ(root / "dev/ttyS1\n" + "  description: 16550A UART, I/O port 0x2F8, IRQ 3\n" +
                  "  driver: serial8250\n" + root / "dev/ttyUSB0\n" + "  link: " + strById +
                  "\n  link: " + strByPath + "\n  description: FT232R USB UART\n" +
                  "  manufacturer: FTDI\n  USB id: 0403:6001\n  serial: A10K\\x1b[2J\n" +
                  "  driver: ftdi_sio\n" + root / "dev/ttyACM0\n" +
                  "  description: Quenta Module Port\n  manufacturer: Quenta\n" +
                  "  USB id: 1d50:6018\n  driver: cdc_acm\n" +
                  "COM8: /nonexistent/com8 (--port; does not exist)\n",
              run.m_strOut);

    run = runTool({"ports", "--json", "--port", "/nonexistent/com8"}, vecEnv);
    EXPECT_EQ(0, run.m_nExit) << run.m_strErr;
    EXPECT_TRUE(contains(run.m_strOut, "{\"path\":\"" + root / "dev/ttyUSB0\",\"links\":[\"" +
                                           strById + "\",\"" + strByPath +
                                           "\"],\"description\":\"FT232R USB UART\",\"manufactu"
                                           "rer\":\"FTDI\",\"vendorId\":\"0403\",\"productId\":"
                                           "\"6001\",\"serial\":\"A10K\\u001b[2J\",\"driver\":"
                                           "\"ftdi_sio\"}"))
        << run.m_strOut;
}

struct ProbeCaseS
{
    const char* m_szName;
    SimModeE m_eMode;
    uint32_t m_unBaudCode; // the module's own codes: 9 = 115200, 12 = 921600 (with RTS/CTS)
    bool m_bHeld;          // another program holds the device (flock, as the library)
    const char* m_szProbe;
};

const ProbeCaseS c_aProbeCases[] = {
    {"ttyUSB0", SM_COMMAND, 9, false, "answers at 115200 bit/s without handshake"},
    {"ttyUSB1", SM_COMMAND, 12, false, "answers at 921600 bit/s with RTS/CTS"},
    {"ttyUSB2", SM_DATA, 9, false,
     "no answer at 921600 bit/s with RTS/CTS or 115200 bit/s without handshake"},
    {"ttyUSB3", SM_COMMAND, 9, true, "in use by another program, not probed"},
};

std::unique_ptr<SimulatedModuleC> startModule(const ProbeCaseS& probeCase)
{
    SimConfigS config;
    config.m_eInitialMode = probeCase.m_eMode;
    config.m_lineSettings.m_unBaudRate = probeCase.m_unBaudCode;
    config.m_lineSettings.m_unFlowControl = probeCase.m_unBaudCode == 12 ? 1 : 2;
    config.m_bStrictFlowControl = true;
    std::unique_ptr<SimulatedModuleC> pModule(new SimulatedModuleC(config));
    EXPECT_TRUE(pModule->start());
    return pModule;
}

bool received(const SimulatedModuleC& module, SimEntryKindE eKind, const std::string& strBytes,
              uint32_t ulBaudRate)
{
    const std::vector<SimTranscriptEntryS> vecEntries = module.transcript().entries();
    return std::any_of(vecEntries.begin(), vecEntries.end(), [&](const auto& entry) {
        return entry.m_eKind == eKind && contains(entry.m_strBytes, strBytes) &&
               entry.m_host.m_ulBaudRate == ulBaudRate;
    });
}

// The device of COM8 is probed too; JSON gives each result.
TEST(QuentaPortsProbe, EachDeviceIsPingedAtBothLineSettingsUnlessHeld)
{
    TempDirC root;
    std::vector<std::unique_ptr<SimulatedModuleC>> vecModules;
    int nHolder = -1;
    for (const ProbeCaseS& probeCase : c_aProbeCases) {
        vecModules.push_back(startModule(probeCase));
        root.link("dev/" + std::string(probeCase.m_szName), vecModules.back()->slavePath());
        if (probeCase.m_bHeld) {
            nHolder = open(vecModules.back()->slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(nHolder, 0);
            ASSERT_EQ(0, flock(nHolder, LOCK_EX | LOCK_NB));
        }
    }
    root.file("dev/ttyS1"); // a file, not a serial device
    // A device of its own: a second name of a listed one is probed at the
    // same time and finds it in use.
    const std::unique_ptr<SimulatedModuleC> pCom8 = startModule(c_aProbeCases[0]);
    const std::string strCom8 = pCom8->slavePath();

    RunS run = runTool({"ports", "--probe", "--port", strCom8}, {{c_szTestRoot, root.path()}});
    EXPECT_EQ(0, run.m_nExit) << run.m_strErr;
    EXPECT_TRUE(contains(run.m_strOut,
                         root / "dev/ttyS1\n  probe: cannot be probed: not a serial device\n"))
        << run.m_strOut;
    EXPECT_TRUE(contains(run.m_strOut, "COM8: " + strCom8 + " (--port)\n  probe: " +
                                           c_aProbeCases[0].m_szProbe + "\n"))
        << run.m_strOut;
    for (size_t i = 0; i < vecModules.size(); ++i) {
        const ProbeCaseS& probeCase = c_aProbeCases[i];
        SCOPED_TRACE(probeCase.m_szName);
        const SimulatedModuleC& module = *vecModules[i];
        EXPECT_TRUE(contains(run.m_strOut, root / "dev/" + probeCase.m_szName +
                                               "\n  probe: " + probeCase.m_szProbe + "\n"))
            << run.m_strOut;
        if (probeCase.m_bHeld) {
            // Not a byte, at any line setting.
            EXPECT_FALSE(module.transcript().waitFor(
                [](const std::vector<SimTranscriptEntryS>& vecEntries) {
                    return std::any_of(vecEntries.begin(), vecEntries.end(), [](const auto& entry) {
                        return entry.m_eKind == EK_RECEIVED_LINE || entry.m_eKind == EK_DATA ||
                               entry.m_eKind == EK_NOISE;
                    });
                },
                300));
            continue;
        }
        // The first line setting always; the second unless the first answered.
        EXPECT_TRUE(received(module, probeCase.m_unBaudCode == 12 ? EK_RECEIVED_LINE : EK_NOISE,
                             "AT", 921600));
        EXPECT_EQ(probeCase.m_unBaudCode == 9,
                  received(module, probeCase.m_eMode == SM_DATA ? EK_DATA : EK_RECEIVED_LINE, "AT",
                           115200));
        // No escape sequence: a module in data mode stays there.
        EXPECT_FALSE(received(module, EK_DATA, "///", 115200));
        EXPECT_EQ(probeCase.m_eMode, module.mode());
    }

    run = runTool({"ports", "--probe", "--json"},
                  {{c_szTestRoot, root.path()}, {"QUENTA_PORT_COM8", strCom8}});
    close(nHolder);
    EXPECT_EQ(0, run.m_nExit) << run.m_strErr;
    EXPECT_TRUE(contains(run.m_strOut, "\"COM8:\":{\"path\":\"" + strCom8 +
                                           "\",\"source\":\"QUENTA_PORT_COM8\",\"exists\":true,"
                                           "\"probe\":{\"result\":\"answered\",\"bitRate\":"
                                           "115200,\"rtsCts\":false}}}\n"))
        << run.m_strOut;
    EXPECT_TRUE(contains(run.m_strOut, "ttyUSB2\",\"probe\":{\"result\":\"no answer\"}"))
        << run.m_strOut;
}

} // namespace
