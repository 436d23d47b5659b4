// The simulated radio module: serves the master side of a pseudo-terminal on
// its own thread and behaves like the real module on the slave side.
//
//   SimConfigS config;
//   config.m_ulScanMs = 200;
//   SimulatedModuleC module(config);
//   module.start();                       // false when no pseudo-terminal could be had
//   open(module.slavePath().c_str(), O_RDWR | O_NOCTTY);  // the host's serial device
//
// Line: the module has its own serial settings (SimSerialS, initially 115200
// 8N1 without handshake). It reads the host's settings from the line when
// bytes arrive and never sets them; bytes that arrive at another bit rate,
// data size or parity are line noise: recorded, never answered. A difference
// in RTS/CTS alone does not stop traffic (a host without handshake keeps RTS
// asserted) unless m_bStrictFlowControl is set.
//
// Modes: it starts in data mode (m_eInitialMode), where every byte is data for
// the remote peer. "///" with at least m_ulGuardMs of silence before and after
// enters command mode. In command mode each CR-terminated line is echoed (with
// its CR, when echo is on) and answered: a result "\r\n*CMD:fields", then
// "\r\nOK\r\n", or "\r\nERROR\r\n". Lines are handled one at a time: while an
// answer is pending (an inquiry's scan, a name query, a delayed answer) later
// lines wait. "ADDM" and a restart lead to data mode once their OK is out;
// "ATP" leads to production mode, in which commands are answered as in
// command mode. During a restart (after "AMWS") nothing is answered and
// received bytes are dropped; the module comes up in data mode with the stored
// serial settings.
//
// Faults (SIM_Faults.h) decide per command line what goes out instead of the
// answer; the setters below are shorthands for the common ones.
//
// Thread safety: every member function may be called from any thread, also
// from an action run by onCommand. The transcript has its own lock; tests wait
// on it or on the state with a bound.
#ifndef SIM_SIMULATEDMODULE_H
#define SIM_SIMULATEDMODULE_H

#include "SIM_CommandSet.h"
#include "SIM_Faults.h"
#include "SIM_Pty.h"
#include "SIM_Transcript.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace QUENTA {
namespace SIM {

// Several devices nearby, some of class 7978 and some of others.
std::vector<SimDeviceS> defaultDevices();

struct SimConfigS
{
    std::vector<SimDeviceS> m_vecDevices = defaultDevices();
    uint32_t m_ulScanMs = 3000;   // an inquiry's answer comes after this
    uint32_t m_ulNameMs = 50;     // a name query's answer comes after this
    uint32_t m_ulRestartMs = 300; // nothing is answered for this long after "AMWS"
    uint32_t m_ulGuardMs = 1000;  // silence needed around the escape sequence
    bool m_bEcho = true;
    SimModeE m_eInitialMode = SM_DATA;
    SimSerialS m_lineSettings;         // the module's initial serial settings, active and stored
    bool m_bStrictFlowControl = false; // treat an RTS/CTS mismatch as noise too
    bool m_bAnswerNoise = false;       // answer line noise with a few garbage bytes
    uint32_t m_ulSeed = 1;             // for split answers and garbage
};

class SimulatedModuleC
{
public:
    using StatePredicateT = std::function<bool(const SimStateS&)>;

    explicit SimulatedModuleC(const SimConfigS& config = SimConfigS());
    ~SimulatedModuleC();
    SimulatedModuleC(const SimulatedModuleC&) = delete;
    SimulatedModuleC& operator=(const SimulatedModuleC&) = delete;

    bool start();
    void stop();
    bool isRunning() const;
    // The path the host opens; empty before start.
    std::string slavePath() const;

    // ---- state
    SimStateS state() const;
    SimModeE mode() const;
    SimConfigS config() const;
    // Runs fnChange on the state under the module's lock, for tests that set
    // up a pairing, a name, ... directly.
    void modifyState(const std::function<void(SimStateS&)>& fnChange);
    bool waitForState(const StatePredicateT& predicate, uint32_t ulTimeoutMs) const;
    bool waitForMode(SimModeE eMode, uint32_t ulTimeoutMs) const;

    // ---- settings (take effect at once)
    void setMode(SimModeE eMode);
    // Active and stored serial settings of the module.
    void setLineSettings(const SimSerialS& serial);
    void setLineSettings(uint32_t ulBaudRate, bool bRtsCts);
    void setDevices(const std::vector<SimDeviceS>& vecDevices);
    // Runs fnChange on the devices nearby under the module's lock.
    void modifyDevices(const std::function<void(std::vector<SimDeviceS>&)>& fnChange);
    void setEcho(bool bEcho);
    void setScanMs(uint32_t ulMs);
    void setNameMs(uint32_t ulMs);
    void setRestartMs(uint32_t ulMs);
    void setGuardMs(uint32_t ulMs);
    void setStrictFlowControl(bool bStrict);
    void setAnswerNoise(bool bAnswer);
    // Longest pause between the pieces of a split answer.
    void setSplitGapMs(uint32_t ulMs);

    // ---- faults
    // Sets a fault (see SIM_Faults.h); replaces the target's fault of its group.
    void setFault(const SimFaultS& fault);
    // Removes the target's faults; false when it had none.
    bool clearFault(const std::string& strTarget);
    // Removes every fault and every pending onCommand action.
    void clearFaults();
    std::vector<SimFaultS> faults() const;
    // Runs fnAction once, on this module's thread but without its lock, when
    // the unOccurrence-th line with the word ("*": any line) arrives from now
    // on: after the line is recorded, before it is handled, so a fault set by
    // the action applies to that very line.
    void onCommand(const std::string& strWord, uint32_t unOccurrence,
                   const std::function<void()>& fnAction);
    size_t pendingTriggers() const;

