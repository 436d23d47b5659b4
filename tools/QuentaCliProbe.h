// Which serial device the module is on: each device is opened as the library
// opens "COM8:" (exclusively, so a device another program holds is reported
// in use and sent nothing) and asked for the module's ping ("AT") at the two
// line settings the library looks for it at. No escape sequence is sent, so a
// module in data mode stays silent (and passes the ping on to its peer).
#pragma once

#include "QuentaCliOutput.h"

#include <string>
#include <vector>

namespace QUENTA {
namespace CLI {

// How long one ping waits for its answer; the module answers within this in
// command mode.
const unsigned c_unProbeAnswerMs = 200;

// The devices are probed at the same time, so the whole run takes about as
// long as one device: two pings, at most about half a second.
std::vector<ProbeS> probePorts(const std::vector<std::string>& vecPaths);

} // namespace CLI
} // namespace QUENTA
