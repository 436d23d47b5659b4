#include "QuentaCliProgress.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace QUENTA {
namespace CLI {

namespace {

const std::chrono::milliseconds c_tRedraw(250);

} // namespace

ProgressC::ProgressC(std::FILE* pErr, bool bEnabled) : m_pErr(pErr), m_bEnabled(bEnabled) {}

bool ProgressC::run(const std::string& strLabel, unsigned unExpectedSeconds,
                    const std::function<bool()>& fnCall)
{
    if (!m_bEnabled) {
        return fnCall();
    }
    std::mutex mutex;
    std::condition_variable cvDone;
    bool bDone = false;
    bool bResult = false;
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
            const auto tElapsed = std::chrono::steady_clock::now() - tStart;
            const unsigned unElapsed = static_cast<unsigned>(
                std::chrono::duration_cast<std::chrono::seconds>(tElapsed).count());
            if (unElapsed != unDrawn) {
                draw(strLabel, unElapsed, unExpectedSeconds);
                unDrawn = unElapsed;
            }
            cvDone.wait_for(lock, c_tRedraw, [&] { return bDone; });
        }
    }
    worker.join();
    clear();
    return bResult;
}

void ProgressC::draw(const std::string& strLabel, unsigned unElapsed, unsigned unExpected)
{
    std::fprintf(m_pErr, "\r\033[Kquenta: %s: %u s of about %u s", strLabel.c_str(), unElapsed,
                 unExpected);
    std::fflush(m_pErr);
}

void ProgressC::clear()
{
    std::fputs("\r\033[K", m_pErr);
    std::fflush(m_pErr);
}

} // namespace CLI
} // namespace QUENTA
