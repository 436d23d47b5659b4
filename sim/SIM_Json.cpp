#include "SIM_Json.h"

#include "SIM_Pty.h"

#include <cstdio>

namespace QUENTA {
namespace SIM {

namespace {

const char* parityName(uint32_t unParity)
{
    switch (unParity) {
    case 2:
        return "odd";
    case 3:
        return "even";
    default:
        return "none";
    }
}

std::string lineJson(uint32_t ulBaudRate, uint32_t unDataBits, uint32_t unParity,
                     uint32_t unStopBits, bool bRtsCts)
{
    return "{\"baud\":" + std::to_string(ulBaudRate) + ",\"bits\":" + std::to_string(unDataBits) +
           ",\"parity\":\"" + parityName(unParity) + "\",\"stop\":" + std::to_string(unStopBits) +
           ",\"rtscts\":" + (bRtsCts ? "true" : "false") + "}";
}

} // namespace

std::string jsonString(const std::string& strBytes)
{
    std::string strResult = "\"";
    for (unsigned char c : strBytes) {
        if (c == '"' || c == '\\') {
            strResult += '\\';
            strResult += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof(szEscape), "\\u%04x", c);
            strResult += szEscape;
        } else {
            strResult += static_cast<char>(c);
        }
    }
    return strResult + "\"";
}

std::string jsonHost(const SimHostLineS& host)
{
    return lineJson(host.m_ulBaudRate, host.m_unDataBits, host.m_unParity, host.m_unStopBits,
                    host.m_bRtsCts);
}

std::string jsonSerial(const SimSerialS& serial)
{
    return lineJson(serial.baudRate(), serial.dataBits(), serial.m_unParity, serial.m_unStopBits,
                    serial.rtsCts());
}

} // namespace SIM
} // namespace QUENTA
