#include "TRC_PRT_SerialPort.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"
#include "TRC_PRT_WireTap.h"

#include <cstdlib>
#include <cstring>
#include <ios>
#include <set>
#include <vector>

namespace {
const char c_szSourceFile[] = "src\\TRC_PRT_SerialPort";

using NOX::DBG::endl;
using NOX::DBG::g_SerialPortCLog;
using NOX::DBG::PerformanceLogC;

struct BaudCodeS
{
    uint32_t ulBaudRate;
    uint32_t unCode;
};
const BaudCodeS c_aBaudCodes[] = {{4800, 4},  {9600, 5},   {19200, 6},
                                  {57600, 8}, {115200, 9}, {921600, 12}};

const DWORD c_dwTransferTimeoutMs = 200;
const DWORD c_dwSettleMs = 100;
const DWORD c_dwEmptyReadPauseMs = 20;
const DWORD c_dwErrorPauseMs = 100;

// A device that is not there, or is no serial device, is no different 200 ms
// later: an unplugged adapter takes seconds to come back, if ever. Only an
// open refused for another reason (a port another program holds) is tried
// again.
bool isWorthRetrying(DWORD dwError)
{
    return dwError != ERROR_FILE_NOT_FOUND && dwError != ERROR_PATH_NOT_FOUND &&
           dwError != ERROR_NOT_SUPPORTED && dwError != ERROR_DEVICE_REMOVED;
}

// Every serial port of the process. At exit the open ones are closed before
// the static objects go (the logs their readers write to among them), and
// the device is released for the next program.
class PortRegistryC
{
public:
    static PortRegistryC& instance()
    {
        // Never destroyed; the exit hook is registered once the registry
        // exists, so it runs before every static object made before it.
        static PortRegistryC* s_pRegistry = [] {
            PortRegistryC* pRegistry = new PortRegistryC();
            std::atexit(&PortRegistryC::closeAllAtExit);
            return pRegistry;
        }();
        return *s_pRegistry;
    }

    void add(TRC::PRT::SerialPortC* pPort)
    {
        NOX::TSK::GuardC guard(m_Lock);
        m_setPorts.insert(pPort);
    }

    void remove(TRC::PRT::SerialPortC* pPort)
    {
        NOX::TSK::GuardC guard(m_Lock);
        m_setPorts.erase(pPort);
    }

private:
    static void closeAllAtExit()
    {
        PortRegistryC& registry = instance();
        NOX::TSK::GuardC guard(registry.m_Lock);
        for (TRC::PRT::SerialPortC* pPort : registry.m_setPorts) {
            // Not through the table: a class derived from this one may be
            // half destroyed by another thread.
            pPort->TRC::PRT::SerialPortC::Disconnect();
        }
    }

    NOX::TSK::CriticalSectionC m_Lock;
    std::set<TRC::PRT::SerialPortC*> m_setPorts;
};

BYTE byteSizeFor(uint32_t unDataBits)
{
    switch (unDataBits) {
    case 1:
        return 8;
    case 2:
        return 7;
    case 3:
        return 6;
    case 4:
        return 5;
    default:
        NOX_ASSERT(false);
        return 8;
    }
}

BYTE parityFor(uint32_t unParity)
{
    switch (unParity) {
    case 1:
        return NOPARITY;
    case 2:
        return ODDPARITY;
    case 3:
        return EVENPARITY;
    default:
        NOX_ASSERT(false);
        return NOPARITY;
    }
}

BYTE stopBitsFor(uint32_t unStopBits)
{
    switch (unStopBits) {
    case 1:
        return ONESTOPBIT;
    case 2:
        return TWOSTOPBITS;
    default:
        NOX_ASSERT(false);
        return ONESTOPBIT;
    }
}
} // namespace

namespace TRC {
namespace PRT {

void setTransferTimeouts(HANDLE hPort, DWORD dwTimeoutMs)
{
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof(timeouts));
    GetCommTimeouts(hPort, &timeouts);
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = dwTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = dwTimeoutMs;
    SetCommTimeouts(hPort, &timeouts);
}

uint32_t Rs232SettingsS::baudRateToCode(uint32_t ulBaudRate)
{
    for (const BaudCodeS& entry : c_aBaudCodes) {
        if (entry.ulBaudRate == ulBaudRate) {
            return entry.unCode;
        }
    }
    return 0;
}

uint32_t Rs232SettingsS::codeToBaudRate(uint32_t unCode)
{
    for (const BaudCodeS& entry : c_aBaudCodes) {
        if (entry.unCode == unCode) {
            return entry.ulBaudRate;
        }
    }
    return 0;
}

SerialPortC::SerialPortC()
    : m_unInputBufferSize(c_unDefaultQueueSize), m_unOutputBufferSize(c_unDefaultQueueSize),
      m_hPort(INVALID_HANDLE_VALUE)
{
    PortRegistryC::instance().add(this);
}

SerialPortC::~SerialPortC()
{
    PortRegistryC::instance().remove(this);
    Disconnect();
}

bool SerialPortC::Connect()
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::Connect");
    if (isOpen()) {
        Disconnect();
    }
    HANDLE hPort = INVALID_HANDLE_VALUE;
    for (int nAttempt = 0; nAttempt < c_nOpenAttempts; ++nAttempt) {
        hPort = CreateFileW(m_strPortName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, SerialIoC::OpenFlags(), nullptr);
        if (hPort != INVALID_HANDLE_VALUE) {
            break;
        }
        const DWORD dwError = GetLastError();
        log << "Open port failed: " << std::hex << dwError << endl;
        if (!isWorthRetrying(dwError)) {
            break;
        }
        Sleep(c_dwOpenRetryMs);
    }
    if (hPort == INVALID_HANDLE_VALUE) {
        return false;
    }
    clearDeviceLost();
    m_io.Start();
    m_hPort.store(hPort);
    if (!ConfigureComPort()) {
        return false;
    }
    return StartReading();
}

