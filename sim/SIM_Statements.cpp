#include "SIM_Statements.h"

#include "SIM_Pty.h"

#include <cctype>
#include <cstdlib>
#include <sstream>

namespace QUENTA {
namespace SIM {

namespace {

const uint32_t c_ulMaxMs = 3600000;
const uint32_t c_ulMaxCount = 1000000;
const size_t c_unMaxNameLength = 64;

const char* const c_szKinds = "error, silent, drop, garbage, split, delay or vanish";

std::string trimmed(const std::string& strText)
{
    const char* const pszSpace = " \t\r\n";
    const size_t unFirst = strText.find_first_not_of(pszSpace);
    if (unFirst == std::string::npos) {
        return std::string();
    }
    return strText.substr(unFirst, strText.find_last_not_of(pszSpace) - unFirst + 1);
}

// The first word and the rest after the blanks that follow it.
void splitWord(const std::string& strText, std::string& strWord, std::string& strRest)
{
    const size_t unEnd = strText.find_first_of(" \t");
    strWord = strText.substr(0, unEnd);
    strRest = unEnd == std::string::npos ? std::string() : trimmed(strText.substr(unEnd));
}

bool parseUnsigned(const std::string& strText, uint32_t ulMax, uint32_t& ulValue)
{
    if (strText.empty() || strText.size() > 10) {
        return false;
    }
    for (unsigned char c : strText) {
        if (!std::isdigit(c)) {
            return false;
        }
    }
    const unsigned long long ullValue = std::strtoull(strText.c_str(), nullptr, 10);
    if (ullValue > ulMax) {
        return false;
    }
    ulValue = static_cast<uint32_t>(ullValue);
    return true;
}

std::string upper(std::string strText)
{
    for (char& c : strText) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return strText;
}

bool isAddress(const std::string& strText)
{
    if (strText.empty() || strText.size() > 47) {
        return false;
    }
    for (unsigned char c : strText) {
        if (!std::isalnum(c) && c != ':' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// A command word as statements name it: "*" or a word the module knows.
bool parseWord(const std::string& strText, std::string& strWord, std::string& strError)
{
    strWord = strText == "*" ? strText : upper(strText);
    if (strWord == "*" || SimCommandSetC::isKnownWord(strWord)) {
        return true;
    }
    strError = "unknown command word \"" + strText + "\"";
    return false;
}

bool parseTarget(const std::string& strText, std::string& strTarget, std::string& strError)
{
    if (strText.compare(0, 5, "name:") == 0) {
        if (!isAddress(strText.substr(5))) {
            strError = "name: needs a device address, e.g. name:02a0c7a1b2c3r";
            return false;
        }
        strTarget = strText;
        return true;
    }
    return parseWord(strText, strTarget, strError);
}

bool parseKind(const std::string& strKind, SimFaultKindE& eKind)
{
    for (SimFaultKindE eCandidate :
         {FK_ERROR, FK_SILENT, FK_DROP, FK_GARBAGE, FK_VANISH, FK_DELAY, FK_SPLIT}) {
        if (strKind == faultKindName(eCandidate)) {
            eKind = eCandidate;
            return true;
        }
    }
    return false;
}

// KIND[:ARG][@N][*M], the part after the '='.
bool parseKindAndCounts(const std::string& strText, SimFaultS& fault, std::string& strError)
{
    size_t unPos = 0;
    while (unPos < strText.size() && std::islower(static_cast<unsigned char>(strText[unPos]))) {
        ++unPos;
    }
    const std::string strKind = strText.substr(0, unPos);
    if (!parseKind(strKind, fault.m_eKind)) {
        strError = "unknown fault kind \"" + strText.substr(0, strText.find_first_of(":@*")) +
                   "\" (" + c_szKinds + ")";
        return false;
    }
    std::string astrParts[3]; // ARG, N, M
    bool abGiven[3] = {false, false, false};
    const char* const pszMarks = ":@*";
    int iLast = -1;
    while (unPos < strText.size()) {
        // Not strchr: it would take a NUL byte for the end of the marks.
        const size_t unMark = std::string(pszMarks).find(strText[unPos]);
        const int iPart = unMark != std::string::npos ? static_cast<int>(unMark) : -1;
        if (iPart <= iLast) {
            strError = "expected KIND[:ARG][@N][*M] after '=', got \"" + strText + "\"";
            return false;
        }
        const size_t unEnd = strText.find_first_of(pszMarks, unPos + 1);
        astrParts[iPart] = strText.substr(unPos + 1, unEnd - unPos - 1);
        abGiven[iPart] = true;
        iLast = iPart;
        unPos = unEnd == std::string::npos ? strText.size() : unEnd;
    }
    const bool bTakesArg =
        fault.m_eKind == FK_GARBAGE || fault.m_eKind == FK_DELAY || fault.m_eKind == FK_SPLIT;
    if (abGiven[0] && !bTakesArg) {
        strError = strKind + " takes no :ARG";
        return false;
    }
    if (fault.m_eKind == FK_DELAY && !abGiven[0]) {
        strError = "delay needs the milliseconds: delay:MS";
        return false;
    }
    const uint32_t ulMaxArg = fault.m_eKind == FK_DELAY ? c_ulMaxMs : 65536;
    if (abGiven[0] && !parseUnsigned(astrParts[0], ulMaxArg, fault.m_ulArg)) {
        strError = "bad " + strKind + " argument \"" + astrParts[0] + "\" (0.." +
                   std::to_string(ulMaxArg) + ")";
        return false;
    }
    if (fault.m_eKind == FK_SPLIT && abGiven[0] && fault.m_ulArg < 2) {
        strError = "split:N needs at least 2 pieces";
        return false;
    }
    uint32_t ulOccurrence = 1;
    if (abGiven[1] &&
        (!parseUnsigned(astrParts[1], c_ulMaxCount, ulOccurrence) || ulOccurrence == 0)) {
        strError = "bad @N \"" + astrParts[1] + "\" (the Nth matching command, from 1)";
        return false;
    }
    fault.m_unSkip = ulOccurrence - 1;
    if (abGiven[2] &&
        (!parseUnsigned(astrParts[2], c_ulMaxCount, fault.m_unCount) || fault.m_unCount == 0)) {
        strError = "bad *M \"" + astrParts[2] + "\" (how many times, from 1)";
        return false;
    }
    return true;
}

bool parseFault(const std::string& strArgs, SimStatementS& statement, std::string& strError)
{
    const size_t unEquals = strArgs.find('=');
    if (strArgs.empty() || unEquals == std::string::npos ||
        strArgs.find_first_of(" \t") != std::string::npos) {
        strError = "expected fault TARGET=KIND[:ARG][@N][*M]";
        return false;
    }
    SimFaultS& fault = statement.m_fault;
    if (!parseTarget(strArgs.substr(0, unEquals), fault.m_strTarget, strError) ||
        !parseKindAndCounts(strArgs.substr(unEquals + 1), fault, strError)) {
        return false;
    }
    const bool bNameFault = fault.m_strTarget.compare(0, 5, "name:") == 0;
    if (bNameFault && ((fault.m_eKind != FK_ERROR && fault.m_eKind != FK_SILENT) ||
                       fault.m_unSkip != 0 || fault.m_unCount > 1)) {
        strError = "a name: fault is error or silent, once (*1) or always";
        return false;
    }
    statement.m_eType = ST_FAULT;
    return true;
}

bool parseDevice(const std::string& strArgs, SimStatementS& statement, std::string& strError)
{
    std::string strVerb;
    std::string strRest;
    splitWord(strArgs, strVerb, strRest);
    std::string strAddress;
    splitWord(strRest, strAddress, strRest);
    if ((strVerb != "add" && strVerb != "remove") || !isAddress(strAddress)) {
        strError = "expected device add ADDRESS CLASS NAME or device remove ADDRESS";
        return false;
    }
    statement.m_device.m_strAddress = strAddress;
    if (strVerb == "remove") {
        if (!strRest.empty()) {
            strError = "device remove takes only the address";
            return false;
        }
        statement.m_eType = ST_DEVICE_REMOVE;
        return true;
    }
    std::string strClass;
    splitWord(strRest, strClass, statement.m_device.m_strName);
    const std::string& strName = statement.m_device.m_strName;
    if (!parseUnsigned(strClass, 0xffffffffu, statement.m_device.m_ulClass) || strName.empty()) {
        strError = "expected device add ADDRESS CLASS NAME (CLASS in decimal)";
        return false;
    }
    for (unsigned char c : strName) {
        if (c < 0x20 || c == '"' || c == 0x7f) {
            strError = "a device name has no quotes and no control characters";
            return false;
        }
    }
    if (strName.size() > c_unMaxNameLength) {
        strError = "a device name has at most " + std::to_string(c_unMaxNameLength) + " bytes";
        return false;
    }
    statement.m_eType = ST_DEVICE_ADD;
    return true;
}

bool parseSet(const std::string& strArgs, SimStatementS& statement, std::string& strError)
{
    static const struct
    {
        const char* m_pszName;
        SimSettingE m_eSetting;
        bool m_bSwitch; // on|off rather than a number
    } c_aSettings[] = {
        {"scan-ms", SET_SCAN_MS, false},
        {"name-ms", SET_NAME_MS, false},
        {"restart-ms", SET_RESTART_MS, false},
        {"guard-ms", SET_GUARD_MS, false},
        {"split-gap-ms", SET_SPLIT_GAP_MS, false},
        {"baud", SET_BAUD, false},
        {"echo", SET_ECHO, true},
        {"answer-noise", SET_ANSWER_NOISE, true},
        {"strict-rtscts", SET_STRICT_RTSCTS, true},
        {"rtscts", SET_RTSCTS, true},
    };
    std::string strName;
    std::string strValue;
    splitWord(strArgs, strName, strValue);
    for (const auto& setting : c_aSettings) {
        if (strName != setting.m_pszName) {
            continue;
        }
        statement.m_eSetting = setting.m_eSetting;
        statement.m_eType = ST_SET;
        if (setting.m_bSwitch) {
            statement.m_ulValue = strValue == "on" ? 1 : 0;
            if (strValue != "on" && strValue != "off") {
                strError = "set " + strName + " takes on or off";
                return false;
            }
            return true;
        }
        if (setting.m_eSetting == SET_BAUD) {
            if (!parseUnsigned(strValue, c_ulMaxMs, statement.m_ulValue) ||
                codeFromBaud(statement.m_ulValue) == 0) {
                strError = "set baud takes 4800, 9600, 19200, 57600, 115200 or 921600";
                return false;
            }
            return true;
        }
        if (!parseUnsigned(strValue, c_ulMaxMs, statement.m_ulValue)) {
            strError =
                "set " + strName + " takes milliseconds (0.." + std::to_string(c_ulMaxMs) + ")";
            return false;
        }
        return true;
    }
    strError = "unknown setting \"" + strName +
               "\" (scan-ms, name-ms, restart-ms, guard-ms, split-gap-ms, echo, answer-noise, "
               "strict-rtscts, baud, rtscts)";
    return false;
}

bool parseOn(const std::string& strArgs, SimStatementS& statement, std::string& strError)
{
    const size_t unColon = strArgs.find(':');
    if (unColon == std::string::npos) {
        strError = "expected on WORD[#N]: STATEMENT";
        return false;
    }
    const std::string strHead = trimmed(strArgs.substr(0, unColon));
    const size_t unHash = strHead.find('#');
    if (!parseWord(strHead.substr(0, unHash), statement.m_strWord, strError)) {
        return false;
    }
    if (unHash != std::string::npos &&
        (!parseUnsigned(strHead.substr(unHash + 1), c_ulMaxCount, statement.m_unOccurrence) ||
         statement.m_unOccurrence == 0)) {
        strError = "bad #N in \"" + strHead + "\" (the Nth line with the word, from 1)";
        return false;
    }
    auto pThen = std::make_shared<SimStatementS>();
    std::string strThenError;
    if (!parseStatement(strArgs.substr(unColon + 1), *pThen, strThenError)) {
        strError = "after \"" + strHead + ":\": " + strThenError;
        return false;
    }
    if (pThen->m_eType == ST_NONE || pThen->m_eType == ST_ON) {
        strError = "on " + strHead + ": needs one statement, not another on";
        return false;
    }
    statement.m_pThen = pThen;
    statement.m_eType = ST_ON;
    return true;
}

bool parseBytes(const std::string& strArgs, SimStatementS& statement, SimStatementTypeE eType,
                std::string& strError)
{
    if (!unescapeText(strArgs, statement.m_strBytes, strError)) {
        return false;
    }
    if (eType == ST_PEER && statement.m_strBytes.empty()) {
        strError = "peer needs the text to send";
        return false;
    }
    statement.m_eType = eType;
    return true;
}

bool parseBare(const std::string& strKeyword, const std::string& strArgs, SimStatementTypeE eType,
               SimStatementS& statement, std::string& strError)
{
    if (!strArgs.empty()) {
        strError = strKeyword + " takes no argument";
        return false;
    }
    statement.m_eType = eType;
    return true;
}

} // namespace

bool unescapeText(const std::string& strText, std::string& strBytes, std::string& strError)
{
    strBytes.clear();
    for (size_t i = 0; i < strText.size(); ++i) {
        if (strText[i] != '\\') {
            strBytes += strText[i];
            continue;
        }
        const char c = i + 1 < strText.size() ? strText[++i] : '\0';
        if (c == 'r') {
            strBytes += '\r';
        } else if (c == 'n') {
            strBytes += '\n';
        } else if (c == 't') {
            strBytes += '\t';
        } else if (c == '\\') {
            strBytes += '\\';
        } else if (c == 'x' && i + 2 < strText.size() &&
                   std::isxdigit(static_cast<unsigned char>(strText[i + 1])) &&
                   std::isxdigit(static_cast<unsigned char>(strText[i + 2]))) {
            strBytes +=
                static_cast<char>(std::strtol(strText.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            strError = "bad escape in text (\\r \\n \\t \\\\ \\xHH)";
            return false;
        }
    }
    return true;
}

bool parseStatement(const std::string& strLine, SimStatementS& statement, std::string& strError)
{
    statement = SimStatementS();
    statement.m_strText = trimmed(strLine);
    const std::string& strText = statement.m_strText;
    if (strText.empty() || strText[0] == '#') {
        return true;
    }
    std::string strKeyword;
    std::string strArgs;
    splitWord(strText, strKeyword, strArgs);
    if (strKeyword == "fault") {
        return parseFault(strArgs, statement, strError);
    }
    if (strKeyword == "clear") {
        if (strArgs == "all") {
            statement.m_eType = ST_CLEAR_ALL;
            return true;
        }
        statement.m_eType = ST_CLEAR;
        if (strArgs.empty() || strArgs.find_first_of(" \t") != std::string::npos) {
            strError = "expected clear TARGET or clear all";
            return false;
        }
        return parseTarget(strArgs, statement.m_strTarget, strError);
    }
    if (strKeyword == "device") {
        return parseDevice(strArgs, statement, strError);
    }
    if (strKeyword == "devices") {
        if (strArgs != "clear") {
            strError = "expected devices clear";
            return false;
        }
        statement.m_eType = ST_DEVICES_CLEAR;
        return true;
    }
    if (strKeyword == "set") {
        return parseSet(strArgs, statement, strError);
    }
    if (strKeyword == "mode") {
        static const SimModeE c_aModes[] = {SM_DATA, SM_COMMAND, SM_PRODUCTION};
        for (SimModeE eMode : c_aModes) {
            if (strArgs == modeName(eMode)) {
                statement.m_eType = ST_MODE;
                statement.m_eMode = eMode;
                return true;
            }
        }
        strError = "mode takes data, command or production";
        return false;
    }
    if (strKeyword == "vanish") {
        return parseBare(strKeyword, strArgs, ST_VANISH, statement, strError);
    }
    if (strKeyword == "return") {
        return parseBare(strKeyword, strArgs, ST_RETURN, statement, strError);
    }
    if (strKeyword == "state") {
        return parseBare(strKeyword, strArgs, ST_STATE, statement, strError);
    }
    if (strKeyword == "peer") {
        return parseBytes(strArgs, statement, ST_PEER, strError);
    }
    if (strKeyword == "garbage") {
        return parseBytes(strArgs, statement, ST_GARBAGE, strError);
    }
    if (strKeyword == "on") {
        return parseOn(strArgs, statement, strError);
    }
    strError = "unknown statement \"" + strKeyword +
               "\" (fault, clear, device, devices, set, mode, vanish, return, peer, garbage, "
               "state, on)";
    return false;
}

bool parseScript(const std::string& strText, std::vector<SimStatementS>& vecStatements,
                 size_t& unErrorLine, std::string& strError)
{
    vecStatements.clear();
    std::istringstream stream(strText);
    std::string strLine;
    size_t unLine = 0;
    while (std::getline(stream, strLine)) {
        ++unLine;
        SimStatementS statement;
        if (!parseStatement(strLine, statement, strError)) {
            unErrorLine = unLine;
            vecStatements.clear();
            return false;
        }
        statement.m_unLine = unLine;
        if (statement.m_eType != ST_NONE) {
            vecStatements.push_back(statement);
        }
    }
    return true;
}

} // namespace SIM
} // namespace QUENTA
