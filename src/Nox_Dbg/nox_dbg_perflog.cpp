#include "Nox_Dbg/nox_dbg_perflog.h"

#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"

#include <map>
#include <vector>

namespace {
const char c_szSourceFile[] = "src\\Nox_Dbg\\nox_dbg_perflog";
// The lines the depth checks have always reported.
const int c_nLeaveUnknownLine = 103;
const int c_nLeaveZeroLine = 108;

// Nesting depth of each thread that ever opened an active scope.
class DepthTableC
{
public:
    static DepthTableC& getInstance()
    {
        static DepthTableC s_Table;
        return s_Table;
    }

    void enter()
    {
        NOX::TSK::GuardC guard(m_Lock);
        ++m_mapDepths[GetCurrentThreadId()];
    }

    void leave()
    {
        NOX::TSK::GuardC guard(m_Lock);
        auto it = m_mapDepths.find(GetCurrentThreadId());
        if (it == m_mapDepths.end()) {
            NOX::ERR::assertFailed("false", 0, 0, c_szSourceFile, c_nLeaveUnknownLine);
            return;
        }
        if (it->second == 0) {
            NOX::ERR::assertFailed("false", 0, 0, c_szSourceFile, c_nLeaveZeroLine);
            return;
        }
        --it->second;
    }

    int32_t current()
    {
        NOX::TSK::GuardC guard(m_Lock);
        return m_mapDepths[GetCurrentThreadId()];
    }

private:
    NOX::TSK::CriticalSectionC m_Lock;
    std::map<DWORD, int32_t> m_mapDepths;
};

// The table exists from load on, like the logs that use it.
const bool c_bDepthTableCreated = (DepthTableC::getInstance(), true);

std::string indent(int32_t nDepth)
{
    return std::string(static_cast<size_t>(nDepth > 0 ? nDepth : 0) * 2, ' ');
}
} // namespace

namespace NOX {
namespace DBG {

int32_t currentDepth()
{
    return DepthTableC::getInstance().current();
}

void PerformanceLogC::open(PerformanceLoggableC* pLoggable)
{
    m_pLoggable = pLoggable;
    m_Lock.emplace();
    m_Stream.emplace();
    int32_t nDepth = currentDepth();
    if (!m_bCompact) {
        if (nDepth > 0) {
            m_pLoggable->log(LVL_INFO, "%sSTART %s\n", indent(nDepth).c_str(), m_szName);
        } else {
            m_pLoggable->log(LVL_INFO, "START %s\n", m_szName);
        }
    }
    DepthTableC::getInstance().enter();
    m_dwStartTick = GetTickCount();
}

void PerformanceLogC::close()
{
    PerformanceLoggableC* pLoggable = m_pLoggable;
    m_pLoggable = nullptr;
    if (!pLoggable->isEnabled(LVL_INFO)) {
        return;
    }
    DWORD dwEndTick = GetTickCount();
    DepthTableC::getInstance().leave();
    int32_t nDepth = currentDepth();
    double dElapsedMs = static_cast<double>(static_cast<DWORD>(dwEndTick - m_dwStartTick));
    if (m_bCompact) {
        pLoggable->log(LVL_INFO, "%.3f\n", dElapsedMs);
    } else if (nDepth > 0) {
        pLoggable->log(LVL_INFO, "%s%.3f ms %s\n", indent(nDepth).c_str(), dElapsedMs, m_szName);
    } else {
        pLoggable->log(LVL_INFO, "%.3f ms %s\n", dElapsedMs, m_szName);
    }
}

std::stringstream& PerformanceLogC::stream()
{
    return *m_Stream;
}

void PerformanceLogC::appendNarrow(const char* szText)
{
    NOX::TSK::GuardC guard(*m_Lock);
    *m_Stream << szText;
}

void PerformanceLogC::appendWide(const wchar_t* szText)
{
    int nSize = WideCharToMultiByte(CP_ACP, 0, szText, -1, nullptr, 0, nullptr, nullptr);
    if (nSize <= 0) {
        return;
    }
    std::vector<char> vecText(static_cast<size_t>(nSize));
    WideCharToMultiByte(CP_ACP, 0, szText, -1, vecText.data(), nSize, nullptr, nullptr);
    appendNarrow(vecText.data());
}

void PerformanceLogC::endLine()
{
    appendNarrow("\n");
    flush();
}

void PerformanceLogC::flush()
{
    if (m_pLoggable == nullptr) {
        return;
    }
    NOX::TSK::GuardC guard(*m_Lock);
    std::string strText = m_Stream->str();
    if (strText.find('\n') == std::string::npos) {
        return;
    }
    int32_t nDepth = currentDepth();
    if (nDepth > 0) {
        m_pLoggable->log(LVL_FINE, "%s%s", indent(nDepth).c_str(), strText.c_str());
    } else {
        m_pLoggable->log(LVL_FINE, "%s", strText.c_str());
    }
    m_Stream->str(std::string());
    m_Stream->clear();
    m_Stream->flags(std::ios_base::dec | std::ios_base::skipws);
}

} // namespace DBG
} // namespace NOX
