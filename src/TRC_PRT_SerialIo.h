// The serial port's transfers and its reader's wait for input, as the device
// handle of the host allows them.
//
// The target's driver, like the POSIX platform, completes a pending
// WaitCommEvent when data arrives and when another thread closes the handle,
// and lets one thread write while another waits. Desktop Windows serialises
// synchronous requests on a handle, so a waiting reader would hold every
// write back; and Wine's WaitCommEvent cannot wait on a device without modem
// lines (it fails with ERROR_NOT_SUPPORTED, or returns at once with no
// event). There the handle is opened for overlapped requests and the reader
// waits with a read of the first byte beside a stop event; the byte is
// handed out ahead of the queue.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "Platform.h"

namespace TRC {
namespace PRT {

class SerialIoC
{
public:
    SerialIoC();
    ~SerialIoC();
    SerialIoC(const SerialIoC&) = delete;
    SerialIoC& operator=(const SerialIoC&) = delete;

    // The flags for CreateFileW.
    static DWORD OpenFlags();

    // After the handle is opened, before the reader starts.
    void Start();
    // After the handle's time-outs are set; the read time-outs may be changed
    // so that a wait can last.
    void Prepare(HANDLE hPort);
    // Ends a pending wait and keeps later ones from starting, from any
    // thread; before the handle is closed.
    void Stop(HANDLE hPort);

    // As their Win32 namesakes on a handle opened with OpenFlags(); a wait
    // that Stop ended fails with ERROR_OPERATION_ABORTED, a device that went
    // away with ERROR_DEVICE_REMOVED.
    BOOL WaitCommEvent(HANDLE hPort, LPDWORD pdwEvents);
    BOOL ClearCommError(HANDLE hPort, LPDWORD pdwErrors, LPCOMSTAT pStatus);
    BOOL ReadFile(HANDLE hPort, char* pBuffer, DWORD dwCount, LPDWORD pdwRead);
    BOOL WriteFile(HANDLE hPort, const char* pData, DWORD dwCount, LPDWORD pdwWritten);

private:
#if defined(_WIN32) && !defined(UNDER_CE)
    BOOL lostUnlessStopped(DWORD dwError);

    // A wait's read is started and cancelled under this lock, so Stop either
    // cancels it or keeps it from starting, before the handle is closed.
    NOX::TSK::CriticalSectionC m_csWait;
    bool m_bStopped = false;
    bool m_bWaiting = false;
    HANDLE m_hStop;
    // Lives as long as the port: a read the driver never completes cannot
    // write into a stack frame that is gone.
    OVERLAPPED m_wait;
    char m_chFirst = 0;
    bool m_bHaveFirst = false;
#endif
};

} // namespace PRT
} // namespace TRC
