#include "SIM_RawHost.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace QUENTA {
namespace SIM {

namespace {

speed_t speedFromBaud(uint32_t ulBaudRate)
{
    switch (ulBaudRate) {
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 921600:
        return B921600;
    default:
        return B0;
    }
}

int64_t remainingMs(std::chrono::steady_clock::time_point tEnd)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(tEnd -
                                                                 std::chrono::steady_clock::now())
        .count();
}

bool endsWith(const std::string& strText, const std::string& strEnd)
{
    return strText.size() >= strEnd.size() &&
           strText.compare(strText.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

} // namespace

RawHostC::~RawHostC()
{
    close();
}

bool RawHostC::open(const std::string& strPath, uint32_t ulBaudRate, bool bRtsCts)
{
    close();
    m_hFd = ::open(strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_hFd < 0) {
        return false;
    }
    if (!setLine(ulBaudRate, bRtsCts)) {
        close();
        return false;
    }
    return true;
}

void RawHostC::close()
{
    if (m_hFd >= 0) {
        ::close(m_hFd);
        m_hFd = -1;
    }
}

bool RawHostC::setLine(uint32_t ulBaudRate, bool bRtsCts)
{
    termios tio{};
    const speed_t speed = speedFromBaud(ulBaudRate);
    if (m_hFd < 0 || speed == B0 || tcgetattr(m_hFd, &tio) != 0) {
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= CLOCAL | CREAD;
    if (bRtsCts) {
        tio.c_cflag |= CRTSCTS;
    } else {
        tio.c_cflag &= ~CRTSCTS;
    }
    return tcsetattr(m_hFd, TCSANOW, &tio) == 0;
}

bool RawHostC::write(const std::string& strBytes)
{
    size_t unWritten = 0;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (unWritten < strBytes.size()) {
        const ssize_t nWritten =
            ::write(m_hFd, strBytes.data() + unWritten, strBytes.size() - unWritten);
        if (nWritten > 0) {
            unWritten += static_cast<size_t>(nWritten);
            continue;
        }
        if (nWritten < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        if (remainingMs(tEnd) <= 0) {
            return false;
        }
        pollfd fd = {m_hFd, POLLOUT, 0};
        poll(&fd, 1, 50);
    }
    return true;
}

std::string RawHostC::readFor(uint32_t ulMs)
{
    return readUntil(std::string(1, '\0') + "never", ulMs, true);
}

std::string RawHostC::readUntil(const std::string& strEnd, uint32_t ulTimeoutMs, bool bContains)
{
    std::string strReceived;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    for (;;) {
        const bool bDone = bContains ? strReceived.find(strEnd) != std::string::npos
                                     : endsWith(strReceived, strEnd);
        const int64_t llLeft = remainingMs(tEnd);
        if (bDone || llLeft <= 0 || m_hFd < 0) {
            return strReceived;
        }
        pollfd fd = {m_hFd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(llLeft)) <= 0) {
            continue;
        }
        char szBuffer[4096];
        const ssize_t nRead = ::read(m_hFd, szBuffer, sizeof(szBuffer));
        if (nRead > 0) {
            strReceived.append(szBuffer, static_cast<size_t>(nRead));
        } else if (nRead < 0 && errno != EAGAIN && errno != EINTR) {
            return strReceived;
        }
    }
}

std::string RawHostC::command(const std::string& strLine, uint32_t ulTimeoutMs)
{
    if (!write(strLine + "\r")) {
        return std::string();
    }
    std::string strReceived;
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    while (!endsWith(strReceived, "\r\nOK\r\n") && !endsWith(strReceived, "\r\nERROR\r\n")) {
        const int64_t llLeft = remainingMs(tEnd);
        if (llLeft <= 0) {
            break;
        }
        const std::string strMore = readUntil("\r\n", static_cast<uint32_t>(llLeft));
        if (strMore.empty()) {
            break;
        }
        strReceived += strMore;
    }
    return strReceived;
}

bool RawHostC::waitForHangup(uint32_t ulTimeoutMs)
{
    const auto tEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    while (remainingMs(tEnd) > 0) {
        pollfd fd = {m_hFd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(remainingMs(tEnd))) <= 0) {
            continue;
        }
        if (fd.revents & (POLLHUP | POLLERR)) {
            return true;
        }
        char szBuffer[256];
        const ssize_t nRead = ::read(m_hFd, szBuffer, sizeof(szBuffer));
        if (nRead == 0 || (nRead < 0 && errno == EIO)) {
            return true;
        }
    }
    return false;
}

} // namespace SIM
} // namespace QUENTA
