// The completion signal of one transfer: the producer signals once, the
// waiting thread waits with a time-out.
#pragma once

#include "Nox_Bio/NOX_BIO_Reader.h"
#include "Platform.h"

#include <cstdint>

namespace NOX {
namespace BIO {

class XferProcBaseC
{
public:
    // Throws LockingExceptionC 0x3101001 when the semaphore cannot be created.
    XferProcBaseC();
    XferProcBaseC(const XferProcBaseC&) = delete;
    XferProcBaseC& operator=(const XferProcBaseC&) = delete;
    virtual ~XferProcBaseC();

    // A signal while one is pending is lost (maximum count 1).
    void signal();
    // RC_OK when signalled, RC_TIMEOUT when the time ran out, RC_WAIT_FAILED
    // when no wait is possible. INFINITE waits without limit.
    uint32_t wait(DWORD dwTimeoutMs);

private:
    HANDLE m_hSemaphore;
};

template <class TConsumer, class TReader> class XferProcC : public TConsumer, public XferProcBaseC
{
public:
    XferProcC() : m_pReader(nullptr) {}
    ~XferProcC() override
    {
        if (m_pReader != nullptr) {
            m_pReader->removeConsumer(this);
            m_pReader = nullptr;
        }
    }

    // Nothing more will arrive: the waiting thread must not wait out its time.
    void procDeviceLost() override { this->signal(); }

protected:
    TReader* m_pReader;
};

} // namespace BIO
} // namespace NOX
