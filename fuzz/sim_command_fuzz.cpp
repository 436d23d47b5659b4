// Runs arbitrary lines (the input cut at carriage returns, as the simulated
// module cuts what it receives) through the simulator's command set against
// one state, which starts in command mode. Checks the module's framing and
// what the simulated module relies on: every answer ends in "\r\nOK\r\n" or
// is exactly "\r\nERROR\r\n"; a refused line changes nothing; no line changes
// the mode or the active line settings itself; result lines carry the
// command's prefix; a write reads back as written; the parameters split at
// commas outside quotes and join again to what they were.
#include "fuzz_support.h"

#include "SIM_CommandSet.h"
#include "SIM_SimulatedModule.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

using namespace QUENTA::SIM;
using QUENTA::FUZZ::require;

namespace {

const std::vector<SimDeviceS>& devices()
{
    static const std::vector<SimDeviceS> c_vecDevices = defaultDevices();
    return c_vecDevices;
}

bool endsWith(const std::string& strText, const std::string& strEnd)
{
    return strText.size() >= strEnd.size() &&
           strText.compare(strText.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

bool samePeers(const std::map<uint32_t, SimPeerS>& mapLeft,
               const std::map<uint32_t, SimPeerS>& mapRight)
{
    auto samePeer = [](const std::pair<const uint32_t, SimPeerS>& left,
                       const std::pair<const uint32_t, SimPeerS>& right) {
        const SimPeerS& a = left.second;
        const SimPeerS& b = right.second;
        return left.first == right.first && a.m_strAddress == b.m_strAddress &&
               a.m_lField3 == b.m_lField3 && a.m_lField4 == b.m_lField4 &&
               a.m_strName == b.m_strName && a.m_bFlag == b.m_bFlag;
    };
    return mapLeft.size() == mapRight.size() &&
           std::equal(mapLeft.begin(), mapLeft.end(), mapRight.begin(), samePeer);
}

bool sameState(const SimStateS& a, const SimStateS& b)
{
    return a.m_eMode == b.m_eMode && a.m_active == b.m_active && a.m_stored == b.m_stored &&
           a.m_bStoredPersistent == b.m_bStoredPersistent &&
           samePeers(a.m_mapPeers, b.m_mapPeers) && a.m_unNumberOfPeers == b.m_unNumberOfPeers &&
           a.m_strLocalName == b.m_strLocalName && a.m_strLocalAddress == b.m_strLocalAddress &&
           a.m_strServiceName == b.m_strServiceName && a.m_vecInfo == b.m_vecInfo &&
           a.m_ulClientProfile == b.m_ulClientProfile &&
           a.m_ulServerProfile == b.m_ulServerProfile && a.m_mapWrites == b.m_mapWrites &&
           a.m_bRestarting == b.m_bRestarting && a.m_unRestarts == b.m_unRestarts &&
           a.m_unFactoryResets == b.m_unFactoryResets;
}

void checkSplit(const std::string& strParams)
{
    std::vector<std::string> vecFields = SimCommandSetC::splitFields(strParams);
    std::string strJoined;
    for (size_t i = 0; i < vecFields.size(); ++i) {
        strJoined += (i == 0 ? "" : ",") + vecFields[i];
        bool bInQuotes = false;
        for (char c : vecFields[i]) {
            bInQuotes = c == '"' ? !bInQuotes : bInQuotes;
            require(c != ',' || bInQuotes, "a field holds a comma outside quotes");
        }
    }
    require(strJoined == strParams, "the fields do not join to the parameters");
}

void checkFraming(const std::string& strLine, const SimReplyS& reply)
{
    if (!reply.m_bOk) {
        require(reply.m_strAnswer == SimCommandSetC::c_szError, "a refusal is not ERROR alone");
        require(reply.m_eAfter == SimReplyS::AF_NONE, "a refused line changes the mode");
        return;
    }
    const std::string strOk = SimCommandSetC::c_szOk;
    require(endsWith(reply.m_strAnswer, strOk), "an accepted line not answered OK");
    const std::string strBody =
        reply.m_strAnswer.substr(0, reply.m_strAnswer.size() - strOk.size());
    require(strBody.empty() || strBody.compare(0, 2, "\r\n") == 0, "an answer not on a new line");
    // Result lines, each behind "\r\n"; a multi-line answer ends its last one.
    const std::string strPrefix = "*" + SimCommandSetC::commandWord(strLine) + ":";
    for (size_t unPos = 2; unPos < strBody.size();) {
        require(strBody.compare(unPos, strPrefix.size(), strPrefix) == 0,
                "a result line without the command's prefix");
        size_t unEnd = strBody.find("\r\n", unPos);
        unPos = unEnd == std::string::npos ? strBody.size() : unEnd + 2;
    }
}

std::string readBackLine(const std::string& strWord, const std::vector<std::string>& vecFields)
{
    if (strWord == "AGLN" || strWord == "AMRS") {
        return "AT*" + strWord + "?";
    }
    if (strWord == "ADWDRP") {
        return "AT*ADRDRP=" + vecFields[0];
    }
    return std::string();
}

std::string canonical(const std::string& strNumber)
{
    return std::to_string(std::stoll(strNumber));
}

// What the read of a written command word answers, from the written fields.
std::string expectedResult(const std::string& strWord, const std::vector<std::string>& vecFields)
{
    if (strWord == "AGLN") {
        return "*AGLN:" + vecFields[0];
    }
    if (strWord == "AMRS") {
        std::string strResult = "*AMRS:";
        for (size_t i = 0; i < 5; ++i) {
            strResult += (i == 0 ? "" : ",") + canonical(vecFields[i]);
        }
        return strResult;
    }
    return "*ADRDRP:" + vecFields[1] + "," + canonical(vecFields[2]) + "," +
           canonical(vecFields[3]) + "," + vecFields[4];
}

void checkReadBack(const std::string& strLine, const SimStateS& state,
                   std::map<std::string, SimNameFailE>& mapNameFaults)
{
    const std::string strWord = SimCommandSetC::commandWord(strLine);
    const std::vector<std::string> vecFields =
        SimCommandSetC::splitFields(strLine.substr(strLine.find('=') + 1));
    const std::string strRead = readBackLine(strWord, vecFields);
    if (strRead.empty()) {
        return;
    }
    SimStateS copy = state;
    SimReplyS reply = SimCommandSetC::execute(strRead, copy, devices(), mapNameFaults);
    require(reply.m_strAnswer ==
                "\r\n" + expectedResult(strWord, vecFields) + SimCommandSetC::c_szOk,
            "a write does not read back as written");
    // ADRDRP asks with a write, which is recorded like every write.
    copy.m_mapWrites.erase("ADRDRP");
    SimStateS unread = state;
    unread.m_mapWrites.erase("ADRDRP");
    require(sameState(copy, unread), "a read changes the state");
}

void runLine(const std::string& strLine, SimStateS& state,
             std::map<std::string, SimNameFailE>& mapNameFaults)
{
    const size_t unEquals = strLine.find('=');
    checkSplit(unEquals == std::string::npos ? strLine : strLine.substr(unEquals + 1));
    const SimStateS before = state;
    SimReplyS reply = SimCommandSetC::execute(strLine, state, devices(), mapNameFaults);
    checkFraming(strLine, reply);
    require(state.m_eMode == before.m_eMode, "a line changes the mode itself");
    require(state.m_active == before.m_active, "a line changes the active line settings");
    if (!reply.m_bOk) {
        require(sameState(state, before), "a refused line changes the state");
    } else if (unEquals != std::string::npos && strLine.compare(0, 3, "AT*") == 0) {
        checkReadBack(strLine, state, mapNameFaults);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize)
{
    SimStateS state = factoryState();
    state.m_eMode = SM_COMMAND;
    std::map<std::string, SimNameFailE> mapNameFaults = {{"02a0c7a1b2c4r", NF_ONCE},
                                                         {"02a0c7a1b2c6r", NF_ALWAYS}};
    std::string strLine;
    for (size_t i = 0; i < unSize; ++i) {
        const char c = static_cast<char>(pData[i]);
        if (c == '\r') {
            runLine(strLine, state, mapNameFaults);
            strLine.clear();
        } else if (c != '\n' || !strLine.empty()) {
            strLine += c;
        }
    }
    return 0;
}
