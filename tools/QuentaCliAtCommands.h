// The command lines the library itself sends to the module, as a reference
// for `quenta at`: a technician sees which commands exist and in which form.
#pragma once

#include "QuentaCliOutput.h"

#include <vector>

namespace QUENTA {
namespace CLI {

// In the order of a run: mode and line, search and pairing, the one-time
// set-up, then the settings the library can read or write besides.
const std::vector<CommandFormS>& libraryCommands();

} // namespace CLI
} // namespace QUENTA
