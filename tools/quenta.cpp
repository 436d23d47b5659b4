// quenta: the radio module's jobs from a shell: search, pair, unpair, read
// the pairing back, hand over to data mode, open the port for data; plus the
// serial devices of the machine, one raw command line, and several commands
// on one session. The module's jobs run on the core's session API, whose
// causes give the exit codes and messages (the Python package reports the
// same); opening the port for data uses libquenta's public interface. From
// the core it also takes the debug definition loader, whether a device went
// away during a call, whether the handle's preparation reached the module,
// and a window on the wire.
#include "quenta.h"
#include "Nox_Hal/NOX_HAL_Path.h"
#include "PlatformDevice.h"
#include "QUENTA_QuentaConfiguratorImpl.h"
#include "QUENTA_Session.h"
#include "QuentaCliArgs.h"
#include "QuentaCliAtCommands.h"
#include "QuentaCliBridge.h"
#include "QuentaCliInterrupt.h"
#include "QuentaCliNames.h"
#include "QuentaCliOutput.h"
#include "QuentaCliPorts.h"
#include "QuentaCliProgress.h"
#include "QuentaCliTrace.h"
#include "TRC_CFG_TaviDeviceControllerImpl.h"
#include "TRC_PRT_PortBase.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace QUENTA::CLI;

namespace {

const std::chrono::seconds c_tInquiryLongest(16);

const char* const c_szModuleCheck =
    "the module is powered and cabled and runs at 115200 or 921600 bit/s";
// The module restarts at this rate (with RTS/CTS) when it is handed over.
const unsigned long c_ulDataModeBitRate = 921600;
const char* const c_szFastLineAdvice =
    "use a port that runs 921600 bit/s, such as most USB-serial adapters";

std::string versionText()
{
    return std::to_string(QUENTA_VERSION_MAJOR) + "." + std::to_string(QUENTA_VERSION_MINOR) + "." +
           std::to_string(QUENTA_VERSION_PATCH);
}

// The core is linked in, so the library is the one this tool was built with.
std::string libraryVersionText()
{
    return versionText() + " (linked in)";
}

class ToolC
{
public:
    ToolC(const ArgsS& args, std::FILE* pResults, WireTraceC& trace)
        : m_args(args), m_pResults(pResults), m_output(args.m_bJson, pResults, stderr),
          m_progress(stderr, canShowProgress()), m_trace(trace)
    {
        m_progress.onInterrupt([this] { waitForQuietModule(); });
    }

    int run();

private:
    int runSteps();
    int runShell();
    int runShellLine(const std::string& strLine);
    int runStep(const StepS& step);
    int search();
    int pair(const std::string& strText);
    int unpair();
    int paired();
    int dataMode();
    int sendLine(const std::string& strLine);
    int openForData();
    bool prepareUnreachedModule(void*& pHandle);
    int ports();

    // The call's result; false also when the device went away during it,
    // whatever the call reported.
    bool withProgress(const std::string& strWhat, const std::function<bool()>& fnCall);
    // A session call with progress.
    template <class ResultT>
    ResultT withSession(const std::string& strWhat, const std::function<ResultT()>& fnCall);
    // The session with the module on the device "COM8:" leads to: opened on
    // first use, and again after it could not be; closed for `open`, which
    // opens the port itself.
    QUENTA::SessionC& session();
    // Reports the failure as the session describes it; its exit code.
    int failed(const QUENTA::ResultS& result);
    void waitForQuietModule();
    int moduleFailure(const std::string& strWhat, const std::string& strHint = std::string());
    int moduleGone(const std::string& strWhat);
    bool lineRefusedDataModeRate() const
    {
        return PlatSerialRefusedBitRate(m_com8.m_strPath, c_ulDataModeBitRate);
    }
    std::string device() const { return shown(deviceName(m_com8)); }