    // The next unCount command lines are handled (state changes happen) but
    // nothing is sent for them, not even the echo.
    void dropNextAnswers(uint32_t unCount);
    // The next unCount command lines are echoed and answered "\r\nERROR\r\n"
    // without being applied.
    void failNextCommands(uint32_t unCount);
    // Every answer (not the echo) goes out ulMs later than it would.
    void setAnswerDelay(uint32_t ulMs);
    // Every sent block is cut into random pieces with random gaps of at most
    // ulMaxGapMs between them (seeded by m_ulSeed).
    void setSplitAnswers(bool bSplit, uint32_t ulMaxGapMs = 20);
    // Sends bytes nobody asked for; an empty text sends 16 random bytes.
    void injectGarbage(const std::string& strBytes = std::string());
    // Name queries of the device fail with "\r\nERROR\r\n", once or always
    // (NF_NONE clears). With bSilent they are not answered at all.
    void failNameQuery(const std::string& strAddress, SimNameFailE eFail, bool bSilent = false);
    // Closes the master side, as an unplugged cable. The module stays dead
    // until comeBack.
    void vanish();
    // A vanished module comes back on a fresh pseudo-terminal (a new slave
    // path; the old one is gone) with its state as it was, as a cable plugged
    // in again; a restart cut short by the vanishing is completed. False when
    // it had not vanished or no pseudo-terminal could be had.
    bool comeBack();
    // The unOccurrence-th command line from now with this word ("AGI", "AT",
    // ...) is echoed, and then the module vanishes instead of answering.
    void vanishOnCommand(const std::string& strWord, uint32_t unOccurrence = 1);
    bool isVanished() const;
    // The host's line settings as last seen; false when no byte arrived yet.
    bool hostLine(SimHostLineS& host) const;
    // A note in the transcript.
    void addNote(const std::string& strText);

    // Data from the simulated remote peer to the host (sent in any mode).
    void sendFromRemotePeer(const std::string& strBytes);

    // ---- transcript
    SimTranscriptC& transcript() { return m_transcript; }
    const SimTranscriptC& transcript() const { return m_transcript; }
    bool waitForTranscript(const SimTranscriptC::PredicateT& predicate, uint32_t ulTimeoutMs) const
    {
        return m_transcript.waitFor(predicate, ulTimeoutMs);
    }

private:
    enum OutActionE
    {
        OA_NONE,
        OA_DATA_MODE,
        OA_PRODUCTION,
        OA_RESTART,
        OA_RESTART_DONE,
        OA_VANISH
    };
    struct OutItemS
    {
        SimClockT::time_point m_tDue;
        std::string m_strBytes;
        OutActionE m_eAction = OA_NONE;
    };
    struct InChunkS
    {
        SimClockT::time_point m_tArrival;
        std::string m_strBytes;
    };

    void run();
    int pollTimeoutMs(SimClockT::time_point tNow) const;
    void wake();
    void receive(SimClockT::time_point tNow);
    void onReceived(SimClockT::time_point tArrival, const std::string& strBytes);
    bool lineMatches(const SimHostLineS& host) const;
    void pump();
    void processInput();
    void processDataChunk(InChunkS& chunk);
    bool processCommandChunk(InChunkS& chunk);
    void handleLine(const std::string& strLine);
    void answerLine(const std::string& strLine, const SimFaultOutcomeS& faults,
                    const std::string& strEcho);
    void runTriggered();
    void checkEscape(SimClockT::time_point tNow);
    void cancelEscape(std::string& strData);
    void runDueItems(SimClockT::time_point tNow);
    void schedule(uint32_t ulDelayMs, const std::string& strBytes, OutActionE eAction,
                  bool bSplit = false, uint32_t unPieces = 0);
    void send(const std::string& strBytes);
    void flushTx();
    void runAction(OutActionE eAction);
    void enterMode(SimModeE eMode, const std::string& strNote);
    void closeLine();
    std::string randomBytes(size_t unCount);

    SimTranscriptC m_transcript;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cvState;
    SimConfigS m_config;
    SimStateS m_state;
    SimFaultsC m_faults;
    std::vector<SimFaultsC::ActionT> m_vecTriggered; // due, run by the loop without the lock
    bool m_bLineCounted = false; // the pending line was recorded and counted by the triggers
    std::mt19937 m_random;

    PtyC m_pty;
    std::string m_strSlavePath;
    bool m_bHostAbsent = false;
    bool m_bVanishRequested = false;
    bool m_bVanished = false;
    SimHostLineS m_lastHost;
    bool m_bHostSeen = false;

    std::deque<OutItemS> m_deqOut; // scheduled in due order
    std::deque<InChunkS> m_deqIn;  // received, waiting until the module is idle
    std::string m_strTx;           // accepted for the line, not yet taken by it
    std::string m_strLine;         // command-mode line being collected

    SimClockT::time_point m_tLastRx; // last byte on the line, for the guard periods
    uint32_t m_unEscapeSlashes = 0;
    SimClockT::time_point m_tEscapeFirst;
    SimClockT::time_point m_tEscapeDue;

    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bRunning{false};
    int m_hWake[2] = {-1, -1};
};

} // namespace SIM
} // namespace QUENTA

#endif
