// Beyond the Win32 subset: where a serial device name leads and who may open
// the device, for the core's session with a module on a port of its choice.
#pragma once

#include <string>

#if defined(_WIN32)

// Windows resolves "COM<n>:" itself; a name is what it is.
inline std::string PlatSerialDevicePath(const std::string& strName)
{
    return strName;
}

inline std::string PlatDeviceAccessText(const std::string&)
{
    return std::string();
}

#else

// The device that CreateFileW opens for strName: for "COM<n>:" the path in
// QUENTA_PORT_COM<n> when set, else /dev/ttyS<n-1>; any other name as it is.
std::string PlatSerialDevicePath(const std::string& strName);

// "group G, mode crw-rw----" of the file at strPath; empty when it cannot be
// looked at.
std::string PlatDeviceAccessText(const std::string& strPath);

#endif
