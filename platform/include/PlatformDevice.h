// Beyond the Win32 subset: where a serial device name leads and who may open
// the device, for the core's session with a module on a port of its choice.
#pragma once

#include <string>

// The owner, group and permission bits of a device node.
struct PlatDeviceAccessS
{
    bool m_bKnown = false;
    std::string m_strOwner;
    std::string m_strGroup;
    unsigned m_unMode = 0; // the low twelve bits, as chmod takes them
};

#if defined(_WIN32)

// Windows resolves "COM<n>:" itself; a name is what it is.
inline std::string PlatSerialDevicePath(const std::string& strName)
{
    return strName;
}

// Windows grants access by other means than owner, group and mode.
inline PlatDeviceAccessS PlatDeviceAccess(const std::string&)
{
    return PlatDeviceAccessS();
}

// Windows refuses such a rate in SetCommState itself and keeps no record.
inline bool PlatSerialRefusedBitRate(const std::string&, unsigned long)
{
    return false;
}

#else

// The device that CreateFileW opens for strName: for "COM<n>:" the path in
// QUENTA_PORT_COM<n> when set, else /dev/ttyS<n-1>; any other name as it is.
std::string PlatSerialDevicePath(const std::string& strName);

// Not known when the file cannot be looked at.
PlatDeviceAccessS PlatDeviceAccess(const std::string& strPath);

// Whether the serial device at strPath refused to be set to this bit rate in
// this process (it read back another: a UART whose clock cannot make it).
bool PlatSerialRefusedBitRate(const std::string& strPath, unsigned long ulBitRate);

#endif