    const ArgsS& m_args;
    std::FILE* const m_pResults; // standard output, wherever its descriptor is now
    OutputC m_output;
    ProgressC m_progress;
    WireTraceC& m_trace;
    ComMappingS m_com8;
    const CommandInfoS* m_pCommand = nullptr; // the command running now
    bool m_bDeviceGone = false;
    std::unique_ptr<QUENTA::SessionC> m_pSession;
};

int ToolC::run()
{
    std::string strRefusal;
    if (!m_args.m_strPort.empty() && !usePortOption(m_args.m_strPort, strRefusal)) {
        m_output.failure(XC_USAGE, strRefusal);
        return XC_USAGE;
    }
    m_com8 = com8Mapping(!m_args.m_strPort.empty());
    if (!m_args.m_strDebugDefinition.empty() &&
        TRC::CFG::loadDebugConfiguration(m_args.m_strDebugDefinition.c_str()) != 0) {
        const std::string strReason = NOX::HAL::whyNotReadable(m_args.m_strDebugDefinition);
        m_output.failure(XC_USAGE, "quenta: cannot read the debug definition file " +
                                       shown(m_args.m_strDebugDefinition) +
                                       (strReason.empty() ? "" : ": " + strReason));
        return XC_USAGE;
    }
    if (m_args.m_unVerbose > 1) {
        m_trace.showLibraryRecords(m_args.m_unVerbose > 2);
    }
    const bool bOnlyPorts =
        m_args.m_vecSteps.size() == 1 && m_args.m_vecSteps[0].m_eCommand == CMD_PORTS;
    if (!bOnlyPorts && !session().opened().ok()) {
        return failed(session().opened());
    }
    return m_args.m_vecSteps[0].m_eCommand == CMD_SHELL ? runShell() : runSteps();
}

int ToolC::runSteps()
{
    for (const StepS& step : m_args.m_vecSteps) {
        const int nExit = runStep(step);
        if (nExit != XC_OK) {
            return nExit;
        }
    }
    return XC_OK;
}

// One command a line until the end of input; a failure is reported and the
// next line runs, on the same session with the module.
int ToolC::runShell()
{
    const bool bPrompt = standardInputIsTerminal();
    int nExit = XC_OK;
    std::string strLine;
    for (unsigned unLine = 1;; ++unLine) {
        if (bPrompt) {
            std::fputs("quenta> ", stderr);
            std::fflush(stderr);
        }
        if (!std::getline(std::cin, strLine)) {
            break;
        }
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        if (strLine.empty() || strLine[0] == '#') {
            continue;
        }
        if (strLine == "quit" || strLine == "exit") {
            break;
        }
        m_output.setContext("\"line\":" + std::to_string(unLine) + ",\"command\":" +
                            jsonString(strLine.substr(0, strLine.find(' '))) + ",");
        const int nResult = runShellLine(strLine);
        nExit = nResult != XC_OK ? nResult : nExit;
    }
    if (bPrompt) {
        std::fputs("\n", stderr);
    }
    return nExit;
}

int ToolC::runShellLine(const std::string& strLine)
{
    if (strLine == "help") {
        m_output.commandList("Commands, one a line:", shellCommands());
        return XC_OK;
    }
    StepS step;
    std::string strError;
    if (!parseShellLine(strLine, step, strError)) {
        m_output.failure(XC_USAGE, "quenta: " + strError);
        return XC_USAGE;
    }
    return runStep(step);
}

int ToolC::runStep(const StepS& step)
{
    m_pCommand = findCommand(step.m_eCommand);
    m_bDeviceGone = false;
    switch (step.m_eCommand) {
    case CMD_SEARCH:
        return search();
    case CMD_PAIR:
        return pair(step.m_vecArguments[0]);
    case CMD_UNPAIR:
        return unpair();
    case CMD_PAIRED:
        return paired();
    case CMD_DATA_MODE:
        return dataMode();
    case CMD_AT:
        return sendLine(step.m_vecArguments[0]);
    case CMD_OPEN:
        return openForData();
    case CMD_PORTS:
        return ports();
    default:
        return XC_USAGE;
    }
}

bool ToolC::withProgress(const std::string& strWhat, const std::function<bool()>& fnCall)
{
    // The C functions cannot say that the module went away; the core's port
    // counts every device it loses.
    const uint32_t unLossesBefore = TRC::PRT::PortBaseC::GetLossCount();
    const bool bResult = m_progress.run(strWhat + " on " + shown(m_com8.m_strPath),
                                        m_pCommand->m_unExpectedSeconds, fnCall);
    m_bDeviceGone = TRC::PRT::PortBaseC::GetLossCount() != unLossesBefore;
    return bResult && !m_bDeviceGone;
}

template <class ResultT>
ResultT ToolC::withSession(const std::string& strWhat, const std::function<ResultT()>& fnCall)
{
    ResultT result;
    m_progress.run(strWhat + " on " + shown(m_com8.m_strPath), m_pCommand->m_unExpectedSeconds,
                   [&] {
                       result = fnCall();
                       return result.ok();
                   });
    return result;
}

QUENTA::SessionC& ToolC::session()
{
    if (!m_pSession || !m_pSession->opened().ok()) {
        m_pSession.reset();
        m_pSession.reset(new QUENTA::SessionC());
    }
    return *m_pSession;
}

int ToolC::failed(const QUENTA::ResultS& result)
{
    const QUENTA::FailureTextS text = QUENTA::describeFailure(result);
    // Only a raw line's answer is worth a script's reading.
    const bool bAnswer = result.m_eOperation == QUENTA::OperationE::SendLine;
    m_output.failure(text.m_nExitCode, text.m_strMessage,
                     bAnswer ? result.m_strAnswer : std::string(),
                     QUENTA::causeName(result.m_eCause));
    return text.m_nExitCode;
}

// Interrupted during a call: an inquiry the module has begun runs on and its
// results would meet the next command, so nothing more is sent and the tool
// waits for its end (a second Ctrl-C ends the tool at once).
void ToolC::waitForQuietModule()
{
    m_trace.holdWrites();
    if (!m_trace.inquiryUnderWay()) {
        return;
    }
    m_output.note("quenta: interrupted \xe2\x80\x94 waiting for the module to end its inquiry "
                  "(Ctrl-C again to quit at once)");
    // A module that never ends its inquiry is not waited for beyond the time
    // the library itself would give it.
    const auto tGiveUp = std::chrono::steady_clock::now() + c_tInquiryLongest;
    while (m_trace.inquiryUnderWay() && std::chrono::steady_clock::now() < tGiveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int ToolC::moduleGone(const std::string& strWhat)
{
    m_output.failure(XC_MODULE, "quenta: " + strWhat + " on " + device() +
                                    ": the module went away \xe2\x80\x94 is it still plugged in?");
    return XC_MODULE;
}

int ToolC::moduleFailure(const std::string& strWhat, const std::string& strHint)
{
    if (m_bDeviceGone) {
        return moduleGone(strWhat);
    }
    std::string strMessage = "quenta: " + strWhat + " on " + device() +
                             ": the module did not answer or refused \xe2\x80\x94 ";
    if (lineRefusedDataModeRate()) {
        // Most likely handed over on this line before: it waits at a rate
        // the line cannot make.
        strMessage += "it probably runs at 921600 bit/s with RTS/CTS (as after a hand-over), "
                      "which this line cannot run; ";
        strMessage += c_szFastLineAdvice;
        m_output.failure(XC_MODULE, strMessage);
        return XC_MODULE;
    }
    strMessage += strHint.empty() ? std::string("check that ") : strHint + " Also check that ";
    strMessage += c_szModuleCheck;
    m_output.failure(XC_MODULE, strMessage);
    return XC_MODULE;
}

int ToolC::search()
{
    const QUENTA::SearchResultS result =
        withSession<QUENTA::SearchResultS>("searching", [this] { return session().search(); });
    if (!result.ok()) {
        return failed(result);
    }
    std::vector<std::string> vecNames;
    for (const QUENTA::DeviceS& device : result.m_vecDevices) {
        vecNames.push_back(device.m_strName);
    }
    if (!m_args.m_bJson && result.m_unUnreadNames != 0) {
        m_output.note("quenta: " + std::to_string(result.m_unUnreadNames) +
                      (result.m_unUnreadNames == 1 ? " device was" : " devices were") +
                      " found whose name could not be read");
    } else if (!m_args.m_bJson && vecNames.empty()) {
        m_output.note("quenta: no device found");
    }
    m_output.devices(vecNames, result.m_unUnreadNames);
    return XC_OK;
}

int ToolC::pair(const std::string& strText)
{
    const std::string strName = nameFromText(strText);
    const QUENTA::ResultS result = withSession<QUENTA::ResultS>(
        "searching and pairing", [&] { return session().pair(strName); });
    if (!result.ok()) {
        return failed(result);
    }
    m_output.pairedWith(strName);
    return XC_OK;
}

int ToolC::unpair()
{
    const QUENTA::ResultS result =
        withSession<QUENTA::ResultS>("removing the pairing", [this] { return session().unpair(); });
    if (!result.ok()) {
        return failed(result);
    }
    m_output.ok("pairing removed");
    return XC_OK;
}

int ToolC::paired()
{
    const QUENTA::PairedResultS result = withSession<QUENTA::PairedResultS>(
        "reading the pairing", [this] { return session().paired(); });
    if (!result.ok()) {
        return failed(result);
    }
    m_output.paired(result.m_bPaired ? result.m_device.m_strName : std::string());
    return XC_OK;
}

int ToolC::dataMode()
{
    const QUENTA::ResultS result =
        withSession<QUENTA::ResultS>("handing over to data mode", [this] {
            return m_args.m_bForce ? session().dataModeAnyway() : session().dataMode();
        });
    if (!result.ok()) {
        return failed(result);
    }
    m_output.ok("the module is in data mode; the port is closed");
    return XC_OK;
}

int ToolC::sendLine(const std::string& strLine)
{
    const QUENTA::ResultS result = withSession<QUENTA::ResultS>(
        "sending " + shown(strLine), [&] { return session().sendLine(strLine); });
    if (result.ok()) {
        m_output.answer(result.m_strAnswer);
        return XC_OK;
    }
    if (!m_args.m_bJson && result.m_eCause == QUENTA::CauseE::ModuleRefused) {
        m_output.answer(result.m_strAnswer);
    }
    return failed(result);
}

// The handle's preparation only tries the module at 921600 bit/s with RTS/CTS;
// a module elsewhere (a fresh one at 115200) would take the input as line
// noise. It is brought there the way every other command does, and the
// handle opened again; false, with no handle, when it never answered.
bool ToolC::prepareUnreachedModule(void*& pHandle)
{
    void* const pInvalid = reinterpret_cast<void*>(static_cast<intptr_t>(-1));
    closeDevice(pHandle);
    pHandle = pInvalid;
    withProgress("bringing the module into command mode", [&] {
        QUENTA::QuentaConfiguratorImplC configurator;
        if (!configurator.readyForHandle()) {
            return false;
        }
        pHandle = QUENTA_createPortHandle();
        return pHandle != pInvalid;
    });
    if (pHandle != pInvalid &&
        (m_bDeviceGone || !QUENTA::QuentaConfiguratorImplC::lastHandleFoundCommandMode())) {
        closeDevice(pHandle);
        pHandle = pInvalid;
    }
    return pHandle != pInvalid;
}

int ToolC::openForData()
{
    // The handle is opened on the device itself, which a session would hold.
    m_pSession.reset();
    void* const pInvalid = reinterpret_cast<void*>(static_cast<intptr_t>(-1));
    void* pHandle = pInvalid;
    withProgress("opening", [&] {
        pHandle = QUENTA_createPortHandle();
        return pHandle != pInvalid;
    });
    // A device node that vanished before any reader could see it is gone too.
    const bool bMissing = pHandle == pInvalid && deviceMissing(m_com8.m_strPath);
    if (m_bDeviceGone || bMissing) {
        if (pHandle != pInvalid) {
            closeDevice(pHandle);
        }
        return moduleGone("preparing the module for data");
    }
    if (pHandle == pInvalid) {
        m_output.failure(XC_PORT, "quenta: cannot open or configure " + device() +
                                      " for data (921600 bit/s, RTS/CTS) \xe2\x80\x94 "
                                      "is it a serial device that supports that rate?");
        return XC_PORT;
    }
    if (!QUENTA::QuentaConfiguratorImplC::lastHandleFoundCommandMode() &&
        !prepareUnreachedModule(pHandle)) {
        return moduleFailure("preparing the module for data");
    }
    std::string strError;
    const BridgeEndE eEnd = bridgeStandardStreams(pHandle, m_pResults, strError);
    closeDevice(pHandle);
    switch (eEnd) {
    case BE_INPUT_ENDED:
        return XC_OK;
    case BE_DEVICE_GONE:
        m_output.failure(XC_MODULE, "quenta: streaming on " + device() +
                                        ": the module went away (" + strError +
                                        ") \xe2\x80\x94 is it still plugged in?");
        return XC_MODULE;
    default:
        m_output.failure(XC_FAILURE, "quenta: open: " + strError);
        return XC_FAILURE;
    }
}

int ToolC::ports()
{
    std::vector<PortEntryS> vecPorts = listSerialPorts();
    const ProbeS com8Probe = m_args.m_bProbe ? probePorts(vecPorts, m_com8) : ProbeS();
    m_output.ports(vecPorts, m_com8, com8Probe);
    return XC_OK;
}

// With --json a script gets the failure object too, like every other failure.
int usageError(const std::string& strError, bool bJson)
{
    OutputC(bJson, stdout, stderr).failure(XC_USAGE, "quenta: " + strError);
    std::fputs("Try 'quenta --help'.\n", stderr);
    return XC_USAGE;
}

// Whether --json stands among the arguments, for a line that did not parse.
bool asksForJson(int nArgc, char** ppszArgv)
{
    for (int i = 1; i < nArgc; ++i) {
        if (std::string(ppszArgv[i]) == "--json") {
            return true;
        }
    }
    return false;
}

} // namespace

int main(int nArgc, char** ppszArgv)
{
    prepareStandardStreams();
    ArgsS args;
    std::string strError;
    if (!parseArgs(nArgc, ppszArgv, args, strError)) {
        return usageError(strError, asksForJson(nArgc, ppszArgv));
    }
    if (args.m_bHelp) {
        const CommandInfoS* pCommand =
            args.m_vecSteps.empty() ? nullptr : findCommand(args.m_vecSteps[0].m_eCommand);
        std::fputs((pCommand != nullptr ? commandHelp(*pCommand) : generalHelp()).c_str(), stdout);
        return XC_OK;
    }
    if (args.m_bVersion) {
        OutputC(args.m_bJson, stdout, stderr).version(versionText(), libraryVersionText());
        return XC_OK;
    }
    if (args.m_vecSteps.empty()) {
        if (args.m_bJson) {
            OutputC(true, stdout, stderr).failure(XC_USAGE, "quenta: no command given");
        }
        std::fputs(generalHelp().c_str(), stderr);
        return XC_USAGE;
    }
    if (args.m_bList) {
        OutputC(args.m_bJson, stdout, stderr)
            .commandList("Commands the library sends (case-sensitive; 'quenta at' adds the CR):",
                         libraryCommands());
        return XC_OK;
    }
    installInterruptHandlers();
    // With --json nothing but results may reach standard output, and with
    // open nothing but the module's data, whatever a debug definition routes
    // there.
    const bool bBridging = args.m_vecSteps.back().m_eCommand == CMD_OPEN;
    std::FILE* const pResults = args.m_bJson || bBridging ? reserveStandardOutput() : stdout;
    // The library's reader thread may still hand over bytes while the process
    // ends, so the trace lives as long as the process.
    WireTraceC* const pTrace = new WireTraceC(stderr, args.m_unVerbose > 0);
    return ToolC(args, pResults, *pTrace).run();
}
