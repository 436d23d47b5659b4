// The serial devices of this machine, the device that "COM8:" stands for, and
// a check that it can be opened before the library is asked to.
#pragma once

#include "QuentaCliOutput.h"

#include <string>
#include <vector>

namespace QUENTA {
namespace CLI {

// The variable through which the library maps "COM8:" to a device.
extern const char* const c_szPortVariable;

// Where "COM8:" leads now; bFromOption when --port set the variable.
ComMappingS com8Mapping(bool bFromOption);

std::vector<PortEntryS> listSerialPorts();

// Opens and closes the device as the library would (read-write, no
// controlling terminal, not waiting for a carrier, not held by another
// program). Empty when that works, else the message for the user.
std::string portProblem(const std::string& strPath);

} // namespace CLI
} // namespace QUENTA
