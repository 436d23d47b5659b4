// Error types of the foundation library: a numeric code and, while the
// process-wide error-text switch is on, a short text.
#pragma once

#include <cstdint>
#include <exception>

namespace ERR {

class ErrorBaseC : public std::exception
{
public:
    static constexpr unsigned c_unMessageSize = 240;

    explicit ErrorBaseC(uint32_t unCode, const char* szText = nullptr);
    ErrorBaseC(const ErrorBaseC& other);
    ErrorBaseC& operator=(const ErrorBaseC& other);
    ~ErrorBaseC() override;

    ErrorBaseC& append(const char* szText);
    ErrorBaseC& append(char cChar);
    ErrorBaseC& append(long lValue);
    // Written as 0x%08lx.
    ErrorBaseC& appendHex(unsigned long ulValue);
    ErrorBaseC& append(double dValue);

    uint32_t getCode() const { return m_unCode; }
    void setCode(uint32_t unCode) { m_unCode = unCode; }
    // Takes the other error's code and appends its text.
    void setFrom(const ErrorBaseC& other);

    const char* what() const noexcept override;

    // Texts cost memory on the target, so they are collected only while this
    // switch is on; it is off at start and the library never turns it on.
    static void setErrorTextEnabled(bool bEnabled);
    static bool isErrorTextEnabled();

private:
    void appendFormatted(const char* szFormat, ...);

    uint32_t m_unCode;
    char* m_szMessage;
    unsigned m_unLength;
};

} // namespace ERR

namespace NOX {

class SysServiceErrorC : public ::ERR::ErrorBaseC
{
public:
    using ::ERR::ErrorBaseC::ErrorBaseC;
};

namespace TSK {

class LockingExceptionC : public SysServiceErrorC
{
public:
    // The lock object is unusable or the wait failed.
    static constexpr uint32_t c_unUnusable = 0x03101001;
    // The wait timed out.
    static constexpr uint32_t c_unTimeout = 0x03101002;
    // A guarded transfer was started while another was active.
    static constexpr uint32_t c_unTransferActive = 0x03101009;

    using SysServiceErrorC::SysServiceErrorC;
};

class TaskingExceptionC : public SysServiceErrorC
{
public:
    // A task's thread could not be created.
    static constexpr uint32_t c_unThreadNotCreated = 0x03101003;
    // Start of a task that is already started.
    static constexpr uint32_t c_unAlreadyStarted = 0x03101004;

    using SysServiceErrorC::SysServiceErrorC;
};

} // namespace TSK
} // namespace NOX
