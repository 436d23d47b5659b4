#include "SIM_CommandSet.h"

#include "SIM_Pty.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace QUENTA {
namespace SIM {

const char* const SimCommandSetC::c_szOk = "\r\nOK\r\n";
const char* const SimCommandSetC::c_szError = "\r\nERROR\r\n";

static const uint32_t c_unMaxPeers = 7;
static const size_t c_unMaxNameLength = 31;

const char* modeName(SimModeE eMode)
{
    switch (eMode) {
    case SM_DATA:
        return "data";
    case SM_COMMAND:
        return "command";
    case SM_PRODUCTION:
        return "production";
    }
    return "?";
}

bool SimSerialS::operator==(const SimSerialS& other) const
{
    return m_unBaudRate == other.m_unBaudRate && m_unDataBits == other.m_unDataBits &&
           m_unStopBits == other.m_unStopBits && m_unParity == other.m_unParity &&
           m_unFlowControl == other.m_unFlowControl;
}

bool SimSerialS::isValid() const
{
    return baudFromCode(m_unBaudRate) != 0 && m_unDataBits >= 1 && m_unDataBits <= 4 &&
           m_unStopBits >= 1 && m_unStopBits <= 2 && m_unParity >= 1 && m_unParity <= 3 &&
           m_unFlowControl >= 1 && m_unFlowControl <= 2;
}

uint32_t SimSerialS::baudRate() const
{
    return baudFromCode(m_unBaudRate);
}

uint32_t SimSerialS::dataBits() const
{
    return 9 - m_unDataBits;
}

bool SimStateS::peerConnected() const
{
    return m_unNumberOfPeers > 0 && m_mapPeers.count(0) != 0;
}

SimStateS factoryState()
{
    return SimStateS();
}

namespace {

SimReplyS okReply(const std::string& strResult = std::string())
{
    SimReplyS reply;
    reply.m_bOk = true;
    reply.m_strAnswer = strResult.empty() ? std::string(SimCommandSetC::c_szOk)
                                          : "\r\n" + strResult + SimCommandSetC::c_szOk;
    return reply;
}

SimReplyS errorReply()
{
    SimReplyS reply;
    reply.m_strAnswer = SimCommandSetC::c_szError;
    return reply;
}

std::string quoted(const std::string& strText)
{
    return "\"" + strText + "\"";
}

bool parseNumber(const std::string& strField, long long& llValue)
{
    size_t unPos = (!strField.empty() && strField[0] == '-') ? 1 : 0;
    if (strField.size() == unPos || strField.size() > 11) {
        return false;
    }
    for (size_t i = unPos; i < strField.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(strField[i]))) {
            return false;
        }
    }
    llValue = std::strtoll(strField.c_str(), nullptr, 10);
    return llValue >= -2147483648LL && llValue <= 4294967295LL;
}

bool isQuoted(const std::string& strField)
{
    return strField.size() >= 2 && strField.front() == '"' && strField.back() == '"' &&
           strField.find('"', 1) == strField.size() - 1;
}

