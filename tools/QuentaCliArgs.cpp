#include "QuentaCliArgs.h"
#include "QuentaCliOutput.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace QUENTA {
namespace CLI {

namespace {

#if defined(_WIN32)
const char* const c_szPortHelp = "not available on Windows: \"COM8:\" is the system's COM8;\n"
                                 "give the module's port that number in the Device Manager";
const char* const c_szPortsDetail =
    "Lists the COM ports of this machine with the devices behind them, and whether\n"
    "\"COM8:\" is there.\n";
#else
const char* const c_szPortHelp = "the serial device of the module, which stands for \"COM8:\"\n"
                                 "(default: $QUENTA_PORT_COM8, else /dev/ttyS7)";
const char* const c_szPortsDetail =
    "Lists the serial devices (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*, ...) with their\n"
    "/dev/serial/by-id and by-path links and what the system knows of them (description,\n"
    "manufacturer, USB vendor and product id, serial number, driver), and the device\n"
    "that \"COM8:\" stands for now. With --probe it also sends the module's ping to each\n"
    "device no other program holds and says at which line settings it answered.\n";
#endif

struct OptionInfoS
{
    const char* m_szName;      // "--port"
    const char* m_szShort;     // "-h", or nullptr
    const char* m_szValueName; // nullptr for a switch
    const char* m_szHelp;
    void (*m_pfnApply)(ArgsS& args, const std::string& strValue);
    CommandE m_eOnlyWith = CMD_NONE; // an option of this command alone, else CMD_NONE
};

const std::vector<OptionInfoS>& options()
{
    static const std::vector<OptionInfoS> c_vecOptions = {
        {"--port", nullptr, "DEVICE", c_szPortHelp,
         [](ArgsS& args, const std::string& strValue) { args.m_strPort = strValue; }},
        {"--debug-def", nullptr, "FILE",
         "load a debug definition file before the command, e.g. to see the\n"
         "wire traffic (\"LOG TaviDeviceControllerImplC ALL printf\")",
         [](ArgsS& args, const std::string& strValue) { args.m_strDebugDefinition = strValue; }},
        {"--verbose", "-v", nullptr,
         "show the exchanges on the wire on standard error, time-stamped;\n"
         "-vv adds the library's log records (info and above), -vvv also\n"
         "its traces of every call",
         [](ArgsS& args, const std::string&) { ++args.m_unVerbose; }},
        {"--json", nullptr, nullptr, "print results as JSON, one object a command",
         [](ArgsS& args, const std::string&) { args.m_bJson = true; }},
        {"--probe", nullptr, nullptr,
         "with ports: send the module's ping (\"AT\" and CR) to each serial\n"
         "device that no other program holds, at 921600 bit/s with RTS/CTS,\n"
         "then at 115200 without handshake, and say which one answers",
         [](ArgsS& args, const std::string&) { args.m_bProbe = true; }, CMD_PORTS},
        {"--list", nullptr, nullptr,
         "with at, instead of LINE: list the commands the library itself\n"
         "sends, with their forms",
         [](ArgsS& args, const std::string&) { args.m_bList = true; }, CMD_AT},
        {"--force", nullptr, nullptr,
         "hand over to data mode even on a line that cannot run 921600\n"
         "bit/s, the rate the module restarts with",
         [](ArgsS& args, const std::string&) { args.m_bForce = true; }},
        {"--help", "-h", nullptr, "show this help (or a command's: quenta COMMAND --help)",
         [](ArgsS& args, const std::string&) { args.m_bHelp = true; }},
        {"--version", nullptr, nullptr, "show the version of quenta and libquenta",
         [](ArgsS& args, const std::string&) { args.m_bVersion = true; }},
    };
    return c_vecOptions;
}

const char* const c_szExitCodes = "Exit codes:\n"
                                  "  0  success\n"
                                  "  1  any other failure\n"
                                  "  2  usage error (unknown command or option, missing NAME)\n"
                                  "  3  the serial device cannot be opened\n"
                                  "  4  the module did not answer or refused\n"
                                  "130  interrupted (Ctrl-C, SIGTERM)\n";

const size_t c_unMaxAtLine = 63;

const OptionInfoS* findOption(const std::string& strName)
{
    for (const OptionInfoS& option : options()) {
        if (strName == option.m_szName ||
            (option.m_szShort != nullptr && strName == option.m_szShort)) {
            return &option;
        }
    }
    return nullptr;
}

const CommandInfoS* findCommandByName(const std::string& strName)
{
    for (const CommandInfoS& command : commands()) {
        if (strName == command.m_szName) {
            return &command;
        }
    }
    return nullptr;
}

// Takes the option at ppszArgv[nIndex] (and its value); advances nIndex.
bool parseOption(int nArgc, const char* const* ppszArgv, int& nIndex, ArgsS& args,
                 std::string& strError)
{
    std::string strName = ppszArgv[nIndex];
    std::string strValue;
    bool bInlineValue = false;
    const size_t unEquals = strName.find('=');
    if (strName.compare(0, 2, "--") == 0 && unEquals != std::string::npos) {
        strValue = strName.substr(unEquals + 1);
        strName.resize(unEquals);
        bInlineValue = true;
    }
    const OptionInfoS* pOption = findOption(strName);
    if (pOption == nullptr) {
        strError = "unknown option '" + shown(strName) + "'";
        return false;
    }
    if (pOption->m_szValueName == nullptr && bInlineValue) {
        strError = "option '" + strName + "' takes no value";
        return false;
    }
    if (pOption->m_szValueName != nullptr && !bInlineValue) {
        if (nIndex + 1 >= nArgc) {
            strError = "option '" + strName + "' needs a " + pOption->m_szValueName;
            return false;
        }
        strValue = ppszArgv[++nIndex];
    }
    if (pOption->m_szValueName != nullptr && strValue.empty()) {
        strError = "option '" + strName + "' needs a non-empty " + pOption->m_szValueName;
        return false;
    }
    pOption->m_pfnApply(args, strValue);
    return true;
}

bool checkStep(const StepS& step, std::string& strError)
{
    const CommandInfoS* pCommand = findCommand(step.m_eCommand);
    if (step.m_vecArguments.size() < pCommand->m_unArguments) {
        strError = std::string("'") + pCommand->m_szName + "' needs " + pCommand->m_szArguments;
        return false;
    }
    for (const std::string& strArgument : step.m_vecArguments) {
        if (strArgument.empty()) {
            // The library reads an empty name as "remove the pairing".
            strError =
                std::string("'") + pCommand->m_szName + "' needs a non-empty " +
                pCommand->m_szArguments +
                (step.m_eCommand == CMD_PAIR ? " (to remove the pairing use 'quenta unpair')" : "");
            return false;
        }
    }
    const std::string strRefusal =
        step.m_eCommand == CMD_AT ? refusedLine(step.m_vecArguments[0]) : std::string();
    if (!strRefusal.empty()) {
        strError = "'at' will not send '" + shown(step.m_vecArguments[0]) + "': " + strRefusal;
        return false;
    }
    return true;
}

// An option of one command (--probe, --list) goes with that command alone.
bool checkCommandOptions(const ArgsS& args, std::string& strError)
{
    const std::pair<bool, CommandE> c_aGiven[] = {{args.m_bProbe, CMD_PORTS},
                                                  {args.m_bList, CMD_AT}};
    for (const auto& given : c_aGiven) {
        if (given.first &&
            (args.m_vecSteps.size() != 1 || args.m_vecSteps[0].m_eCommand != given.second)) {
            const auto itOption =
                std::find_if(options().begin(), options().end(), [&](const OptionInfoS& option) {
                    return option.m_eOnlyWith == given.second;
                });
            strError = std::string("'") + itOption->m_szName + "' goes with '" +
                       findCommand(given.second)->m_szName + "' alone";
            return false;
        }
    }
    return true;
}

// open reads standard input and shell reads its commands there: neither can
// share a run with what follows it.
bool checkSteps(const ArgsS& args, std::string& strError)
{
    if (args.m_bHelp || args.m_bVersion) {
        return true;
    }
    if (!checkCommandOptions(args, strError)) {
        return false;
    }
    if (args.m_bList) {
        strError = args.m_vecSteps[0].m_vecArguments.empty() ? "" : "'at --list' takes no LINE";
        return strError.empty();
    }
    for (size_t i = 0; i < args.m_vecSteps.size(); ++i) {
        const StepS& step = args.m_vecSteps[i];
        if (!checkStep(step, strError)) {
            return false;
        }
        const bool bAlone = step.m_eCommand == CMD_SHELL && args.m_vecSteps.size() > 1;
        const bool bLast = step.m_eCommand == CMD_OPEN && i + 1 < args.m_vecSteps.size();
        if (bAlone || bLast) {
            strError = std::string("'") + findCommand(step.m_eCommand)->m_szName +
                       (bAlone ? "' runs alone" : "' must be the last command");
            return false;
        }
    }
    return true;
}

// Takes a word that is not an option: the next argument of the step being
// collected, else the start of a new step.
bool takeWord(const std::string& strWord, ArgsS& args, std::string& strError)
{
    if (!args.m_vecSteps.empty()) {
        StepS& step = args.m_vecSteps.back();
        const CommandInfoS* pCommand = findCommand(step.m_eCommand);
        if (step.m_vecArguments.size() < pCommand->m_unArguments) {
            step.m_vecArguments.push_back(strWord);
            return true;
        }
    }
    const CommandInfoS* pCommand = findCommandByName(strWord);
    if (pCommand == nullptr) {
        strError = args.m_vecSteps.empty()
                       ? "unknown command '" + shown(strWord) + "'"
                       : std::string("'") +
                             findCommand(args.m_vecSteps.back().m_eCommand)->m_szName +
                             "' takes no argument '" + shown(strWord) + "', nor is it a command";
        return false;
    }
    args.m_vecSteps.push_back(StepS{pCommand->m_eCommand, {}});
    return true;
}

// "-v" once, "-vv" twice, and so on.
bool takeVerbose(const std::string& strArg, ArgsS& args)
{
    if (strArg.size() < 2 || strArg[0] != '-' ||
        strArg.find_first_not_of('v', 1) != std::string::npos) {
        return false;
    }
    args.m_unVerbose += static_cast<unsigned>(strArg.size() - 1);
    return true;
}

// The options of every command, and those of eCommand alone.
std::string optionsHelp(CommandE eCommand)
{
    std::ostringstream stream;
    stream << "Options:\n";
    for (const OptionInfoS& option : options()) {
        if (option.m_eOnlyWith != CMD_NONE && option.m_eOnlyWith != eCommand) {
            continue;
        }
        std::string strLeft = option.m_szName;
        if (option.m_szShort != nullptr) {
            strLeft = std::string(option.m_szShort) + ", " + strLeft;
        }
        if (option.m_szValueName != nullptr) {
            strLeft += std::string(" ") + option.m_szValueName;
        }
        strLeft.resize(std::max<size_t>(strLeft.size() + 2, 18), ' ');
        std::string strHelp = option.m_szHelp;
        for (size_t unPos = strHelp.find('\n'); unPos != std::string::npos;
             unPos = strHelp.find('\n', unPos + 1)) {
            strHelp.insert(unPos + 1, strLeft.size() + 2, ' ');
        }
        stream << "  " << strLeft << strHelp << "\n";
    }
    return stream.str();
}

} // namespace

const std::vector<CommandInfoS>& commands()
{
    static const std::vector<CommandInfoS> c_vecCommands = {
        {"search", CMD_SEARCH, "", 0, 20, "list the devices nearby that the module can pair with",
         "Searches the devices nearby and prints their names, one a line (15 s and more on a\n"
         "real module). No device in range is a result too: nothing printed, exit 0\n"
         "(JSON: an empty list); a module that does not answer is exit 4. A byte that\n"
         "would not show (a control character, a backslash, a name cut inside a UTF-8\n"
         "character) is printed as \\xNN, which 'quenta pair' reads back.\n"},
        {"pair", CMD_PAIR, "NAME", 1, 25, "pair the module with the device NAME",
         "Searches the devices nearby and makes NAME (exactly as 'quenta search' prints it,\n"
         "\\xNN included) the module's default remote peer. A NAME that starts with '-'\n"
         "goes after '--': quenta pair -- -NAME.\n"},
        {"unpair", CMD_UNPAIR, "", 0, 8, "remove the module's pairing",
         "Tells the module to connect to no remote peer.\n"},
        {"paired", CMD_PAIRED, "", 0, 8, "show the name of the paired device",
         "Reads the paired device back from the module and prints its name (nothing when the\n"
         "module could not tell).\n"},
        {"data-mode", CMD_DATA_MODE, "", 0, 10, "hand the line over to data mode",
         "Brings the module into command mode, then hands the line over to transparent data\n"
         "transfer (the module restarts) and closes the port. The next command brings the\n"
         "module back to command mode with the escape sequence.\n"},
        {"open", CMD_OPEN, "", 0, 5, "open the port for data and bridge it to stdin/stdout",
         "Opens the port for the application's own traffic (921600 bit/s, 8N1, RTS/CTS, DTR\n"
         "on; the module is put into data mode first) and copies standard input to the\n"
         "device and the device to standard output until the end of standard input.\n"},
        {"ports", CMD_PORTS, "", 0, 0, "list the serial devices of this machine", c_szPortsDetail},
        {"at", CMD_AT, "LINE", 1, 3, "send one command line to the module and show its answer",
         "Brings the module into command mode, sends LINE and a CR, and prints everything\n"
         "the module sent back (its echo included) with CR and LF shown as \\r and \\n\n"
         "(JSON: the exact bytes). Exit 0 when the answer ends in OK, 4 on ERROR or no\n"
         "answer (an answer without OK takes 1 s). The module's commands are case-sensitive\n"
         "(AT*AGLN?, not at*agln?); 'quenta at --list' shows those the library itself\n"
         "sends. Refused (exit 2): lines longer than 63 characters or with control\n"
         "characters, \"///\", and the commands that change the mode or the line behind\n"
         "the tool's back: AT*ADDM, AT*AMWS, ATP, AT&F.\n"},
        {"shell", CMD_SHELL, "", 0, 0, "read commands from standard input, one a line",
         "Runs the commands of standard input, one a line, on one session with the module\n"
         "(it enters command mode once), printing one result a line (with --json one JSON\n"
         "object a line). A line is a command word and, for pair and at, the rest of the\n"
         "line after one space exactly. A failed command is reported and the shell goes\n"
         "on; it ends at the end of input (or 'quit') with the exit code of the last\n"
         "failure, 0 when none failed. With --json each object also names the input line\n"
         "(\"line\", counted from 1) and the command word (\"command\") it answers. 'help'\n"
         "lists the commands. Prompts only when standard input is a terminal, whose own\n"
         "line editing applies. 'open' is not available in the shell.\n"},
    };
    return c_vecCommands;
}

const CommandInfoS* findCommand(CommandE eCommand)
{
    for (const CommandInfoS& command : commands()) {
        if (command.m_eCommand == eCommand) {
            return &command;
        }
    }
    return nullptr;
}

bool parseArgs(int nArgc, const char* const* ppszArgv, ArgsS& args, std::string& strError)
{
    bool bOptionsEnded = false;
    for (int nIndex = 1; nIndex < nArgc; ++nIndex) {
        const std::string strArg = ppszArgv[nIndex];
        if (!bOptionsEnded && strArg == "--") {
            bOptionsEnded = true;
        } else if (!bOptionsEnded && strArg.size() > 1 && strArg[0] == '-') {
            if (!takeVerbose(strArg, args) &&
                !parseOption(nArgc, ppszArgv, nIndex, args, strError)) {
                return false;
            }
        } else if (!takeWord(strArg, args, strError)) {
            return false;
        }
    }
    return checkSteps(args, strError);
}

std::vector<CommandFormS> shellCommands()
{
    std::vector<CommandFormS> vecCommands;
    for (const CommandInfoS& command : commands()) {
        if (command.m_eCommand != CMD_SHELL && command.m_eCommand != CMD_OPEN) {
            vecCommands.push_back(
                {std::string(command.m_szName) + (*command.m_szArguments != '\0'
                                                      ? std::string(" ") + command.m_szArguments
                                                      : std::string()),
                 command.m_szSummary});
        }
    }
    vecCommands.push_back({"help", "list these commands"});
    vecCommands.push_back({"quit", "end the shell, as the end of input does"});
    return vecCommands;
}

bool parseShellLine(const std::string& strLine, StepS& step, std::string& strError)
{
    const size_t unEnd = strLine.find(' ');
    const std::string strWord = strLine.substr(0, unEnd);
    const CommandInfoS* pCommand = findCommandByName(strWord);
    if (pCommand == nullptr || pCommand->m_eCommand == CMD_SHELL ||
        pCommand->m_eCommand == CMD_OPEN) {
        strError = pCommand == nullptr ? "unknown command '" + shown(strWord) + "'"
                                       : "'" + strWord + "' is not available in the shell";
        return false;
    }
    step = StepS{pCommand->m_eCommand, {}};
    const std::string strRest = unEnd == std::string::npos ? "" : strLine.substr(unEnd + 1);
    if (pCommand->m_unArguments > 0) {
        step.m_vecArguments.push_back(strRest);
    } else if (!strRest.empty()) {
        strError = "'" + strWord + "' takes no argument '" + shown(strRest) + "'";
        return false;
    }
    return checkStep(step, strError);
}

std::string refusedLine(const std::string& strLine)
{
    if (strLine.size() > c_unMaxAtLine) {
        return "the module takes at most " + std::to_string(c_unMaxAtLine) + " characters a line";
    }
    for (const char cByte : strLine) {
        if (static_cast<unsigned char>(cByte) < 0x20 || cByte == 0x7f) {
            return "a line holds no control characters (the tool ends it with CR)";
        }
    }
    std::string strUpper = strLine;
    std::transform(strUpper.begin(), strUpper.end(), strUpper.begin(), [](char c) {
        return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    if (strUpper.find("///") != std::string::npos) {
        return "\"///\" is the escape sequence";
    }
    if (strUpper == "ATP") {
        return "it switches the module to production mode";
    }
    if (strUpper.compare(0, 4, "AT&F") == 0) {
        return "it restores the factory settings, which change the line settings";
    }
    const std::string strWord = strUpper.compare(0, 3, "AT*") == 0
                                    ? strUpper.substr(3, strUpper.find_first_of("=?", 3) - 3)
                                    : std::string();
    if (strWord == "ADDM") {
        return "it hands the line over to data mode; use 'quenta data-mode'";
    }
    if (strWord == "AMWS") {
        return "it restarts the module with other line settings";
    }
    return std::string();
}

std::string generalHelp()
{
    std::ostringstream stream;
    stream << "Usage: quenta [OPTIONS] COMMAND [ARGUMENTS] [COMMAND [ARGUMENTS]]...\n"
              "\n"
              "Configures the radio module on the serial port \"COM8:\" through libquenta.\n"
              "Several commands run in order on one session with the module and stop at the\n"
              "first failure, e.g. quenta search pair NAME paired.\n"
              "\n"
              "Commands:\n";
    for (const CommandInfoS& command : commands()) {
        std::string strLeft = std::string(command.m_szName) + " " + command.m_szArguments;
        strLeft.resize(std::max<size_t>(strLeft.size() + 2, 16), ' ');
        stream << "  " << strLeft << command.m_szSummary << "\n";
    }
    stream << "\n"
           << optionsHelp(CMD_NONE) << "\n"
           << "Results go to standard output, messages and progress to standard error.\n"
              "A run brings the module into command mode once, before its first command,\n"
              "which can take up to four attempts of about 2.6 s when it is in data mode.\n"
              "Ctrl-C or SIGTERM ends a run with exit 130; during a search the tool first\n"
              "waits for the module to end its inquiry (a second Ctrl-C quits at once).\n"
              "\n"
           << c_szExitCodes;
    return stream.str();
}

std::string commandHelp(const CommandInfoS& command)
{
    std::ostringstream stream;
    stream << "Usage: quenta [OPTIONS] " << command.m_szName;
    if (*command.m_szArguments != '\0') {
        stream << " " << command.m_szArguments;
    }
    stream << "\n\n"
           << command.m_szDetail << "\n"
           << optionsHelp(command.m_eCommand) << "\n"
           << c_szExitCodes;
    return stream.str();
}

} // namespace CLI
} // namespace QUENTA
