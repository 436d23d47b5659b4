// quenta-sim: a simulated radio module on a pseudo-terminal, for everyone
// without the hardware. Prints the slave path on its first line, then the
// traffic, until SIGINT or SIGTERM.
#include "SIM_SimulatedModule.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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
    "                     ADDRESS as the module reports it (e.g. 0012f3a1b2c3r), CLASS in\n"
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
    "  --quiet            print only the device path\n"
    "  --help             this text\n";

bool parseNumber(const char* pszText, uint32_t& ulValue)
{
    char* pszEnd = nullptr;
    errno = 0;
    const unsigned long ulParsed = std::strtoul(pszText, &pszEnd, 10);
    if (errno != 0 || pszEnd == pszText || *pszEnd != '\0' || ulParsed > 3600000UL) {
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

struct OptionsS
{
    SimConfigS m_config;
    std::string m_strLink;
    bool m_bQuiet = false;
};

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
        } else if (bHasValue && parseNumber(argv[i + 1], ulValue) &&
                   (strOption == "--scan-ms" || strOption == "--name-ms" ||
                    strOption == "--restart-ms" || strOption == "--guard-ms" ||
                    strOption == "--baud")) {
            ++i;
            if (strOption == "--scan-ms") {
                options.m_config.m_ulScanMs = ulValue;
            } else if (strOption == "--name-ms") {
                options.m_config.m_ulNameMs = ulValue;
            } else if (strOption == "--restart-ms") {
                options.m_config.m_ulRestartMs = ulValue;
            } else if (strOption == "--guard-ms") {
                options.m_config.m_ulGuardMs = ulValue;
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
    if (lstat(strLink.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            std::fprintf(stderr, "quenta-sim: %s exists and is not a link\n", strLink.c_str());
            return false;
        }
        unlink(strLink.c_str());
    }
    if (symlink(strTarget.c_str(), strLink.c_str()) != 0) {
        std::fprintf(stderr, "quenta-sim: cannot link %s: %s\n", strLink.c_str(),
                     std::strerror(errno));
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

void printNew(const SimulatedModuleC& module, size_t& unPrinted)
{
    const std::vector<SimTranscriptEntryS> vecEntries = module.transcript().entriesFrom(unPrinted);
    for (const SimTranscriptEntryS& entry : vecEntries) {
        std::printf("%s\n", formatEntry(entry, module.transcript().startTime()).c_str());
    }
    unPrinted += vecEntries.size();
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    OptionsS options;
    const int iParsed = parseOptions(argc, argv, options);
    if (iParsed != 0) {
        return iParsed < 0 ? 0 : iParsed;
    }
    // The signals are taken synchronously below; the module's thread inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    SimulatedModuleC module(options.m_config);
    if (!module.start()) {
        std::fprintf(stderr, "quenta-sim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    const std::string strSlave = module.slavePath();
    if (!options.m_strLink.empty() && !makeLink(options.m_strLink, strSlave)) {
        return 1;
    }
    std::printf("%s\n", strSlave.c_str());
    std::fflush(stdout);

    size_t unPrinted = 0;
    for (;;) {
        if (!options.m_bQuiet) {
            printNew(module, unPrinted);
        }
        const timespec wait = {0, 50 * 1000 * 1000};
        const int iSignal = sigtimedwait(&signals, nullptr, &wait);
        if (iSignal > 0) {
            break;
        }
    }
    module.stop();
    if (!options.m_bQuiet) {
        printNew(module, unPrinted);
    }
    if (!options.m_strLink.empty()) {
        removeLink(options.m_strLink, strSlave);
    }
    return 0;
}
