// The device record that flows between search, pairing, read-back and the
// exported interface.
#pragma once

#include <cstddef>
#include <cstring>

namespace TRC {
namespace CFG {

struct DeviceInfoS
{
    static constexpr size_t c_unMaxName = 16;
    static constexpr size_t c_unMaxAddress = 47;

    DeviceInfoS()
    {
        std::memset(szName, 0, sizeof(szName));
        std::memset(szAddress, 0, sizeof(szAddress));
    }

    // Both fields must be there; the address is tested first.
    bool isValid() const { return szAddress[0] != '\0' && szName[0] != '\0'; }

    char szName[c_unMaxName + 1];
    char szAddress[c_unMaxAddress + 1];
};

// Copies at most unMax characters of szText into a field of unMax + 1 bytes
// and terminates it there.
inline void copyField(char* szField, size_t unMax, const char* szText)
{
    std::strncpy(szField, szText, unMax);
    szField[unMax] = '\0';
}

} // namespace CFG
} // namespace TRC
