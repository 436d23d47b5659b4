// Applies statements of the simulator's language (SIM_Statements.h) to a
// simulated module and answers them as the control channel does: "ok",
// "ok {json}" for state, or "error: line N: PROBLEM". A statement that cannot
// be applied changes nothing.
#ifndef SIM_STATEMENTRUNNER_H
#define SIM_STATEMENTRUNNER_H

#include "SIM_SimulatedModule.h"
#include "SIM_Statements.h"

#include <functional>
#include <string>

namespace QUENTA {
namespace SIM {

class SimStatementRunnerC
{
public:
    // Told the new slave path when the module came back (return).
    using ReturnHookT = std::function<void(const std::string& strPath)>;

    // The runner must outlive the module's thread: "on" actions call it.
    explicit SimStatementRunnerC(SimulatedModuleC& module) : m_module(module) {}

    void setReturnHook(const ReturnHookT& fnHook) { m_fnReturnHook = fnHook; }

    // strAnswer: "ok", "ok {json}", or the problem when it returns false.
    bool apply(const SimStatementS& statement, std::string& strAnswer);
    // Parses and applies one line; the answer line, without its line feed.
    std::string answer(const std::string& strLine, size_t unLine);
    // The module's state as one JSON object.
    std::string stateJson() const;

private:
    bool applySet(const SimStatementS& statement);
    bool applyDevice(const SimStatementS& statement, std::string& strProblem);
    bool applyReturn(std::string& strProblem);
    void addTrigger(const SimStatementS& statement);

    SimulatedModuleC& m_module;
    ReturnHookT m_fnReturnHook;
};

} // namespace SIM
} // namespace QUENTA

#endif
