#include "QuentaCliPorts.h"
#include "QuentaCliProbe.h"

#if defined(_WIN32)
#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#else
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace QUENTA {
namespace CLI {

#if defined(_WIN32)

namespace {

const char* const c_szComPort = "COM8";
// Where a port gets its number; the library opens no other.
const char* const c_szNumbering =
    "(Device Manager > Ports (COM & LPT) > the port > Properties > Port Settings > Advanced > "
    "COM Port Number; under Wine, a link $WINEPREFIX/dosdevices/com8 to the device)";

// The number n of "COMn", 0 for any other name.
unsigned comNumber(const std::wstring& strName)
{
    if (strName.size() < 4 || strName.size() > 6 || _wcsnicmp(strName.c_str(), L"COM", 3) != 0) {
        return 0;
    }
    unsigned unNumber = 0;
    for (size_t i = 3; i < strName.size(); ++i) {
        if (std::iswdigit(strName[i]) == 0) {
            return 0;
        }
        unNumber = unNumber * 10 + static_cast<unsigned>(strName[i] - L'0');
    }
    return unNumber;
}

std::vector<std::wstring> dosDeviceNames()
{
    std::vector<wchar_t> vecBuffer(16 * 1024);
    DWORD dwLength = 0;
    while ((dwLength = QueryDosDeviceW(nullptr, vecBuffer.data(),
                                       static_cast<DWORD>(vecBuffer.size()))) == 0) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || vecBuffer.size() >= 1024 * 1024) {
            return {};
        }
        vecBuffer.resize(vecBuffer.size() * 2);
    }
    std::vector<std::wstring> vecNames;
    for (const wchar_t* pszName = vecBuffer.data();
         pszName < vecBuffer.data() + dwLength && *pszName != L'\0';
         pszName += std::wcslen(pszName) + 1) {
        vecNames.push_back(pszName);
    }
    return vecNames;
}

// The first device a DOS name stands for, empty when the system knows none.
std::string dosDeviceTarget(const std::wstring& strName)
{
    wchar_t szTarget[1024];
    return QueryDosDeviceW(strName.c_str(), szTarget, 1024) != 0 ? NOX::HAL::narrowPath(szTarget)
                                                                 : std::string();
}

// As the library opens "COM8:": exclusive, read-write, synchronous.
HANDLE openLikeTheLibrary(const std::string& strPath, DWORD& dwError)
{
    const HANDLE hPort =
        CreateFileW(NOX::HAL::widePath(strPath + ":").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    dwError = hPort == INVALID_HANDLE_VALUE ? GetLastError() : NO_ERROR;
    return hPort;
}

bool isAbsent(DWORD dwError)
{
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

bool openFindsNoDevice(const std::string& strPath)
{
    DWORD dwError = NO_ERROR;
    const HANDLE hPort = openLikeTheLibrary(strPath, dwError);
    if (hPort != INVALID_HANDLE_VALUE) {
        CloseHandle(hPort);
    }
    return isAbsent(dwError);
}

// Wine's dosdevices links are not in the name space that QueryDosDeviceW
// lists, so a name it does not know is tried the way the library opens it.
bool comPresent(const std::string& strName, std::string& strTarget)
{
    strTarget = dosDeviceTarget(NOX::HAL::widePath(strName));
    return !strTarget.empty() || !openFindsNoDevice(strName);
}

// The system names the device behind a COM port and nothing more.
PortEntryS comEntry(const std::string& strName, const std::string& strTarget)
{
    PortEntryS port;
    port.m_strPath = strName;
    port.m_strTarget = strTarget;
    return port;
}

} // namespace

bool usePortOption(const std::string&, std::string& strError)
{
    strError = std::string("quenta: --port is not available on Windows: the library always "
                           "opens ") +
               c_szComPort + "; give the module's port the number 8 instead " + c_szNumbering;
    return false;
}

ComMappingS com8Mapping(bool)
{
    ComMappingS mapping;
    mapping.m_strPath = c_szComPort;
    mapping.m_strSource = "system";
    mapping.m_bExists = comPresent(mapping.m_strPath, mapping.m_strTarget);
    return mapping;
}

std::string deviceName(const ComMappingS& com8)
{
    return com8.m_strPath;
}

std::vector<PortEntryS> listSerialPorts()
{
    std::vector<std::pair<unsigned, PortEntryS>> vecNumbered;
    for (const std::wstring& strName : dosDeviceNames()) {
        if (const unsigned unNumber = comNumber(strName)) {
            vecNumbered.push_back(
                {unNumber, comEntry(NOX::HAL::narrowPath(strName), dosDeviceTarget(strName))});
        }
    }
    const unsigned unCom8 = 8;
    const bool bListed = std::any_of(vecNumbered.begin(), vecNumbered.end(),
                                     [&](const auto& entry) { return entry.first == unCom8; });
    std::string strTarget;
    if (!bListed && comPresent(c_szComPort, strTarget)) {
        vecNumbered.push_back({unCom8, comEntry(c_szComPort, strTarget)});
    }
    std::sort(vecNumbered.begin(), vecNumbered.end(),
              [](const auto& lhs, const auto& rhs) { return lhs.first < rhs.first; });
    std::vector<PortEntryS> vecPorts;
    for (const auto& entry : vecNumbered) {
        vecPorts.push_back(entry.second);
    }
    return vecPorts;
}

bool deviceMissing(const std::string& strPath)
{
    return openFindsNoDevice(strPath);
}

#else

namespace {

const char* const c_szPortVariable = "QUENTA_PORT_COM8";
const char* const c_szDefaultPath = "/dev/ttyS7";

std::vector<std::string> globPaths(const char* szPattern)
{
    std::vector<std::string> vecPaths;
    glob_t matches;
    if (glob(szPattern, 0, nullptr, &matches) == 0) {
        for (size_t i = 0; i < matches.gl_pathc; ++i) {
            vecPaths.push_back(matches.gl_pathv[i]);
        }
    }
    globfree(&matches);
    return vecPaths;
}

// Where /dev and /sys are looked up: the root, or for tests the fake tree
// that QUENTA_PORTS_TEST_ROOT names (a USB adapter cannot be had there).
std::string systemRoot()
{
    const char* pszRoot = std::getenv("QUENTA_PORTS_TEST_ROOT");
    return pszRoot != nullptr ? pszRoot : "";
}

std::string baseName(const std::string& strPath)
{
    return strPath.substr(strPath.rfind('/') + 1);
}

// The first line of a sysfs attribute without trailing white space; empty
// when there is none.
std::string readAttribute(const std::string& strDir, const char* szName)
{
    std::ifstream file(strDir + "/" + szName);
    std::string strValue;
    if (!file || !std::getline(file, strValue)) {
        return std::string();
    }
    strValue.resize(std::min<size_t>(strValue.size(), 4096));
    while (!strValue.empty() && std::isspace(static_cast<unsigned char>(strValue.back())) != 0) {
        strValue.pop_back();
    }
    return strValue;
}

std::string resolvedPath(const std::string& strPath)
{
    char* pszResolved = realpath(strPath.c_str(), nullptr);
    if (pszResolved == nullptr) {
        return std::string();
    }
    std::string strResolved = pszResolved;
    std::free(pszResolved);
    return strResolved;
}

// The last part of where a symbolic link points (a driver's or a bus's name).
std::string linkName(const std::string& strLink)
{
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(strLink, error);
    return error ? std::string() : target.filename().string();
}

// Where a /dev/serial link points, one step: the udev links are relative
// ("../../ttyUSB0"), and following further would leave the tree they name.
std::string linkTarget(const std::string& strLink)
{
    std::error_code error;
    const std::filesystem::path target = std::filesystem::read_symlink(strLink, error);
    if (error) {
        return std::string();
    }
    return (std::filesystem::path(strLink).parent_path() / target).lexically_normal().string();
}

// Linux creates ttyS0 to ttyS31 whether or not a UART is behind them; sysfs
// reports type 0 for the empty ones.
bool isEmptyLegacyPort(const std::string& strPath)
{
    std::ifstream typeFile(systemRoot() + "/sys/class/tty/" + baseName(strPath) + "/type");
    int nType = -1;
    return typeFile >> nType && nType == 0;
}

// What the serial core says of a UART (ttyS*), as setserial shows it.
std::string uartDescription(const std::string& strTtyDir)
{
    static const char* const c_aszTypes[] = {
        nullptr, "8250",     "16450",  "16550", "16550A", "Cirrus", "16650",    "16650V2",
        "16750", "Startech", "16C950", "16654", "16850",  "RSA",    "NS16550A", "XScale"};
    const std::string strType = readAttribute(strTtyDir, "type");
    if (strType.empty()) {
        return std::string();
    }
    const int nType = std::atoi(strType.c_str());
    const int nTypes = static_cast<int>(sizeof(c_aszTypes) / sizeof(c_aszTypes[0]));
    std::string strText = nType > 0 && nType < nTypes ? std::string(c_aszTypes[nType]) + " UART"
                                                      : "UART type " + strType;
    // io_type 0 is a port in the I/O space, the others memory-mapped.
    const std::string strIoType = readAttribute(strTtyDir, "io_type");
    const std::string strAddress =
        readAttribute(strTtyDir, strIoType == "0" || strIoType.empty() ? "port" : "iomem_base");
    if (!strAddress.empty() && strAddress != "0x0") {
        strText +=
            (strIoType == "0" || strIoType.empty() ? ", I/O port " : ", memory ") + strAddress;
    }
    const std::string strIrq = readAttribute(strTtyDir, "irq");
    if (!strIrq.empty() && strIrq != "0") {
        strText += ", IRQ " + strIrq;
    }
    return strText;
}

void describeUsbDevice(const std::string& strUsbDir, const std::string& strInterfaceDir,
                       PortEntryS& port)
{
    port.m_strVendorId = readAttribute(strUsbDir, "idVendor");
    port.m_strProductId = readAttribute(strUsbDir, "idProduct");
    port.m_strManufacturer = readAttribute(strUsbDir, "manufacturer");
    port.m_strSerial = readAttribute(strUsbDir, "serial");
    // A device with several ports names each in its interface string.
    port.m_strDescription =
        strInterfaceDir.empty() ? std::string() : readAttribute(strInterfaceDir, "interface");
    if (port.m_strDescription.empty()) {
        port.m_strDescription = readAttribute(strUsbDir, "product");
    }
}

// Walks from the tty's device towards the root of the device tree: the driver
// is the first one off the serial-base bus (which newer kernels put between a
// UART and its driver), the USB fields come from the first device that has
// idVendor, its interface from the step below it.
void describeFromSysfs(PortEntryS& port)
{
    const std::string strSys = systemRoot() + "/sys";
    const std::string strTtyDir = strSys + "/class/tty/" + baseName(port.m_strPath);
    const std::string strDevices = resolvedPath(strSys + "/devices");
    std::string strDir = resolvedPath(strTtyDir + "/device");
    if (strDevices.empty() || strDir.empty()) {
        return; // a pseudo-terminal or a virtual console: no device behind it
    }
    std::string strBelow;
    while (strDir.size() > strDevices.size() &&
           strDir.compare(0, strDevices.size() + 1, strDevices + "/") == 0) {
        if (port.m_strDriver.empty() && linkName(strDir + "/subsystem") != "serial-base") {
            port.m_strDriver = linkName(strDir + "/driver");
        }
        if (!readAttribute(strDir, "idVendor").empty()) {
            describeUsbDevice(strDir, strBelow, port);
            break;
        }
        strBelow = strDir;
        strDir.resize(strDir.rfind('/'));
    }
    if (port.m_strDescription.empty()) {
        port.m_strDescription = uartDescription(strTtyDir);
    }
}

// udev's stable names for the devices: each link goes to the device it names,
// and a device only a link names is listed too.
void addSerialLinks(std::vector<PortEntryS>& vecPorts)
{
    for (const char* szDir : {"/dev/serial/by-id/*", "/dev/serial/by-path/*"}) {
        for (const std::string& strLink : globPaths((systemRoot() + szDir).c_str())) {
            const std::string strTarget = linkTarget(strLink);
            auto itPort =
                std::find_if(vecPorts.begin(), vecPorts.end(),
                             [&](const PortEntryS& port) { return port.m_strPath == strTarget; });
            if (itPort == vecPorts.end()) {
                vecPorts.push_back(PortEntryS());
                vecPorts.back().m_strPath = strTarget.empty() ? strLink : strTarget;
                itPort = vecPorts.end() - 1;
            }
            itPort->m_vecLinks.push_back(strLink);
        }
    }
}

} // namespace

bool usePortOption(const std::string& strDevice, std::string&)
{
    // The library maps "COM8:" through this variable when it first opens.
    setenv(c_szPortVariable, strDevice.c_str(), 1);
    return true;
}

ComMappingS com8Mapping(bool bFromOption)
{
    ComMappingS mapping;
    const char* pszMapped = std::getenv(c_szPortVariable);
    if (pszMapped != nullptr && *pszMapped != '\0') {
        mapping.m_strPath = pszMapped;
        mapping.m_strSource = bFromOption ? "--port" : c_szPortVariable;
    } else {
        mapping.m_strPath = c_szDefaultPath;
        mapping.m_strSource = "default";
    }
    struct stat st;
    mapping.m_bExists = stat(mapping.m_strPath.c_str(), &st) == 0;
    return mapping;
}

std::vector<PortEntryS> listSerialPorts()
{
    std::vector<PortEntryS> vecPorts;
    for (const char* szPattern : {"/dev/ttyS*", "/dev/ttyUSB*", "/dev/ttyACM*"}) {
        for (const std::string& strPath : globPaths((systemRoot() + szPattern).c_str())) {
            if (!isEmptyLegacyPort(strPath)) {
                vecPorts.push_back(PortEntryS());
                vecPorts.back().m_strPath = strPath;
            }
        }
    }
    addSerialLinks(vecPorts);
    for (PortEntryS& port : vecPorts) {
        describeFromSysfs(port);
    }
    return vecPorts;
}

std::string deviceName(const ComMappingS& com8)
{
    return com8.m_strPath + " (COM8:)";
}

bool deviceMissing(const std::string& strPath)
{
    return access(strPath.c_str(), F_OK) != 0 && errno == ENOENT;
}

#endif

ProbeS probePorts(std::vector<PortEntryS>& vecPorts, const ComMappingS& com8)
{
    std::vector<std::string> vecPaths;
    for (const PortEntryS& port : vecPorts) {
        vecPaths.push_back(port.m_strPath);
    }
    const bool bCom8Listed =
        std::find(vecPaths.begin(), vecPaths.end(), com8.m_strPath) != vecPaths.end();
    if (!bCom8Listed && com8.m_bExists) {
        vecPaths.push_back(com8.m_strPath);
    }
    const std::vector<ProbeS> vecProbes = probePorts(vecPaths);
    for (size_t i = 0; i < vecPorts.size(); ++i) {
        vecPorts[i].m_probe = vecProbes[i];
    }
    return vecProbes.size() > vecPorts.size() ? vecProbes.back() : ProbeS();
}

} // namespace CLI
} // namespace QUENTA
