// The scoped performance log: a scope opened at the top of an operation
// writes a "START" line, collects streamed messages and on leaving writes the
// elapsed time, indented by the calling thread's nesting depth. When its class
// log is silent a scope costs one level check.
#pragma once

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include <ios>
#include <optional>
#include <sstream>
#include <string>
#include <type_traits>

namespace NOX {
namespace DBG {

// The component log of one traced class, named after the class.
class PerformanceLoggableC : public DbgLogFileC
{
public:
    explicit PerformanceLoggableC(const char* szClassName) : DbgLogFileC(szClassName) {}
    virtual ~PerformanceLoggableC() = default;

    NOX::TSK::CriticalSectionC& getLock() { return m_Lock; }

private:
    NOX::TSK::CriticalSectionC m_Lock;
};

class PerformanceLogC
{
public:
    PerformanceLogC(PerformanceLoggableC* pLoggable, const char* szName, bool bCompact = false)
        : m_pLoggable(nullptr), m_szName(szName), m_bCompact(bCompact), m_dwStartTick(0)
    {
        if (pLoggable != nullptr && pLoggable->isEnabled(LVL_INFO)) {
            open(pLoggable);
        }
    }
    PerformanceLogC(const PerformanceLogC&) = delete;
    PerformanceLogC& operator=(const PerformanceLogC&) = delete;
    virtual ~PerformanceLogC()
    {
        if (m_pLoggable != nullptr) {
            close();
        }
    }

    bool isActive() const { return m_pLoggable != nullptr; }
    // Whether streamed messages are written.
    bool isStreaming() const { return m_pLoggable != nullptr && m_pLoggable->isEnabled(LVL_FINE); }

    PerformanceLogC& operator<<(const char* szText)
    {
        if (isStreaming()) {
            appendNarrow(szText != nullptr ? szText : "");
        }
        return *this;
    }
    PerformanceLogC& operator<<(const std::string& strText)
    {
        if (isStreaming()) {
            appendNarrow(strText.c_str());
        }
        return *this;
    }
    PerformanceLogC& operator<<(const wchar_t* szText)
    {
        if (isStreaming()) {
            appendWide(szText != nullptr ? szText : L"");
        }
        return *this;
    }
    PerformanceLogC& operator<<(const std::wstring& strText)
    {
        if (isStreaming()) {
            appendWide(strText.c_str());
        }
        return *this;
    }
    PerformanceLogC& operator<<(bool bValue)
    {
        if (isStreaming()) {
            stream() << bValue;
        }
        return *this;
    }
    template <class T, class = std::enable_if_t<std::is_integral<T>::value>>
    PerformanceLogC& operator<<(T value)
    {
        if (isStreaming()) {
            stream() << value;
        }
        return *this;
    }
    PerformanceLogC& operator<<(std::ios_base& (*pfnManipulator)(std::ios_base&))
    {
        if (isStreaming()) {
            stream() << pfnManipulator;
        }
        return *this;
    }
    PerformanceLogC& operator<<(PerformanceLogC& (*pfnManipulator)(PerformanceLogC&))
    {
        return pfnManipulator(*this);
    }

    // Writes the collected text up to its last line feed as one message line.
    void flush();
    // Appends a line feed and flushes.
    void endLine();

private:
    void open(PerformanceLoggableC* pLoggable);
    void close();
    std::stringstream& stream();
    void appendNarrow(const char* szText);
    void appendWide(const wchar_t* szText);

    PerformanceLoggableC* m_pLoggable;
    const char* m_szName;
    bool m_bCompact;
    DWORD m_dwStartTick;
    // Built only by an active scope, so a silent one costs nothing.
    std::optional<std::stringstream> m_Stream;
    std::optional<NOX::TSK::CriticalSectionC> m_Lock;
};

// The end-of-line manipulator: log << "text" << NOX::DBG::endl;
inline PerformanceLogC& endl(PerformanceLogC& log)
{
    if (log.isStreaming()) {
        log.endLine();
    }
    return log;
}

// The nesting depth of the calling thread's active scopes.
int32_t currentDepth();

} // namespace DBG
} // namespace NOX