bool SerialPortC::Disconnect()
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::Disconnect");
    bool bClosed = true;
    HANDLE hPort;
    {
        NOX::TSK::GuardC guard(m_csHandle);
        hPort = m_hPort.exchange(INVALID_HANDLE_VALUE);
    }
    // Closed before the reader is stopped: that ends its pending event wait.
    if (hPort != INVALID_HANDLE_VALUE) {
        m_io.Stop(hPort);
        bClosed = CloseHandle(hPort) == 1;
        if (WireTapI* pTap = wireTap()) {
            pTap->closed();
        }
    }
    bool bStopped = StopReading();
    return bClosed && bStopped;
}

bool SerialPortC::IsConnected()
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::IsConnected");
    return isOpen() && isReading();
}

void SerialPortC::ConfigureReadWriteBuffers(uint32_t unInputSize, uint32_t unOutputSize)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::ConfigureReadWriteBuffers");
    if (unInputSize == m_unInputBufferSize && unOutputSize == m_unOutputBufferSize) {
        return;
    }
    m_unInputBufferSize = unInputSize;
    m_unOutputBufferSize = unOutputSize;
    if (isOpen()) {
        // The driver takes new queue sizes only at open.
        Disconnect();
        Connect();
    }
}

bool SerialPortC::Write(const char* pData, uint32_t unCount)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::Write");
    return WriteToComPort(pData, unCount);
}

void SerialPortC::FlushBuffers(uint16_t unFlags)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::FlushBuffers");
    HANDLE hPort = m_hPort.load();
    if (hPort == INVALID_HANDLE_VALUE) {
        return;
    }
    if (!PurgeComm(hPort, unFlags)) {
        log << "TRC::PRT::SerialPortC::FlushBuffers: error in PurgeComm: " << std::hex
            << GetLastError() << endl;
    }
    if (!ClearCommError(hPort, nullptr, nullptr)) {
        log << "TRC::PRT::SerialPortC::FlushBuffers: error in ClearCommError: " << std::hex
            << GetLastError() << endl;
    }
}

void SerialPortC::SetBaudrate(uint32_t ulBaudRate)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::SetBaudrate");
    uint32_t unCode = Rs232SettingsS::baudRateToCode(ulBaudRate);
    if (unCode != 0) {
        m_settings.unBaudRate = unCode;
    }
    if (isOpen()) {
        ConfigureComPort();
    }
}

void SerialPortC::SetPortName(const std::wstring& strPortName)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::SetPortName");
    m_strPortName = strPortName;
}

void SerialPortC::EnableRtsCts(bool bEnable)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::EnableRtsCts");
    m_settings.unFlowControl = bEnable ? 1 : 2;
    if (isOpen()) {
        ConfigureComPort();
    }
}

void SerialPortC::EnableDtrDsr(bool bEnable)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::EnableDtrDsr");
    m_settings.bDtrDsr = bEnable;
    if (isOpen()) {
        ConfigureComPort();
    }
}

void SerialPortC::SetRs232Settings(Rs232SettingsS settings)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::SetRs232Settings");
    m_settings = settings;
    if (isOpen()) {
        ConfigureComPort();
    }
}

void SerialPortC::GetRs232Settings(Rs232SettingsS* pSettings)
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::GetRs232Settings");
    if (pSettings != nullptr) {
        *pSettings = m_settings;
    }
}

bool SerialPortC::ConfigureComPort()
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::ConfigureComPort");
    HANDLE hPort = m_hPort.load();
    if (hPort == INVALID_HANDLE_VALUE) {
        return false;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(hPort, &dcb)) {
        return false;
    }
    const bool bHandshake = m_settings.unFlowControl == 1;
    dcb.BaudRate = Rs232SettingsS::codeToBaudRate(m_settings.unBaudRate);
    dcb.fOutxCtsFlow = bHandshake ? 1 : 0;
    dcb.fRtsControl = bHandshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.ByteSize = byteSizeFor(m_settings.unDataBits);
    dcb.fParity = m_settings.unParity != 1 ? 1 : 0;
    dcb.Parity = parityFor(m_settings.unParity);
    dcb.StopBits = stopBitsFor(m_settings.unStopBits);
    dcb.fDtrControl = m_settings.bDtrDsr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fOutxDsrFlow = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fBinary = 1;
    if (!SetCommState(hPort, &dcb)) {
        return false;
    }
    SetupComm(hPort, m_unInputBufferSize, m_unOutputBufferSize);
    if (!SetCommMask(hPort, c_dwEventMask)) {
        return false;
    }
    setTransferTimeouts(hPort, c_dwTransferTimeoutMs);
    m_io.Prepare(hPort);
    if (WireTapI* pTap = wireTap()) {
        pTap->configured(dcb.BaudRate, bHandshake);
    }
    Sleep(c_dwSettleMs);
    return true;
}

