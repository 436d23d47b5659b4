#include "Nox_Bio/NOX_BIO_Xfer.h"

#include "Nox_Err/NOX_ERR_Codes.h"
#include "Nox_Err/NOX_ERR_Error.h"

namespace NOX {
namespace BIO {

XferProcBaseC::XferProcBaseC() : m_hSemaphore(CreateSemaphoreW(nullptr, 0, 1, nullptr))
{
    if (m_hSemaphore == nullptr) {
        throw NOX::TSK::LockingExceptionC(NOX::TSK::LockingExceptionC::c_unUnusable);
    }
}

XferProcBaseC::~XferProcBaseC()
{
    if (m_hSemaphore != nullptr) {
        CloseHandle(m_hSemaphore);
        m_hSemaphore = nullptr;
    }
}

void XferProcBaseC::signal()
{
    if (m_hSemaphore != nullptr) {
        ReleaseSemaphore(m_hSemaphore, 1, nullptr);
    }
}

uint32_t XferProcBaseC::wait(DWORD dwTimeoutMs)
{
    if (m_hSemaphore == nullptr) {
        return RC_WAIT_FAILED;
    }
    switch (WaitForSingleObject(m_hSemaphore, dwTimeoutMs)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return RC_OK;
    case WAIT_TIMEOUT:
        return RC_TIMEOUT;
    default:
        return RC_WAIT_FAILED;
    }
}

} // namespace BIO
} // namespace NOX
