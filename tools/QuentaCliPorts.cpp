#include "QuentaCliPorts.h"

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

namespace QUENTA {
namespace CLI {

const char* const c_szPortVariable = "QUENTA_PORT_COM8";

namespace {

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
    return "quenta: cannot open " + strPath + " (COM8:): " + szReason + " \xe2\x80\x94 " +
           hintFor(nErrno);
}

} // namespace

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

} // namespace CLI
} // namespace QUENTA
