// The transcript as JSON Lines in a file, one object an entry, flushed per
// entry so that a test can read it while the simulator runs:
//   {"t":1.234,"kind":"sent","bytes":"\r\nOK\r\n","mode":"command",
//    "host":{"baud":115200,"bits":8,"parity":"none","stop":1,"rtscts":false}}
// "kind" is received, sent, data, noise, mode or note; "bytes" holds one code
// point a byte (empty for mode and note); "host" is null until the host's
// settings are known; mode and note entries carry their text in "note".
#ifndef SIM_TRANSCRIPTWRITER_H
#define SIM_TRANSCRIPTWRITER_H

#include "SIM_Transcript.h"

#include <cstdio>
#include <string>

namespace QUENTA {
namespace SIM {

// The JSON name of an entry kind.
const char* entryKindJsonName(SimEntryKindE eKind);
// One line, without its line feed.
std::string transcriptJsonLine(const SimTranscriptEntryS& entry, SimClockT::time_point tStart);

class SimTranscriptWriterC
{
public:
    SimTranscriptWriterC() = default;
    ~SimTranscriptWriterC();
    SimTranscriptWriterC(const SimTranscriptWriterC&) = delete;
    SimTranscriptWriterC& operator=(const SimTranscriptWriterC&) = delete;

    // Creates or truncates the file; strError tells why not.
    bool open(const std::string& strPath, std::string& strError);
    void close();
    // False once a write failed (a full disk); later entries are not written.
    bool write(const SimTranscriptEntryS& entry, SimClockT::time_point tStart);
    bool failed() const { return m_bFailed; }

private:
    std::FILE* m_pFile = nullptr;
    bool m_bFailed = false;
};

} // namespace SIM
} // namespace QUENTA

#endif
