// The current process: its pseudo handle, its id and its termination.
#include "PlatInternal.h"

#include <unistd.h>

namespace {

// The target's pseudo handle of the current process, all bits set.
HANDLE currentProcessHandle()
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

} // namespace

HANDLE GetCurrentProcess()
{
    return currentProcessHandle();
}

DWORD GetCurrentProcessId()
{
    return static_cast<DWORD>(getpid());
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode)
{
    if (hProcess != currentProcessHandle()) {
        // Only the process itself can be ended here; no other process handle exists.
        return plat::failWith(ERROR_INVALID_HANDLE);
    }
    // At once: no static destructors, no atexit handlers, no stream flushing.
    _exit(static_cast<int>(uExitCode & 0xFFu));
}
