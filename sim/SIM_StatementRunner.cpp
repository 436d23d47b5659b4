#include "SIM_StatementRunner.h"

#include "SIM_Json.h"
#include "SIM_Pty.h"

#include <algorithm>

namespace QUENTA {
namespace SIM {

namespace {

std::string jsonBool(bool bValue)
{
    return bValue ? "true" : "false";
}

std::string devicesJson(const std::vector<SimDeviceS>& vecDevices)
{
    std::string strJson = "[";
    for (const SimDeviceS& device : vecDevices) {
        strJson += (strJson.size() > 1 ? "," : "") + std::string("{\"address\":") +
                   jsonString(device.m_strAddress) +
                   ",\"class\":" + std::to_string(device.m_ulClass) +
                   ",\"name\":" + jsonString(device.m_strName) + "}";
    }
    return strJson + "]";
}

std::string faultsJson(const std::vector<SimFaultS>& vecFaults)
{
    std::string strJson = "[";
    for (const SimFaultS& fault : vecFaults) {
        strJson += (strJson.size() > 1 ? "," : "") + jsonString(describeFault(fault));
    }
    return strJson + "]";
}

std::string pairedJson(const SimStateS& state)
{
    auto itPeer = state.m_mapPeers.find(0);
    if (itPeer == state.m_mapPeers.end()) {
        return "null";
    }
    return "{\"address\":" + jsonString(itPeer->second.m_strAddress) +
           ",\"name\":" + jsonString(itPeer->second.m_strName) + "}";
}

} // namespace

bool SimStatementRunnerC::apply(const SimStatementS& statement, std::string& strAnswer)
{
    strAnswer = "ok";
    switch (statement.m_eType) {
    case ST_NONE:
        return true;
    case ST_FAULT:
        m_module.setFault(statement.m_fault);
        return true;
    case ST_CLEAR:
        m_module.clearFault(statement.m_strTarget);
        return true;
    case ST_CLEAR_ALL:
        m_module.clearFaults();
        return true;
    case ST_DEVICE_ADD:
    case ST_DEVICE_REMOVE:
    case ST_DEVICES_CLEAR:
        return applyDevice(statement, strAnswer);
    case ST_SET:
        return applySet(statement);
    case ST_MODE:
        m_module.setMode(statement.m_eMode);
        return true;
    case ST_VANISH:
        m_module.vanish();
        return true;
    case ST_RETURN:
        return applyReturn(strAnswer);
    case ST_PEER:
    case ST_GARBAGE:
        if (m_module.isVanished()) {
            strAnswer = "the module has vanished; nothing can be sent";
            return false;
        }
        if (statement.m_eType == ST_PEER) {
            m_module.sendFromRemotePeer(statement.m_strBytes);
        } else {
            m_module.injectGarbage(statement.m_strBytes);
        }
        return true;
    case ST_STATE:
        strAnswer = "ok " + stateJson();
        return true;
    case ST_ON:
        addTrigger(statement);
        return true;
    }
    strAnswer = "unknown statement";
    return false;
}

bool SimStatementRunnerC::applySet(const SimStatementS& statement)
{
    const uint32_t ulValue = statement.m_ulValue;
    switch (statement.m_eSetting) {
    case SET_SCAN_MS:
        m_module.setScanMs(ulValue);
        break;
    case SET_NAME_MS:
        m_module.setNameMs(ulValue);
        break;
    case SET_RESTART_MS:
        m_module.setRestartMs(ulValue);
        break;
    case SET_GUARD_MS:
        m_module.setGuardMs(ulValue);
        break;
    case SET_SPLIT_GAP_MS:
        m_module.setSplitGapMs(ulValue);
        break;
    case SET_ECHO:
        m_module.setEcho(ulValue != 0);
        break;
    case SET_ANSWER_NOISE:
        m_module.setAnswerNoise(ulValue != 0);
        break;
    case SET_STRICT_RTSCTS:
        m_module.setStrictFlowControl(ulValue != 0);
        break;
    case SET_BAUD:
        m_module.modifyState([ulValue](SimStateS& state) {
            state.m_active.m_unBaudRate = codeFromBaud(ulValue);
            state.m_stored.m_unBaudRate = codeFromBaud(ulValue);
        });
        break;
    case SET_RTSCTS:
        m_module.modifyState([ulValue](SimStateS& state) {
            state.m_active.m_unFlowControl = ulValue != 0 ? 1 : 2;
            state.m_stored.m_unFlowControl = ulValue != 0 ? 1 : 2;
        });
        break;
    }
    return true;
}

bool SimStatementRunnerC::applyDevice(const SimStatementS& statement, std::string& strProblem)
{
    const SimDeviceS& device = statement.m_device;
    bool bFound = false;
    m_module.modifyDevices([&](std::vector<SimDeviceS>& vecDevices) {
        if (statement.m_eType == ST_DEVICES_CLEAR) {
            vecDevices.clear();
            return;
        }
        auto it = std::find_if(vecDevices.begin(), vecDevices.end(), [&](const SimDeviceS& other) {
            return other.m_strAddress == device.m_strAddress;
        });
        bFound = it != vecDevices.end();
        if (statement.m_eType == ST_DEVICE_REMOVE) {
            if (bFound) {
                vecDevices.erase(it);
            }
        } else if (bFound) {
            *it = device; // an address already nearby: its class and name change
        } else {
            vecDevices.push_back(device);
        }
    });
    if (statement.m_eType == ST_DEVICE_REMOVE && !bFound) {
        strProblem = "no device " + device.m_strAddress + " nearby";
        return false;
    }
    return true;
}

bool SimStatementRunnerC::applyReturn(std::string& strProblem)
{
    if (!m_module.isVanished()) {
        strProblem = "the module has not vanished";
        return false;
    }
    if (!m_module.comeBack()) {
        strProblem = "no pseudo-terminal for the module to come back on";
        return false;
    }
    if (m_fnReturnHook) {
        m_fnReturnHook(m_module.slavePath());
    }
    return true;
}

void SimStatementRunnerC::addTrigger(const SimStatementS& statement)
{
    const std::shared_ptr<const SimStatementS> pThen = statement.m_pThen;
    const std::string strText = statement.m_strText;
    m_module.onCommand(statement.m_strWord, statement.m_unOccurrence, [this, pThen, strText] {
        std::string strAnswer;
        const bool bApplied = apply(*pThen, strAnswer);
        m_module.addNote(strText + ": " + (bApplied ? strAnswer : "error: " + strAnswer));
    });
}

std::string SimStatementRunnerC::answer(const std::string& strLine, size_t unLine)
{
    SimStatementS statement;
    std::string strResult;
    if (!parseStatement(strLine, statement, strResult) || !apply(statement, strResult)) {
        return "error: line " + std::to_string(unLine) + ": " + strResult;
    }
    return strResult;
}

std::string SimStatementRunnerC::stateJson() const
{
    const SimStateS state = m_module.state();
    const SimConfigS config = m_module.config();
    SimHostLineS host;
    const bool bHostSeen = m_module.hostLine(host);
    return "{\"mode\":" + jsonString(modeName(state.m_eMode)) +
           ",\"restarting\":" + jsonBool(state.m_bRestarting) +
           ",\"vanished\":" + jsonBool(m_module.isVanished()) +
           ",\"device\":" + jsonString(m_module.slavePath()) +
           ",\"line\":" + jsonSerial(state.m_active) + ",\"stored\":" + jsonSerial(state.m_stored) +
           ",\"host\":" + (bHostSeen ? jsonHost(host) : "null") +
           ",\"echo\":" + jsonBool(config.m_bEcho) +
           ",\"scan_ms\":" + std::to_string(config.m_ulScanMs) +
           ",\"name_ms\":" + std::to_string(config.m_ulNameMs) +
           ",\"restart_ms\":" + std::to_string(config.m_ulRestartMs) +
           ",\"guard_ms\":" + std::to_string(config.m_ulGuardMs) +
           ",\"answer_noise\":" + jsonBool(config.m_bAnswerNoise) +
           ",\"strict_rtscts\":" + jsonBool(config.m_bStrictFlowControl) +
           ",\"devices\":" + devicesJson(config.m_vecDevices) +
           ",\"faults\":" + faultsJson(m_module.faults()) +
           ",\"triggers\":" + std::to_string(m_module.pendingTriggers()) +
           ",\"local_name\":" + jsonString(state.m_strLocalName) +
           ",\"paired\":" + pairedJson(state) +
           ",\"restarts\":" + std::to_string(state.m_unRestarts) + "}";
}

} // namespace SIM
} // namespace QUENTA
