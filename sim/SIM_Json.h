// JSON text for the simulator's machine-readable output (the transcript file
// and the control channel's state report). Strings carry bytes, one code
// point a byte (U+0000..U+00FF), so a reader gets the exact bytes back by
// encoding the string as Latin-1; the text itself stays ASCII.
#ifndef SIM_JSON_H
#define SIM_JSON_H

#include "SIM_CommandSet.h"
#include "SIM_Transcript.h"

#include <string>

namespace QUENTA {
namespace SIM {

// The bytes as a quoted JSON string.
std::string jsonString(const std::string& strBytes);
// {"baud":N,"bits":8,"parity":"none","stop":1,"rtscts":false}
std::string jsonHost(const SimHostLineS& host);
std::string jsonSerial(const SimSerialS& serial);

} // namespace SIM
} // namespace QUENTA

#endif
