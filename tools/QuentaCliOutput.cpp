#include "QuentaCliOutput.h"
#include "QUENTA_Session.h"
#include "QuentaCliNames.h"

#if defined(_WIN32)
#include "Nox_Hal/NOX_HAL_Path.h"
#include "Platform.h"

#include <cctype>
#include <cstdlib>
#include <io.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace QUENTA {
namespace CLI {

namespace {

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

std::string shownByte(char cByte)
{
    const unsigned char uch = static_cast<unsigned char>(cByte);
    if (uch >= 0x20 && uch != 0x7f) {
        return std::string(1, cByte);
    }
    char szEscape[8];
    std::snprintf(szEscape, sizeof(szEscape), "\\x%02x", uch);
    return szEscape;
}

std::string shown(const std::string& strText)
{
    // One way for the tool and the session's messages alike.
    return QUENTA::shownText(strText);
}

OutputC::OutputC(bool bJson, std::FILE* pOut, std::FILE* pErr)
    : m_bJson(bJson), m_pOut(pOut), m_pErr(pErr)
{}

void OutputC::devices(const std::vector<std::string>& vecNames, uint32_t unUnreadNames)
{
    std::vector<std::string> vecShown;
    for (const std::string& strName : vecNames) {
        vecShown.push_back(nameText(strName));
    }
    if (m_bJson) {
        line("{\"devices\":" + jsonArray(vecShown) +
             ",\"unread_names\":" + std::to_string(unUnreadNames) + "}");
        return;
    }
    for (const std::string& strName : vecShown) {
        line(strName);
    }
}

void OutputC::paired(const std::string& strName)
{
    if (m_bJson) {
        line("{\"paired\":" + jsonString(nameText(strName)) + "}");
    } else if (strName.empty()) {
        note("quenta: the module names no paired device");
    } else {
        line(nameText(strName));
    }
}

void OutputC::pairedWith(const std::string& strName)
{
    line(m_bJson ? "{\"ok\":true,\"paired\":" + jsonString(nameText(strName)) + "}"
                 : "paired with " + shown(nameText(strName)));
}

void OutputC::commandList(const std::string& strHeading,
                          const std::vector<CommandFormS>& vecCommands)
{
    if (m_bJson) {
        std::string strJson = "{\"commands\":[";
        for (size_t i = 0; i < vecCommands.size(); ++i) {
            strJson += std::string(i == 0 ? "" : ",") +
                       "{\"form\":" + jsonString(vecCommands[i].m_strForm) +
                       ",\"does\":" + jsonString(vecCommands[i].m_strDoes) + "}";
        }
        line(strJson + "]}");
        return;
    }
    // A form too wide for the column stands on a line of its own.
    const size_t c_unColumn = 24;
    line(strHeading);
    for (const CommandFormS& command : vecCommands) {
        std::string strForm = command.m_strForm;
        if (strForm.size() + 2 > c_unColumn) {
            line("  " + strForm);
            strForm.clear();
        }
        strForm.resize(c_unColumn, ' ');
        line("  " + strForm + command.m_strDoes);
    }
}

void OutputC::answer(const std::string& strAnswer)
{
    if (m_bJson) {
        line("{\"ok\":true,\"answer\":" + jsonString(strAnswer) + "}");
        return;
    }
    // CR and LF stay visible, yet each LF still ends a line for reading.
    std::string strText;
    for (const char cByte : strAnswer) {
        strText += cByte == '\r'   ? std::string("\\r")
                   : cByte == '\n' ? std::string("\\n\n")
                                   : shownByte(cByte);
    }
    if (!strText.empty() && strText.back() == '\n') {
        strText.pop_back();
    }
    line(strText);
}

void OutputC::ok(const std::string& strDone)
{
    line(m_bJson ? std::string("{\"ok\":true}") : strDone);
}

namespace {

const char* const c_szFastLine = "921600 bit/s with RTS/CTS";
const char* const c_szSlowLine = "115200 bit/s without handshake";

std::string probeJson(const ProbeS& probe)
{
    switch (probe.m_eResult) {
    case PR_ANSWERED_921600_RTSCTS:
        return "{\"result\":\"answered\",\"bitRate\":921600,\"rtsCts\":true}";
    case PR_ANSWERED_115200:
        return "{\"result\":\"answered\",\"bitRate\":115200,\"rtsCts\":false}";
    case PR_NO_ANSWER:
        return "{\"result\":\"no answer\"" +
               (probe.m_strError.empty() ? "" : ",\"note\":" + jsonString(probe.m_strError)) + "}";
    case PR_IN_USE:
        return "{\"result\":\"in use\"}";
    case PR_FAILED:
        return "{\"result\":\"failed\",\"error\":" + jsonString(probe.m_strError) + "}";
    case PR_NOT_PROBED:
        break;
    }
    return std::string();
}

std::string probeText(const ProbeS& probe)
{
    switch (probe.m_eResult) {
    case PR_ANSWERED_921600_RTSCTS:
        return std::string("answers at ") + c_szFastLine;
    case PR_ANSWERED_115200:
        return std::string("answers at ") + c_szSlowLine;
    case PR_NO_ANSWER:
        return std::string("no answer at ") + c_szFastLine + " or " + c_szSlowLine +
               (probe.m_strError.empty() ? "" : " (" + shown(probe.m_strError) + ")");
    case PR_IN_USE:
        return "in use by another program, not probed";
    case PR_FAILED:
        return "cannot be probed: " + shown(probe.m_strError);
    case PR_NOT_PROBED:
        break;
    }
    return std::string();
}

// Unknown fields are left out rather than given as null.
std::string portJson(const PortEntryS& port)
{
    std::string strJson = "{\"path\":" + jsonString(port.m_strPath);
    const std::pair<const char*, const std::string*> c_aFields[] = {
        {"target", &port.m_strTarget},
        {"description", &port.m_strDescription},
        {"manufacturer", &port.m_strManufacturer},
        {"vendorId", &port.m_strVendorId},
        {"productId", &port.m_strProductId},
        {"serial", &port.m_strSerial},
        {"driver", &port.m_strDriver}};
    if (!port.m_vecLinks.empty()) {
        strJson += ",\"links\":" + jsonArray(port.m_vecLinks);
    }
    for (const auto& field : c_aFields) {
        if (!field.second->empty()) {
            strJson += std::string(",\"") + field.first + "\":" + jsonString(*field.second);
        }
    }
    if (port.m_probe.m_eResult != PR_NOT_PROBED) {
        strJson += ",\"probe\":" + probeJson(port.m_probe);
    }
    return strJson + "}";
}

// The path on the first line, then one indented line per known field.
std::vector<std::string> portLines(const PortEntryS& port)
{
    std::vector<std::string> vecLines = {
        shown(port.m_strPath) + (port.m_strTarget.empty() ? "" : " -> " + shown(port.m_strTarget))};
    for (const std::string& strLink : port.m_vecLinks) {
        vecLines.push_back("  link: " + shown(strLink));
    }
    const std::pair<const char*, const std::string*> c_aFields[] = {
        {"description", &port.m_strDescription}, {"manufacturer", &port.m_strManufacturer}};
    for (const auto& field : c_aFields) {
        if (!field.second->empty()) {
            vecLines.push_back(std::string("  ") + field.first + ": " + shown(*field.second));
        }
    }
    if (!port.m_strVendorId.empty() || !port.m_strProductId.empty()) {
        vecLines.push_back("  USB id: " + shown(port.m_strVendorId) + ":" +
                           shown(port.m_strProductId));
    }
    if (!port.m_strSerial.empty()) {
        vecLines.push_back("  serial: " + shown(port.m_strSerial));
    }
    if (!port.m_strDriver.empty()) {
        vecLines.push_back("  driver: " + shown(port.m_strDriver));
    }
    if (port.m_probe.m_eResult != PR_NOT_PROBED) {
        vecLines.push_back("  probe: " + probeText(port.m_probe));
    }
    return vecLines;
}

} // namespace

void OutputC::ports(const std::vector<PortEntryS>& vecPorts, const ComMappingS& com8,
                    const ProbeS& com8Probe)
{
    if (m_bJson) {
        std::string strJson = "{\"ports\":[";
        for (size_t i = 0; i < vecPorts.size(); ++i) {
            strJson += (i == 0 ? "" : ",") + portJson(vecPorts[i]);
        }
        strJson += "],\"COM8:\":{\"path\":" + jsonString(com8.m_strPath);
        if (!com8.m_strTarget.empty()) {
            strJson += ",\"target\":" + jsonString(com8.m_strTarget);
        }
        strJson += ",\"source\":" + jsonString(com8.m_strSource) +
                   ",\"exists\":" + (com8.m_bExists ? "true" : "false");
        if (com8Probe.m_eResult != PR_NOT_PROBED) {
            strJson += ",\"probe\":" + probeJson(com8Probe);
        }
        line(strJson + "}}");
        return;
    }
    for (const PortEntryS& port : vecPorts) {
        for (const std::string& strLine : portLines(port)) {
            line(strLine);
        }
    }
    line("COM8: " + shown(com8.m_strPath) +
         (com8.m_strTarget.empty() ? "" : " -> " + shown(com8.m_strTarget)) + " (" +
         com8.m_strSource + (com8.m_bExists ? "" : "; does not exist") + ")");
    if (com8Probe.m_eResult != PR_NOT_PROBED) {
        line("  probe: " + probeText(com8Probe));
    }
}

void OutputC::version(const std::string& strVersion, const std::string& strLibrary)
{
    line(m_bJson ? "{\"version\":" + jsonString(strVersion) +
                       ",\"library\":" + jsonString(strLibrary) + "}"
                 : "quenta " + strVersion + "\nlibquenta " + strLibrary);
}

void OutputC::failure(int nExitCode, const std::string& strMessage, const std::string& strAnswer,
                      const std::string& strCause)
{
    note(strMessage);
    if (m_bJson) {
        line("{\"ok\":false,\"exit\":" + std::to_string(nExitCode) +
             ",\"error\":" + jsonString(strMessage) +
             (strAnswer.empty() ? "" : ",\"answer\":" + jsonString(strAnswer)) +
             (strCause.empty() ? "" : ",\"cause\":" + jsonString(strCause)) + "}");
    }
}

void OutputC::note(const std::string& strMessage)
{
    std::fprintf(m_pErr, "%s\n", strMessage.c_str());
    std::fflush(m_pErr);
}

void OutputC::line(const std::string& strText)
{
    if (m_bJson && !m_strContext.empty()) {
        std::fprintf(m_pOut, "{%s%s\n", m_strContext.c_str(), strText.c_str() + 1);
        std::fflush(m_pOut);
        return;
    }
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

std::FILE* reserveStandardOutput()
{
    const int nResults = _dup(_fileno(stdout));
    if (nResults < 0 || _dup2(_fileno(stderr), _fileno(stdout)) != 0) {
        return stdout;
    }
    std::FILE* pResults = _fdopen(nResults, "wb");
    return pResults != nullptr ? pResults : stdout;
}

bool standardInputIsTerminal()
{
    return _isatty(_fileno(stdin)) != 0;
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

std::FILE* reserveStandardOutput()
{
    std::fflush(stdout);
    const int nResults = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (nResults < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        return stdout;
    }
    std::FILE* pResults = fdopen(nResults, "w");
    return pResults != nullptr ? pResults : stdout;
}

bool standardInputIsTerminal()
{
    return isatty(STDIN_FILENO) != 0;
}

#endif

} // namespace CLI
} // namespace QUENTA
