// The faults of the simulated module and the steps triggered by commands:
// which command lines are refused, left unanswered, garbled, cut, delayed or
// end in a vanished module, and which name queries fail. Bookkeeping only, no
// I/O and no lock: the module asks it about every line under its own lock.
//
// A fault has a target: a command word as the module sees it ("AT", "ATP",
// "AT&F", "ADDM", "AGI", "AGND", ...), "*" for every command line, or
// "name:ADDRESS" for the name queries of one device. A target holds one fault
// of each group, and a new one replaces the old one of its group:
//   answer  error, silent, drop, garbage, vanish (what is sent instead)
//   delay   the answer goes out later
//   split   the answer goes out in pieces
// A fault bound to the word wins over one bound to "*". It lets the first
// m_unSkip matching lines through and then fires m_unCount times (0: until
// cleared). "name:" targets take error or silent, once or always.
#ifndef SIM_FAULTS_H
#define SIM_FAULTS_H

#include "SIM_CommandSet.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace QUENTA {
namespace SIM {

enum SimFaultKindE
{
    FK_ERROR,   // echo, "\r\nERROR\r\n", the command not applied
    FK_SILENT,  // applied, echoed, never answered
    FK_DROP,    // applied, nothing sent at all, not even the echo
    FK_GARBAGE, // applied, echoed, random bytes instead of the answer
    FK_VANISH,  // echoed, then the module vanishes without applying it
    FK_DELAY,   // the answer (not the echo) goes out m_ulArg ms later
    FK_SPLIT    // the answer in m_ulArg pieces; 0: every block cut at random points
};

struct SimFaultS
{
    std::string m_strTarget;
    SimFaultKindE m_eKind = FK_ERROR;
    uint32_t m_ulArg = 0;   // garbage bytes (0: as many as the answer), pieces, milliseconds
    uint32_t m_unSkip = 0;  // matching lines let through before it fires
    uint32_t m_unCount = 0; // times it still fires; 0: until cleared

    bool operator==(const SimFaultS& other) const;
};

const char* faultKindName(SimFaultKindE eKind);
// The fault as a statement takes it: "AGI=error@2*1".
std::string describeFault(const SimFaultS& fault);
// A name fault's target: "name:" and the address.
std::string nameTarget(const std::string& strAddress);

// What the faults do to one command line.
struct SimFaultOutcomeS
{
    bool m_bAnswerFault = false;
    SimFaultKindE m_eAnswer = FK_ERROR;
    uint32_t m_ulGarbageBytes = 0;
    uint32_t m_ulDelayMs = 0;
    bool m_bSplit = false;
    uint32_t m_unPieces = 0;             // 0: random pieces of every block
    std::vector<std::string> m_vecFired; // the faults that fired, described
};

class SimFaultsC
{
public:
    using ActionT = std::function<void()>;

    // Adds the fault; replaces the target's fault of the same group.
    void set(const SimFaultS& fault);
    // Removes every fault of the target; false when it had none.
    bool clear(const std::string& strTarget);
    // Removes the target's fault of this kind.
    void clearKind(const std::string& strTarget, SimFaultKindE eKind);
    void clearAll();
    // Every fault in force, name faults included.
    std::vector<SimFaultS> active() const;

    // Counts the line against every fault and fires the winners.
    SimFaultOutcomeS onCommand(const std::string& strLine);
    // True when the line is a name query that a silent name fault swallows.
    bool nameQuerySilent(const std::string& strLine) const;
    // Handed to the command set, which takes one-time failures out as they fire.
    std::map<std::string, SimNameFailE>& nameFailures() { return m_mapNameFaults; }

    // Runs fnAction once, when the unOccurrence-th line with the word (or any
    // line for "*") arrives from now on.
    void addTrigger(const std::string& strWord, uint32_t unOccurrence, const ActionT& fnAction);
    // Counts the line against the triggers; appends the actions that are due.
    void takeTriggered(const std::string& strLine, std::vector<ActionT>& vecActions);
    void clearTriggers() { m_vecTriggers.clear(); }
    size_t triggerCount() const { return m_vecTriggers.size(); }

    uint32_t splitGapMs() const { return m_ulSplitGapMs; }
    void setSplitGapMs(uint32_t ulMs) { m_ulSplitGapMs = ulMs; }

private:
    struct TriggerS
    {
        std::string m_strWord;
        uint32_t m_unRemaining = 1;
        ActionT m_fnAction;
    };

    void setNameFault(const SimFaultS& fault);
    void clearGroup(const std::string& strTarget, SimFaultKindE eKind);

    std::vector<SimFaultS> m_vecFaults; // in the order they were set
    std::map<std::string, SimNameFailE> m_mapNameFaults;
    std::map<std::string, bool> m_mapSilentNameFaults;
    std::vector<TriggerS> m_vecTriggers;
    uint32_t m_ulSplitGapMs = 20;
};

} // namespace SIM
} // namespace QUENTA

#endif
