// Shared plumbing of the POSIX platform layer. Not seen above platform/.
#pragma once

#include "Platform.h"

namespace plat {

// The Win32 error code that stands for an errno value.
DWORD errorFromErrno(int nErrno);

// Sets the calling thread's last error from errno and returns FALSE, for the
// common failure path of a call.
BOOL failWithErrno();
BOOL failWith(DWORD dwError);

// Handles of serial devices are file descriptors; every other handle points
// at a kernel object. These tell them apart and close a serial handle.
bool isSerialHandle(HANDLE h);
BOOL closeSerialHandle(HANDLE h);

} // namespace plat