bool isAddress(const std::string& strField)
{
    if (strField.empty() || strField.size() > 47) {
        return false;
    }
    for (unsigned char c : strField) {
        if (!std::isalnum(c) && c != ':' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// Field kinds: N 32-bit number, b byte 0..255, B bool 0/1, Q quoted text of
// at most unMaxText characters, A unquoted address.
bool fieldMatches(char cKind, const std::string& strField, size_t unMaxText)
{
    long long llValue = 0;
    switch (cKind) {
    case 'N':
        return parseNumber(strField, llValue);
    case 'b':
        return parseNumber(strField, llValue) && llValue >= 0 && llValue <= 255;
    case 'B':
        return strField == "0" || strField == "1";
    case 'Q':
        return isQuoted(strField) && strField.size() - 2 <= unMaxText;
    case 'A':
        return isAddress(strField);
    default:
        return false;
    }
}

struct WriteSpecS
{
    const char* m_szWord;
    const char* m_szPattern;
    size_t m_unMaxText;
};

const WriteSpecS c_writeSpecs[] = {
    {"AGLN", "QB", c_unMaxNameLength},
    {"ADWSN", "NQB", c_unMaxNameLength},
    {"AGLC", "NB", 0},
    {"AGCM", "NB", 0},
    {"AGDM", "NB", 0},
    {"ADWM", "bbB", 0},
    {"ADDCP", "NB", 0},
    {"ADDSP", "NB", 0},
    {"AMWFM", "bbB", 0},
    {"AMDS", "NNB", 0},
    {"AMPM", "NB", 0},
    {"AGSM", "NB", 0},
    {"AGFP", "QB", 51},
    {"AMWIO", "bb", 0},
    {"AGSSID", "QB", 32},
    {"ADWDRP", "bANbQB", c_unMaxNameLength},
    {"ADNRP", "bB", 0},
    {"AGND", "A", 0},
    {"AGI", "bNb", 0},
    {"AMRS", "NNNNNBB", 0},
    {"AMWS", "bbbbbb", 0},
    {"ADRDRP", "b", 0},
};

const WriteSpecS* findWriteSpec(const std::string& strWord)
{
    for (const WriteSpecS& rule : c_writeSpecs) {
        if (strWord == rule.m_szWord) {
            return &rule;
        }
    }
    return nullptr;
}

bool fieldsMatch(const WriteSpecS& rule, const std::vector<std::string>& vecFields)
{
    if (vecFields.size() != std::strlen(rule.m_szPattern)) {
        return false;
    }
    for (size_t i = 0; i < vecFields.size(); ++i) {
        if (!fieldMatches(rule.m_szPattern[i], vecFields[i], rule.m_unMaxText)) {
            return false;
        }
    }
    return true;
}

long number(const std::string& strField)
{
    return std::strtol(strField.c_str(), nullptr, 10);
}

uint32_t unsignedNumber(const std::string& strField)
{
    return static_cast<uint32_t>(std::strtoll(strField.c_str(), nullptr, 10));
}

std::string unquoted(const std::string& strField)
{
    return strField.substr(1, strField.size() - 2);
}

} // namespace

std::vector<std::string> SimCommandSetC::splitFields(const std::string& strParams)
{
    std::vector<std::string> vecFields;
    std::string strField;
    bool bInQuotes = false;
    for (char c : strParams) {
        if (c == '"') {
            bInQuotes = !bInQuotes;
        }
        if (c == ',' && !bInQuotes) {
            vecFields.push_back(strField);
            strField.clear();
            continue;
        }
        strField += c;
    }
    vecFields.push_back(strField);
    return vecFields;
}

std::string SimCommandSetC::commandWord(const std::string& strLine)
{
    if (strLine.compare(0, 3, "AT*") != 0) {
        return strLine;
    }
    return strLine.substr(3, strLine.find_first_of("?=", 3) - 3);
}

bool SimCommandSetC::isKnownWord(const std::string& strWord)
{
    static const char* const c_aszOthers[] = {"AT", "AT&F", "ATP", "ADDM", "AILVI", "AILBA"};
    for (const char* pszWord : c_aszOthers) {
        if (strWord == pszWord) {
            return true;
        }
    }
    return findWriteSpec(strWord) != nullptr;
}

SimReplyS SimCommandSetC::execute(const std::string& strLine, SimStateS& state,
                                  const std::vector<SimDeviceS>& vecDevices,
                                  std::map<std::string, SimNameFailE>& mapNameFaults)
{
    if (strLine == "AT") {
        return okReply();
    }
    if (strLine == "AT&F") {
        SimStateS factory = factoryState();
        // The line keeps its settings until the restart; the rest is restored now.
        factory.m_eMode = state.m_eMode;
        factory.m_active = state.m_active;
        factory.m_unRestarts = state.m_unRestarts;
        factory.m_unFactoryResets = state.m_unFactoryResets + 1;
        state = factory;
        return okReply();
    }
    if (strLine == "ATP") {
        SimReplyS reply = okReply();
        reply.m_eAfter = SimReplyS::AF_PRODUCTION;
        return reply;
    }
    if (strLine.compare(0, 3, "AT*") != 0) {
        return errorReply();
    }
    const std::string strBody = strLine.substr(3);
    const size_t unSign = strBody.find_first_of("?=");
    const std::string strWord = commandWord(strLine);
    if (unSign == std::string::npos) {
        if (strWord != "ADDM") {
            return errorReply();
        }
        SimReplyS reply = okReply();
        reply.m_eAfter = SimReplyS::AF_DATA_MODE;
        return reply;
    }
    if (strBody[unSign] == '?') {
        return unSign + 1 == strBody.size() ? executeRead(strWord, state) : errorReply();
    }
    return executeWrite(strWord, strBody.substr(unSign + 1), state, vecDevices, mapNameFaults);
}

SimReplyS SimCommandSetC::executeRead(const std::string& strWord, SimStateS& state)
{
    const std::string strPrefix = "*" + strWord + ":";
    if (strWord == "AGLN") {
        return okReply(strPrefix + quoted(state.m_strLocalName));
    }
    if (strWord == "AILBA") {
        return okReply(strPrefix + state.m_strLocalAddress);
    }
    if (strWord == "AILVI") {
        std::string strFields;
        for (size_t i = 0; i < state.m_vecInfo.size(); ++i) {
            strFields += (i ? "," : "") + quoted(state.m_vecInfo[i]);
        }
        return okReply(strPrefix + strFields);
    }
    if (strWord == "ADDCP") {
        return okReply(strPrefix + std::to_string(state.m_ulClientProfile));
    }
    if (strWord == "ADDSP") {
        return okReply(strPrefix + std::to_string(state.m_ulServerProfile));
    }
    if (strWord == "AMRS") {
        const SimSerialS& stored = state.m_stored;
        return okReply(
            strPrefix + std::to_string(stored.m_unBaudRate) + "," +
            std::to_string(stored.m_unDataBits) + "," + std::to_string(stored.m_unStopBits) + "," +
            std::to_string(stored.m_unParity) + "," + std::to_string(stored.m_unFlowControl));
    }
    return errorReply();
}

SimReplyS SimCommandSetC::executeWrite(const std::string& strWord, const std::string& strParams,
                                       SimStateS& state, const std::vector<SimDeviceS>& vecDevices,
                                       std::map<std::string, SimNameFailE>& mapNameFaults)
{
    const WriteSpecS* pSpec = findWriteSpec(strWord);
    const std::vector<std::string> vecFields = splitFields(strParams);
    if (pSpec == nullptr || !fieldsMatch(*pSpec, vecFields)) {
        return errorReply();
    }
    if (strWord == "AGI") {
        return inquiry(vecFields, vecDevices);
    }
    if (strWord == "AGND") {
        return nameQuery(vecFields[0], vecDevices, mapNameFaults);
    }
    SimReplyS reply = okReply();
    if (!applyWrite(strWord, vecFields, state, reply)) {
        return errorReply();
    }
    state.m_mapWrites[strWord] = vecFields;
    return reply;
}

SimReplyS SimCommandSetC::inquiry(const std::vector<std::string>& vecFields,
                                  const std::vector<SimDeviceS>& vecDevices)
{
    const long lType = number(vecFields[0]);
    const long lMax = number(vecFields[2]);
    if (lType < 1 || lType > 4 || lMax < 1) {
        return errorReply();
    }
    std::string strAnswer = "\r\n";
    long lCount = 0;
    for (const SimDeviceS& device : vecDevices) {
        if (lCount++ == lMax) {
            break;
        }
        strAnswer += "*AGI:" + device.m_strAddress + "," + std::to_string(device.m_ulClass);
        if (lType >= 3) {
            strAnswer += ",0," + quoted(device.m_strName) + "," + std::to_string(device.m_lRssi);
        }
        strAnswer += "\r\n";
    }
    SimReplyS reply;
    reply.m_bOk = true;
    reply.m_strAnswer = strAnswer + c_szOk;
    reply.m_eDelay = SimReplyS::DL_SCAN;
    return reply;
}

SimReplyS SimCommandSetC::nameQuery(const std::string& strAddress,
                                    const std::vector<SimDeviceS>& vecDevices,
                                    std::map<std::string, SimNameFailE>& mapNameFaults)
{
    SimReplyS reply = errorReply();
    reply.m_eDelay = SimReplyS::DL_NAME;
    auto itFault = mapNameFaults.find(strAddress);
    if (itFault != mapNameFaults.end() && itFault->second != NF_NONE) {
        if (itFault->second == NF_ONCE) {
            mapNameFaults.erase(itFault);
        }
        return reply;
    }
    for (const SimDeviceS& device : vecDevices) {
        if (device.m_strAddress == strAddress) {
            reply = okReply("*AGND:" + quoted(device.m_strName));
            reply.m_eDelay = SimReplyS::DL_NAME;
            return reply;
        }
    }
    return reply;
}

bool SimCommandSetC::applyWrite(const std::string& strWord,
                                const std::vector<std::string>& vecFields, SimStateS& state,
                                SimReplyS& reply)
{
    if (strWord == "AGLN") {
        if (vecFields[0].size() <= 2) {
            return false;
        }
        state.m_strLocalName = unquoted(vecFields[0]);
    } else if (strWord == "ADWSN") {
        state.m_strServiceName = unquoted(vecFields[1]);
    } else if (strWord == "ADDCP") {
        state.m_ulClientProfile = unsignedNumber(vecFields[0]);
    } else if (strWord == "ADDSP") {
        state.m_ulServerProfile = unsignedNumber(vecFields[0]);
    } else if (strWord == "ADWDRP") {
        const uint32_t unIndex = unsignedNumber(vecFields[0]);
        if (unIndex >= c_unMaxPeers || vecFields[4].size() <= 2) {
            return false;
        }
        SimPeerS peer;
        peer.m_strAddress = vecFields[1];
        peer.m_lField3 = number(vecFields[2]);
        peer.m_lField4 = number(vecFields[3]);
        peer.m_strName = unquoted(vecFields[4]);
        peer.m_bFlag = vecFields[5] == "1";
        state.m_mapPeers[unIndex] = peer;
    } else if (strWord == "ADRDRP") {
        auto itPeer = state.m_mapPeers.find(unsignedNumber(vecFields[0]));
        if (itPeer == state.m_mapPeers.end()) {
            return false;
        }
        const SimPeerS& peer = itPeer->second;
        reply = okReply("*ADRDRP:" + peer.m_strAddress + "," + std::to_string(peer.m_lField3) +
                        "," + std::to_string(peer.m_lField4) + "," + quoted(peer.m_strName));
    } else if (strWord == "ADNRP") {
        const uint32_t unCount = unsignedNumber(vecFields[0]);
        if (unCount > c_unMaxPeers) {
            return false;
        }
        state.m_unNumberOfPeers = unCount;
    } else if (strWord == "AMRS") {
        SimSerialS serial;
        serial.m_unBaudRate = unsignedNumber(vecFields[0]);
        serial.m_unDataBits = unsignedNumber(vecFields[1]);
        serial.m_unStopBits = unsignedNumber(vecFields[2]);
        serial.m_unParity = unsignedNumber(vecFields[3]);
        serial.m_unFlowControl = unsignedNumber(vecFields[4]);
        if (!serial.isValid()) {
            return false;
        }
        state.m_stored = serial;
        state.m_bStoredPersistent = vecFields[5] == "1";
    } else if (strWord == "AMWS") {
        reply.m_eAfter = SimReplyS::AF_RESTART;
    }
    return true;
}

} // namespace SIM
} // namespace QUENTA
