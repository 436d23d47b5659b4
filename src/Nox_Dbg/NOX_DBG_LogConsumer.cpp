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
    const int nMaxChars = c_nBufferSize - 1;
    size_t unBytes = std::strlen(szRecord);
    int nBytes = static_cast<int>(unBytes < TEMP_BUFF_LEN ? unBytes : TEMP_BUFF_LEN);
    // The cut is in characters: a record of more bytes than the buffer holds
    // characters may still fit whole in a multi-byte code page.
    int nNeeded =
        nBytes > nMaxChars ? MultiByteToWideChar(CP_ACP, 0, szRecord, nBytes, nullptr, 0) : 0;
    while (nNeeded > nMaxChars) {
        nBytes -= nNeeded - nMaxChars;
        nNeeded = MultiByteToWideChar(CP_ACP, 0, szRecord, nBytes, nullptr, 0);
    }
    int nLength = MultiByteToWideChar(CP_ACP, 0, szRecord, nBytes, pBuffer, nMaxChars);
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