void SerialPortC::Read()
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::Read");
    std::vector<char> vecBuffer(c_unReadBufferSize, 0);
    uint32_t unCount = c_unReadBufferSize;
    while (isReading()) {
        if (!WaitUntilRead()) {
            continue;
        }
        uint32_t unUsed = 0;
        bool bMore = false;
        do {
            bMore = false;
            ReadFromComPort(vecBuffer.data(), unCount, bMore);
            if (unCount > 0) {
                deliver(vecBuffer.data(), unCount);
                unUsed = unCount > unUsed ? unCount : unUsed;
            } else if (isOpen()) {
                // A closed port means Disconnect is stopping the reader: it
                // must not wait out the pause.
                Sleep(c_dwEmptyReadPauseMs);
            }
        } while (bMore && isReading());
        // Only the bytes used can be other than zero.
        std::memset(vecBuffer.data(), 0, unUsed);
        unCount = c_unReadBufferSize;
    }
}

bool SerialPortC::WaitUntilRead()
{
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::WaitUntilRead");
    bool bGot = false;
    while (isReading() && !bGot) {
        HANDLE hPort = m_hPort.load();
        if (hPort == INVALID_HANDLE_VALUE) {
            break;
        }
        DWORD dwEvents = 0;
        if (m_io.WaitCommEvent(hPort, &dwEvents)) {
            if (dwEvents & EV_ERR) {
                log << "WaitCommEvent EV_ERR" << endl;
                bGot = true;
            }
            if (dwEvents & EV_EVENT1) {
                log << "WaitCommEvent EV_EVENT1" << endl;
                bGot = true;
            }
            if (dwEvents & EV_RXCHAR) {
                bGot = true;
            }
            continue;
        }
        DWORD dwError = GetLastError();
        log << "WaitCommEvent error = " << std::hex << dwError << endl;
        if (dwError == ERROR_DEVICE_REMOVED) {
            reportDeviceLost();
            Disconnect();
        } else if (isOpen()) {
            // A persistent error must not make the reader spin; a closed
            // port ends the wait at once.
            Sleep(c_dwErrorPauseMs);
        }
        bGot = true;
    }
    return isReading();
}

bool SerialPortC::ReadFromComPort(char* pBuffer, uint32_t& unCount, bool& bMore)
{
    if (unCount == 0) {
        return false;
    }
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::ReadFromComPort");
    {
        PerformanceLogC readLog(&g_SerialPortCLog, "ReadFile");
        HANDLE hPort = m_hPort.load();
        COMSTAT status;
        std::memset(&status, 0, sizeof(status));
        DWORD dwErrors = 0;
        if (hPort != INVALID_HANDLE_VALUE && m_io.ClearCommError(hPort, &dwErrors, &status)) {
            DWORD dwWanted = status.cbInQue;
            bMore = dwWanted > unCount;
            if (bMore) {
                dwWanted = unCount;
            }
            DWORD dwRead = 0;
            if (m_io.ReadFile(hPort, pBuffer, dwWanted, &dwRead)) {
                unCount = dwRead;
            } else {
                unCount = 0;
                bMore = false;
            }
        } else {
            unCount = 0;
            bMore = false;
        }
        readLog << "read " << unCount << " bytes." << endl;
    }
    return unCount > 0;
}

bool SerialPortC::WriteToComPort(const char* pData, uint32_t unCount)
{
    HANDLE hPort = m_hPort.load();
    WireTapI* const pTap = wireTap();
    if (hPort == INVALID_HANDLE_VALUE || (pTap != nullptr && pTap->holdsWrites())) {
        return false;
    }
    PerformanceLogC log(&g_SerialPortCLog, "SerialPortC::WriteToComPort");
    PerformanceLogC writeLog(&g_SerialPortCLog, "WriteFile");
    writeLog << "writing " << unCount << " bytes" << endl;
    DWORD dwWritten = 0;
    if (m_io.WriteFile(hPort, pData, unCount, &dwWritten) == 1) {
        if (pTap != nullptr) {
            pTap->sent(pData, unCount);
        }
        return true;
    }
    if (GetLastError() == ERROR_DEVICE_REMOVED) {
        // The reader may not have seen it yet; the caller must not wait for it.
        reportDeviceLost();
    }
    return false;
}

} // namespace PRT
} // namespace TRC
