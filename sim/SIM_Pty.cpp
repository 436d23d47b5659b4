#include "SIM_Pty.h"

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace QUENTA {
namespace SIM {

PtyC::~PtyC()
{
    close();
}

bool PtyC::open()
{
    close();
    int hMaster = -1;
    int hSlave = -1;
    char szName[256] = {0};
    if (openpty(&hMaster, &hSlave, szName, nullptr, nullptr) != 0) {
        return false;
    }
    termios tio{};
    if (tcgetattr(hSlave, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B115200);
        cfsetospeed(&tio, B115200);
        tcsetattr(hSlave, TCSANOW, &tio);
    }
    // Holding the slave would keep a host's exclusive-open flag alive past its close,
    // so only the master stays open; the loop copes with the host being absent.
    ::close(hSlave);
    const int iFlags = fcntl(hMaster, F_GETFL);
    fcntl(hMaster, F_SETFL, iFlags | O_NONBLOCK);
    fcntl(hMaster, F_SETFD, FD_CLOEXEC);
    m_hMaster = hMaster;
    m_strSlavePath = szName;
    return true;
}

void PtyC::close()
{
    if (m_hMaster >= 0) {
        ::close(m_hMaster);
        m_hMaster = -1;
    }
}

SimIoResultE PtyC::read(std::string& strOut)
{
    strOut.clear();
    char szBuffer[4096];
    for (;;) {
        const ssize_t nRead = ::read(m_hMaster, szBuffer, sizeof(szBuffer));
        if (nRead > 0) {
            strOut.append(szBuffer, static_cast<size_t>(nRead));
            continue;
        }
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead < 0 && errno == EAGAIN) {
            return IO_OK;
        }
        // EIO: the last holder of the slave closed it.
        return strOut.empty() ? IO_HOST_ABSENT : IO_OK;
    }
}

SimIoResultE PtyC::write(const char* pData, size_t unLength, size_t& unWritten)
{
    unWritten = 0;
    while (unWritten < unLength) {
        const ssize_t nWritten = ::write(m_hMaster, pData + unWritten, unLength - unWritten);
        if (nWritten > 0) {
            unWritten += static_cast<size_t>(nWritten);
            continue;
        }
        if (nWritten < 0 && errno == EINTR) {
            continue;
        }
        if (nWritten < 0 && errno == EAGAIN) {
            return IO_OK;
        }
        return IO_HOST_ABSENT;
    }
    return IO_OK;
}

SimHostLineS PtyC::hostSettings() const
{
    SimHostLineS host;
    termios tio{};
    // On Linux the master reports the slave's settings.
    if (m_hMaster < 0 || tcgetattr(m_hMaster, &tio) != 0) {
        return host;
    }
    host.m_ulBaudRate = baudFromSpeed(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        host.m_unDataBits = 5;
        break;
    case CS6:
        host.m_unDataBits = 6;
        break;
    case CS7:
        host.m_unDataBits = 7;
        break;
    default:
        host.m_unDataBits = 8;
        break;
    }
    host.m_unParity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 2u : 3u) : 1u;
    host.m_unStopBits = (tio.c_cflag & CSTOPB) ? 2u : 1u;
    host.m_bRtsCts = (tio.c_cflag & CRTSCTS) != 0;
    return host;
}

uint32_t baudFromSpeed(unsigned int speed)
{
    switch (speed) {
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    case B460800:
        return 460800;
    case B921600:
        return 921600;
    default:
        return 0;
    }
}

uint32_t baudFromCode(uint32_t unCode)
{
    switch (unCode) {
    case 4:
        return 4800;
    case 5:
        return 9600;
    case 6:
        return 19200;
    case 8:
        return 57600;
    case 9:
        return 115200;
    case 12:
        return 921600;
    default:
        return 0;
    }
}

uint32_t codeFromBaud(uint32_t ulBaudRate)
{
    for (uint32_t unCode = 1; unCode <= 12; ++unCode) {
        if (baudFromCode(unCode) == ulBaudRate && ulBaudRate != 0) {
            return unCode;
        }
    }
    return 0;
}

} // namespace SIM
} // namespace QUENTA
