// The base of a byte-stream port whose incoming data is read by a thread of
// its own and pushed to one registered consumer. What a port is (how it
// opens, writes and reads) belongs to the derived class.
#pragma once

#include "Nox_Bio/NOX_BIO_Reader.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "Platform.h"

#include <atomic>
#include <cstdint>

namespace TRC {
namespace PRT {

class PortBaseC
{
public:
    static constexpr DWORD c_dwStopTimeoutMs = 2000;

    PortBaseC();
    PortBaseC(const PortBaseC&) = delete;
    PortBaseC& operator=(const PortBaseC&) = delete;
    virtual ~PortBaseC();

    virtual bool Connect() = 0;
    virtual bool Disconnect() = 0;
    virtual bool IsConnected() = 0;
    // Null unregisters. Does not return while a delivery to the previous
    // consumer is in progress.
    virtual void ConnectReadConsumer(NOX::BIO::ReadConsumerC* pConsumer);
    virtual void ConfigureReadWriteBuffers(uint32_t unInputSize, uint32_t unOutputSize) {}
    // Kept for the layout of the operation table; nothing uses it.
    virtual void Reserved() {}
    virtual bool Write(const char* pData, uint32_t unCount) = 0;
    // The reader loop, run on the reader thread.
    virtual void Read() = 0;

    bool StartReading();
    bool StopReading();
    static DWORD WINAPI DoRead(LPVOID pPort);

    // Held by a user of the port for a whole command exchange.
    NOX::TSK::CriticalSectionC& getPortLock() { return m_csPort; }

protected:
    // Hands received bytes to the consumer under the consumer lock, in pieces
    // the 16-bit count can carry.
    void deliver(const char* pData, uint32_t unCount);
    bool isReading() const { return m_bReading.load(std::memory_order_acquire); }

private:
    // Waits for a reader that stopped itself to be gone.
    void joinStoppedReader();

    HANDLE m_hReadThread;
    std::atomic<bool> m_bReading;
    NOX::TSK::CriticalSectionC m_csConsumer;
    NOX::TSK::CriticalSectionC m_csPort;
    NOX::BIO::ReadConsumerC* m_pReadConsumer;
    // Guards the reader's handle: the reader may stop itself while a caller
    // stops it too.
    NOX::TSK::CriticalSectionC m_csThread;
    DWORD m_dwReadThreadId;
    // A reader that stopped itself is still leaving its loop; whoever starts,
    // stops or destroys the port next waits for it.
    HANDLE m_hStoppedThread;
};

} // namespace PRT
} // namespace TRC
