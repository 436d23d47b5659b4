#include "QuentaCliBridge.h"

#if defined(_WIN32)
#include "Platform.h"
#include "QuentaCliOutput.h"

#include <io.h>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>
#else
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

namespace QUENTA {
namespace CLI {

namespace {
const size_t c_unChunk = 4096;
} // namespace

#if defined(_WIN32)

namespace {

// A read returns what has come within this time (at once on Windows when
// anything has; Wine waits it out), so a write from the input thread, which
// Windows queues behind a pending read on the handle, waits no longer.
const DWORD c_dwWaitMs = 50;

// Shared by the main thread and the input thread, which may outlive the
// bridge while it waits for input that never comes.
struct InputStateS
{
    std::mutex m_mutex;
    bool m_bDone = false; // ended or failed
    BridgeEndE m_eEnd = BE_INPUT_ENDED;
    std::string m_strError;
    bool m_bStop = false; // the bridge has ended: write nothing more to the device

    void finish(BridgeEndE eEnd, const std::string& strError)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bDone = true;
        m_eEnd = eEnd;
        m_strError = strError;
    }
};

// A time-out may end a write part-way (flow control); the rest follows.
bool writeAll(HANDLE hTarget, const char* pData, DWORD dwCount, DWORD& dwError)
{
    while (dwCount > 0) {
        DWORD dwWritten = 0;
        if (!WriteFile(hTarget, pData, dwCount, &dwWritten, nullptr)) {
            dwError = GetLastError();
            return false;
        }
        pData += dwWritten;
        dwCount -= dwWritten;
    }
    return true;
}

void copyInput(const std::shared_ptr<InputStateS>& pState, HANDLE hDevice)
{
    const HANDLE hInput = GetStdHandle(STD_INPUT_HANDLE);
    std::vector<char> vecBuffer(c_unChunk);
    for (;;) {
        DWORD dwRead = 0;
        if (!ReadFile(hInput, vecBuffer.data(), static_cast<DWORD>(vecBuffer.size()), &dwRead,
                      nullptr)) {
            const DWORD dwError = GetLastError();
            // A pipe whose writer has gone reports its end as an error.
            if (dwError != ERROR_BROKEN_PIPE && dwError != ERROR_HANDLE_EOF) {
                pState->finish(BE_FAILED, "standard input: " + win32ErrorText(dwError));
                return;
            }
        }
        if (dwRead == 0) {
            pState->finish(BE_INPUT_ENDED, std::string());
            return;
        }
        DWORD dwError = NO_ERROR;
        {
            std::lock_guard<std::mutex> lock(pState->m_mutex);
            if (pState->m_bStop) {
                return;
            }
        }
        if (!writeAll(hDevice, vecBuffer.data(), dwRead, dwError)) {
            pState->finish(BE_DEVICE_GONE, win32ErrorText(dwError));
            return;
        }
    }
}

// Copies the device to standard output until the input thread is done and a
// read after that finds nothing more.
BridgeEndE copyDevice(HANDLE hDevice, HANDLE hOutput, InputStateS& state, std::string& strError)
{
    std::vector<char> vecBuffer(c_unChunk);
    for (;;) {
        bool bInputDone = false;
        {
            std::lock_guard<std::mutex> lock(state.m_mutex);
            if (state.m_bDone && state.m_eEnd != BE_INPUT_ENDED) {
                strError = state.m_strError;
                return state.m_eEnd;
            }
            bInputDone = state.m_bDone;
        }
        DWORD dwRead = 0;
        DWORD dwErrors = 0;
        if (!ReadFile(hDevice, vecBuffer.data(), static_cast<DWORD>(vecBuffer.size()), &dwRead,
                      nullptr) ||
            // Wine reads a device that went away as empty; only this fails.
            (dwRead == 0 && !ClearCommError(hDevice, &dwErrors, nullptr))) {
            strError = win32ErrorText(GetLastError());
            return BE_DEVICE_GONE;
        }
        DWORD dwError = NO_ERROR;
        if (dwRead > 0 && !writeAll(hOutput, vecBuffer.data(), dwRead, dwError)) {
            strError = "standard output: " + win32ErrorText(dwError);
            return BE_OUTPUT_FAILED;
        }
        if (dwRead == 0 && bInputDone) {
            return BE_INPUT_ENDED;
        }
    }
}

} // namespace

BridgeEndE bridgeStandardStreams(void* pDevice, std::FILE* pOutput, std::string& strError)
{
    const HANDLE hDevice = static_cast<HANDLE>(pDevice);
    const HANDLE hOutput = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(pOutput)));
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, c_dwWaitMs, 0, c_dwWaitMs};
    if (!SetCommTimeouts(hDevice, &timeouts)) {
        strError = "the device: " + win32ErrorText(GetLastError());
        return BE_FAILED;
    }
    const auto pState = std::make_shared<InputStateS>();
    std::thread input(copyInput, pState, hDevice);
    const BridgeEndE eEnd = copyDevice(hDevice, hOutput, *pState, strError);
    bool bInputDone = false;
    {
        std::lock_guard<std::mutex> lock(pState->m_mutex);
        pState->m_bStop = true;
        bInputDone = pState->m_bDone;
    }
    if (bInputDone) {
        input.join();
    } else {
        // Blocked on standard input, which nothing portable interrupts; the
        // process ends right after the bridge.
        input.detach();
    }
    return eEnd;
}

