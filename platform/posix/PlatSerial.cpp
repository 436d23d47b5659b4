// Serial devices on termios. A handle is the device's file descriptor; what
// the Win32 calls keep per handle (event mask, time-outs, modem-line choices)
// lives in a table keyed by it, together with a wake-up descriptor that ends
// every wait on the handle when it is closed.
#include "PlatInternal.h"
#include "PlatSerialLine.h"
#include "PlatformDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using ClockT = std::chrono::steady_clock;

constexpr DWORD c_dwMaxDword = 0xFFFFFFFFu;
// No event tells that a driver's output queue ran empty: it is looked at this often.
constexpr auto c_outputCheck = std::chrono::milliseconds(2);
// Output that has not moved for this long at a close is taken as stalled.
constexpr auto c_outputStall = std::chrono::milliseconds(100);

class SerialDeviceC
{
public:
    SerialDeviceC(int nFd, int nWakeFd, DWORD dwAccess, bool bPseudoTerminal)
        : m_nFd(nFd), m_nWakeFd(nWakeFd), m_dwAccess(dwAccess), m_bPseudoTerminal(bPseudoTerminal)
    {}
    SerialDeviceC(const SerialDeviceC&) = delete;
    SerialDeviceC& operator=(const SerialDeviceC&) = delete;

    const int m_nFd;
    // Becomes readable for good when the handle is closed.
    const int m_nWakeFd;
    const DWORD m_dwAccess;
    // The kernel pins a pseudo-terminal to 8 data bits without parity: it
    // carries whole bytes. The framing asked for is remembered and reported.
    const bool m_bPseudoTerminal;

    // Guarded by the table's lock.
    int m_nUsers = 0;
    bool m_bClosing = false;

    std::mutex m_mtxSettings;
    DWORD m_dwEvtMask = 0;
    COMMTIMEOUTS m_timeouts = {};
    DWORD m_dwInQueue = 0;
    DWORD m_dwOutQueue = 0;
    DWORD m_dwDtrControl = DTR_CONTROL_ENABLE;
    DWORD m_dwRtsControl = RTS_CONTROL_ENABLE;
    BYTE m_byByteSize = 8;
    BYTE m_byParity = NOPARITY;

    // A read takes only the bytes queued, which holds only while no other
    // read drains the queue in between.
    std::mutex m_mtxRead;
    // Writes switch the descriptor to non-blocking for their duration.
    std::mutex m_mtxWrite;
};

// The open serial devices. A call holds a use of its device for its whole run;
// closing takes the device out of the table, wakes its users and waits for
// them to leave before the descriptor is closed, so that no call ever touches
// a descriptor number that has been reused.
class SerialTableC
{
public:
    static SerialTableC& instance()
    {
        // Never destroyed: threads may still close handles while the process exits.
        static SerialTableC* s_pTable = new SerialTableC;
        return *s_pTable;
    }

    void add(std::unique_ptr<SerialDeviceC> pDevice)
    {
        std::unique_lock<std::mutex> lock(m_mtxTable);
        auto it = m_mapDevices.find(pDevice->m_nFd);
        if (it != m_mapDevices.end()) {
            // The number was closed behind our back (close() on the handle)
            // and is now this device: drop what was left of the old one.
            std::unique_ptr<SerialDeviceC> pStale = std::move(it->second);
            m_mapDevices.erase(it);
            retireLocked(lock, *pStale);
            ::close(pStale->m_nWakeFd);
        }
        const int nFd = pDevice->m_nFd;
        m_mapDevices.emplace(nFd, std::move(pDevice));
    }

    SerialDeviceC* acquire(HANDLE h)
    {
        std::lock_guard<std::mutex> lock(m_mtxTable);
        auto it = m_mapDevices.find(fdFromHandle(h));
        if (it == m_mapDevices.end())
            return nullptr;
        ++it->second->m_nUsers;
        return it->second.get();
    }

    void release(SerialDeviceC& device)
    {
        std::lock_guard<std::mutex> lock(m_mtxTable);
        if (--device.m_nUsers == 0 && device.m_bClosing)
            m_cvLeft.notify_all();
    }

    bool contains(HANDLE h)
    {
        std::lock_guard<std::mutex> lock(m_mtxTable);
        return m_mapDevices.count(fdFromHandle(h)) != 0;
    }

