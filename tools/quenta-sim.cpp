// quenta-sim: a simulated radio module on a pseudo-terminal, for everyone
// without the hardware and for tests: prints the slave path on its first line,
// then the traffic, until SIGINT or SIGTERM. Faults and steps come from
// statements (SIM_Statements.h) on the command line, in a scenario file and
// on a control socket; --transcript writes the traffic as JSON Lines.
#include "SIM_ControlServer.h"
#include "SIM_SimulatedModule.h"
#include "SIM_StatementRunner.h"
#include "SIM_Statements.h"
#include "SIM_TranscriptWriter.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace QUENTA::SIM;

namespace {

const char* const c_szUsage =
    "Usage: quenta-sim [OPTIONS]\n"
    "\n"
    "A simulated radio module on a pseudo-terminal. The first line printed is the\n"
    "path of the serial device to open (the pseudo-terminal's slave side); then\n"
    "the traffic follows, one event a line, CR and LF shown as <CR> and <LF>.\n"
    "Stops on SIGINT or SIGTERM (not on the end of standard input).\n"
    "\n"
    "Options:\n"
    "  --link PATH        also make PATH a symbolic link to the device, removed on exit\n"
    "                     (e.g. for QUENTA_PORT_COM8=PATH); an old link there is replaced\n"
    "  --devices FILE     the devices nearby, one a line: ADDRESS CLASS NAME\n"
    "                     ADDRESS as the module reports it (e.g. 02a0c7a1b2c3r), CLASS in\n"
    "                     decimal (7978 is what the library pairs with), NAME the rest of\n"
    "                     the line; blank lines and lines starting with '#' are skipped.\n"
    "                     Default: five devices, three of class 7978.\n"
    "  --scan-ms MS       time an inquiry (AGI) takes (default 3000)\n"
    "  --name-ms MS       time a name query (AGND) takes (default 50)\n"
    "  --restart-ms MS    time a restart (AMWS) takes, nothing answered meanwhile (default 300)\n"
    "  --guard-ms MS      silence needed before and after \"///\" (default 1000)\n"
    "  --no-echo          do not echo command lines\n"
    "  --baud RATE        the module's initial bit rate: 4800, 9600, 19200, 57600, 115200\n"
    "                     or 921600 (default 115200, as an unconfigured module)\n"
    "  --rtscts           the module starts with RTS/CTS handshake\n"
    "  --no-rtscts        the module starts without handshake (default)\n"
    "  --mode data|command  the initial mode (default data)\n"
    "  --seed N           seed for random pieces and garbage, 0 to 4294967295 (default 1)\n"
    "  --fault FAULT      a fault from the start, as the statement fault FAULT; repeatable\n"
    "  --statement TEXT   any statement, run at the start; repeatable\n"
    "  --scenario FILE    statements, one a line, run at the start; the whole file is\n"
    "                     checked first. --fault, --statement and --scenario run in\n"
    "                     the order given; a bad one stops the start (exit status 2)\n"
    "  --control PATH     take statements on a Unix stream socket at PATH (removed on\n"
    "                     exit): one answer line for every line sent\n"
    "  --transcript FILE  write every event as JSON Lines, flushed at once\n"
    "  --quiet            print only the device path\n"
    "  --version          print the version\n"
    "  --help             this text\n"
    "\n"
    "Statements (blank lines and lines starting with '#' are skipped):\n"
    "  fault TARGET=KIND[:ARG][@N][*M]\n"
    "      TARGET: a command word (AT, ATP, AT&F, ADDM, AGI, AGND, AMWS, ...), * for\n"
    "      every command line, or name:ADDRESS for the name queries of one device.\n"
    "      KIND:  error      echo, then ERROR; the command is not applied\n"
    "             silent     applied and echoed, never answered\n"
    "             drop       applied, nothing sent, not even the echo\n"
    "             garbage[:BYTES]  echo, then random bytes instead of the answer\n"
    "             split[:PIECES]   the answer in PIECES pieces (none: every block\n"
    "                        cut at random points); pauses up to split-gap-ms\n"
    "             delay:MS   the answer (not the echo) MS later\n"
    "             vanish     echo, then the module vanishes as an unplugged cable\n"
    "      @N: first the Nth matching line from now (default 1). *M: M times, then\n"
    "      gone (default: until cleared). A target holds one answer fault (error,\n"
    "      silent, drop, garbage, vanish), one delay and one split; a new one\n"
    "      replaces the old one. A word's fault wins over one for *. name:ADDRESS\n"
    "      takes error or silent, always or once (*1).\n"
    "  clear TARGET | clear all        remove faults (all: pending on steps too)\n"
    "  device add ADDRESS CLASS NAME   a device nearby (replaces one at ADDRESS)\n"
    "  device remove ADDRESS | devices clear\n"
    "  set scan-ms|name-ms|restart-ms|guard-ms|split-gap-ms MS\n"
    "  set echo|answer-noise|strict-rtscts on|off\n"
    "      answer-noise: line noise is answered with garbage; strict-rtscts: a host\n"
    "      with another RTS/CTS setting is noise too\n"
    "  set baud RATE | set rtscts on|off   the module's settings (active and stored)\n"
    "  mode data|command|production    force the mode\n"
    "  vanish                          the master side closes, as an unplugged cable\n"
    "  return                          a vanished module comes back on a fresh\n"
    "                                  pseudo-terminal; --link points to it\n"
    "  peer TEXT                       data from the remote peer to the host\n"
    "  garbage [TEXT]                  bytes to the host now (none: 16 random)\n"
    "  state                           answers ok and the state as JSON\n"
    "  on WORD[#N]: STATEMENT          once, when the Nth line with WORD (or * for\n"
    "                                  any) arrives, before it is handled\n"
    "  TEXT takes \\r \\n \\t \\\\ and \\xHH. Words are not case-sensitive.\n"
    "\n"
    "Control answers: ok, ok {json} for state, or error: line N: PROBLEM (N counts\n"
    "the lines of the connection). A statement with an error changes nothing.\n";

// Times and the other numbers stay below an hour's milliseconds; a seed takes
// every 32-bit value.
const unsigned long c_ulLargestValue = 3600000UL;
const unsigned long c_ulLargestSeed = 0xFFFFFFFFUL;

bool parseNumber(const char* pszText, uint32_t& ulValue, unsigned long ulLargest = c_ulLargestValue)
{
    char* pszEnd = nullptr;
    errno = 0;
    const unsigned long ulParsed = std::strtoul(pszText, &pszEnd, 10);
    if (errno != 0 || pszEnd == pszText || *pszEnd != '\0' || *pszText == '-' ||
        ulParsed > ulLargest) {
        return false;
    }
    ulValue = static_cast<uint32_t>(ulParsed);
    return true;
}

bool loadDevices(const std::string& strPath, std::vector<SimDeviceS>& vecDevices,
                 std::string& strError)
{
    std::ifstream file(strPath);
    if (!file) {
        strError = "cannot read " + strPath;
        return false;
    }
    std::string strLine;
    unsigned unLine = 0;
    while (std::getline(file, strLine)) {
        ++unLine;
        std::istringstream stream(strLine);
        SimDeviceS device;
        if (!(stream >> device.m_strAddress) || device.m_strAddress[0] == '#') {
            continue;
        }
        std::string strClass;
        stream >> strClass;
        std::getline(stream >> std::ws, device.m_strName);
        while (!device.m_strName.empty() &&
               (device.m_strName.back() == '\r' || device.m_strName.back() == ' ')) {
            device.m_strName.pop_back();
        }
        uint32_t ulClass = 0;
        if (!parseNumber(strClass.c_str(), ulClass) || device.m_strName.empty()) {
            strError = strPath + ":" + std::to_string(unLine) + ": expected ADDRESS CLASS NAME";
            return false;
        }
        device.m_ulClass = ulClass;
        vecDevices.push_back(device);
    }
    return true;
}

// A statement from the command line, with where it came from for messages.
struct StartStatementS
{
    std::string m_strSource; // "--fault AGI=error", "scenario.txt:3"
    SimStatementS m_statement;
};

struct OptionsS
{
    SimConfigS m_config;
    std::string m_strLink;
    std::string m_strControl;
    std::string m_strTranscript;
    std::vector<StartStatementS> m_vecStatements;
    bool m_bQuiet = false;
};

bool addStatement(const std::string& strOption, const std::string& strText,
                  std::vector<StartStatementS>& vecStatements)
{
    StartStatementS start;
    start.m_strSource = strOption + " " + strText;
    std::string strError;
    const std::string strLine = strOption == "--fault" ? "fault " + strText : strText;
    if (!parseStatement(strLine, start.m_statement, strError)) {
        std::fprintf(stderr, "quenta-sim: %s: %s\n", start.m_strSource.c_str(), strError.c_str());
        return false;
    }
    vecStatements.push_back(start);
    return true;
}

bool addScenario(const std::string& strPath, std::vector<StartStatementS>& vecStatements)
{
    std::ifstream file(strPath);
    std::stringstream text;
    text << file.rdbuf();
    if (!file) {
        std::fprintf(stderr, "quenta-sim: cannot read %s\n", strPath.c_str());
        return false;
    }
    std::vector<SimStatementS> vecScript;
    size_t unLine = 0;
    std::string strError;
    if (!parseScript(text.str(), vecScript, unLine, strError)) {
        std::fprintf(stderr, "quenta-sim: %s:%zu: %s\n", strPath.c_str(), unLine, strError.c_str());
        return false;
    }
    for (const SimStatementS& statement : vecScript) {
        vecStatements.push_back({strPath + ":" + std::to_string(statement.m_unLine), statement});
    }
    return true;
}

// 0 to run, otherwise the exit code.
int parseOptions(int argc, char** argv, OptionsS& options)
{
    uint32_t ulBaud = 115200;
    bool bRtsCts = false;
    for (int i = 1; i < argc; ++i) {
        const std::string strOption = argv[i];
        const bool bHasValue = i + 1 < argc;
        uint32_t ulValue = 0;
        if (strOption == "--help" || strOption == "-h") {
            std::fputs(c_szUsage, stdout);
            return -1;
        } else if (strOption == "--version") {
            std::printf("quenta-sim %s\n", QUENTA_SIM_VERSION);
            return -1;
        } else if ((strOption == "--fault" || strOption == "--statement") && bHasValue) {
            if (!addStatement(strOption, argv[++i], options.m_vecStatements)) {
                return 2;
            }
        } else if (strOption == "--scenario" && bHasValue) {
            if (!addScenario(argv[++i], options.m_vecStatements)) {
                return 2;
            }
        } else if (strOption == "--control" && bHasValue) {
            options.m_strControl = argv[++i];
        } else if (strOption == "--transcript" && bHasValue) {
            options.m_strTranscript = argv[++i];
        } else if (strOption == "--no-echo") {
            options.m_config.m_bEcho = false;
        } else if (strOption == "--rtscts") {
            bRtsCts = true;
        } else if (strOption == "--no-rtscts") {
            bRtsCts = false;
        } else if (strOption == "--quiet") {
            options.m_bQuiet = true;
        } else if (strOption == "--link" && bHasValue) {
            options.m_strLink = argv[++i];
        } else if (strOption == "--devices" && bHasValue) {
            std::string strError;
            options.m_config.m_vecDevices.clear();
            if (!loadDevices(argv[++i], options.m_config.m_vecDevices, strError)) {
                std::fprintf(stderr, "quenta-sim: %s\n", strError.c_str());
                return 2;
            }
        } else if (strOption == "--mode" && bHasValue) {
            const std::string strMode = argv[++i];
            if (strMode != "data" && strMode != "command") {
                std::fprintf(stderr, "quenta-sim: --mode takes data or command\n");
                return 2;
            }
            options.m_config.m_eInitialMode = strMode == "data" ? SM_DATA : SM_COMMAND;
        } else if (bHasValue &&
                   (strOption == "--scan-ms" || strOption == "--name-ms" ||
                    strOption == "--restart-ms" || strOption == "--guard-ms" ||
                    strOption == "--baud" || strOption == "--seed") &&
                   parseNumber(argv[i + 1], ulValue,
                               strOption == "--seed" ? c_ulLargestSeed : c_ulLargestValue)) {
            ++i;
            if (strOption == "--scan-ms") {
                options.m_config.m_ulScanMs = ulValue;
            } else if (strOption == "--name-ms") {
                options.m_config.m_ulNameMs = ulValue;
            } else if (strOption == "--restart-ms") {
                options.m_config.m_ulRestartMs = ulValue;
            } else if (strOption == "--guard-ms") {
                options.m_config.m_ulGuardMs = ulValue;
            } else if (strOption == "--seed") {
                options.m_config.m_ulSeed = ulValue;
            } else {
                ulBaud = ulValue;
            }
        } else {
            std::fprintf(stderr, "quenta-sim: bad option or value: %s (see --help)\n",
                         strOption.c_str());
            return 2;
        }
    }
    options.m_config.m_lineSettings.m_unBaudRate = codeFromBaud(ulBaud);
    if (options.m_config.m_lineSettings.m_unBaudRate == 0) {
        std::fprintf(stderr, "quenta-sim: unsupported bit rate %u\n", ulBaud);
        return 2;
    }
    options.m_config.m_lineSettings.m_unFlowControl = bRtsCts ? 1 : 2;
    return 0;
}

bool makeLink(const std::string& strLink, const std::string& strTarget)
{
    struct stat info
    {};
    if (lstat(strLink.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        std::fprintf(stderr, "quenta-sim: %s exists and is not a link\n", strLink.c_str());
        return false;
    }
    // Made beside it and renamed over it, so a client never finds the path missing.
    const std::string strNew = strLink + ".new-" + std::to_string(getpid());
    unlink(strNew.c_str());
    if (symlink(strTarget.c_str(), strNew.c_str()) != 0 ||
        rename(strNew.c_str(), strLink.c_str()) != 0) {
        std::fprintf(stderr, "quenta-sim: cannot link %s: %s\n", strLink.c_str(),
                     std::strerror(errno));
        unlink(strNew.c_str());
        return false;
    }
    return true;
}

void removeLink(const std::string& strLink, const std::string& strTarget)
{
    char szTarget[4096] = {0};
    const ssize_t nLength = readlink(strLink.c_str(), szTarget, sizeof(szTarget) - 1);
    // Only our own link: another instance may have taken the path over.
    if (nLength > 0 && strTarget == std::string(szTarget, static_cast<size_t>(nLength))) {
        unlink(strLink.c_str());
    }
}

// The --link, which follows the module to a fresh pseudo-terminal on return.
class LinkC
{
public:
    explicit LinkC(const std::string& strLink) : m_strLink(strLink) {}
    ~LinkC()
    {
        if (!m_strLink.empty() && !m_strTarget.empty()) {
            removeLink(m_strLink, m_strTarget);
        }
    }

    bool pointTo(const std::string& strTarget)
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_strLink.empty() || !makeLink(m_strLink, strTarget)) {
            return m_strLink.empty();
        }
        m_strTarget = strTarget;
        return true;
    }

private:
    std::mutex m_mutex;
    const std::string m_strLink;
    std::string m_strTarget;
};

