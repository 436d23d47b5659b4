// Builds the parameter list of a write request from typed fields, for the
// controller's operations.
#pragma once

#include "TRC_CFG_TaviRequest.h"

#include <cstdint>

namespace TRC {
namespace CFG {

// A text sent between double quotes.
struct QuotedS
{
    const char* szText;
};
// A text sent as it is.
struct BareS
{
    const char* szText;
};

inline void addField(TaviDeviceRequestC& req, uint32_t unValue)
{
    req.addParameter(unValue);
}
inline void addField(TaviDeviceRequestC& req, uint8_t unValue)
{
    req.addParameter(unValue);
}
inline void addField(TaviDeviceRequestC& req, bool bValue)
{
    req.addParameter(static_cast<uint8_t>(bValue ? 1 : 0));
}
inline void addField(TaviDeviceRequestC& req, QuotedS text)
{
    req.addParameter(text.szText, true);
}
inline void addField(TaviDeviceRequestC& req, BareS text)
{
    req.addParameter(text.szText, false);
}

// Adds the fields in order and finishes the line.
template <class... FieldsT> void addFields(TaviDeviceRequestC& req, FieldsT... fields)
{
    (addField(req, fields), ...);
    req.finishParameters();
}

} // namespace CFG
} // namespace TRC
