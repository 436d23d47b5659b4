#include "Nox_Err/NOX_ERR_Error.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace ERR {

namespace {
std::atomic<bool> s_bErrorTextEnabled{false};
} // namespace

ErrorBaseC::ErrorBaseC(uint32_t unCode, const char* szText)
    : m_unCode(unCode), m_szMessage(nullptr), m_unLength(0)
{
    if (s_bErrorTextEnabled.load(std::memory_order_relaxed)) {
        m_szMessage = new char[c_unMessageSize]();
    }
    if (szText != nullptr) {
        append(szText);
    }
}

ErrorBaseC::ErrorBaseC(const ErrorBaseC& other)
    : std::exception(other), m_unCode(other.m_unCode), m_szMessage(nullptr), m_unLength(0)
{
    if (other.m_szMessage != nullptr) {
        m_szMessage = new char[c_unMessageSize]();
        append(other.m_szMessage);
    }
}

ErrorBaseC& ErrorBaseC::operator=(const ErrorBaseC& other)
{
    if (this != &other) {
        m_unCode = other.m_unCode;
        m_unLength = 0;
        if (m_szMessage != nullptr) {
            m_szMessage[0] = '\0';
        }
        if (other.m_szMessage != nullptr) {
            if (m_szMessage == nullptr) {
                m_szMessage = new char[c_unMessageSize]();
            }
            append(other.m_szMessage);
        }
    }
    return *this;
}

ErrorBaseC::~ErrorBaseC()
{
    delete[] m_szMessage;
}

void ErrorBaseC::appendFormatted(const char* szFormat, ...)
{
    if (m_szMessage == nullptr || m_unLength >= c_unMessageSize - 1) {
        return;
    }
    va_list args;
    va_start(args, szFormat);
    int nWritten =
        std::vsnprintf(m_szMessage + m_unLength, c_unMessageSize - m_unLength, szFormat, args);
    va_end(args);
    if (nWritten > 0) {
        m_unLength = static_cast<unsigned>(std::strlen(m_szMessage));
    }
}

ErrorBaseC& ErrorBaseC::append(const char* szText)
{
    appendFormatted("%s", szText != nullptr ? szText : "");
    return *this;
}

ErrorBaseC& ErrorBaseC::append(char cChar)
{
    appendFormatted("%c", cChar);
    return *this;
}

ErrorBaseC& ErrorBaseC::append(long lValue)
{
    appendFormatted("%ld", lValue);
    return *this;
}

ErrorBaseC& ErrorBaseC::appendHex(unsigned long ulValue)
{
    appendFormatted("0x%08lx", ulValue);
    return *this;
}

ErrorBaseC& ErrorBaseC::append(double dValue)
{
    appendFormatted("%f", dValue);
    return *this;
}

void ErrorBaseC::setFrom(const ErrorBaseC& other)
{
    m_unCode = other.m_unCode;
    if (other.m_szMessage != nullptr) {
        append(other.m_szMessage);
    }
}

const char* ErrorBaseC::what() const noexcept
{
    return m_szMessage != nullptr ? m_szMessage : "";
}

void ErrorBaseC::setErrorTextEnabled(bool bEnabled)
{
    s_bErrorTextEnabled.store(bEnabled, std::memory_order_relaxed);
}

bool ErrorBaseC::isErrorTextEnabled()
{
    return s_bErrorTextEnabled.load(std::memory_order_relaxed);
}

} // namespace ERR
