#include "TRC_PRT_SerialIo.h"

#include <cstring>

namespace TRC {
namespace PRT {

#if defined(_WIN32) && !defined(UNDER_CE)

namespace {

// A request on an overlapped handle, carried to its end.
class RequestC
{
public:
    RequestC() : m_hEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        std::memset(&m_overlapped, 0, sizeof(m_overlapped));
        m_overlapped.hEvent = m_hEvent;
    }
    ~RequestC()
    {
        if (m_hEvent != nullptr) {
            CloseHandle(m_hEvent);
        }
    }
    RequestC(const RequestC&) = delete;
    RequestC& operator=(const RequestC&) = delete;

    // Null when no event could be made: an overlapped handle takes no
    // request without one.
    LPOVERLAPPED get() { return m_hEvent != nullptr ? &m_overlapped : nullptr; }

    BOOL finish(HANDLE hPort, BOOL bStarted, LPDWORD pdwCount)
    {
        if (!bStarted && GetLastError() != ERROR_IO_PENDING) {
            return FALSE;
        }
        return GetOverlappedResult(hPort, &m_overlapped, pdwCount, TRUE);
    }

private:
    HANDLE m_hEvent;
    OVERLAPPED m_overlapped;
};

} // namespace

SerialIoC::SerialIoC() : m_hStop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    std::memset(&m_wait, 0, sizeof(m_wait));
    m_wait.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}

SerialIoC::~SerialIoC()
{
    CloseHandle(m_wait.hEvent);
    CloseHandle(m_hStop);
}

DWORD SerialIoC::OpenFlags()
{
    return FILE_FLAG_OVERLAPPED;
}

void SerialIoC::Start()
{
    NOX::TSK::GuardC guard(m_csWait);
    m_bStopped = false;
    ResetEvent(m_hStop);
    m_bHaveFirst = false;
}

void SerialIoC::Prepare(HANDLE hPort)
{
    // No read time-outs: the wait lasts until a byte comes, and every other
    // read asks for no more than is queued.
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof(timeouts));
    ::GetCommTimeouts(hPort, &timeouts);
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    ::SetCommTimeouts(hPort, &timeouts);
}

void SerialIoC::Stop(HANDLE hPort)
{
    NOX::TSK::GuardC guard(m_csWait);
    m_bStopped = true;
    SetEvent(m_hStop);
    if (m_bWaiting) {
        // A read cancelled after the handle is closed might never end.
        CancelIoEx(hPort, &m_wait);
    }
}

BOOL SerialIoC::WaitCommEvent(HANDLE hPort, LPDWORD pdwEvents)
{
    *pdwEvents = 0;
    if (m_bHaveFirst) {
        *pdwEvents = EV_RXCHAR;
        return TRUE;
    }
    DWORD dwRead = 0;
    BOOL bDone = FALSE;
    {
        NOX::TSK::GuardC guard(m_csWait);
        if (m_bStopped) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        ResetEvent(m_wait.hEvent);
        m_wait.Internal = 0;
        m_wait.InternalHigh = 0;
        bDone = ::ReadFile(hPort, &m_chFirst, 1, &dwRead, &m_wait);
        m_bWaiting = !bDone && GetLastError() == ERROR_IO_PENDING;
        if (!bDone && !m_bWaiting) {
            return lostUnlessStopped(GetLastError());
        }
    }
    if (m_bWaiting) {
        // Stop cancels the read; the stop event is only what wakes the wait.
        HANDLE ahWait[2] = {m_wait.hEvent, m_hStop};
        WaitForMultipleObjects(2, ahWait, FALSE, INFINITE);
        bDone = GetOverlappedResult(hPort, &m_wait, &dwRead, TRUE);
        const DWORD dwError = bDone ? NO_ERROR : GetLastError();
        NOX::TSK::GuardC guard(m_csWait);
        m_bWaiting = false;
        if (!bDone) {
            return lostUnlessStopped(dwError);
        }
    }
    if (dwRead != 1) {
        // Nothing ends a read without time-outs empty but a hang-up.
        NOX::TSK::GuardC guard(m_csWait);
        return lostUnlessStopped(ERROR_HANDLE_EOF);
    }
    m_bHaveFirst = true;
    *pdwEvents = EV_RXCHAR;
    return TRUE;
}

// Under m_csWait.
BOOL SerialIoC::lostUnlessStopped(DWORD dwError)
{
    // A purge ends a read too; anything else but a stop means the device
    // is gone.
    if (m_bStopped || dwError == ERROR_OPERATION_ABORTED) {
        SetLastError(ERROR_OPERATION_ABORTED);
    } else {
        SetLastError(ERROR_DEVICE_REMOVED);
    }
    return FALSE;
}

BOOL SerialIoC::ClearCommError(HANDLE hPort, LPDWORD pdwErrors, LPCOMSTAT pStatus)
{
    if (!::ClearCommError(hPort, pdwErrors, pStatus)) {
        return FALSE;
    }
    if (pStatus != nullptr && m_bHaveFirst) {
        ++pStatus->cbInQue;
    }
    return TRUE;
}

BOOL SerialIoC::ReadFile(HANDLE hPort, char* pBuffer, DWORD dwCount, LPDWORD pdwRead)
{
    *pdwRead = 0;
    if (dwCount > 0 && m_bHaveFirst) {
        *pBuffer++ = m_chFirst;
        m_bHaveFirst = false;
        --dwCount;
        *pdwRead = 1;
    }
    if (dwCount == 0) {
        return TRUE;
    }
    RequestC request;
    if (request.get() == nullptr) {
        return *pdwRead > 0;
    }
    DWORD dwRead = 0;
    const BOOL bRead =
        request.finish(hPort, ::ReadFile(hPort, pBuffer, dwCount, &dwRead, request.get()), &dwRead);
    *pdwRead += dwRead;
    // The byte already taken is data the caller must get.
    return bRead || *pdwRead > 0;
}

BOOL SerialIoC::WriteFile(HANDLE hPort, const char* pData, DWORD dwCount, LPDWORD pdwWritten)
{
    RequestC request;
    *pdwWritten = 0;
    if (request.get() == nullptr) {
        return FALSE;
    }
    return request.finish(hPort, ::WriteFile(hPort, pData, dwCount, pdwWritten, request.get()),
                          pdwWritten);
}

#else

SerialIoC::SerialIoC() = default;
SerialIoC::~SerialIoC() = default;

DWORD SerialIoC::OpenFlags()
{
    return FILE_ATTRIBUTE_NORMAL;
}

void SerialIoC::Start() {}

void SerialIoC::Prepare(HANDLE) {}

void SerialIoC::Stop(HANDLE) {}

BOOL SerialIoC::WaitCommEvent(HANDLE hPort, LPDWORD pdwEvents)
{
    return ::WaitCommEvent(hPort, pdwEvents, nullptr);
}

BOOL SerialIoC::ClearCommError(HANDLE hPort, LPDWORD pdwErrors, LPCOMSTAT pStatus)
{
    return ::ClearCommError(hPort, pdwErrors, pStatus);
}

BOOL SerialIoC::ReadFile(HANDLE hPort, char* pBuffer, DWORD dwCount, LPDWORD pdwRead)
{
    return ::ReadFile(hPort, pBuffer, dwCount, pdwRead, nullptr);
}

BOOL SerialIoC::WriteFile(HANDLE hPort, const char* pData, DWORD dwCount, LPDWORD pdwWritten)
{
    return ::WriteFile(hPort, pData, dwCount, pdwWritten, nullptr);
}

#endif

} // namespace PRT
} // namespace TRC
