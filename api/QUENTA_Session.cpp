#include "QUENTA_Session.h"

#include "Nox_Hal/NOX_HAL_Path.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "PlatformDevice.h"
#include "QUENTA_QuentaConfiguratorImpl.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>

using NOX::RC_FAILED;
using NOX::RC_OK;
using TRC::CFG::DeviceInfoS;
using TRC::CFG::ExchangeS;

namespace QUENTA {

namespace {

const char* const c_szCom8 = "COM8:";
#if defined(_WIN32)
const char* const c_szChoosePort =
    "does the module's port have the number 8? (Device Manager > Ports (COM & LPT) > the port "
    "> Properties > Port Settings > Advanced > COM Port Number; under Wine, a link "
    "$WINEPREFIX/dosdevices/com8 to the device)";
#else
const char* const c_szChoosePort = "use --port DEVICE or set QUENTA_PORT_COM8";
#endif
const char* const c_szModuleCheck =
    "check that the module is powered and cabled and runs at 115200 or 921600 bit/s";
const char* const c_szDash = " \xe2\x80\x94 ";
// The module restarts at this rate (with RTS/CTS) when it is handed over.
const unsigned long c_ulDataModeBitRate = 921600;
const char* const c_szFastLineAdvice =
    "use a port that runs 921600 bit/s, such as most USB-serial adapters";

// The ports that sessions of this process hold, by their resolved path: a
// second open in the same process would only be refused by the lock on the
// device, and only once something is sent.
NOX::TSK::CriticalSectionC& claimsLock()
{
    // Never destroyed: a session may still close while statics go away.
    static NOX::TSK::CriticalSectionC* s_pLock = new NOX::TSK::CriticalSectionC();
    return *s_pLock;
}

std::set<std::string>& claims()
{
    static std::set<std::string>* s_pClaims = new std::set<std::string>();
    return *s_pClaims;
}

std::string claimKey(const std::string& strPath)
{
    std::error_code error;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(strPath, error);
    return error ? strPath : resolved.string();
}

bool claim(const std::string& strPath)
{
    NOX::TSK::GuardC guard(claimsLock());
    return claims().insert(claimKey(strPath)).second;
}

void unclaim(const std::string& strPath)
{
    NOX::TSK::GuardC guard(claimsLock());
    claims().erase(claimKey(strPath));
}

bool exchangeOk(const ExchangeS& exchange)
{
    return exchange.m_bSent && exchange.m_unWait == RC_OK && exchange.m_unReturnCode == RC_OK;
}

// A command the module answered with ERROR was refused; one it never
// answered (or was not sent, the module having left command mode) was not.
void causeOfExchange(ResultS& result, const ExchangeS& exchange)
{
    result.m_strDetail = exchange.m_strCommand;
    if (exchange.m_bSent && exchange.m_unWait == RC_OK && exchange.m_unReturnCode == RC_FAILED) {
        result.m_eCause = CauseE::ModuleRefused;
        result.m_strAnswer = "ERROR";
        return;
    }
    result.m_eCause = CauseE::ModuleNotAnswering;
}

CauseE openErrorCause(DWORD dwError)
{
    switch (dwError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return CauseE::PortNotFound;
#if defined(_WIN32)
    // Windows refuses a port that is open elsewhere as access denied.
    case ERROR_ACCESS_DENIED:
#else
    case ERROR_ACCESS_DENIED:
        return CauseE::PermissionDenied;
#endif
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
        return CauseE::PortInUse;
    case ERROR_NOT_SUPPORTED:
        return CauseE::NotSerialDevice;
    default:
        return CauseE::PortError;
    }
}

// Who may open the device, and what this user can do about it: a group is
// suggested only when it may read and write.
std::string permissionHint(const PlatDeviceAccessS& access)
{
    if (!access.m_bKnown) {
        return "may this user open it?";
    }
    char szMode[8];
    std::snprintf(szMode, sizeof(szMode), "%04o", access.m_unMode);
    const std::string strOwner = shownText(access.m_strOwner);
    const std::string strGroup = shownText(access.m_strGroup);
    const std::string strIs = "it is " + strOwner + ":" + strGroup + " " + szMode;
    const unsigned c_unGroupReadWrite = 060;
    if ((access.m_unMode & c_unGroupReadWrite) == c_unGroupReadWrite) {
        return strIs + "; ask for access or run as a user in group " + strGroup +
               " (sudo usermod -aG " + strGroup + " USER, then log in again)";
    }
    return strIs + ", which only " + strOwner +
           " may open; ask for access (e.g. a udev rule that lets a group read and write it)";
}

// Opens the device as the port does, and closes it again: why it cannot be
// opened, or None.
CauseE probePort(const std::string& strPath, std::string& strDetail)
{
    std::error_code error;
    if (std::filesystem::is_directory(strPath, error)) {
        return CauseE::NotSerialDevice;
    }
    const HANDLE hPort =
        CreateFileW(NOX::HAL::widePath(strPath).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hPort == INVALID_HANDLE_VALUE) {
        const DWORD dwError = GetLastError();
        const CauseE eCause = openErrorCause(dwError);
        if (eCause == CauseE::PermissionDenied) {
            strDetail = permissionHint(PlatDeviceAccess(strPath));
        } else if (eCause == CauseE::PortError) {
            strDetail = "system error " + std::to_string(dwError);
        }
        return eCause;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof(dcb));
    dcb.DCBlength = sizeof(dcb);
    const bool bSerial = GetCommState(hPort, &dcb) != FALSE;
    CloseHandle(hPort);
    return bSerial ? CauseE::None : CauseE::NotSerialDevice;
}

// Why a name cannot go out in the pairing command; empty when it can.
std::string badName(const std::string& strName)
{
    if (strName.empty()) {
        return "an empty name (unpair removes the pairing)";
    }
    if (strName.size() > DeviceInfoS::c_unMaxName) {
        return "a name longer than 16 bytes, which no device found can have";
    }
    if (strName.find_first_of(std::string("\"\r\n\0", 4)) != std::string::npos) {
        return "a name with a double quote, CR, LF or NUL, which the command cannot carry";
    }
    return std::string();
}

std::string badLine(const std::string& strLine)
{
    if (strLine.empty()) {
        return "an empty command line";
    }
    if (strLine.size() > QuentaConfiguratorImplC::c_unMaxLineLength) {
        return "a command line longer than 63 characters";
    }
    if (strLine.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) {
        return "a command line with CR, LF or NUL (the CR that ends it is added)";
    }
    return std::string();
}

std::string deviceShown(const ResultS& result)
{
    // Windows opens "COM8:" itself, which it calls COM8.
    if (result.m_strPort == c_szCom8) {
        return "COM8";
    }
    return shownText(result.m_strPort) + (result.m_bCom8 ? " (COM8:)" : "");
}

bool endsWith(const std::string& strText, const std::string& strEnd)
{
    return strText.size() >= strEnd.size() &&
           strText.compare(strText.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
}

// A raw line's answer is the user's to read; ERROR is often a typing error.
std::string refusedLine(const ResultS& result, const std::string& strDevice)
{
    const std::string strLine = shownText(result.m_strArgument);
    if (endsWith(result.m_strAnswer, "\r\nERROR\r\n")) {
        return "quenta: " + strDevice + ": the module answered ERROR to '" + strLine + "'" +
               c_szDash + "commands are case-sensitive; 'quenta at --list' shows the library's own";
    }
    return "quenta: " + strDevice + " answered '" + strLine + "' without OK";
}

// What the tool says it was doing: "search", "pairing with "X"", ...
std::string doing(const ResultS& result)
{
    switch (result.m_eOperation) {
    case OperationE::Search:
        return "search";
    case OperationE::Pair:
        return "pairing with \"" + shownText(result.m_strArgument) + "\"";
    case OperationE::Unpair:
        return "removing the pairing";
    case OperationE::Paired:
        return "reading the pairing";
    case OperationE::DataMode:
        return "handing over to data mode";
    case OperationE::SendLine:
        return "sending '" + shownText(result.m_strArgument) + "'";
    case OperationE::Close:
        return "closing";
    case OperationE::Open:
    default:
        return "opening";
    }
}

std::string portReason(const ResultS& result)
{
    switch (result.m_eCause) {
    case CauseE::PortNotFound:
        return std::string("No such file or directory") + c_szDash + "is the module plugged in? " +
               c_szChoosePort;
    case CauseE::PermissionDenied:
        return "Permission denied" + std::string(c_szDash) + result.m_strDetail;
    case CauseE::PortInUse:
        return "in use" +
               (result.m_strDetail.empty() ? std::string() : " (" + result.m_strDetail + ")") +
               c_szDash + "is another program using it?";
    case CauseE::NotSerialDevice:
        return std::string("not a terminal") + c_szDash + "it is not a serial device; " +
               c_szChoosePort;
    default:
        return result.m_strDetail + c_szDash + "check the device; " + c_szChoosePort;
    }
}

std::string moduleReason(const ResultS& result)
{
    const std::string strCommand =
        result.m_strDetail.empty() ? std::string() : " " + shownText(result.m_strDetail);
    switch (result.m_eCause) {
    case CauseE::ModuleNotAnswering:
        return "the module did not answer" + strCommand + c_szDash +
               (result.m_strHint.empty() ? std::string(c_szModuleCheck) : result.m_strHint);
    case CauseE::ModuleRefused:
        return "the module refused" + strCommand + " (" + shownText(result.m_strAnswer) + ")";
    case CauseE::ModuleWentAway:
        return std::string("the module went away") + c_szDash + "is it still plugged in?";
    case CauseE::DeviceNotFound:
        return "no device of that name was found" + std::string(c_szDash) + "is " +
               shownText(result.m_strArgument) + " among the devices of `quenta search`?";
    case CauseE::NamesUnread:
        return "the module found " + result.m_strDetail +
               " but did not give their names; try again, nearer to them";
    case CauseE::StayedInCommandMode:
        return "the module stayed in command mode (" + result.m_strDetail + ")";
    case CauseE::ReadBackNotAnswered:
    default:
        return "the module did not answer the read-back" + std::string(c_szDash) + c_szModuleCheck;
    }
}

int exitCodeOf(const ResultS& result)
{
    // The hand-over happened; only the port did not close cleanly.
    if (result.m_eCause == CauseE::PortError && result.m_eOperation == OperationE::DataMode) {
        return 1;
    }
    switch (result.m_eCause) {
    case CauseE::None:
        return 0;
    case CauseE::BadArgument:
        return 2;
    case CauseE::PortNotFound:
    case CauseE::NotSerialDevice:
    case CauseE::PermissionDenied:
    case CauseE::PortInUse:
    case CauseE::PortError:
        return 3;
    case CauseE::Closed:
        return 1;
    default:
        return 4;
    }
}

} // namespace

const char* operationName(OperationE eOperation)
{
    static const char* const c_aszNames[] = {"open",   "search",    "pair", "unpair",
                                             "paired", "data-mode", "at",   "close"};
    return c_aszNames[static_cast<int>(eOperation)];
}

const char* causeName(CauseE eCause)
{
    static const char* const c_aszNames[] = {"none",
                                             "port_not_found",
                                             "not_serial_device",
                                             "permission_denied",
                                             "port_in_use",
                                             "port_error",
                                             "module_not_answering",
                                             "module_refused",
                                             "module_went_away",
                                             "bad_argument",
                                             "device_not_found",
                                             "names_unread",
                                             "stayed_in_command_mode",
                                             "read_back_not_answered",
                                             "closed"};
    return c_aszNames[static_cast<int>(eCause)];
}

std::string shownText(const std::string& strText)
{
    const size_t c_unMax = 160;
    std::string strShown;
    size_t unAt = 0;
    for (; unAt < strText.size() && unAt < c_unMax; ++unAt) {
        const unsigned char uch = static_cast<unsigned char>(strText[unAt]);
        if (uch >= 0x20 && uch != 0x7f) {
            strShown += strText[unAt];
            continue;
        }
        char szEscape[8];
        std::snprintf(szEscape, sizeof(szEscape), "\\x%02x", uch);
        strShown += szEscape;
    }
    if (unAt == strText.size()) {
        return strShown;
    }
    // Back to the start of the character that was cut.
    while (!strShown.empty() && (static_cast<unsigned char>(strShown.back()) & 0xc0) == 0x80) {
        strShown.pop_back();
    }
    if (!strShown.empty() && static_cast<unsigned char>(strShown.back()) >= 0xc0) {
        strShown.pop_back();
    }
    return strShown + "...";
}

FailureTextS describeFailure(const ResultS& result)
{
    FailureTextS text;
    text.m_nExitCode = exitCodeOf(result);
    if (result.ok()) {
        return text;
    }
    const std::string strDevice = deviceShown(result);
    switch (text.m_nExitCode) {
    case 2:
        text.m_strMessage =
            result.m_eOperation == OperationE::DataMode
                ? "quenta: not handing over on " + strDevice + ": " + result.m_strDetail
                : "quenta: " + doing(result) + ": " + result.m_strDetail;
        break;
    case 3:
        text.m_strMessage = "quenta: cannot open " + strDevice + ": " + portReason(result);
        break;
    case 1:
        text.m_strMessage =
            "quenta: " + doing(result) + " on " + strDevice + ": " + result.m_strDetail;
        break;
    default:
        text.m_strMessage =
            result.m_eCause == CauseE::ModuleRefused && result.m_eOperation == OperationE::SendLine
                ? refusedLine(result, strDevice)
                : "quenta: " + doing(result) + " on " + strDevice + ": " + moduleReason(result);
        break;
    }
    return text;
}

SessionC::SessionC(const std::string& strPort)
    : m_strPort(PlatSerialDevicePath(strPort.empty() ? std::string(c_szCom8) : strPort))
{
    m_opened.m_strPort = m_strPort;
    m_opened.m_bCom8 = strPort.empty();
    if (!claim(m_strPort)) {
        m_opened.m_eCause = CauseE::PortInUse;
        m_opened.m_strDetail = "by another session of this process";
        return;
    }
    // Opened by the first operation, as the library opens "COM8:": the
    // module's traffic is that of the exported functions.
    m_opened.m_eCause = probePort(m_strPort, m_opened.m_strDetail);
    if (!m_opened.ok()) {
        unclaim(m_strPort);
        return;
    }
    m_pConfigurator.reset(new QuentaConfiguratorImplC(NOX::HAL::widePath(m_strPort)));
}

SessionC::~SessionC()
{
    close();
}

ResultS SessionC::begin(OperationE eOperation, const std::string& strArgument) const
{
    ResultS result = m_opened;
    result.m_eOperation = eOperation;
    result.m_strArgument = strArgument;
    if (result.ok() && !m_pConfigurator) {
        result.m_eCause = CauseE::Closed;
        result.m_strDetail = "the session is closed";
    }
    return result;
}

void SessionC::portCause(ResultS& result) const
{
    result.m_eCause = probePort(m_strPort, result.m_strDetail);
    if (result.ok()) {
        // It opens now: it could not a moment ago.
        result.m_eCause = CauseE::PortError;
        result.m_strDetail = "the port could not be opened";
    }
}

bool SessionC::lineRefusedDataModeRate() const
{
    return PlatSerialRefusedBitRate(m_strPort, c_ulDataModeBitRate);
}

void SessionC::adviseOnSlowLine(ResultS& result) const
{
    // Most likely handed over on this line before: it waits at a rate the
    // line cannot make.
    if (lineRefusedDataModeRate()) {
        result.m_strHint = std::string("it probably runs at 921600 bit/s with RTS/CTS (as after a "
                                       "hand-over), which this line cannot run; ") +
                           c_szFastLineAdvice;
    }
}

void SessionC::explain(ResultS& result, CauseE eOwnCause)
{
    QuentaConfiguratorImplC& configurator = *m_pConfigurator;
    if (configurator.deviceLostInLastCall()) {
        result.m_eCause = CauseE::ModuleWentAway;
        result.m_strDetail = configurator.lastExchange().m_strCommand;
        return;
    }
    switch (configurator.lastStage()) {
    case QuentaConfiguratorImplC::ST_PORT:
        portCause(result);
        return;
    case QuentaConfiguratorImplC::ST_COMMAND_MODE:
        result.m_eCause = CauseE::ModuleNotAnswering;
        adviseOnSlowLine(result);
        return;
    case QuentaConfiguratorImplC::ST_LOOKUP:
        result.m_eCause = CauseE::DeviceNotFound;
        return;
    case QuentaConfiguratorImplC::ST_CONFIGURATION:
    case QuentaConfiguratorImplC::ST_NONE:
        break;
    }
    if (eOwnCause != CauseE::None && configurator.lastStage() == QuentaConfiguratorImplC::ST_NONE) {
        result.m_eCause = eOwnCause;
        return;
    }
    causeOfExchange(result, configurator.lastExchange());
    if (result.m_eCause == CauseE::ModuleNotAnswering) {
        adviseOnSlowLine(result);
    }
}

SearchResultS SessionC::searchNow(const DeviceFoundT& fnFound)
{
    SearchResultS result;
    static_cast<ResultS&>(result) = begin(OperationE::Search);
    if (!result.ok()) {
        return result;
    }
    QuentaConfiguratorImplC& configurator = *m_pConfigurator;
    std::vector<DeviceS> vecFound;
    configurator.setDeviceFoundHook([&](const DeviceInfoS& record, uint32_t unClass) {
        DeviceS device;
        device.m_strName = record.szName;
        device.m_strAddress = record.szAddress;
        device.m_unClass = unClass;
        vecFound.push_back(device);
        if (fnFound) {
            fnFound(device);
        }
    });
    std::vector<std::string> vecNames;
    const bool bFound = configurator.searchDevices(vecNames);
    configurator.setDeviceFoundHook(nullptr);
    // The inquiry's own answer decides "nothing in range"; a device without
    // a name is counted, never passed over in silence.
    const bool bAnswered = configurator.lastStage() == QuentaConfiguratorImplC::ST_NONE &&
                           !configurator.deviceLostInLastCall() &&
                           configurator.lastInquiryAnswered();
    if (bAnswered) {
        result.m_unUnreadNames = configurator.lastUnreadNames();
    }
    if (bFound || (bAnswered && result.m_unUnreadNames == 0)) {
        result.m_vecDevices = vecFound;
        m_bSearched = true;
        m_bFoundNone = vecFound.empty();
        return result;
    }
    explain(result, bAnswered ? CauseE::NamesUnread : CauseE::None);
    if (result.m_eCause == CauseE::NamesUnread) {
        result.m_strDetail = std::to_string(result.m_unUnreadNames) +
                             (result.m_unUnreadNames == 1 ? " device" : " devices");
    }
    return result;
}

SearchResultS SessionC::search(const DeviceFoundT& fnFound)
{
    return searchNow(fnFound);
}

ResultS SessionC::pair(const std::string& strName)
{
    ResultS result = begin(OperationE::Pair, strName);
    if (!result.ok()) {
        return result;
    }
    const std::string strProblem = badName(strName);
    if (!strProblem.empty()) {
        result.m_eCause = CauseE::BadArgument;
        result.m_strDetail = strProblem;
        return result;
    }
    // The configurator searches on its own when it knows no device; doing it
    // here keeps the search's cause.
    if (!m_bSearched || m_bFoundNone) {
        const SearchResultS search = searchNow(DeviceFoundT());
        if (!search.ok() || search.m_vecDevices.empty()) {
            result.m_eCause = search.ok() ? CauseE::DeviceNotFound : search.m_eCause;
            result.m_strDetail = search.m_strDetail;
            result.m_strAnswer = search.m_strAnswer;
            return result;
        }
    }
    if (!m_pConfigurator->pairDevice(strName)) {
        explain(result, CauseE::None);
    }
    return result;
}

ResultS SessionC::unpair()
{
    ResultS result = begin(OperationE::Unpair);
    if (result.ok() && !m_pConfigurator->pairDevice(std::string())) {
        explain(result, CauseE::None);
    }
    return result;
}

PairedResultS SessionC::paired()
{
    PairedResultS result;
    static_cast<ResultS&>(result) = begin(OperationE::Paired);
    if (!result.ok()) {
        return result;
    }
    DeviceInfoS record;
    if (m_pConfigurator->readPairedDevice(record) == RC_OK) {
        result.m_bPaired = true;
        result.m_device.m_strName = record.szName;
        result.m_device.m_strAddress = record.szAddress;
        return result;
    }
    explain(result, CauseE::None);
    if (m_pConfigurator->lastStage() != QuentaConfiguratorImplC::ST_NONE ||
        result.m_eCause == CauseE::ModuleWentAway) {
        return result;
    }
    // The module answers ERROR when it holds no peer: that is an answer.
    if (result.m_eCause == CauseE::ModuleRefused) {
        result.m_eCause = CauseE::None;
        result.m_strDetail.clear();
        result.m_strAnswer.clear();
    } else {
        result.m_eCause = CauseE::ReadBackNotAnswered;
    }
    return result;
}

ResultS SessionC::dataMode()
{
    return handOver(false);
}

ResultS SessionC::dataModeAnyway()
{
    return handOver(true);
}

ResultS SessionC::handOver(bool bForce)
{
    ResultS result = begin(OperationE::DataMode);
    if (!result.ok()) {
        return result;
    }
    QuentaConfiguratorImplC::HandOverS steps;
    // Handed over, the module would restart at a rate this line cannot run,
    // and nothing on it could reach the module again.
    const bool bDone = m_pConfigurator->handOver(
        steps, [this, bForce] { return !bForce && lineRefusedDataModeRate(); });
    if (!bDone || m_pConfigurator->deviceLostInLastCall()) {
        explain(result, CauseE::None);
    } else if (steps.m_bWithheld) {
        result.m_eCause = CauseE::BadArgument;
        result.m_strDetail = std::string("the module would restart at 921600 bit/s with RTS/CTS, "
                                         "which this line cannot run, and could not be reached on "
                                         "it any more") +
                             c_szDash + c_szFastLineAdvice + ", or --force to hand over anyway";
    } else if (!steps.m_bCommandMode) {
        result.m_eCause = CauseE::StayedInCommandMode;
        result.m_strDetail = "it did not answer before the hand-over";
    } else if (!exchangeOk(steps.m_clear)) {
        causeOfExchange(result, steps.m_clear);
    } else if (!exchangeOk(steps.m_reset)) {
        causeOfExchange(result, steps.m_reset);
        result.m_strDetail = result.m_eCause == CauseE::ModuleRefused
                                 ? "it refused the restart into data mode"
                                 : "it did not confirm the restart into data mode in time";
        result.m_eCause = CauseE::StayedInCommandMode;
    } else if (!steps.m_bClosed) {
        result.m_eCause = CauseE::PortError;
        result.m_strDetail = "the hand-over did not close the port cleanly";
    }
    return result;
}

ResultS SessionC::sendLine(const std::string& strLine)
{
    ResultS result = begin(OperationE::SendLine, strLine);
    if (!result.ok()) {
        return result;
    }
    const std::string strProblem = badLine(strLine);
    if (!strProblem.empty()) {
        result.m_eCause = CauseE::BadArgument;
        result.m_strDetail = strProblem;
        return result;
    }
    if (!m_pConfigurator->sendLine(strLine, result.m_strAnswer)) {
        explain(result, CauseE::None);
        return result;
    }
    if (!endsWith(result.m_strAnswer, "\r\nOK\r\n")) {
        result.m_eCause = CauseE::ModuleRefused;
    }
    return result;
}

ResultS SessionC::close()
{
    ResultS result;
    result.m_eOperation = OperationE::Close;
    result.m_strPort = m_opened.m_strPort;
    result.m_bCom8 = m_opened.m_bCom8;
    if (m_pConfigurator) {
        // Released as it is: the module stays in the mode it is in.
        m_pConfigurator->releasePort();
        m_pConfigurator.reset();
        unclaim(m_strPort);
    }
    return result;
}

} // namespace QUENTA