    // Takes the device out of the table once no call uses it any more.
    std::unique_ptr<SerialDeviceC> retire(HANDLE h)
    {
        std::unique_lock<std::mutex> lock(m_mtxTable);
        auto it = m_mapDevices.find(fdFromHandle(h));
        if (it == m_mapDevices.end())
            return nullptr;
        std::unique_ptr<SerialDeviceC> pDevice = std::move(it->second);
        m_mapDevices.erase(it);
        retireLocked(lock, *pDevice);
        return pDevice;
    }

    static int fdFromHandle(HANDLE h)
    {
        const intptr_t nValue = reinterpret_cast<intptr_t>(h);
        return nValue >= 0 && nValue <= INT_MAX ? static_cast<int>(nValue) : -1;
    }

private:
    SerialTableC() = default;

    void retireLocked(std::unique_lock<std::mutex>& lock, SerialDeviceC& device)
    {
        device.m_bClosing = true;
        const uint64_t unOne = 1;
        (void)!::write(device.m_nWakeFd, &unOne, sizeof(unOne));
        m_cvLeft.wait(lock, [&device] { return device.m_nUsers == 0; });
    }

    std::mutex m_mtxTable;
    std::condition_variable m_cvLeft;
    std::unordered_map<int, std::unique_ptr<SerialDeviceC>> m_mapDevices;
};

// One call's use of a device; empty when the handle is not an open serial handle.
class DeviceUseC
{
public:
    explicit DeviceUseC(HANDLE h) : m_pDevice(SerialTableC::instance().acquire(h)) {}
    ~DeviceUseC()
    {
        if (m_pDevice != nullptr)
            SerialTableC::instance().release(*m_pDevice);
    }
    DeviceUseC(const DeviceUseC&) = delete;
    DeviceUseC& operator=(const DeviceUseC&) = delete;

    explicit operator bool() const { return m_pDevice != nullptr; }
    SerialDeviceC* operator->() const { return m_pDevice; }
    SerialDeviceC& operator*() const { return *m_pDevice; }

private:
    SerialDeviceC* m_pDevice;
};

// ---------------------------------------------------------------- waiting

struct DeadlineS
{
    bool bLimited;
    ClockT::time_point at;
};

const DeadlineS c_noDeadline = {false, {}};

DeadlineS deadlineAfter(ClockT::time_point start, uint64_t unMs)
{
    return {true, start + std::chrono::milliseconds(unMs)};
}

DeadlineS earlier(const DeadlineS& a, const DeadlineS& b)
{
    if (!a.bLimited)
        return b;
    if (!b.bLimited)
        return a;
    return a.at <= b.at ? a : b;
}

// Milliseconds left, rounded up so that a wait never ends early; -1 without a limit.
int msLeft(const DeadlineS& deadline)
{
    if (!deadline.bLimited)
        return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline.at - ClockT::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
}

enum class WaitE
{
    Ready,
    TimedOut,
    Closed,
    Removed,
    Failed
};

// Waits for the events on the device, its hang-up or the closing of its
// handle. Failed leaves the error in GetLastError.
WaitE waitDevice(const SerialDeviceC& device, short nEvents, const DeadlineS& deadline)
{
    for (;;) {
        pollfd aFds[2] = {{device.m_nFd, nEvents, 0}, {device.m_nWakeFd, POLLIN, 0}};
        const int nReady = ::poll(aFds, 2, msLeft(deadline));
        if (nReady < 0) {
            if (errno == EINTR)
                continue;
            plat::failWithErrno();
            return WaitE::Failed;
        }
        if (aFds[1].revents != 0)
            return WaitE::Closed;
        if ((aFds[0].revents & (POLLHUP | POLLERR)) != 0)
            return WaitE::Removed;
        if ((aFds[0].revents & POLLNVAL) != 0) {
            plat::failWith(ERROR_INVALID_HANDLE);
            return WaitE::Failed;
        }
        if ((aFds[0].revents & nEvents) != 0)
            return WaitE::Ready;
        if (nReady == 0)
            return WaitE::TimedOut;
    }
}

BOOL failWait(WaitE wait)
{
    switch (wait) {
    case WaitE::Closed:
        return plat::failWith(ERROR_OPERATION_ABORTED);
    case WaitE::Removed:
        return plat::failWith(ERROR_DEVICE_REMOVED);
    default:
        return FALSE;
    }
}

// ---------------------------------------------------------------- opening

