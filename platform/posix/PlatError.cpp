#include "PlatInternal.h"

#include <cerrno>

namespace {
thread_local DWORD t_dwLastError = ERROR_SUCCESS;
} // namespace

DWORD GetLastError()
{
    return t_dwLastError;
}

void SetLastError(DWORD dwErrCode)
{
    t_dwLastError = dwErrCode;
}

namespace plat {

DWORD errorFromErrno(int nErrno)
{
    switch (nErrno) {
    case 0:
        return ERROR_SUCCESS;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
        return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case EBADF:
        return ERROR_INVALID_HANDLE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case EWOULDBLOCK:
        return ERROR_SHARING_VIOLATION;
    case EEXIST:
        return ERROR_ALREADY_EXISTS;
    case EINVAL:
    case ERANGE:
        return ERROR_INVALID_PARAMETER;
    case ENOTTY:
    case ENOSYS:
    case EOPNOTSUPP:
        return ERROR_NOT_SUPPORTED;
    case EPIPE:
        return ERROR_BROKEN_PIPE;
    case ETIMEDOUT:
        return ERROR_TIMEOUT;
    case EINTR:
    case ECANCELED:
        return ERROR_OPERATION_ABORTED;
    case EIO:
        return ERROR_DEVICE_REMOVED;
    case EFAULT:
        return ERROR_NOACCESS;
    default:
        return ERROR_GEN_FAILURE;
    }
}

BOOL failWithErrno()
{
    SetLastError(errorFromErrno(errno));
    return FALSE;
}

BOOL failWith(DWORD dwError)
{
    SetLastError(dwError);
    return FALSE;
}

} // namespace plat
