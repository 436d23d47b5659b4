#include "QuentaCliArgs.h"
#include "QuentaCliOutput.h"

#include <algorithm>
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
    "Lists the serial devices (/dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM*,\n"
    "/dev/serial/by-id/*) and the device that \"COM8:\" stands for now.\n";
#endif

struct OptionInfoS
{
    const char* m_szName;      // "--port"
    const char* m_szShort;     // "-h", or nullptr
    const char* m_szValueName; // nullptr for a switch
    const char* m_szHelp;
    void (*m_pfnApply)(ArgsS& args, const std::string& strValue);
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
        {"--json", nullptr, nullptr, "print results as one JSON object",
         [](ArgsS& args, const std::string&) { args.m_bJson = true; }},
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
                                  "  4  the module did not answer or refused\n";

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

bool checkArguments(const ArgsS& args, std::string& strError)
{
    const CommandInfoS* pCommand = findCommand(args.m_eCommand);
    if (pCommand == nullptr || args.m_bHelp || args.m_bVersion) {
        return true;
    }
    if (args.m_vecArguments.size() < pCommand->m_unArguments) {
        strError = std::string("'") + pCommand->m_szName + "' needs " + pCommand->m_szArguments;
        return false;
    }
    if (args.m_vecArguments.size() > pCommand->m_unArguments) {
        strError = std::string("'") + pCommand->m_szName + "' takes no argument '" +
                   shown(args.m_vecArguments[pCommand->m_unArguments]) + "'";
        return false;
    }
    for (const std::string& strArgument : args.m_vecArguments) {
        if (strArgument.empty()) {
            // The library reads an empty name as "remove the pairing".
            strError = std::string("'") + pCommand->m_szName +
                       "' needs a non-empty NAME (to remove the pairing use 'quenta unpair')";
            return false;
        }
    }
    return true;
}

std::string optionsHelp()
{
    std::ostringstream stream;
    stream << "Options:\n";
    for (const OptionInfoS& option : options()) {
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
         "real module). Fails (exit 4) also when no device is in range.\n"},
        {"pair", CMD_PAIR, "NAME", 1, 25, "pair the module with the device NAME",
         "Searches the devices nearby and makes NAME (exactly as 'quenta search' prints it)\n"
         "the module's default remote peer.\n"},
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
            if (!parseOption(nArgc, ppszArgv, nIndex, args, strError)) {
                return false;
            }
        } else if (args.m_eCommand == CMD_NONE) {
            const CommandInfoS* pCommand = findCommandByName(strArg);
            if (pCommand == nullptr) {
                strError = "unknown command '" + shown(strArg) + "'";
                return false;
            }
            args.m_eCommand = pCommand->m_eCommand;
        } else {
            args.m_vecArguments.push_back(strArg);
        }
    }
    return checkArguments(args, strError);
}

std::string generalHelp()
{
    std::ostringstream stream;
    stream << "Usage: quenta [OPTIONS] COMMAND [ARGUMENTS]\n"
              "\n"
              "Configures the radio module on the serial port \"COM8:\" through libquenta.\n"
              "\n"
              "Commands:\n";
    for (const CommandInfoS& command : commands()) {
        std::string strLeft = std::string(command.m_szName) + " " + command.m_szArguments;
        strLeft.resize(std::max<size_t>(strLeft.size() + 2, 16), ' ');
        stream << "  " << strLeft << command.m_szSummary << "\n";
    }
    stream << "\n"
           << optionsHelp() << "\n"
           << "Results go to standard output, messages and progress to standard error.\n"
              "Each command brings the module into command mode first, which can take up\n"
              "to four attempts of about 2.6 s when it is in data mode.\n"
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
    stream << "\n\n" << command.m_szDetail << "\n" << optionsHelp() << "\n" << c_szExitCodes;
    return stream.str();
}

} // namespace CLI
} // namespace QUENTA
