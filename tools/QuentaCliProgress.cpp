#include "QuentaCliProgress.h"

#include "QuentaCliInterrupt.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include "Platform.h"

#include <io.h>
#else
#include <unistd.h>
#endif

namespace QUENTA {
namespace CLI {

namespace {

// Often enough to redraw each second and to answer Ctrl-C without delay.
const std::chrono::milliseconds c_tPoll(100);

#if defined(_WIN32)

// Blanks over what was drawn: not every console (Wine's among them) takes
// escape sequences.
std::string lineStart(size_t unDrawn)
{
    return "\r" + std::string(unDrawn, ' ') + "\r";
}

#else

std::string lineStart(size_t)
{
    return "\r\033[K";
}

#endif

} // namespace

#if defined(_WIN32)

bool canShowProgress()
{
    // NUL is a character device too; only a console has a mode.
    DWORD dwMode = 0;
    return _isatty(_fileno(stderr)) != 0 &&
           GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &dwMode) != FALSE;
}

#else

bool canShowProgress()
{
    return isatty(STDERR_FILENO) != 0;
}

#endif

ProgressC::ProgressC(std::FILE* pErr, bool bEnabled) : m_pErr(pErr), m_bEnabled(bEnabled) {}

bool ProgressC::run(const std::string& strLabel, unsigned unExpectedSeconds,
                    const std::function<bool()>& fnCall)
{
    std::mutex mutex;
    std::condition_variable cvDone;
    bool bDone = false;
    bool bResult = false;
    setCallInFlight(true);
    std::thread worker([&] {
        const bool bCallResult = fnCall();
        std::lock_guard<std::mutex> lock(mutex);
        bResult = bCallResult;
        bDone = true;
        cvDone.notify_one();
    });
    const auto tStart = std::chrono::steady_clock::now();
    {
        std::unique_lock<std::mutex> lock(mutex);
        unsigned unDrawn = ~0u;
        while (!bDone) {
            if (interruptions() > 0) {
                lock.unlock();
                clear();
                m_fnOnInterrupt();
                exitInterrupted();
            }
            const auto tElapsed = std::chrono::steady_clock::now() - tStart;
            const unsigned unElapsed = static_cast<unsigned>(
                std::chrono::duration_cast<std::chrono::seconds>(tElapsed).count());
            if (m_bEnabled && unElapsed != unDrawn) {
                draw(strLabel, unElapsed, unExpectedSeconds);
                unDrawn = unElapsed;
            }
            cvDone.wait_for(lock, c_tPoll, [&] { return bDone; });
        }
    }
    worker.join();
    clear();
    setCallInFlight(false);
    return bResult;
}

void ProgressC::draw(const std::string& strLabel, unsigned unElapsed, unsigned unExpected)
{
    const std::string strLine = "quenta: " + strLabel + ": " + std::to_string(unElapsed) +
                                " s of about " + std::to_string(unExpected) + " s";
    std::fputs((lineStart(m_unDrawn) + strLine).c_str(), m_pErr);
    std::fflush(m_pErr);
    m_unDrawn = strLine.size();
    setProgressShown(true);
}

void ProgressC::clear()
{
    if (!m_bEnabled) {
        return;
    }
    setProgressShown(false);
    std::fputs(lineStart(m_unDrawn).c_str(), m_pErr);
    std::fflush(m_pErr);
    m_unDrawn = 0;
}

} // namespace CLI
} // namespace QUENTA
