#include "Nox_Dbg/NOX_DBG_LogConsumer.h"

#include <cstdio>
#include <cstring>

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

int DbgLogOutputDebugStringConsumerC::convert(const char* szRecord, WCHAR* pBuffer)
{
    // Longer records are cut: at most the bytes that can give room for the
    // line end and the terminator.
    size_t unBytes = std::strlen(szRecord);
    const size_t unMaxBytes = c_nBufferSize - 1;
    int nLength = MultiByteToWideChar(CP_ACP, 0, szRecord,
                                      static_cast<int>(unBytes < unMaxBytes ? unBytes : unMaxBytes),
                                      pBuffer, c_nBufferSize - 1);
    if (nLength < 0) {
        nLength = 0;
    }
    pBuffer[nLength] = L'\0';
    if (nLength > 2 && nLength < c_nBufferSize - 2) {
        if (pBuffer[nLength - 1] == L'\n') {
            pBuffer[nLength - 1] = L'\r';
            pBuffer[nLength++] = L'\n';
        } else if (pBuffer[nLength - 1] != L'\r') {
            pBuffer[nLength++] = L'\r';
            pBuffer[nLength++] = L'\n';
        }
        pBuffer[nLength] = L'\0';
    }
    return nLength;
}

void DbgLogOutputDebugStringConsumerC::logWrite(const char* szRecord)
{
    NOX::TSK::GuardC guard(m_Lock);
    WCHAR aText[c_nBufferSize + 1];
    convert(szRecord, aText);
    OutputDebugStringW(aText);
}

} // namespace DBG
} // namespace NOX
