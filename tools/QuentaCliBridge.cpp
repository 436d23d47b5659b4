#include "QuentaCliBridge.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace QUENTA {
namespace CLI {

namespace {

const size_t c_unChunk = 4096;

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

BridgeEndE bridge(int nDevice, int nInput, int nOutput, std::string& strError)
{
    const int nFlags = fcntl(nDevice, F_GETFL);
    if (nFlags < 0 || fcntl(nDevice, F_SETFL, nFlags | O_NONBLOCK) != 0) {
        strError = std::string("the device: ") + std::strerror(errno);
        return BE_FAILED;
    }
    BridgeC bridgeRun(nDevice, nInput, nOutput);
    return bridgeRun.run(strError);
}

} // namespace CLI
} // namespace QUENTA
