// One session with one radio module on one serial port, for the core's
// privileged users (the quenta tool and the Python module). Unlike the
// exported interface, which drives "COM8:" and answers with a bool, a session
// is bound to the port it is given and every result carries why it failed.
// Not exported from libquenta: its users link the core.
//
// Every operation returns a result whose cause is CauseE::None on success
// and otherwise names what went wrong; describeFailure() turns a result into
// the exit code and the message that the tool shows, so that the tool and
// any binding built on this header report the same thing for the same fault.
//
// A session is used from one thread at a time; two sessions on two ports run
// independently in parallel. Operations block (a search takes 15 s or more).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace QUENTA {

class QuentaConfiguratorImplC;

// Why an operation failed. The names returned by causeName() are stable: the
// tests and the bindings use them.
enum class CauseE
{
    None,                // success
    PortNotFound,        // "port_not_found": no device node at the path
    NotSerialDevice,     // "not_serial_device": it exists but is no terminal
    PermissionDenied,    // "permission_denied": detail names its group and mode
    PortInUse,           // "port_in_use": another session or program holds it
    PortError,           // "port_error": any other failure to open or set up the port
    ModuleNotAnswering,  // "module_not_answering": no command mode at any line setting
    ModuleRefused,       // "module_refused": the module answered ERROR; answer holds it
    ModuleWentAway,      // "module_went_away": the device vanished during the operation
    BadArgument,         // "bad_argument": a name or line that cannot be sent
    DeviceNotFound,      // "device_not_found": pair() with a name no search found
    NamesUnread,         // "names_unread": devices were found, none of their names read
    StayedInCommandMode, // "stayed_in_command_mode": the hand-over's reset failed
    ReadBackNotAnswered, // "read_back_not_answered": no valid answer to the read-back
    Closed,              // "closed": the session was closed (or never opened)
};

enum class OperationE
{
    Open,
    Search,
    Pair,
    Unpair,
    Paired,
    DataMode,
    SendLine,
    Close,
};

// "open", "search", "pair", "unpair", "paired", "data-mode", "at", "close".
const char* operationName(OperationE eOperation);
const char* causeName(CauseE eCause);

struct DeviceS
{
    std::string m_strName;    // exact bytes as the module gave them
    std::string m_strAddress; // as the module writes it
    uint32_t m_unClass = 0;   // the device class of the inquiry answer
};

struct ResultS
{
    CauseE m_eCause = CauseE::None;
    OperationE m_eOperation = OperationE::Open;
    std::string m_strPort; // the device path the session is bound to
    bool m_bCom8 = false;  // the path is where "COM8:" led when the session began
    // What the operation was given: the name to pair with, the line to send.
    std::string m_strArgument;
    // ModuleRefused, SendLine: the module's answer (echo removed where known).
    std::string m_strAnswer;
    // PermissionDenied: the device's owner, group and mode ("it is
    // root:dialout 0660; ...") and what to do; ModuleRefused,
    // ModuleNotAnswering, ModuleWentAway: the command under way when known;
    // NamesUnread: how many; BadArgument, StayedInCommandMode, PortError:
    // what went wrong.
    std::string m_strDetail;
    // What to do, when the core knows better than the usual advice (a module
    // that cannot be reached on a line that refused its data-mode rate).
    std::string m_strHint;

    bool ok() const { return m_eCause == CauseE::None; }
};

struct SearchResultS : ResultS
{
    std::vector<DeviceS> m_vecDevices;
    // Devices the inquiry reported whose name queries failed; they are not in
    // m_vecDevices. Non-zero with an empty list makes the result NamesUnread.
    uint32_t m_unUnreadNames = 0;
};

struct PairedResultS : ResultS
{
    bool m_bPaired = false; // false: the module holds no peer (an answer)
    DeviceS m_device;       // valid when m_bPaired
};

// What the tool exits with and prints for a result: code 0 and an empty text
// for success; 2 bad argument, 3 the port, 4 the module, 1 a closed session
// or a hand-over whose port did not close cleanly.
struct FailureTextS
{
    int m_nExitCode = 0;
    std::string m_strMessage; // one line, starting "quenta: "
};
FailureTextS describeFailure(const ResultS& result);

// Outside text as messages show it: control characters as \xNN, cut after
// 160 bytes (at a character's start) with "...".
std::string shownText(const std::string& strText);

class SessionC
{
public:
    // Called from the searching thread for each device as its name is read.
    typedef std::function<void(const DeviceS&)> DeviceFoundT;

    // Binds to strPort, or with an empty string to the device that "COM8:"
    // stands for now (QUENTA_PORT_COM8, else the system default), resolved
    // here once. The port is checked at once (opened and closed again):
    // opened() tells whether that worked (PortInUse when another session of
    // this process or another program has it). The first operation opens it
    // as the library opens "COM8:", and it stays open until close() or a
    // hand-over; no other session of this process gets it meanwhile.
    explicit SessionC(const std::string& strPort = std::string());
    SessionC(const SessionC&) = delete;
    SessionC& operator=(const SessionC&) = delete;
    // close().
    ~SessionC();

    const std::string& port() const { return m_strPort; }
    const ResultS& opened() const { return m_opened; }

    // An empty list with success means the module answered and nothing is in
    // range. fnFound may be empty.
    SearchResultS search(const DeviceFoundT& fnFound = DeviceFoundT());
    // Pairs with the device of that exact name from the last search (searching
    // first when this session has not searched yet).
    ResultS pair(const std::string& strName);
    ResultS unpair();
    PairedResultS paired();
    // Brings the module to command mode if needed, clears the peer count as
    // the library does and resets the module into data mode; the port is
    // closed afterwards, and the next operation opens it again. A line that
    // refused 921600 bit/s in this process could not reach the module after
    // the restart: then nothing is sent (BadArgument); dataModeAnyway() hands
    // over all the same.
    ResultS dataMode();
    ResultS dataModeAnyway();
    // One raw command line (no CR, at most 63 characters) in command mode;
    // m_strAnswer holds every byte that came back, echo included. A module
    // that answers without OK is ModuleRefused.
    ResultS sendLine(const std::string& strLine);
    // Releases the port without sending anything (the module stays in the
    // mode it is in); later calls give Closed.
    ResultS close();

private:
    ResultS begin(OperationE eOperation, const std::string& strArgument = std::string()) const;
    // The cause of a failed operation from what the configurator knows.
    void explain(ResultS& result, CauseE eOwnCause);
    void portCause(ResultS& result) const;
    bool lineRefusedDataModeRate() const;
    void adviseOnSlowLine(ResultS& result) const;
    SearchResultS searchNow(const DeviceFoundT& fnFound);
    ResultS handOver(bool bForce);

    std::string m_strPort;
    ResultS m_opened;
    std::unique_ptr<QuentaConfiguratorImplC> m_pConfigurator;
    bool m_bSearched = false;
    bool m_bFoundNone = false;
};

} // namespace QUENTA
