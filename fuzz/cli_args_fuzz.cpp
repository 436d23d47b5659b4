// Parses arbitrary command lines of the quenta tool: the input cut at NUL
// bytes is argv after the program name. Checks that a refusal says why; that
// every accepted command has exactly its arguments, none empty (unless help
// or the version is asked for); and that an accepted line written out again
// in one canonical order (options, "--", each command with its arguments)
// parses to the same result.
#include "fuzz_support.h"

#include "QuentaCliArgs.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

using namespace QUENTA::CLI;
using QUENTA::FUZZ::require;

namespace {

bool sameArgs(const ArgsS& a, const ArgsS& b)
{
    bool bSameSteps = a.m_vecSteps.size() == b.m_vecSteps.size();
    for (size_t i = 0; bSameSteps && i < a.m_vecSteps.size(); ++i) {
        bSameSteps = a.m_vecSteps[i].m_eCommand == b.m_vecSteps[i].m_eCommand &&
                     a.m_vecSteps[i].m_vecArguments == b.m_vecSteps[i].m_vecArguments;
    }
    return bSameSteps && a.m_unVerbose == b.m_unVerbose && a.m_bProbe == b.m_bProbe &&
           a.m_bList == b.m_bList && a.m_strPort == b.m_strPort &&
           a.m_strDebugDefinition == b.m_strDebugDefinition && a.m_bJson == b.m_bJson &&
           a.m_bHelp == b.m_bHelp && a.m_bVersion == b.m_bVersion;
}

bool parse(const std::vector<std::string>& vecArgs, ArgsS& args, std::string& strError)
{
    std::vector<const char*> vecArgv = {"quenta"};
    for (const std::string& strArg : vecArgs) {
        vecArgv.push_back(strArg.c_str());
    }
    vecArgv.push_back(nullptr);
    return parseArgs(static_cast<int>(vecArgv.size() - 1), vecArgv.data(), args, strError);
}

std::vector<std::string> canonicalLine(const ArgsS& args)
{
    std::vector<std::string> vecLine;
    if (!args.m_strPort.empty()) {
        vecLine.insert(vecLine.end(), {"--port", args.m_strPort});
    }
    if (!args.m_strDebugDefinition.empty()) {
        vecLine.insert(vecLine.end(), {"--debug-def", args.m_strDebugDefinition});
    }
    for (const auto& flag :
         {std::make_pair(args.m_bJson, "--json"), std::make_pair(args.m_bHelp, "--help"),
          std::make_pair(args.m_bVersion, "--version"), std::make_pair(args.m_bProbe, "--probe"),
          std::make_pair(args.m_bList, "--list")}) {
        if (flag.first) {
            vecLine.push_back(flag.second);
        }
    }
    vecLine.insert(vecLine.end(), args.m_unVerbose, "--verbose");
    vecLine.push_back("--");
    for (const StepS& step : args.m_vecSteps) {
        vecLine.push_back(findCommand(step.m_eCommand)->m_szName);
        vecLine.insert(vecLine.end(), step.m_vecArguments.begin(), step.m_vecArguments.end());
    }
    return vecLine;
}

void checkAccepted(const ArgsS& args)
{
    for (const StepS& step : args.m_vecSteps) {
        const CommandInfoS* pCommand = findCommand(step.m_eCommand);
        require(pCommand != nullptr, "a command without its entry");
        if (!args.m_bHelp && !args.m_bVersion) {
            // The list stands instead of LINE.
            require(step.m_vecArguments.size() == (args.m_bList ? 0 : pCommand->m_unArguments),
                    "a command accepted with the wrong number of arguments");
            for (const std::string& strArgument : step.m_vecArguments) {
                require(!strArgument.empty(), "an empty argument accepted");
            }
        }
    }
    ArgsS again;
    std::string strError;
    require(parse(canonicalLine(args), again, strError), "the canonical line refused");
    require(sameArgs(args, again), "the canonical line parses otherwise");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize)
{
    std::vector<std::string> vecArgs;
    if (unSize > 0) {
        std::string strInput(reinterpret_cast<const char*>(pData), unSize);
        for (size_t unStart = 0;;) {
            size_t unEnd = strInput.find('\0', unStart);
            vecArgs.push_back(strInput.substr(unStart, unEnd - unStart));
            if (unEnd == std::string::npos) {
                break;
            }
            unStart = unEnd + 1;
        }
    }
    ArgsS args;
    std::string strError;
    if (parse(vecArgs, args, strError)) {
        require(strError.empty(), "a message for an accepted line");
        checkAccepted(args);
    } else {
        require(!strError.empty(), "a refusal without a message");
    }
    return 0;
}
