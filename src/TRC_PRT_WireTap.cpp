#include "TRC_PRT_WireTap.h"

#include <atomic>

namespace TRC {
namespace PRT {

namespace {
std::atomic<WireTapI*> s_pTap{nullptr};
}

void setWireTap(WireTapI* pTap)
{
    s_pTap.store(pTap, std::memory_order_release);
}

WireTapI* wireTap()
{
    return s_pTap.load(std::memory_order_acquire);
}

} // namespace PRT
} // namespace TRC