void printNew(const SimulatedModuleC& module, size_t& unPrinted)
{
    size_t unFirst = 0;
    const std::vector<SimTranscriptEntryS> vecEntries =
        module.transcript().entriesFrom(unPrinted, &unFirst);
    if (unFirst > unPrinted) {
        std::printf("... %zu events not shown: the output fell behind\n", unFirst - unPrinted);
    }
    for (const SimTranscriptEntryS& entry : vecEntries) {
        std::printf("%s\n", formatEntry(entry, module.transcript().startTime()).c_str());
    }
    unPrinted = unFirst + vecEntries.size();
    std::fflush(stdout);
}

bool runStartStatements(SimStatementRunnerC& runner, const std::vector<StartStatementS>& vecStart)
{
    for (const StartStatementS& start : vecStart) {
        std::string strAnswer;
        if (!runner.apply(start.m_statement, strAnswer)) {
            std::fprintf(stderr, "quenta-sim: %s: %s\n", start.m_strSource.c_str(),
                         strAnswer.c_str());
            return false;
        }
        if (strAnswer != "ok") {
            std::printf("%s\n", strAnswer.c_str());
        }
    }
    return true;
}

// The transcript kept in memory: enough for the printout to catch up, as the
// file (--transcript) has every event.
const size_t c_unWindowEntries = 4096;
const size_t c_unWindowBytes = 1u << 20;

