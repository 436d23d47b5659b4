#include "QuentaCliPorts.h"

#if defined(_WIN32)
#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <algorithm>
#include <cstring>
#include <cwctype>
#else
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <glob.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
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

std::string openMessage(const std::string& strPath, DWORD dwError)
{
    std::string strMessage = "quenta: cannot open " + shown(strPath) + ": ";
    if (isAbsent(dwError)) {
        return strMessage +
               "no such device \xe2\x80\x94 is the module plugged in, and does its port have "
               "the number 8? " +
               c_szNumbering;
    }
    if (dwError == ERROR_ACCESS_DENIED || dwError == ERROR_SHARING_VIOLATION) {
        return strMessage + "in use \xe2\x80\x94 is another program using it?";
    }
    return strMessage + win32ErrorText(dwError) + " (error " + std::to_string(dwError) +
           ") \xe2\x80\x94 check the device, and that the module's port has the number 8 " +
           c_szNumbering;
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
                {unNumber, {NOX::HAL::narrowPath(strName), dosDeviceTarget(strName)}});
        }
    }
    const unsigned unCom8 = 8;
    const bool bListed = std::any_of(vecNumbered.begin(), vecNumbered.end(),
                                     [&](const auto& entry) { return entry.first == unCom8; });
    std::string strTarget;
    if (!bListed && comPresent(c_szComPort, strTarget)) {
        vecNumbered.push_back({unCom8, {c_szComPort, strTarget}});
    }
    std::sort(vecNumbered.begin(), vecNumbered.end(),
              [](const auto& lhs, const auto& rhs) { return lhs.first < rhs.first; });
    std::vector<PortEntryS> vecPorts;
    for (const auto& entry : vecNumbered) {
        vecPorts.push_back(entry.second);
    }
    return vecPorts;
}

std::string portProblem(const std::string& strPath)
{
    DWORD dwError = NO_ERROR;
    const HANDLE hPort = openLikeTheLibrary(strPath, dwError);
    if (hPort == INVALID_HANDLE_VALUE) {
        return openMessage(strPath, dwError);
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    const bool bSerial = GetCommState(hPort, &dcb) != FALSE;
    dwError = bSerial ? NO_ERROR : GetLastError();
    CloseHandle(hPort);
    if (bSerial) {
        return std::string();
    }
    return "quenta: cannot open " + shown(strPath) + ": " + win32ErrorText(dwError) +
           " \xe2\x80\x94 it is not a serial device; the module's port needs the number 8 " +
           c_szNumbering;
}

bool deviceMissing(const std::string& strPath)
{
    return openFindsNoDevice(strPath);
}

#else

namespace {

const char* const c_szPortVariable = "QUENTA_PORT_COM8";
const char* const c_szDefaultPath = "/dev/ttyS7";
const char* const c_szUsePort = "use --port DEVICE or set QUENTA_PORT_COM8";

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

// Linux creates ttyS0 to ttyS31 whether or not a UART is behind them; sysfs
// reports type 0 for the empty ones.
bool isEmptyLegacyPort(const std::string& strPath)
{
    const std::string strName = strPath.substr(strPath.rfind('/') + 1);
    std::ifstream typeFile("/sys/class/tty/" + strName + "/type");
    int nType = -1;
    return typeFile >> nType && nType == 0;
}

std::string linkTarget(const std::string& strPath)
{
    char* pszResolved = realpath(strPath.c_str(), nullptr);
    if (pszResolved == nullptr) {
        return std::string();
    }
    std::string strTarget = pszResolved;
    std::free(pszResolved);
    return strTarget;
}

std::string hintFor(int nErrno)
{
    switch (nErrno) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case EIO:
        return std::string("is the module plugged in? ") + c_szUsePort;
    case EACCES:
    case EPERM:
        return "may this user open it? (often membership of the group that owns it, "
               "e.g. dialout)";
    case EBUSY:
    case EWOULDBLOCK:
        return "is another program using it?";
    case ENOTTY:
        return std::string("it is not a serial device; ") + c_szUsePort;
    default:
        return std::string("check the device; ") + c_szUsePort;
    }
}

std::string openMessage(const std::string& strPath, int nErrno)
{
    const char* szReason = nErrno == EWOULDBLOCK ? "in use" : std::strerror(nErrno);
    return "quenta: cannot open " + shown(strPath) + " (COM8:): " + szReason + " \xe2\x80\x94 " +
           hintFor(nErrno);
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
        for (const std::string& strPath : globPaths(szPattern)) {
            if (!isEmptyLegacyPort(strPath)) {
                vecPorts.push_back({strPath, std::string()});
            }
        }
    }
    for (const std::string& strPath : globPaths("/dev/serial/by-id/*")) {
        vecPorts.push_back({strPath, linkTarget(strPath)});
    }
    return vecPorts;
}

std::string portProblem(const std::string& strPath)
{
    const int nFd = open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (nFd < 0) {
        return openMessage(strPath, errno);
    }
    int nErrno = 0;
    termios tio;
    if (tcgetattr(nFd, &tio) != 0) {
        nErrno = errno;
    } else if (flock(nFd, LOCK_EX | LOCK_NB) != 0) {
        nErrno = errno;
    }
    close(nFd);
    return nErrno == 0 ? std::string() : openMessage(strPath, nErrno);
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

} // namespace CLI
} // namespace QUENTA
