// quenta's command line: the commands, the options and their help texts, and
// the parser that turns argv into an ArgsS. Both tables drive parsing and
// help alike, so a new option is one row (and one field).
#pragma once

#include <string>
#include <vector>

namespace QUENTA {
namespace CLI {

enum ExitCodeE
{
    XC_OK = 0,
    XC_FAILURE = 1,
    XC_USAGE = 2,
    XC_PORT = 3,
    XC_MODULE = 4
};

enum CommandE
{
    CMD_NONE,
    CMD_SEARCH,
    CMD_PAIR,
    CMD_UNPAIR,
    CMD_PAIRED,
    CMD_DATA_MODE,
    CMD_OPEN,
    CMD_PORTS
};

struct CommandInfoS
{
    const char* m_szName;
    CommandE m_eCommand;
    const char* m_szArguments;    // as shown in the usage line, "" for none
    unsigned m_unArguments;       // positional arguments the command takes
    unsigned m_unExpectedSeconds; // typical duration on a real module, 0: instant
    const char* m_szSummary;
    const char* m_szDetail;
};

struct ArgsS
{
    CommandE m_eCommand = CMD_NONE;
    std::vector<std::string> m_vecArguments;
    std::string m_strPort;            // empty: the library's own mapping of "COM8:"
    std::string m_strDebugDefinition; // a debug definition file to load first
    bool m_bJson = false;
    bool m_bHelp = false;
    bool m_bVersion = false;
};

const std::vector<CommandInfoS>& commands();
const CommandInfoS* findCommand(CommandE eCommand);

// False with a message in strError on a usage error.
bool parseArgs(int nArgc, const char* const* ppszArgv, ArgsS& args, std::string& strError);

std::string generalHelp();
std::string commandHelp(const CommandInfoS& command);

} // namespace CLI
} // namespace QUENTA
