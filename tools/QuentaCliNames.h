// Device names as quenta prints and reads them. The module reports names as
// bytes: cut to 16 by the library, maybe inside a UTF-8 character, maybe not
// UTF-8 at all. Printed, every byte that would not show as itself becomes
// \xNN; read back, \xNN becomes that byte again, so whatever `search` prints
// pairs with that device.
#pragma once

#include <string>

namespace QUENTA {
namespace CLI {

// Valid, printable UTF-8 stays; control characters (C1 included), bytes that
// are not part of valid UTF-8, and the backslash become \xNN.
std::string nameText(const std::string& strName);

// The bytes a printed name stands for. A backslash not followed by xNN is
// itself, so names typed by hand rarely need escaping.
std::string nameFromText(const std::string& strText);

// Length of the valid UTF-8 sequence at unPos, 0 when there is none.
size_t utf8SequenceLength(const std::string& strText, size_t unPos);

} // namespace CLI
} // namespace QUENTA
