// The serial port through which the library talks to the radio module: it
// opens a device by name, configures it from a settings record, writes
// command bytes and runs the reader loop that hands every received chunk to
// the registered consumer.
#pragma once

#include "TRC_PRT_PortBase.h"
#include "TRC_PRT_SerialIo.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace TRC {
namespace PRT {

// The module's own numbering of line settings; the codes travel unchanged in
// its serial settings command.
struct Rs232SettingsS
{
    // 4 = 4800, 5 = 9600, 6 = 19200, 8 = 57600, 9 = 115200, 12 = 921600.
    uint32_t unBaudRate = 9;
    // 1 = 8 bits, 2 = 7, 3 = 6, 4 = 5.
    uint32_t unDataBits = 1;
    // 1 = one stop bit, 2 = two.
    uint32_t unStopBits = 1;
    // 1 = none, 2 = odd, 3 = even.
    uint32_t unParity = 1;
    // 1 = RTS/CTS handshake, 2 = none.
    uint32_t unFlowControl = 2;
    // DTR on while the port is open.
    bool bDtrDsr = false;

    // 0 for a rate or code outside the table.
    static uint32_t baudRateToCode(uint32_t ulBaudRate);
    static uint32_t codeToBaudRate(uint32_t unCode);
};

// Read and write time-outs of dwTimeoutMs in total, no interval or
// per-byte parts; failures are ignored, as the transfers are bounded anyway.
void setTransferTimeouts(HANDLE hPort, DWORD dwTimeoutMs);

class SerialPortC : public PortBaseC
{
public:
    static constexpr uint32_t c_unReadBufferSize = 102400;
    static constexpr uint32_t c_unDefaultQueueSize = 4096;
    static constexpr int c_nOpenAttempts = 3;
    static constexpr DWORD c_dwOpenRetryMs = 200;
    static constexpr DWORD c_dwEventMask = EV_RXCHAR | EV_RLSD | EV_ERR | EV_EVENT1;

    SerialPortC();
    ~SerialPortC() override;

    bool Connect() override;
    bool Disconnect() override;
    bool IsConnected() override;
    void ConfigureReadWriteBuffers(uint32_t unInputSize, uint32_t unOutputSize) override;
    bool Write(const char* pData, uint32_t unCount) override;
    void Read() override;
    virtual void FlushBuffers(uint16_t unFlags);
    virtual void SetBaudrate(uint32_t ulBaudRate);
    virtual void SetPortName(const std::wstring& strPortName);
    virtual void EnableRtsCts(bool bEnable);
    virtual void EnableDtrDsr(bool bEnable);
    virtual void SetRs232Settings(Rs232SettingsS settings);
    virtual void GetRs232Settings(Rs232SettingsS* pSettings);

    bool WaitUntilRead();
    bool ConfigureComPort();
    bool ReadFromComPort(char* pBuffer, uint32_t& unCount, bool& bMore);
    bool WriteToComPort(const char* pData, uint32_t unCount);

private:
    bool isOpen() const { return m_hPort.load() != INVALID_HANDLE_VALUE; }

    std::wstring m_strPortName;
    Rs232SettingsS m_settings;
    uint32_t m_unInputBufferSize;
    uint32_t m_unOutputBufferSize;
    // Read by the reader thread while a caller may close the port.
    std::atomic<HANDLE> m_hPort;
    // Keeps a close on the reader thread and one on a caller's from both
    // closing the same handle.
    NOX::TSK::CriticalSectionC m_csHandle;
    SerialIoC m_io;
};

} // namespace PRT
} // namespace TRC
