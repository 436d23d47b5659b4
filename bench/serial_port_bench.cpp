// One command round trip through the serial port (write, the peer answers
// from its own thread, the reader thread hands the answer to a consumer that
// signals the caller) against a raw client of the same peer on the same
// pseudo-terminal pair that writes, polls and reads in its own thread.
// Goal: median ratio at most 1.2. The loopback with both ends in one thread
// shows what the pseudo-terminal alone costs.
#include "BenchRatio.h"
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "TRC_PRT_SerialPort.h"

#include <benchmark/benchmark.h>

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char c_szCommand[] = "AT\r";
const char c_szAnswer[] = "\r\nOK\r\n";
constexpr size_t c_nCommand = sizeof(c_szCommand) - 1;
constexpr size_t c_nAnswer = sizeof(c_szAnswer) - 1;

struct PairS
{
    int nMaster = -1;
    int nSlave = -1;
    std::string strPath;
};

PairS& pair()
{
    static PairS s_pair = [] {
        PairS newPair;
        char szName[128] = {};
        termios tio = {};
        cfmakeraw(&tio);
        cfsetspeed(&tio, B115200);
        if (::openpty(&newPair.nMaster, &newPair.nSlave, szName, &tio, nullptr) == 0) {
            newPair.strPath = szName;
        }
        return newPair;
    }();
    return s_pair;
}

// Reads exactly nCount bytes, waiting in poll for each piece.
bool readAll(int nFd, char* pBuffer, size_t nCount)
{
    size_t nDone = 0;
    while (nDone < nCount) {
        pollfd fd = {nFd, POLLIN, 0};
        if (::poll(&fd, 1, 1000) <= 0) {
            return false;
        }
        const ssize_t n = ::read(nFd, pBuffer + nDone, nCount - nDone);
        if (n <= 0) {
            return false;
        }
        nDone += static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int nFd, const char* pData, size_t nCount)
{
    return ::write(nFd, pData, nCount) == static_cast<ssize_t>(nCount);
}

class AnswerConsumerC : public NOX::BIO::XferProcC<NOX::BIO::ReadConsumerC, NOX::BIO::ReaderC>
{
public:
    void procReadData(const char*, uint16_t unCount) override
    {
        if ((m_nSeen += unCount) >= c_nAnswer) {
            signal();
        }
    }
    void expectNext() { m_nSeen = 0; }

private:
    std::atomic<size_t> m_nSeen{0};
};

// The module's side: answers every command from its own thread.
class PeerC
{
public:
    explicit PeerC(int nMaster) : m_nMaster(nMaster), m_thread([this] { run(); }) {}
    ~PeerC()
    {
        m_bStop = true;
        m_thread.join();
    }

private:
    void run()
    {
        char szCommand[c_nCommand];
        size_t nHave = 0;
        while (!m_bStop) {
            pollfd fd = {m_nMaster, POLLIN, 0};
            if (::poll(&fd, 1, 50) <= 0) {
                continue;
            }
            const ssize_t n = ::read(m_nMaster, szCommand + nHave, c_nCommand - nHave);
            if (n <= 0) {
                return;
            }
            nHave += static_cast<size_t>(n);
            if (nHave == c_nCommand) {
                nHave = 0;
                writeAll(m_nMaster, c_szAnswer, c_nAnswer);
            }
        }
    }

    int m_nMaster;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};

void BM_SerialPortRoundTrip(benchmark::State& state)
{
    TRC::PRT::SerialPortC port;
    port.SetPortName(std::wstring(pair().strPath.begin(), pair().strPath.end()));
    if (pair().strPath.empty() || !port.Connect()) {
        state.SkipWithError("the port did not open");
        return;
    }
    AnswerConsumerC consumer;
    port.ConnectReadConsumer(&consumer);
    {
        PeerC peer(pair().nMaster);
        for (auto _ : state) {
            consumer.expectNext();
            if (!port.Write(c_szCommand, c_nCommand) || consumer.wait(1000) != NOX::RC_OK) {
                state.SkipWithError("no answer");
                break;
            }
        }
    }
    port.ConnectReadConsumer(nullptr);
    port.Disconnect();
}

// The same peer, answered by a client without a reader thread: write, poll,
// read in the calling thread.
void BM_RawRoundTrip(benchmark::State& state)
{
    const PairS& raw = pair();
    if (raw.strPath.empty()) {
        state.SkipWithError("the pseudo-terminal did not open");
        return;
    }
    PeerC peer(raw.nMaster);
    char szBuffer[16];
    for (auto _ : state) {
        if (!writeAll(raw.nSlave, c_szCommand, c_nCommand) ||
            !readAll(raw.nSlave, szBuffer, c_nAnswer)) {
            state.SkipWithError("a raw round trip failed");
            break;
        }
    }
}

// Both ends in one thread, no peer thread at all: what the pseudo-terminal
// itself costs, for reference.
void BM_RawLoopback(benchmark::State& state)
{
    const PairS& raw = pair();
    if (raw.strPath.empty()) {
        state.SkipWithError("the pseudo-terminal did not open");
        return;
    }
    char szBuffer[16];
    for (auto _ : state) {
        if (!writeAll(raw.nSlave, c_szCommand, c_nCommand) ||
            !readAll(raw.nMaster, szBuffer, c_nCommand) ||
            !writeAll(raw.nMaster, c_szAnswer, c_nAnswer) ||
            !readAll(raw.nSlave, szBuffer, c_nAnswer)) {
            state.SkipWithError("a raw round trip failed");
            break;
        }
    }
}

BENCHMARK(BM_SerialPortRoundTrip)->UseRealTime()->Iterations(200)->Repetitions(60);
BENCHMARK(BM_RawRoundTrip)->UseRealTime()->Iterations(200)->Repetitions(60);
BENCHMARK(BM_RawLoopback)->UseRealTime()->Iterations(200)->Repetitions(60);

} // namespace

int main(int argc, char** argv)
{
    return runWithRatios(argc, argv, [](const MedianReporterC& reporter) {
        reporter.printRatio("serial port round trip / raw round trip", "BM_SerialPortRoundTrip",
                            "BM_RawRoundTrip");
        reporter.printRatio("serial port round trip / loopback in one thread",
                            "BM_SerialPortRoundTrip", "BM_RawLoopback");
    });
}
