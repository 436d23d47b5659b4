// The radio module's command set: parses one command-mode line, checks its
// parameters strictly, applies it to the module state and builds the answer
// with the module's framing. No I/O and no timing here; the simulated module
// decides when the answer goes out and what happens after it.
#ifndef SIM_COMMANDSET_H
#define SIM_COMMANDSET_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace QUENTA {
namespace SIM {

enum SimModeE
{
    SM_DATA,
    SM_COMMAND,
    // Entered with "ATP". Commands are still answered as in command mode.
    SM_PRODUCTION
};

const char* modeName(SimModeE eMode);

struct SimDeviceS
{
    std::string m_strAddress; // as the module reports it, unquoted
    uint32_t m_ulClass = 0;   // device class, reported in decimal
    std::string m_strName;    // answered by the name query
    long m_lRssi = -60;       // last field of an inquiry of type 3 and higher
};

// Serial settings in the module's codes: bit rate 4=4800 5=9600 6=19200
// 8=57600 9=115200 12=921600; data bits 1=8 2=7 3=6 4=5; stop bits 1=one
// 2=two; parity 1=none 2=odd 3=even; flow control 1=RTS/CTS 2=none.
struct SimSerialS
{
    uint32_t m_unBaudRate = 9;
    uint32_t m_unDataBits = 1;
    uint32_t m_unStopBits = 1;
    uint32_t m_unParity = 1;
    uint32_t m_unFlowControl = 2;

    bool operator==(const SimSerialS& other) const;
    bool operator!=(const SimSerialS& other) const { return !(*this == other); }
    bool isValid() const;
    uint32_t baudRate() const; // bit/s
    uint32_t dataBits() const; // 5..8
    bool rtsCts() const { return m_unFlowControl == 1; }
};

// A default remote peer as written by ADWDRP.
struct SimPeerS
{
    std::string m_strAddress;
    long m_lField3 = 0;
    long m_lField4 = 0;
    std::string m_strName;
    bool m_bFlag = false;
};

enum SimNameFailE
{
    NF_NONE,
    NF_ONCE,  // the next name query of the device fails, later ones succeed
    NF_ALWAYS // every name query of the device fails
};

struct SimStateS
{
    SimModeE m_eMode = SM_DATA;
    SimSerialS m_active; // on the line now
    SimSerialS m_stored; // what AMRS wrote or AT&F restored; active after a restart
    bool m_bStoredPersistent = false;
    std::map<uint32_t, SimPeerS> m_mapPeers; // default remote peers by index
    uint32_t m_unNumberOfPeers = 0;
    std::string m_strLocalName = "QUENTA-SIM";
    std::string m_strLocalAddress = "02a0c7000001r";
    std::string m_strServiceName;
    std::vector<std::string> m_vecInfo = {"QUENTA", "SIM-1", "1.0.0", "1", "0001"};
    uint32_t m_ulClientProfile = 0;
    uint32_t m_ulServerProfile = 0;
    // The fields of the last accepted write of every command word, as received.
    std::map<std::string, std::vector<std::string>> m_mapWrites;
    bool m_bRestarting = false;
    uint32_t m_unRestarts = 0;
    uint32_t m_unFactoryResets = 0;

    // Whether data-mode traffic reaches a remote peer.
    bool peerConnected() const;
};

// The state of a module fresh from the factory (115200 8N1, no handshake, no pairing).
SimStateS factoryState();

// What the module does for one line.
struct SimReplyS
{
    enum DelayE
    {
        DL_NONE,
        DL_SCAN, // the inquiry's scan time
        DL_NAME  // the name query's time
    };
    enum AfterE
    {
        AF_NONE,
        AF_DATA_MODE,  // switch to data mode once the answer is out
        AF_RESTART,    // restart once the answer is out
        AF_PRODUCTION, // enter production mode once the answer is out
    };
    std::string m_strAnswer; // everything after the echo
    bool m_bOk = false;
    DelayE m_eDelay = DL_NONE;
    AfterE m_eAfter = AF_NONE;
};

class SimCommandSetC
{
public:
    static const char* const c_szOk;    // "\r\nOK\r\n"
    static const char* const c_szError; // "\r\nERROR\r\n"

    // "AGI" of "AT*AGI=2,10,15"; a line outside the "AT*" pattern ("AT",
    // "ATP") is its own word.
    static std::string commandWord(const std::string& strLine);
    // Whether the module knows the word (as commandWord gives it).
    static bool isKnownWord(const std::string& strWord);
    // strLine is the line without its CR. mapNameFaults is updated when a
    // one-time failure fires.
    static SimReplyS execute(const std::string& strLine, SimStateS& state,
                             const std::vector<SimDeviceS>& vecDevices,
                             std::map<std::string, SimNameFailE>& mapNameFaults);

    // Splits parameters at commas outside double quotes.
    static std::vector<std::string> splitFields(const std::string& strParams);

private:
    static SimReplyS executeRead(const std::string& strWord, SimStateS& state);
    static SimReplyS executeWrite(const std::string& strWord, const std::string& strParams,
                                  SimStateS& state, const std::vector<SimDeviceS>& vecDevices,
                                  std::map<std::string, SimNameFailE>& mapNameFaults);
    static SimReplyS inquiry(const std::vector<std::string>& vecFields,
                             const std::vector<SimDeviceS>& vecDevices);
    static SimReplyS nameQuery(const std::string& strAddress,
                               const std::vector<SimDeviceS>& vecDevices,
                               std::map<std::string, SimNameFailE>& mapNameFaults);
    static bool applyWrite(const std::string& strWord, const std::vector<std::string>& vecFields,
                           SimStateS& state, SimReplyS& reply);
};

} // namespace SIM
} // namespace QUENTA

#endif
