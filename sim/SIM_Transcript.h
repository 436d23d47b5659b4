// Transcript of everything the simulated module saw and did: received lines,
// sent bytes, data-mode traffic, line noise, mode changes and notes on the
// host's line settings. Thread-safe; tests wait on it with a bound.
//
// Only a recent window is kept in memory (setLimits), so a module that runs
// for days does not grow; an observer sees every entry as it is added, for
// writers that keep the whole record elsewhere. Indices (size, entriesFrom,
// waitForSize) count every entry ever added, also those dropped since.
#ifndef SIM_TRANSCRIPT_H
#define SIM_TRANSCRIPT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace QUENTA {
namespace SIM {

using SimClockT = std::chrono::steady_clock;

enum SimEntryKindE
{
    EK_RECEIVED_LINE, // a command-mode line as received, with its CR
    EK_SENT,          // bytes written to the host (echo, answer, garbage, peer data)
    EK_DATA,          // data-mode bytes passed to the remote peer
    EK_NOISE,         // bytes received at a mismatched bit rate or framing, or while restarting
    EK_MODE,          // mode change: "command", "data", "production", "restarting", ...
    EK_NOTE           // the host's line settings changed, a fault fired, ...
};

// The host's line settings as read from the pseudo-terminal when bytes arrived.
struct SimHostLineS
{
    uint32_t m_ulBaudRate = 0; // bit/s, 0 when unknown
    uint32_t m_unDataBits = 8; // 5..8
    uint32_t m_unParity = 1;   // module codes: 1 none, 2 odd, 3 even
    uint32_t m_unStopBits = 1; // 1 or 2
    bool m_bRtsCts = false;

    bool operator==(const SimHostLineS& other) const;
    bool operator!=(const SimHostLineS& other) const { return !(*this == other); }
};

struct SimTranscriptEntryS
{
    SimClockT::time_point m_tTime;
    SimEntryKindE m_eKind = EK_NOTE;
    std::string m_strBytes;     // exact bytes, or the text of a mode change or note
    SimHostLineS m_host;        // the host's settings at that moment (last seen for sent bytes)
    const char* m_pszMode = ""; // the module's mode at that moment
};

class SimTranscriptC
{
public:
    using PredicateT = std::function<bool(const std::vector<SimTranscriptEntryS>&)>;
    using ObserverT = std::function<void(const SimTranscriptEntryS&)>;

    // Enough for every test run; a long-running tool sets a smaller window.
    static const size_t c_unDefaultMaxEntries = 50000;
    static const size_t c_unDefaultMaxBytes = 16u << 20;

    SimTranscriptC();

    void add(SimEntryKindE eKind, const std::string& strBytes, const SimHostLineS& host);
    void clear();
    // Stamped on every entry from now on; a static string (modeName).
    void setModeName(const char* pszMode);
    // The window kept in memory: when either limit is passed, the oldest
    // entries are dropped down to three quarters of it.
    void setLimits(size_t unMaxEntries, size_t unMaxBytes);
    // Called with each entry as it is added, in order, under the transcript's
    // lock: it must not call back into the transcript. Empty to remove.
    void setObserver(const ObserverT& fnObserver);

    // The entries in the window.
    std::vector<SimTranscriptEntryS> entries() const;
    // Entries from index unFirst on (or from the oldest kept, when unFirst was
    // dropped; pFirst then tells which index came first); for incremental printing.
    std::vector<SimTranscriptEntryS> entriesFrom(size_t unFirst, size_t* pFirst = nullptr) const;
    // Every entry ever added, the dropped ones included.
    size_t size() const;

    // Concatenation of the bytes of every entry of one kind in the window, in order.
    std::string joined(SimEntryKindE eKind) const;
    // The received command lines, each with its CR.
    std::vector<std::string> receivedLines() const;

    // Waits until the predicate holds over the window, at most ulTimeoutMs.
    // The predicate runs under the transcript's lock: it must not call back into it.
    bool waitFor(const PredicateT& predicate, uint32_t ulTimeoutMs) const;
    // Waits until the joined bytes of one kind contain the needle.
    bool waitForBytes(SimEntryKindE eKind, const std::string& strNeedle,
                      uint32_t ulTimeoutMs) const;
    bool waitForSize(size_t unSize, uint32_t ulTimeoutMs) const;

    SimClockT::time_point startTime() const { return m_tStart; }

private:
    void trim();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cvChanged;
    std::vector<SimTranscriptEntryS> m_vecEntries;
    size_t m_unFirstIndex = 0; // index of m_vecEntries[0]
    size_t m_unBytes = 0;      // bytes held by the window
    size_t m_unMaxEntries = c_unDefaultMaxEntries;
    size_t m_unMaxBytes = c_unDefaultMaxBytes;
    const char* m_pszMode = "";
    ObserverT m_fnObserver;
    SimClockT::time_point m_tStart;
};

// CR as <CR>, LF as <LF>, other control and non-ASCII bytes as <0xNN>.
std::string renderReadable(const std::string& strBytes);
const char* entryKindName(SimEntryKindE eKind);
// One line for people: seconds since tStart, kind, host settings, readable bytes.
std::string formatEntry(const SimTranscriptEntryS& entry, SimClockT::time_point tStart);

} // namespace SIM
} // namespace QUENTA

#endif
