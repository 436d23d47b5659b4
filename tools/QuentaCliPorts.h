// The serial devices of this machine and the device that "COM8:" stands for. On POSIX
// "COM8:" is the device that QUENTA_PORT_COM8 names; on Windows it is the
// system's own COM8.
#pragma once

#include "QuentaCliOutput.h"

#include <string>
#include <vector>

namespace QUENTA {
namespace CLI {

// Makes strDevice (from --port) the device that "COM8:" stands for, before
// the library's first call. False with the message for the user where the
// system decides that instead (Windows).
bool usePortOption(const std::string& strDevice, std::string& strError);

// Where "COM8:" leads now; bFromOption when --port chose it.
ComMappingS com8Mapping(bool bFromOption);

// The device as messages name it.
std::string deviceName(const ComMappingS& com8);

std::vector<PortEntryS> listSerialPorts();

// Probes each device of vecPorts (QuentaCliProbe.h) and the one "COM8:"
// stands for when that is not among them (a pseudo-terminal, a link); the
// result for the latter, not probed when it is listed or does not exist.
ProbeS probePorts(std::vector<PortEntryS>& vecPorts, const ComMappingS& com8);

// True when the device is not there at all (as opposed to failing to open).
bool deviceMissing(const std::string& strPath);

} // namespace CLI
} // namespace QUENTA
