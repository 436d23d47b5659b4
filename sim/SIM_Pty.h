// The master side of a pseudo-terminal, as the simulated module's end of the
// serial line. The host opens the slave path like a serial device.
#ifndef SIM_PTY_H
#define SIM_PTY_H

#include "SIM_Transcript.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace QUENTA {
namespace SIM {

enum SimIoResultE
{
    IO_OK,         // bytes transferred (possibly 0 when nothing was ready)
    IO_HOST_ABSENT // no host has the slave open; try again later
};

class PtyC
{
public:
    PtyC() = default;
    ~PtyC();
    PtyC(const PtyC&) = delete;
    PtyC& operator=(const PtyC&) = delete;

    // Opens a pseudo-terminal pair, puts the line in raw mode, keeps only the
    // master (non-blocking). A fresh line, like a serial device no one opened.
    bool open();
    void close();
    bool isOpen() const { return m_hMaster >= 0; }
    int masterFd() const { return m_hMaster; }
    const std::string& slavePath() const { return m_strSlavePath; }

    // Reads what the host wrote; never blocks.
    SimIoResultE read(std::string& strOut);
    // Writes as much as the line takes now; never blocks. unWritten is what went.
    SimIoResultE write(const char* pData, size_t unLength, size_t& unWritten);
    // The host's current settings. Only read, never set: the module follows the host.
    SimHostLineS hostSettings() const;

private:
    int m_hMaster = -1;
    std::string m_strSlavePath;
};

uint32_t baudFromSpeed(unsigned int speed);
// Module codes: 4=4800 5=9600 6=19200 8=57600 9=115200 12=921600; 0 otherwise.
uint32_t baudFromCode(uint32_t unCode);
uint32_t codeFromBaud(uint32_t ulBaudRate);

} // namespace SIM
} // namespace QUENTA

#endif
