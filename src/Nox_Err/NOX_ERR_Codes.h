// Result codes shared by the foundation library and the request engine.
#pragma once

#include <cstdint>

namespace NOX {

constexpr uint32_t RC_OK = 0;
// The answer did not have the expected shape.
constexpr uint32_t RC_BAD_RESPONSE = 0x2000003;
// No answer (yet); also what an expired wait reports.
constexpr uint32_t RC_TIMEOUT = 0x2000006;
// The operation failed, or what was looked for is missing.
constexpr uint32_t RC_FAILED = 0x200001a;
// The wait could not be performed; for files: could not be opened.
constexpr uint32_t RC_WAIT_FAILED = 0x200001b;

} // namespace NOX
