// Live progress for long library calls: the call runs on a worker thread
// while the calling thread redraws one line on standard error ("searching on
// /dev/ttyUSB0: 4 s of about 20 s") until it returns, then clears the line.
// The waiting thread also answers Ctrl-C: it clears the line, runs the
// interrupt handler given (which may wait for the module) and exits 130.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace QUENTA {
namespace CLI {

// Whether standard error is a terminal that can show the redrawn line.
bool canShowProgress();

class ProgressC
{
public:
    // Draws only when bEnabled (standard error is a terminal).
    ProgressC(std::FILE* pErr, bool bEnabled);

    bool run(const std::string& strLabel, unsigned unExpectedSeconds,
             const std::function<bool()>& fnCall);
    void onInterrupt(const std::function<void()>& fnOnInterrupt)
    {
        m_fnOnInterrupt = fnOnInterrupt;
    }

private:
    void draw(const std::string& strLabel, unsigned unElapsed, unsigned unExpected);
    void clear();

    std::FILE* m_pErr;
    bool m_bEnabled;
    size_t m_unDrawn = 0; // characters on the line now
    std::function<void()> m_fnOnInterrupt = [] {};
};

} // namespace CLI
} // namespace QUENTA
