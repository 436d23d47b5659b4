// Runs arbitrary lines (the input cut at line feeds, as the control channel
// cuts what it receives) through the simulator's statement language against
// one module that is not started. Checks what testers rely on: every line
// gets exactly one answer line, "ok", "ok {json}" or "error: line N: ..."; a
// refused statement changes nothing; a whole script is either parsed whole or
// refused with the line named. Statements that reach for the line itself
// (vanish, return) are parsed but not applied: there is no line.
#include "fuzz_support.h"

#include "SIM_SimulatedModule.h"
#include "SIM_StatementRunner.h"

#include <cstdint>
#include <string>
#include <vector>

using namespace QUENTA::SIM;
using QUENTA::FUZZ::require;

namespace {

bool startsWith(const std::string& strText, const std::string& strStart)
{
    return strText.compare(0, strStart.size(), strStart) == 0;
}

bool touchesTheLine(const SimStatementS& statement)
{
    const SimStatementS* pStatement = &statement;
    while (pStatement->m_eType == ST_ON && pStatement->m_pThen) {
        pStatement = pStatement->m_pThen.get();
    }
    return pStatement->m_eType == ST_VANISH || pStatement->m_eType == ST_RETURN;
}

void checkLine(SimStatementRunnerC& runner, const std::string& strLine, size_t unLine)
{
    SimStatementS statement;
    std::string strError;
    if (parseStatement(strLine, statement, strError) && touchesTheLine(statement)) {
        return;
    }
    const std::string strBefore = runner.stateJson();
    const std::string strAnswer = runner.answer(strLine, unLine);
    require(strAnswer.find('\n') == std::string::npos, "an answer of more than one line");
    const std::string strErrorStart = "error: line " + std::to_string(unLine) + ": ";
    if (startsWith(strAnswer, "error:")) {
        require(startsWith(strAnswer, strErrorStart) && strAnswer.size() > strErrorStart.size(),
                "an error answer without its line or problem");
        require(runner.stateJson() == strBefore, "a refused statement changed the state");
    } else {
        require(strAnswer == "ok" || startsWith(strAnswer, "ok {"),
                "an answer neither ok nor error");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize)
{
    const std::string strInput(reinterpret_cast<const char*>(pData), unSize);
    std::vector<SimStatementS> vecStatements;
    size_t unErrorLine = 0;
    std::string strError;
    if (parseScript(strInput, vecStatements, unErrorLine, strError)) {
        require(strError.empty(), "a message for an accepted script");
    } else {
        require(vecStatements.empty() && unErrorLine > 0 && !strError.empty(),
                "a refused script half kept or without its line");
    }

    SimConfigS config;
    SimulatedModuleC module(config);
    SimStatementRunnerC runner(module);
    size_t unLine = 0;
    for (size_t unStart = 0; unStart <= strInput.size();) {
        size_t unEnd = strInput.find('\n', unStart);
        if (unEnd == std::string::npos) {
            unEnd = strInput.size();
        }
        checkLine(runner, strInput.substr(unStart, unEnd - unStart), ++unLine);
        unStart = unEnd + 1;
    }
    return 0;
}
