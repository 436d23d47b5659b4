#include "Nox_Dbg/NOX_DBG_LogConsumer.h"

#include <cstdio>

namespace NOX {
namespace DBG {

DbgLogConsumerC::DbgLogConsumerC(uint32_t unHeaderMode) : m_unHeaderMode(unHeaderMode) {}

void DbgLogConsumerC::setHeaderMode(uint32_t unHeaderMode)
{
    NOX::TSK::GuardC guard(m_Lock);
    m_unHeaderMode = unHeaderMode;
}

uint32_t DbgLogConsumerC::getHeaderMode()
{
    NOX::TSK::GuardC guard(m_Lock);
    return m_unHeaderMode;
}

void DbgLogPrintfConsumerC::logWrite(const char* szRecord)
{
    NOX::TSK::GuardC guard(m_Lock);
    std::fputs(szRecord, stdout);
    std::fflush(stdout);
}

} // namespace DBG
} // namespace NOX
