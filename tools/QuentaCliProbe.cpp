#include "QuentaCliProbe.h"
#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace QUENTA {
namespace CLI {

namespace {

using ProbeClockT = std::chrono::steady_clock;

struct LineSettingS
{
    DWORD m_dwBaudRate;
    bool m_bRtsCts;
    ProbeResultE m_eAnswered;
    const char* m_szText;
};

// In the order the library looks for the module.
const LineSettingS c_aLineSettings[] = {
    {921600, true, PR_ANSWERED_921600_RTSCTS, "921600 bit/s with RTS/CTS"},
    {115200, false, PR_ANSWERED_115200, "115200 bit/s without handshake"}};

const char c_szPing[] = "AT\r";
const DWORD c_dwMaxDword = 0xFFFFFFFFu;
// A peer that keeps talking must not grow the answer without bound.
const size_t c_unMaxKept = 1024;

// The name the library would open the device by.
std::string openName(const std::string& strPath)
{
#if defined(_WIN32)
    return strPath + ":";
#else
    return strPath;
#endif
}

bool isInUse(DWORD dwError)
{
#if defined(_WIN32)
    // Windows refuses a second opener of a COM port with "access denied".
    if (dwError == ERROR_ACCESS_DENIED) {
        return true;
    }
#endif
    return dwError == ERROR_SHARING_VIOLATION || dwError == ERROR_BUSY;
}

std::string errorText(DWORD dwError)
{
#if defined(_WIN32)
    return win32ErrorText(dwError);
#else
    switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no such device";
    case ERROR_ACCESS_DENIED:
        return "permission denied";
    case ERROR_NOT_SUPPORTED:
        return "not a serial device";
    case ERROR_INVALID_PARAMETER:
        return "the device refuses both line settings";
    case ERROR_DEVICE_REMOVED:
        return "no device behind it (input/output error)";
    default:
        return "system error " + std::to_string(dwError);
    }
#endif
}

bool setLine(HANDLE hPort, const LineSettingS& setting)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    if (GetCommState(hPort, &dcb) == FALSE) {
        return false;
    }
    dcb.BaudRate = setting.m_dwBaudRate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fParity = 0;
    dcb.fBinary = 1;
    dcb.fOutxCtsFlow = setting.m_bRtsCts ? 1 : 0;
    dcb.fRtsControl = setting.m_bRtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    // DTR on, as the library has it when it looks for the module.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.fTXContinueOnXoff = 1;
    return SetCommState(hPort, &dcb) != FALSE;
}

// The ping counts as answered with "OK" or "ERROR" alike: either way the
// module listens to commands.
bool isAnswer(const std::string& strReceived)
{
    return strReceived.find("\r\nOK\r\n") != std::string::npos ||
           strReceived.find("\r\nERROR\r\n") != std::string::npos;
}

// Reads until the answer is complete or the time is up; each read returns as
// soon as anything arrives.
bool awaitAnswer(HANDLE hPort, ProbeClockT::time_point tDeadline)
{
    std::string strReceived;
    for (ProbeClockT::time_point tNow = ProbeClockT::now(); tNow < tDeadline;
         tNow = ProbeClockT::now()) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(tDeadline - tNow).count();
        COMMTIMEOUTS timeouts = {c_dwMaxDword, c_dwMaxDword,
                                 static_cast<DWORD>(remaining > 0 ? remaining : 1), 0,
                                 c_unProbeAnswerMs};
        char szBuffer[256];
        DWORD dwRead = 0;
        if (SetCommTimeouts(hPort, &timeouts) == FALSE ||
            ReadFile(hPort, szBuffer, sizeof(szBuffer), &dwRead, nullptr) == FALSE) {
            return false;
        }
        strReceived.append(szBuffer, dwRead);
        if (isAnswer(strReceived)) {
            return true;
        }
        if (strReceived.size() > c_unMaxKept) {
            strReceived.erase(0, strReceived.size() - 16);
        }
    }
    return false;
}

bool pingAnswered(HANDLE hPort)
{
    PurgeComm(hPort, PURGE_RXCLEAR | PURGE_TXCLEAR);
    // A write that the handshake holds back ends after the same short time.
    COMMTIMEOUTS timeouts = {c_dwMaxDword, 0, 0, 0, c_unProbeAnswerMs};
    DWORD dwWritten = 0;
    const DWORD dwLength = sizeof(c_szPing) - 1;
    if (SetCommTimeouts(hPort, &timeouts) == FALSE ||
        WriteFile(hPort, c_szPing, dwLength, &dwWritten, nullptr) == FALSE ||
        dwWritten != dwLength) {
        return false;
    }
    return awaitAnswer(hPort, ProbeClockT::now() + std::chrono::milliseconds(c_unProbeAnswerMs));
}

ProbeS probePort(const std::string& strPath)
{
    ProbeS probe;
    // Exclusive, as the library opens "COM8:": a device another program holds
    // is refused here before anything reaches it.
    const HANDLE hPort =
        CreateFileW(NOX::HAL::widePath(openName(strPath)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        probe.m_eResult = isInUse(dwError) ? PR_IN_USE : PR_FAILED;
        probe.m_strError = isInUse(dwError) ? std::string() : errorText(dwError);
        return probe;
    }
    probe.m_eResult = PR_FAILED;
    probe.m_strError = errorText(ERROR_INVALID_PARAMETER);
    std::string strRefused;
    for (const LineSettingS& setting : c_aLineSettings) {
        if (!setLine(hPort, setting)) {
            // e.g. a UART whose clock does not reach 921600 bit/s
            strRefused = setting.m_szText;
            continue;
        }
        const bool bAnswered = pingAnswered(hPort);
        // Nothing may stay queued behind a closed handshake, or closing would
        // wait for it.
        PurgeComm(hPort, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
        probe.m_eResult = bAnswered ? setting.m_eAnswered : PR_NO_ANSWER;
        probe.m_strError.clear();
        if (bAnswered) {
            break;
        }
    }
    if (probe.m_eResult == PR_NO_ANSWER && !strRefused.empty()) {
        probe.m_strError = "the device cannot do " + strRefused;
    }
    CloseHandle(hPort);
    return probe;
}

} // namespace

std::vector<ProbeS> probePorts(const std::vector<std::string>& vecPaths)
{
    std::vector<ProbeS> vecProbes(vecPaths.size());
    std::vector<std::thread> vecThreads;
    for (size_t i = 0; i < vecPaths.size(); ++i) {
        try {
            vecThreads.emplace_back(
                [&vecProbes, &vecPaths, i] { vecProbes[i] = probePort(vecPaths[i]); });
        } catch (const std::exception&) {
            vecProbes[i] = probePort(vecPaths[i]); // no thread to spare: one after the other
        }
    }
    for (std::thread& thread : vecThreads) {
        thread.join();
    }
    return vecProbes;
}

} // namespace CLI
} // namespace QUENTA
