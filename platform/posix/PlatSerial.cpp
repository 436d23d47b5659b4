// Serial devices on termios. (Being written: only the handle plumbing so far.)
#include "PlatInternal.h"

namespace plat {

bool isSerialHandle(HANDLE)
{
    return false;
}

BOOL closeSerialHandle(HANDLE)
{
    return failWith(ERROR_INVALID_HANDLE);
}

} // namespace plat
