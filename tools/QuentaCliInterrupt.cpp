#include "QuentaCliInterrupt.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace QUENTA {
namespace CLI {

namespace {

std::atomic<int> s_nInterruptions{0};
std::atomic<bool> s_bCallInFlight{false};
std::atomic<bool> s_bProgressShown{false};

#if defined(_WIN32)
// Not every console takes escape sequences; a new line leaves the progress
// behind but the prompt clean.
const char c_szClearLine[] = "\r\n";
#else
const char c_szClearLine[] = "\r\033[K";
#endif

// Only what is safe in a signal handler: atomics, write and _Exit.
[[noreturn]] void exitFromAnywhere()
{
    if (s_bProgressShown.load()) {
#if defined(_WIN32)
        _write(2, c_szClearLine, sizeof(c_szClearLine) - 1);
#else
        (void)!write(STDERR_FILENO, c_szClearLine, sizeof(c_szClearLine) - 1);
#endif
    }
    std::_Exit(c_nInterruptedExit);
}

extern "C" void onInterrupt(int nSignal)
{
#if defined(_WIN32)
    // The handler is reset to the default on entry there.
    std::signal(nSignal, onInterrupt);
#else
    (void)nSignal;
#endif
    const int nSoFar = s_nInterruptions.fetch_add(1) + 1;
    if (!s_bCallInFlight.load() || nSoFar > 1) {
        exitFromAnywhere();
    }
}

} // namespace

void installInterruptHandlers()
{
#if defined(_WIN32)
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
#else
    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

int interruptions()
{
    return s_nInterruptions.load();
}

void setCallInFlight(bool bInFlight)
{
    s_bCallInFlight.store(bInFlight);
    // A signal that came just before the flag went up must not be lost.
    if (!bInFlight && s_nInterruptions.load() > 0) {
        exitFromAnywhere();
    }
}

void setProgressShown(bool bShown)
{
    s_bProgressShown.store(bShown);
}

void exitInterrupted()
{
    std::fflush(stdout);
    std::fflush(stderr);
    exitFromAnywhere();
}

} // namespace CLI
} // namespace QUENTA