std::string utf8FromWide(LPCWSTR pszWide)
{
    std::string strOut;
    for (; *pszWide != 0; ++pszWide) {
        const uint32_t unCode = static_cast<uint32_t>(*pszWide);
        if (unCode < 0x80) {
            strOut += static_cast<char>(unCode);
        } else if (unCode < 0x800) {
            strOut += static_cast<char>(0xC0 | (unCode >> 6));
            strOut += static_cast<char>(0x80 | (unCode & 0x3F));
        } else if (unCode < 0x10000) {
            strOut += static_cast<char>(0xE0 | (unCode >> 12));
            strOut += static_cast<char>(0x80 | ((unCode >> 6) & 0x3F));
            strOut += static_cast<char>(0x80 | (unCode & 0x3F));
        } else {
            strOut += static_cast<char>(0xF0 | (unCode >> 18));
            strOut += static_cast<char>(0x80 | ((unCode >> 12) & 0x3F));
            strOut += static_cast<char>(0x80 | ((unCode >> 6) & 0x3F));
            strOut += static_cast<char>(0x80 | (unCode & 0x3F));
        }
    }
    return strOut;
}

int openFlags(DWORD dwAccess)
{
    const bool bRead = (dwAccess & GENERIC_READ) != 0;
    const bool bWrite = (dwAccess & GENERIC_WRITE) != 0;
    if (bWrite)
        return bRead ? O_RDWR : O_WRONLY;
    return O_RDONLY;
}

// Closes the descriptor of a failed open and sets the error.
int failOpen(int nFd, DWORD dwError)
{
    ::close(nFd);
    plat::failWith(dwError);
    return -1;
}

int failOpenWithErrno(int nFd)
{
    return failOpen(nFd, plat::errorFromErrno(errno));
}