void closeDevice(void* pDevice)
{
    CloseHandle(static_cast<HANDLE>(pDevice));
}

#else

namespace {

bool writeAll(int nFd, const char* pData, size_t unCount)
{
    while (unCount > 0) {
        const ssize_t nWritten = write(nFd, pData, unCount);
        if (nWritten < 0 && errno == EINTR) {
            continue;
        }
        if (nWritten <= 0) {
            return false;
        }
        pData += nWritten;
        unCount -= static_cast<size_t>(nWritten);
    }
    return true;
}

class BridgeC
{
public:
    BridgeC(int nDevice, int nInput, int nOutput)
        : m_nDevice(nDevice), m_nInput(nInput), m_nOutput(nOutput)
    {}

    BridgeEndE run(std::string& strError);

private:
    bool step(BridgeEndE& eEnd, std::string& strError);
    bool fromDevice(BridgeEndE& eEnd, std::string& strError);
    bool toDevice(BridgeEndE& eEnd, std::string& strError);
    bool fromInput(BridgeEndE& eEnd, std::string& strError);

    int m_nDevice;
    int m_nInput;
    int m_nOutput;
    bool m_bInputEnded = false;
    std::string m_strPending; // read from the input, not yet taken by the device
};

BridgeEndE BridgeC::run(std::string& strError)
{
    // The input is read only once the device has taken what came before, so
    // nothing is pending when its end is seen.
    BridgeEndE eEnd = BE_FAILED;
    while (!m_bInputEnded) {
        if (!step(eEnd, strError)) {
            return eEnd;
        }
    }
    return BE_INPUT_ENDED;
}

// One poll round; false when the bridge has to end with eEnd.
bool BridgeC::step(BridgeEndE& eEnd, std::string& strError)
{
    pollfd aFds[2] = {
        {m_nDevice, static_cast<short>(POLLIN | (m_strPending.empty() ? 0 : POLLOUT)), 0},
        {m_nInput, static_cast<short>(m_strPending.empty() ? POLLIN : 0), 0}};
    const int nReady = poll(aFds, 2, -1);
    if (nReady < 0 && errno != EINTR) {
        eEnd = BE_FAILED;
        strError = std::string("poll: ") + std::strerror(errno);
        return false;
    }
    if (nReady <= 0) {
        return true;
    }
    if ((aFds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !fromDevice(eEnd, strError)) {
        return false;
    }
    if ((aFds[0].revents & POLLOUT) != 0 && !toDevice(eEnd, strError)) {
        return false;
    }
    if (aFds[1].revents != 0 && !fromInput(eEnd, strError)) {
        return false;
    }
    return true;
}

bool BridgeC::fromDevice(BridgeEndE& eEnd, std::string& strError)
{
    char aBuffer[c_unChunk];
    const ssize_t nRead = read(m_nDevice, aBuffer, sizeof(aBuffer));
    if (nRead < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (nRead <= 0) {
        eEnd = BE_DEVICE_GONE;
        strError = nRead == 0 ? std::string("hang-up") : std::strerror(errno);
        return false;
    }
    if (!writeAll(m_nOutput, aBuffer, static_cast<size_t>(nRead))) {
        eEnd = BE_OUTPUT_FAILED;
        strError = std::string("standard output: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool BridgeC::toDevice(BridgeEndE& eEnd, std::string& strError)
{
    const ssize_t nWritten = write(m_nDevice, m_strPending.data(), m_strPending.size());
    if (nWritten < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (nWritten < 0) {
        eEnd = BE_DEVICE_GONE;
        strError = std::strerror(errno);
        return false;
    }
    m_strPending.erase(0, static_cast<size_t>(nWritten));
    return true;
}

bool BridgeC::fromInput(BridgeEndE& eEnd, std::string& strError)
{
    char aBuffer[c_unChunk];
    const ssize_t nRead = read(m_nInput, aBuffer, sizeof(aBuffer));
    if (nRead < 0 && (errno == EAGAIN || errno == EINTR)) {
        return true;
    }
    if (nRead < 0) {
        eEnd = BE_FAILED;
        strError = std::string("standard input: ") + std::strerror(errno);
        return false;
    }
    if (nRead == 0) {
        m_bInputEnded = true;
    } else {
        m_strPending.append(aBuffer, static_cast<size_t>(nRead));
    }
    return true;
}

} // namespace

BridgeEndE bridgeStandardStreams(void* pDevice, std::FILE* pOutput, std::string& strError)
{
    const int nDevice = static_cast<int>(reinterpret_cast<intptr_t>(pDevice));
    const int nFlags = fcntl(nDevice, F_GETFL);
    if (nFlags < 0 || fcntl(nDevice, F_SETFL, nFlags | O_NONBLOCK) != 0) {
        strError = std::string("the device: ") + std::strerror(errno);
        return BE_FAILED;
    }
    BridgeC bridgeRun(nDevice, STDIN_FILENO, fileno(pOutput));
    return bridgeRun.run(strError);
}

void closeDevice(void* pDevice)
{
    close(static_cast<int>(reinterpret_cast<intptr_t>(pDevice)));
}

#endif

} // namespace CLI
} // namespace QUENTA
