// The commands outside the "AT*" pattern: the ping that tells whether the
// module takes commands, the reset to factory defaults, and free text.
#pragma once

#include "TRC_CFG_TaviRequest.h"

#include <cstdint>

namespace TRC {
namespace CFG {

// "AT": answered with OK or ERROR only in command mode.
class PingRequestC : public TaviDeviceRequestC
{
public:
    explicit PingRequestC(uint32_t unTimeout);
    ~PingRequestC() override;
};

// "AT&F": OK gives RC_OK, ERROR RC_FAILED, and either releases the caller.
// The whole answer stays in the buffer.
class FactorySettingsRequestC : public TaviDeviceRequestC
{
public:
    FactorySettingsRequestC();
    ~FactorySettingsRequestC() override;

    void procReadData(const char* pData, uint16_t unCount) override;
};

// Sends its text as it stands; any answer counts, OK ends it early. The whole
// answer, echo included, stays in the buffer.
class TransparentRequestC : public TaviDeviceRequestC
{
public:
    explicit TransparentRequestC(const char* szText);
    ~TransparentRequestC() override;

    void procReadData(const char* pData, uint16_t unCount) override;
};

} // namespace CFG
} // namespace TRC
