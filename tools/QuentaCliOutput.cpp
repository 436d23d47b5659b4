#include "QuentaCliOutput.h"

#if defined(_WIN32)
#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <cctype>
#include <cstdlib>
#else
#include <csignal>
#endif

namespace QUENTA {
namespace CLI {

namespace {

// Length of the valid UTF-8 sequence at unPos, 0 when there is none.
size_t utf8SequenceLength(const std::string& strText, size_t unPos)
{
    const unsigned char ucLead = static_cast<unsigned char>(strText[unPos]);
    size_t unLength = 0;
    unsigned unMin = 0;
    unsigned unCode = 0;
    if (ucLead >= 0xC2 && ucLead <= 0xDF) {
        unLength = 2, unMin = 0x80, unCode = ucLead & 0x1F;
    } else if (ucLead >= 0xE0 && ucLead <= 0xEF) {
        unLength = 3, unMin = 0x800, unCode = ucLead & 0x0F;
    } else if (ucLead >= 0xF0 && ucLead <= 0xF4) {
        unLength = 4, unMin = 0x10000, unCode = ucLead & 0x07;
    } else {
        return 0;
    }
    if (unPos + unLength > strText.size()) {
        return 0;
    }
    for (size_t i = 1; i < unLength; ++i) {
        const unsigned char ucNext = static_cast<unsigned char>(strText[unPos + i]);
        if ((ucNext & 0xC0) != 0x80) {
            return 0;
        }
        unCode = (unCode << 6) | (ucNext & 0x3F);
    }
    const bool bSurrogate = unCode >= 0xD800 && unCode <= 0xDFFF;
    return (unCode < unMin || unCode > 0x10FFFF || bSurrogate) ? 0 : unLength;
}

std::string unicodeEscape(unsigned unCode)
{
    char szEscape[8];
    std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", unCode);
    return szEscape;
}

std::string jsonArray(const std::vector<std::string>& vecItems)
{
    std::string strJson = "[";
    for (size_t i = 0; i < vecItems.size(); ++i) {
        strJson += (i == 0 ? "" : ",") + jsonString(vecItems[i]);
    }
    return strJson + "]";
}

} // namespace

std::string jsonString(const std::string& strText)
{
    std::string strJson = "\"";
    for (size_t unPos = 0; unPos < strText.size();) {
        const unsigned char ucByte = static_cast<unsigned char>(strText[unPos]);
        switch (ucByte) {
        case '"':
            strJson += "\\\"";
            break;
        case '\\':
            strJson += "\\\\";
            break;
        case '\b':
            strJson += "\\b";
            break;
        case '\f':
            strJson += "\\f";
            break;
        case '\n':
            strJson += "\\n";
            break;
        case '\r':
            strJson += "\\r";
            break;
        case '\t':
            strJson += "\\t";
            break;
        default:
            if (ucByte < 0x20 || ucByte == 0x7F) {
                strJson += unicodeEscape(ucByte);
            } else if (ucByte < 0x80) {
                strJson += static_cast<char>(ucByte);
            } else if (size_t unLength = utf8SequenceLength(strText, unPos)) {
                strJson.append(strText, unPos, unLength);
                unPos += unLength;
                continue;
            } else {
                strJson += unicodeEscape(ucByte);
            }
        }
        ++unPos;
    }
    return strJson + "\"";
}

std::string shown(const std::string& strText)
{
    const size_t c_unMax = 160;
    std::string strShown;
    size_t unAt = 0;
    for (; unAt < strText.size() && unAt < c_unMax; ++unAt) {
        const unsigned char uch = static_cast<unsigned char>(strText[unAt]);
        if (uch < 0x20 || uch == 0x7f) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof(szEscape), "\\x%02x", uch);
            strShown += szEscape;
        } else {
            strShown += static_cast<char>(uch);
        }
    }
    if (unAt == strText.size()) {
        return strShown;
    }
    // Back to the start of the character that was cut.
    while (!strShown.empty() && (static_cast<unsigned char>(strShown.back()) & 0xc0) == 0x80) {
        strShown.pop_back();
    }
    if (!strShown.empty() && static_cast<unsigned char>(strShown.back()) >= 0xc0) {
        strShown.pop_back();
    }
    return strShown + "...";
}

