// Ctrl-C and SIGTERM. Outside a library call the tool ends at once with exit
// 130. During one, the call's waiting thread decides (it may let the module
// finish an inquiry first); a second signal ends the tool at once.
#pragma once

namespace QUENTA {
namespace CLI {

const int c_nInterruptedExit = 130;

void installInterruptHandlers();

// Signals received so far.
int interruptions();

// Set around a library call: the handler then leaves the decision to the
// thread that waits for the call.
void setCallInFlight(bool bInFlight);

// Set while a progress line stands on standard error, so that an exit from
// the handler clears it.
void setProgressShown(bool bShown);

// Ends the tool now with exit 130, the progress line cleared. The port is
// closed by the process ending.
[[noreturn]] void exitInterrupted();

} // namespace CLI
} // namespace QUENTA