int serve(const OptionsS& options, const sigset_t& signals)
{
    SimulatedModuleC module(options.m_config);
    module.transcript().setLimits(c_unWindowEntries, c_unWindowBytes);
    SimTranscriptWriterC writer;
    if (!options.m_strTranscript.empty()) {
        std::string strError;
        if (!writer.open(options.m_strTranscript, strError)) {
            std::fprintf(stderr, "quenta-sim: %s\n", strError.c_str());
            return 1;
        }
        const SimClockT::time_point tStart = module.transcript().startTime();
        module.transcript().setObserver(
            [&writer, tStart](const SimTranscriptEntryS& entry) { writer.write(entry, tStart); });
    }
    if (!module.start()) {
        std::fprintf(stderr, "quenta-sim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    LinkC link(options.m_strLink);
    SimStatementRunnerC runner(module);
    runner.setReturnHook([&link](const std::string& strPath) { link.pointTo(strPath); });
    SimControlServerC control([&runner](const std::string& strLine, size_t unLine) {
        return runner.answer(strLine, unLine);
    });
    std::string strError;
    int iExit = 0;
    if (!link.pointTo(module.slavePath())) {
        iExit = 1;
    } else if (!runStartStatements(runner, options.m_vecStatements)) {
        iExit = 2;
    } else if (!options.m_strControl.empty() && !control.start(options.m_strControl, strError)) {
        std::fprintf(stderr, "quenta-sim: %s\n", strError.c_str());
        iExit = 1;
    }
    if (iExit == 0) {
        std::printf("%s\n", module.slavePath().c_str());
        std::fflush(stdout);
        size_t unPrinted = 0;
        for (;;) {
            if (!options.m_bQuiet) {
                printNew(module, unPrinted);
            }
            const timespec wait = {0, 50 * 1000 * 1000};
            if (sigtimedwait(&signals, nullptr, &wait) > 0) {
                break;
            }
        }
        control.stop();
        module.stop();
        if (!options.m_bQuiet) {
            printNew(module, unPrinted);
        }
    }
    control.stop();
    module.stop(); // before the runner goes: its "on" actions run on the module's thread
    module.transcript().setObserver(nullptr);
    if (writer.failed()) {
        std::fprintf(stderr, "quenta-sim: the transcript could not be written in full\n");
    }
    return iExit;
}

} // namespace

int main(int argc, char** argv)
{
    OptionsS options;
    const int iParsed = parseOptions(argc, argv, options);
    if (iParsed != 0) {
        return iParsed < 0 ? 0 : iParsed;
    }
    // The signals are taken synchronously; the module's threads inherit the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return serve(options, signals);
}