// Descriptors 0 to 2 would give handles that read as null or as standard
// streams; keep serial handles above them.
int moveAboveStandardStreams(int nFd)
{
    if (nFd > STDERR_FILENO)
        return nFd;
    const int nMoved = ::fcntl(nFd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (nMoved < 0)
        return failOpenWithErrno(nFd);
    ::close(nFd);
    return nMoved;
}

bool isPseudoTerminal(int nFd)
{
    struct stat st;
    if (::fstat(nFd, &st) != 0)
        return false;
    const unsigned unMajor = major(st.st_rdev);
    // Unix98 slaves use majors 136 to 143, the old BSD slaves major 3.
    return (unMajor >= 136 && unMajor <= 143) || unMajor == 3;
}

// Opens the device exclusively in raw mode with its input queue emptied.
// Returns -1 with the last error set on failure.
int openDevice(const std::string& strPath, DWORD dwAccess)
{
    // Non-blocking so that open does not wait for a carrier, and so that reads
    // and writes never block outside poll, which closing the handle wakes.
    int nFd = ::open(strPath.c_str(), openFlags(dwAccess) | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (nFd < 0) {
        plat::failWith(errno == EISDIR ? ERROR_ACCESS_DENIED : plat::errorFromErrno(errno));
        return -1;
    }
    nFd = moveAboveStandardStreams(nFd);
    if (nFd < 0)
        return -1;
    termios tio;
    if (::tcgetattr(nFd, &tio) != 0)
        return failOpen(nFd, errno == ENOTTY ? ERROR_NOT_SUPPORTED : plat::errorFromErrno(errno));
    // TIOCEXCL does not hold for root; the lock keeps out every other opener
    // that goes through here, and the kernel drops it with the process.
    if (::flock(nFd, LOCK_EX | LOCK_NB) != 0)
        return failOpen(nFd, errno == EWOULDBLOCK ? ERROR_SHARING_VIOLATION
                                                  : plat::errorFromErrno(errno));
    // A pseudo-terminal keeps TIOCEXCL after its last close while its other
    // side stays open: a killed process, or a handle closed with close(),
    // would lock every later user but root out. A real device drops it at
    // its last close.
    if (!isPseudoTerminal(nFd))
        ::ioctl(nFd, TIOCEXCL);
    plat::makeRawLine(tio);
    if (::tcsetattr(nFd, TCSANOW, &tio) != 0 || ::tcflush(nFd, TCIFLUSH) != 0)
        return failOpenWithErrno(nFd);
    return nFd;
}

void initModemLines(SerialDeviceC& device)
{
    int nLines = 0;
    if (::ioctl(device.m_nFd, TIOCMGET, &nLines) != 0)
        return;
    device.m_dwDtrControl = (nLines & TIOCM_DTR) != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    device.m_dwRtsControl = (nLines & TIOCM_RTS) != 0 ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
}

// ---------------------------------------------------------------- line settings

// Devices without modem lines (pseudo-terminals) refuse these requests; the
// choice is still remembered and reported.
bool setModemLine(int nFd, int nLine, bool bOn)
{
    if (::ioctl(nFd, bOn ? TIOCMBIS : TIOCMBIC, &nLine) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL || errno == EIO;
}

bool sameLine(const termios& a, const termios& b, bool bPseudoTerminal)
{
    tcflag_t lineFlags = PARODD | CSTOPB | CRTSCTS;
#ifdef CMSPAR
    lineFlags |= CMSPAR;
#endif
    if (!bPseudoTerminal)
        lineFlags |= CSIZE | PARENB;
    return cfgetospeed(&a) == cfgetospeed(&b) && cfgetispeed(&a) == cfgetispeed(&b) &&
           (a.c_cflag & lineFlags) == (b.c_cflag & lineFlags);
}

// The bit rates devices refused in this process, by device number: the
// tools warn before a hand-over to a rate the line has refused.
class RefusedRatesC
{
public:
    static RefusedRatesC& instance()
    {
        static RefusedRatesC* s_pRates = new RefusedRatesC;
        return *s_pRates;
    }

    void add(int nFd, speed_t speed)
    {
        struct stat st;
        if (::fstat(nFd, &st) != 0)
            return;
        std::lock_guard<std::mutex> lock(m_mtx);
        m_setRefused.insert({st.st_rdev, speed});
    }

    bool contains(dev_t device, speed_t speed)
    {
        std::lock_guard<std::mutex> lock(m_mtx);
        return m_setRefused.count({device, speed}) != 0;
    }

private:
    std::mutex m_mtx;
    std::set<std::pair<dev_t, speed_t>> m_setRefused;
};

// Applies the settings and checks that the device took them; a device that
// refuses one is put back as it was.
BOOL applyLine(const SerialDeviceC& device, const termios& previous, const termios& wanted)
{
    termios actual;
    if (::tcsetattr(device.m_nFd, TCSANOW, &wanted) != 0 || ::tcgetattr(device.m_nFd, &actual) != 0)
        return plat::failWithErrno();
    if (!sameLine(actual, wanted, device.m_bPseudoTerminal)) {
        if (cfgetospeed(&actual) != cfgetospeed(&wanted))
            RefusedRatesC::instance().add(device.m_nFd, cfgetospeed(&wanted));
        ::tcsetattr(device.m_nFd, TCSANOW, &previous);
        return plat::failWith(ERROR_INVALID_PARAMETER);
    }
    return TRUE;
}

// ---------------------------------------------------------------- transfers

struct ReadPlanS
{
    DeadlineS total;
    DWORD dwIntervalMs; // 0: no interval limit
    bool bReturnAtOnce; // with what is queued, even nothing
    bool bReturnOnAny;  // as soon as one byte is there
};

ReadPlanS readPlan(const COMMTIMEOUTS& timeouts, DWORD dwCount)
{
    const ClockT::time_point start = ClockT::now();
    ReadPlanS plan = {c_noDeadline, 0, false, false};
    const bool bIntervalMax = timeouts.ReadIntervalTimeout == c_dwMaxDword;
    if (bIntervalMax && timeouts.ReadTotalTimeoutMultiplier == 0 &&
        timeouts.ReadTotalTimeoutConstant == 0) {
        plan.bReturnAtOnce = true;
        return plan;
    }
    if (bIntervalMax && timeouts.ReadTotalTimeoutMultiplier == c_dwMaxDword &&
        timeouts.ReadTotalTimeoutConstant != 0 &&
        timeouts.ReadTotalTimeoutConstant != c_dwMaxDword) {
        plan.bReturnOnAny = true;
        plan.total = deadlineAfter(start, timeouts.ReadTotalTimeoutConstant);
        return plan;
    }
    if (timeouts.ReadTotalTimeoutMultiplier != 0 || timeouts.ReadTotalTimeoutConstant != 0) {
        const uint64_t unTotal = uint64_t(timeouts.ReadTotalTimeoutMultiplier) * dwCount +
                                 timeouts.ReadTotalTimeoutConstant;
        plan.total = deadlineAfter(start, unTotal);
    }
    plan.dwIntervalMs = bIntervalMax ? 0 : timeouts.ReadIntervalTimeout;
    return plan;
}

// Reads what is queued, at most dwWanted bytes, without blocking (the
// descriptor is non-blocking). Returns the bytes read, or -1 with the last
// error set.
long readQueued(const SerialDeviceC& device, BYTE* pbyBuffer, DWORD dwWanted)
{
    for (;;) {
        const ssize_t nRead = ::read(device.m_nFd, pbyBuffer, dwWanted);
        if (nRead > 0)
            return static_cast<long>(nRead);
        if (nRead == 0) {
            // End of file on a terminal is a hang-up.
            plat::failWith(ERROR_DEVICE_REMOVED);
            return -1;
        }
        if (errno == EAGAIN)
            return 0;
        if (errno != EINTR) {
            plat::failWithErrno();
            return -1;
        }
    }
}

BOOL readWithPlan(SerialDeviceC& device, BYTE* pbyBuffer, DWORD dwCount, DWORD& dwDone)
{
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard<std::mutex> lock(device.m_mtxSettings);
        timeouts = device.m_timeouts;
    }
    const ReadPlanS plan = readPlan(timeouts, dwCount);
    DeadlineS interval = c_noDeadline;
    while (dwDone < dwCount) {
        const long nRead = readQueued(device, pbyBuffer + dwDone, dwCount - dwDone);
        if (nRead < 0)
            return dwDone > 0 ? TRUE : FALSE;
        if (nRead > 0) {
            dwDone += static_cast<DWORD>(nRead);
            if (plan.bReturnOnAny)
                break;
            if (plan.dwIntervalMs != 0)
                interval = deadlineAfter(ClockT::now(), plan.dwIntervalMs);
            continue;
        }
        if (plan.bReturnAtOnce)
            break;
        const WaitE wait = waitDevice(device, POLLIN, earlier(plan.total, interval));
        if (wait == WaitE::TimedOut)
            break;
        if (wait == WaitE::Removed && dwDone > 0)
            break;
        if (wait != WaitE::Ready)
            return failWait(wait);
    }
    return TRUE;
}

// A full output queue is waited for in poll, where closing the handle ends
// the wait.
BOOL writeWithDeadline(SerialDeviceC& device, const BYTE* pbyData, DWORD dwCount,
                       const DeadlineS& deadline, DWORD& dwDone)
{
    while (dwDone < dwCount) {
        const ssize_t nWritten = ::write(device.m_nFd, pbyData + dwDone, dwCount - dwDone);
        if (nWritten > 0) {
            dwDone += static_cast<DWORD>(nWritten);
            continue;
        }
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten < 0 && errno != EAGAIN)
            return plat::failWithErrno();
        const WaitE wait = waitDevice(device, POLLOUT, deadline);
        if (wait == WaitE::TimedOut)
            break;
        if (wait != WaitE::Ready)
            return failWait(wait);
    }
    return TRUE;
}

// Bytes the driver still holds for sending; a pseudo-terminal hands them on
// at once and always says 0.
DWORD queuedOut(int nFd)
{
    int nQueued = 0;
    if (::ioctl(nFd, TIOCOUTQ, &nQueued) != 0 || nQueued < 0)
        return 0;
    return static_cast<DWORD>(nQueued);
}

// A real line keeps written bytes until it can send them, with CTS low for
// ever. A write with a time-out waits for them until its deadline, as the
// target's driver does, and discards what is left, so that neither a later
// call nor the close (where the kernel would wait about 30 s) stalls on it.
// Returns the bytes discarded.
DWORD drainOutput(const SerialDeviceC& device, const DeadlineS& deadline)
{
    for (DWORD dwQueued = queuedOut(device.m_nFd); dwQueued != 0;
         dwQueued = queuedOut(device.m_nFd)) {
        if (msLeft(deadline) == 0) {
            ::tcflush(device.m_nFd, TCOFLUSH);
            return dwQueued;
        }
        // No events asked for: this only sleeps, ended early by a close or a removal.
        const WaitE wait =
            waitDevice(device, 0, earlier(deadline, {true, ClockT::now() + c_outputCheck}));
        if (wait != WaitE::TimedOut)
            return 0;
    }
    return 0;
}

// Output still moving at a close is let go; output that stalled is
// discarded, so that the kernel's close does not wait for the line.
void settleOutput(int nFd)
{
    DWORD dwQueued = queuedOut(nFd);
    ClockT::time_point lastMove = ClockT::now();
    while (dwQueued != 0 && ClockT::now() - lastMove < c_outputStall) {
        std::this_thread::sleep_for(c_outputCheck);
        const DWORD dwNow = queuedOut(nFd);
        if (dwNow < dwQueued)
            lastMove = ClockT::now();
        dwQueued = dwNow;
    }
    if (dwQueued != 0)
        ::tcflush(nFd, TCOFLUSH);
}

} // namespace

