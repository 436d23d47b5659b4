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

    // True from the moment the device was found gone until the next open.
    bool IsDeviceLost() const { return m_bLost.load(std::memory_order_acquire); }
    // Waits dwMs like Sleep, but returns false as soon as the device is gone,
    // so that nobody waits out a silence on a line that no longer exists.
    bool WaitUnlessLost(DWORD dwMs);
    // Devices lost by all ports of this process so far: a caller that only
    // sees a result compares it around the call to learn whether one went.
    static uint32_t GetLossCount();

protected:
    // Hands received bytes to the consumer under the consumer lock, in pieces
    // the 16-bit count can carry.
    void deliver(const char* pData, uint32_t unCount);
    bool isReading() const { return m_bReading.load(std::memory_order_acquire); }
    // The device is gone: the consumer and every waiter learn it at once.
    void reportDeviceLost();
    // A new open starts with a device that is there.
    void clearDeviceLost();

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
    std::atomic<bool> m_bLost;
    // Set while the device is lost; guard periods wait on it.
    NOX::TSK::EventC m_evLost;
};

} // namespace PRT
} // namespace TRC
