// A bare host on the slave side of the simulated module's line: open(),
// termios and read/write, nothing of the library. For tests that need to see
// the exact bytes on the line.
#ifndef SIM_RAWHOST_H
#define SIM_RAWHOST_H

#include <cstdint>
#include <string>

namespace QUENTA {
namespace SIM {

class RawHostC
{
public:
    RawHostC() = default;
    ~RawHostC();
    RawHostC(const RawHostC&) = delete;
    RawHostC& operator=(const RawHostC&) = delete;

    // Raw 8N1 at the given bit rate, with or without RTS/CTS.
    bool open(const std::string& strPath, uint32_t ulBaudRate = 115200, bool bRtsCts = false);
    void close();
    bool isOpen() const { return m_hFd >= 0; }
    int fd() const { return m_hFd; }
    bool setLine(uint32_t ulBaudRate, bool bRtsCts);

    bool write(const std::string& strBytes);
    // Everything that arrives within ulMs.
    std::string readFor(uint32_t ulMs);
    // Reads until the bytes received end with strEnd (or contain it, with
    // bContains), at most ulTimeoutMs; returns all bytes received.
    std::string readUntil(const std::string& strEnd, uint32_t ulTimeoutMs, bool bContains = false);
    // Sends a line with CR and reads up to the final OK or ERROR.
    std::string command(const std::string& strLine, uint32_t ulTimeoutMs = 2000);
    // True when the line reported a hang-up or an error (the module vanished).
    bool waitForHangup(uint32_t ulTimeoutMs);

private:
    int m_hFd = -1;
};

} // namespace SIM
} // namespace QUENTA

#endif