// ---------------------------------------------------------------- platform calls

namespace plat {

bool isSerialHandle(HANDLE h)
{
    return SerialTableC::instance().contains(h);
}

BOOL closeSerialHandle(HANDLE h)
{
    std::unique_ptr<SerialDeviceC> pDevice = SerialTableC::instance().retire(h);
    if (pDevice == nullptr)
        return failWith(ERROR_INVALID_HANDLE);
    settleOutput(pDevice->m_nFd);
    ::ioctl(pDevice->m_nFd, TIOCNXCL);
    ::close(pDevice->m_nFd);
    ::close(pDevice->m_nWakeFd);
    return TRUE;
}

} // namespace plat

bool PlatSerialRefusedBitRate(const std::string& strPath, unsigned long ulBitRate)
{
    struct stat st;
    const speed_t speed = plat::speedFromBitRate(static_cast<DWORD>(ulBitRate));
    return speed != B0 && ::stat(strPath.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
           RefusedRatesC::instance().contains(st.st_rdev, speed);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile)
{
    if (lpFileName == nullptr || *lpFileName == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Devices are opened exclusively whatever the share mode, as serial ports
    // are on the target.
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return INVALID_HANDLE_VALUE;
    }
    const int nFd = openDevice(PlatSerialDevicePath(utf8FromWide(lpFileName)), dwDesiredAccess);
    if (nFd < 0)
        return INVALID_HANDLE_VALUE;
    const int nWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (nWakeFd < 0) {
        failOpenWithErrno(nFd);
        return INVALID_HANDLE_VALUE;
    }
    auto pDevice =
        std::make_unique<SerialDeviceC>(nFd, nWakeFd, dwDesiredAccess, isPseudoTerminal(nFd));
    initModemLines(*pDevice);
    SerialTableC::instance().add(std::move(pDevice));
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(nFd));
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    termios tio;
    if (::tcgetattr(device->m_nFd, &tio) != 0)
        return plat::failWithErrno();
    std::lock_guard<std::mutex> lock(device->m_mtxSettings);
    lpDCB->fDtrControl = device->m_dwDtrControl;
    lpDCB->fRtsControl = device->m_dwRtsControl;
    plat::dcbFromLine(tio, *lpDCB);
    if (device->m_bPseudoTerminal) {
        lpDCB->ByteSize = device->m_byByteSize;
        lpDCB->Parity = device->m_byParity;
        if (lpDCB->StopBits != ONESTOPBIT)
            lpDCB->StopBits = lpDCB->ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpDCB == nullptr)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    termios previous;
    if (::tcgetattr(device->m_nFd, &previous) != 0)
        return plat::failWithErrno();
    termios wanted = previous;
    const DWORD dwError = plat::lineFromDcb(*lpDCB, wanted);
    if (dwError != ERROR_SUCCESS)
        return plat::failWith(dwError);
    if (!applyLine(*device, previous, wanted))
        return FALSE;
    const bool bHandshake = (wanted.c_cflag & CRTSCTS) != 0;
    if (!setModemLine(device->m_nFd, TIOCM_DTR, lpDCB->fDtrControl == DTR_CONTROL_ENABLE) ||
        (!bHandshake &&
         !setModemLine(device->m_nFd, TIOCM_RTS, lpDCB->fRtsControl == RTS_CONTROL_ENABLE)))
        return plat::failWithErrno();
    std::lock_guard<std::mutex> lock(device->m_mtxSettings);
    device->m_dwDtrControl = lpDCB->fDtrControl;
    device->m_byByteSize = lpDCB->ByteSize;
    device->m_byParity = lpDCB->Parity;
    if (!bHandshake)
        device->m_dwRtsControl = lpDCB->fRtsControl;
    return TRUE;
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    // Linux queues have a fixed size; the request is only remembered.
    std::lock_guard<std::mutex> lock(device->m_mtxSettings);
    device->m_dwInQueue = dwInQueue;
    device->m_dwOutQueue = dwOutQueue;
    return TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    std::lock_guard<std::mutex> lock(device->m_mtxSettings);
    device->m_dwEvtMask = dwEvtMask;
    return TRUE;
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(device->m_mtxSettings);
    *lpEvtMask = device->m_dwEvtMask;
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpCommTimeouts == nullptr)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(device->m_mtxSettings);
    *lpCommTimeouts = device->m_timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpCommTimeouts == nullptr)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> lock(device->m_mtxSettings);
    device->m_timeouts = *lpCommTimeouts;
    return TRUE;
}

