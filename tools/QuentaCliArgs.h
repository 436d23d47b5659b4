// quenta's command line: the commands, the options and their help texts, and
// the parser that turns argv into an ArgsS. Both tables drive parsing and
// help alike, so a new option is one row (and one field).
#pragma once

#include "QuentaCliOutput.h"

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
    CMD_PORTS,
    CMD_AT,
    CMD_SHELL
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

// One command of a run and its arguments.
struct StepS
{
    CommandE m_eCommand = CMD_NONE;
    std::vector<std::string> m_vecArguments;
};

struct ArgsS
{
    std::vector<StepS> m_vecSteps;    // run in order, up to the first failure
    std::string m_strPort;            // empty: the library's own mapping of "COM8:"
    std::string m_strDebugDefinition; // a debug definition file to load first
    bool m_bJson = false;
    bool m_bProbe = false; // ports: ask each free device for the module's ping
    bool m_bList = false;  // at: list the library's own commands instead of sending
    bool m_bForce = false; // data-mode: hand over on a line that refused 921600 bit/s
    bool m_bHelp = false;
    bool m_bVersion = false;
    unsigned m_unVerbose = 0; // -v: the wire; -vv: the library's records; -vvv: its traces
};

const std::vector<CommandInfoS>& commands();
const CommandInfoS* findCommand(CommandE eCommand);

// False with a message in strError on a usage error.
bool parseArgs(int nArgc, const char* const* ppszArgv, ArgsS& args, std::string& strError);

// A line of `quenta shell`: a command word, then for a command with an
// argument the rest of the line after one space, exactly (names may hold
// spaces, quotes and commas). False with the message on a usage error.
bool parseShellLine(const std::string& strLine, StepS& step, std::string& strError);

// What `help` lists in the shell: its commands with their arguments.
std::vector<CommandFormS> shellCommands();

// A line that `quenta at` must not send: one that would change the module's
// mode or line behind the tool's back, or one too long. Empty when it may go.
std::string refusedLine(const std::string& strLine);

std::string generalHelp();
std::string commandHelp(const CommandInfoS& command);

} // namespace CLI
} // namespace QUENTA
