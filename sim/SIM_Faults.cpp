#include "SIM_Faults.h"

#include <algorithm>

namespace QUENTA {
namespace SIM {

namespace {

const std::string c_strNamePrefix = "name:";
const std::string c_strNameQuery = "AT*AGND=";

enum GroupE
{
    GR_ANSWER,
    GR_DELAY,
    GR_SPLIT,
    GR_COUNT
};

GroupE groupOf(SimFaultKindE eKind)
{
    switch (eKind) {
    case FK_DELAY:
        return GR_DELAY;
    case FK_SPLIT:
        return GR_SPLIT;
    default:
        return GR_ANSWER;
    }
}

bool isNameTarget(const std::string& strTarget)
{
    return strTarget.compare(0, c_strNamePrefix.size(), c_strNamePrefix) == 0;
}

bool takesArgument(SimFaultKindE eKind)
{
    return eKind == FK_GARBAGE || eKind == FK_DELAY || eKind == FK_SPLIT;
}

} // namespace

bool SimFaultS::operator==(const SimFaultS& other) const
{
    return m_strTarget == other.m_strTarget && m_eKind == other.m_eKind &&
           m_ulArg == other.m_ulArg && m_unSkip == other.m_unSkip && m_unCount == other.m_unCount;
}

const char* faultKindName(SimFaultKindE eKind)
{
    switch (eKind) {
    case FK_ERROR:
        return "error";
    case FK_SILENT:
        return "silent";
    case FK_DROP:
        return "drop";
    case FK_GARBAGE:
        return "garbage";
    case FK_VANISH:
        return "vanish";
    case FK_DELAY:
        return "delay";
    case FK_SPLIT:
        return "split";
    }
    return "?";
}

std::string describeFault(const SimFaultS& fault)
{
    std::string strText = fault.m_strTarget + "=" + faultKindName(fault.m_eKind);
    if (takesArgument(fault.m_eKind) && fault.m_ulArg != 0) {
        strText += ":" + std::to_string(fault.m_ulArg);
    }
    if (fault.m_unSkip != 0) {
        strText += "@" + std::to_string(fault.m_unSkip + 1);
    }
    if (fault.m_unCount != 0) {
        strText += "*" + std::to_string(fault.m_unCount);
    }
    return strText;
}

std::string nameTarget(const std::string& strAddress)
{
    return c_strNamePrefix + strAddress;
}

void SimFaultsC::set(const SimFaultS& fault)
{
    if (isNameTarget(fault.m_strTarget)) {
        setNameFault(fault);
        return;
    }
    clearGroup(fault.m_strTarget, fault.m_eKind);
    m_vecFaults.push_back(fault);
}

void SimFaultsC::setNameFault(const SimFaultS& fault)
{
    const std::string strAddress = fault.m_strTarget.substr(c_strNamePrefix.size());
    m_mapNameFaults[strAddress] = fault.m_unCount == 1 ? NF_ONCE : NF_ALWAYS;
    m_mapSilentNameFaults[strAddress] = fault.m_eKind == FK_SILENT;
}

bool SimFaultsC::clear(const std::string& strTarget)
{
    if (isNameTarget(strTarget)) {
        const std::string strAddress = strTarget.substr(c_strNamePrefix.size());
        m_mapSilentNameFaults.erase(strAddress);
        return m_mapNameFaults.erase(strAddress) != 0;
    }
    const size_t unBefore = m_vecFaults.size();
    m_vecFaults.erase(
        std::remove_if(m_vecFaults.begin(), m_vecFaults.end(),
                       [&](const SimFaultS& fault) { return fault.m_strTarget == strTarget; }),
        m_vecFaults.end());
    return m_vecFaults.size() != unBefore;
}

void SimFaultsC::clearGroup(const std::string& strTarget, SimFaultKindE eKind)
{
    m_vecFaults.erase(std::remove_if(m_vecFaults.begin(), m_vecFaults.end(),
                                     [&](const SimFaultS& fault) {
                                         return fault.m_strTarget == strTarget &&
                                                groupOf(fault.m_eKind) == groupOf(eKind);
                                     }),
                      m_vecFaults.end());
}

void SimFaultsC::clearKind(const std::string& strTarget, SimFaultKindE eKind)
{
    m_vecFaults.erase(std::remove_if(m_vecFaults.begin(), m_vecFaults.end(),
                                     [&](const SimFaultS& fault) {
                                         return fault.m_strTarget == strTarget &&
                                                fault.m_eKind == eKind;
                                     }),
                      m_vecFaults.end());
}

void SimFaultsC::clearAll()
{
    m_vecFaults.clear();
    m_mapNameFaults.clear();
    m_mapSilentNameFaults.clear();
}

std::vector<SimFaultS> SimFaultsC::active() const
{
    std::vector<SimFaultS> vecFaults = m_vecFaults;
    for (const auto& nameFault : m_mapNameFaults) {
        SimFaultS fault;
        fault.m_strTarget = nameTarget(nameFault.first);
        auto itSilent = m_mapSilentNameFaults.find(nameFault.first);
        fault.m_eKind =
            itSilent != m_mapSilentNameFaults.end() && itSilent->second ? FK_SILENT : FK_ERROR;
        fault.m_unCount = nameFault.second == NF_ONCE ? 1 : 0;
        vecFaults.push_back(fault);
    }
    return vecFaults;
}

SimFaultOutcomeS SimFaultsC::onCommand(const std::string& strLine)
{
    const std::string strWord = SimCommandSetC::commandWord(strLine);
    SimFaultS* apWinners[GR_COUNT] = {};
    for (SimFaultS& fault : m_vecFaults) {
        const bool bExact = fault.m_strTarget == strWord;
        if (!bExact && fault.m_strTarget != "*") {
            continue;
        }
        if (fault.m_unSkip > 0) {
            --fault.m_unSkip;
            continue;
        }
        SimFaultS*& pWinner = apWinners[groupOf(fault.m_eKind)];
        if (pWinner == nullptr || (bExact && pWinner->m_strTarget == "*")) {
            pWinner = &fault;
        }
    }
    SimFaultOutcomeS outcome;
    bool bExhausted = false;
    for (SimFaultS* pFault : apWinners) {
        if (pFault == nullptr) {
            continue;
        }
        outcome.m_vecFired.push_back(describeFault(*pFault));
        switch (groupOf(pFault->m_eKind)) {
        case GR_ANSWER:
            outcome.m_bAnswerFault = true;
            outcome.m_eAnswer = pFault->m_eKind;
            outcome.m_ulGarbageBytes = pFault->m_ulArg;
            break;
        case GR_DELAY:
            outcome.m_ulDelayMs = pFault->m_ulArg;
            break;
        default:
            outcome.m_bSplit = true;
            outcome.m_unPieces = pFault->m_ulArg;
            break;
        }
        if (pFault->m_unCount == 1) {
            pFault->m_strTarget.clear(); // spent: removed below
            bExhausted = true;
        } else if (pFault->m_unCount > 1) {
            --pFault->m_unCount;
        }
    }
    if (bExhausted) {
        clear(std::string());
    }
    return outcome;
}

bool SimFaultsC::nameQuerySilent(const std::string& strLine) const
{
    if (strLine.compare(0, c_strNameQuery.size(), c_strNameQuery) != 0) {
        return false;
    }
    const std::string strAddress = strLine.substr(c_strNameQuery.size());
    auto itSilent = m_mapSilentNameFaults.find(strAddress);
    return m_mapNameFaults.count(strAddress) != 0 && itSilent != m_mapSilentNameFaults.end() &&
           itSilent->second;
}

void SimFaultsC::addTrigger(const std::string& strWord, uint32_t unOccurrence,
                            const ActionT& fnAction)
{
    m_vecTriggers.push_back({strWord, std::max<uint32_t>(unOccurrence, 1), fnAction});
}

void SimFaultsC::takeTriggered(const std::string& strLine, std::vector<ActionT>& vecActions)
{
    const std::string strWord = SimCommandSetC::commandWord(strLine);
    for (auto it = m_vecTriggers.begin(); it != m_vecTriggers.end();) {
        if ((it->m_strWord == strWord || it->m_strWord == "*") && --it->m_unRemaining == 0) {
            vecActions.push_back(it->m_fnAction);
            it = m_vecTriggers.erase(it);
        } else {
            ++it;
        }
    }
}

} // namespace SIM
} // namespace QUENTA