// Only received bytes are reported (EV_RXCHAR); the other selected events are
// accepted but never occur. The wait is level-triggered: bytes still queued
// end it at once, so nothing that arrived between two waits is missed.
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpEvtMask == nullptr)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    *lpEvtMask = 0;
    DWORD dwMask;
    {
        std::lock_guard<std::mutex> lock(device->m_mtxSettings);
        dwMask = device->m_dwEvtMask;
    }
    if (dwMask == 0)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    const short nEvents = (dwMask & EV_RXCHAR) != 0 ? POLLIN : 0;
    const WaitE wait = waitDevice(*device, nEvents, c_noDeadline);
    if (wait != WaitE::Ready)
        return failWait(wait);
    *lpEvtMask = EV_RXCHAR;
    return TRUE;
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    int nQueuedIn = 0;
    if (::ioctl(device->m_nFd, FIONREAD, &nQueuedIn) != 0)
        return plat::failWithErrno();
    int nQueuedOut = 0;
    if (::ioctl(device->m_nFd, TIOCOUTQ, &nQueuedOut) != 0)
        nQueuedOut = 0;
    if (lpErrors != nullptr)
        *lpErrors = 0;
    if (lpStat != nullptr) {
        *lpStat = COMSTAT{};
        lpStat->cbInQue = static_cast<DWORD>(std::max(nQueuedIn, 0));
        lpStat->cbOutQue = static_cast<DWORD>(std::max(nQueuedOut, 0));
    }
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    DeviceUseC device(hFile);
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    if ((device->m_dwAccess & GENERIC_READ) == 0)
        return plat::failWith(ERROR_ACCESS_DENIED);
    std::lock_guard<std::mutex> lock(device->m_mtxRead);
    DWORD dwDone = 0;
    const BOOL bOk =
        readWithPlan(*device, static_cast<BYTE*>(lpBuffer), nNumberOfBytesToRead, dwDone);
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = dwDone;
    return bOk;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    DeviceUseC device(hFile);
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    if ((device->m_dwAccess & GENERIC_WRITE) == 0)
        return plat::failWith(ERROR_ACCESS_DENIED);
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard<std::mutex> lock(device->m_mtxSettings);
        timeouts = device->m_timeouts;
    }
    DeadlineS deadline = c_noDeadline;
    if (timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0)
        deadline = deadlineAfter(ClockT::now(), uint64_t(timeouts.WriteTotalTimeoutMultiplier) *
                                                        nNumberOfBytesToWrite +
                                                    timeouts.WriteTotalTimeoutConstant);

    std::lock_guard<std::mutex> lock(device->m_mtxWrite);
    DWORD dwDone = 0;
    const BOOL bOk = writeWithDeadline(*device, static_cast<const BYTE*>(lpBuffer),
                                       nNumberOfBytesToWrite, deadline, dwDone);
    if (bOk && deadline.bLimited)
        dwDone -= std::min(dwDone, drainOutput(*device, deadline));
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = dwDone;
    return bOk;
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags)
{
    DeviceUseC device(hFile);
    if (!device)
        return plat::failWith(ERROR_INVALID_HANDLE);
    if ((dwFlags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0)
        return plat::failWith(ERROR_INVALID_PARAMETER);
    // Transfers run synchronously in their callers; a transfer in another
    // thread ends by its own time-out, so the abort flags have nothing to do.
    const bool bOut = (dwFlags & PURGE_TXCLEAR) != 0;
    const bool bIn = (dwFlags & PURGE_RXCLEAR) != 0;
    if (!bOut && !bIn)
        return TRUE;
    const int nQueue = bOut && bIn ? TCIOFLUSH : (bOut ? TCOFLUSH : TCIFLUSH);
    if (::tcflush(device->m_nFd, nQueue) != 0)
        return plat::failWithErrno();
    return TRUE;
}
