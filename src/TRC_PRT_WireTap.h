// A window on the serial line for the tools that link the core: the line
// settings each open applies, the bytes written and received, the closes.
// The library itself never installs one; without one, each event costs one
// atomic load.
#pragma once

#include <cstdint>

namespace TRC {
namespace PRT {

class WireTapI
{
public:
    virtual ~WireTapI() = default;
    virtual void configured(uint32_t ulBaudRate, bool bRtsCts) = 0;
    virtual void sent(const char* pData, uint32_t unCount) = 0;
    virtual void received(const char* pData, uint32_t unCount) = 0;
    virtual void closed() = 0;
    // True once nothing more may go out (the user interrupted the tool): a
    // write then fails as on a broken line, so a running operation ends fast.
    virtual bool holdsWrites() = 0;
};

// Null removes it. The tap must outlive every port that may still report.
void setWireTap(WireTapI* pTap);
WireTapI* wireTap();

} // namespace PRT
} // namespace TRC