OutputC::OutputC(bool bJson, std::FILE* pOut, std::FILE* pErr)
    : m_bJson(bJson), m_pOut(pOut), m_pErr(pErr)
{}

void OutputC::devices(const std::vector<std::string>& vecNames)
{
    if (m_bJson) {
        line("{\"devices\":" + jsonArray(vecNames) + "}");
        return;
    }
    for (const std::string& strName : vecNames) {
        line(strName);
    }
}

void OutputC::paired(const std::string& strName)
{
    if (m_bJson) {
        line("{\"paired\":" + jsonString(strName) + "}");
    } else if (strName.empty()) {
        note("quenta: the module names no paired device");
    } else {
        line(strName);
    }
}

void OutputC::ok(const std::string& strDone)
{
    line(m_bJson ? std::string("{\"ok\":true}") : strDone);
}

void OutputC::ports(const std::vector<PortEntryS>& vecPorts, const ComMappingS& com8)
{
    if (m_bJson) {
        std::string strJson = "{\"ports\":[";
        for (size_t i = 0; i < vecPorts.size(); ++i) {
            strJson += (i == 0 ? "{" : ",{") + std::string("\"path\":") +
                       jsonString(vecPorts[i].m_strPath);
            if (!vecPorts[i].m_strTarget.empty()) {
                strJson += ",\"target\":" + jsonString(vecPorts[i].m_strTarget);
            }
            strJson += "}";
        }
        strJson += "],\"COM8:\":{\"path\":" + jsonString(com8.m_strPath);
        if (!com8.m_strTarget.empty()) {
            strJson += ",\"target\":" + jsonString(com8.m_strTarget);
        }
        strJson += ",\"source\":" + jsonString(com8.m_strSource) +
                   ",\"exists\":" + (com8.m_bExists ? "true" : "false") + "}}";
        line(strJson);
        return;
    }
    for (const PortEntryS& port : vecPorts) {
        line(port.m_strTarget.empty() ? port.m_strPath
                                      : port.m_strPath + " -> " + port.m_strTarget);
    }
    line("COM8: " + com8.m_strPath + (com8.m_strTarget.empty() ? "" : " -> " + com8.m_strTarget) +
         " (" + com8.m_strSource + (com8.m_bExists ? "" : "; does not exist") + ")");
}

void OutputC::version(const std::string& strVersion)
{
    line(m_bJson ? "{\"version\":" + jsonString(strVersion) + "}" : "quenta " + strVersion);
}

void OutputC::failure(int nExitCode, const std::string& strMessage)
{
    note(strMessage);
    if (m_bJson) {
        line("{\"ok\":false,\"exit\":" + std::to_string(nExitCode) +
             ",\"error\":" + jsonString(strMessage) + "}");
    }
}

void OutputC::note(const std::string& strMessage)
{
    std::fprintf(m_pErr, "%s\n", strMessage.c_str());
    std::fflush(m_pErr);
}

void OutputC::line(const std::string& strText)
{
    std::fprintf(m_pOut, "%s\n", strText.c_str());
    std::fflush(m_pOut);
}

#if defined(_WIN32)

void prepareStandardStreams()
{
    // Messages and names are UTF-8, which a console shows only in that code
    // page; it is the console's own setting, so it is put back at exit. (A
    // write to a closed pipe fails with an error here; no signal to ignore.)
    static const UINT s_uConsolePage = GetConsoleOutputCP();
    if (s_uConsolePage != 0 && s_uConsolePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit([] { SetConsoleOutputCP(s_uConsolePage); });
    }
}

std::string win32ErrorText(unsigned long ulError)
{
    wchar_t szText[512];
    const DWORD dwLength =
        FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ulError,
                       0, szText, 512, nullptr);
    std::string strText = NOX::HAL::narrowPath(std::wstring(szText, dwLength));
    if (strText.empty()) {
        return "Win32 error " + std::to_string(ulError);
    }
    while (!strText.empty() && (std::isspace(static_cast<unsigned char>(strText.back())) != 0 ||
                                strText.back() == '.')) {
        strText.pop_back();
    }
    return strText;
}

#else

void prepareStandardStreams()
{
    // A closed standard output must end in an error message, not a signal.
    std::signal(SIGPIPE, SIG_IGN);
}

#endif

} // namespace CLI
} // namespace QUENTA
