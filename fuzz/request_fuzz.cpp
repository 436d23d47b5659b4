// Drives a request with random response parameters, or an inquiry, with
// random bytes in random pieces. Checks what must hold whatever arrives: no
// memory fault (sanitizers), the buffer invariant, a known return code, and
// at most one release of the waiting caller.
#include "fuzz_support.h"

#include "TRC_CFG_InquiryRequest.h"
#include "TRC_CFG_ResponseParam.h"
#include "TRC_CFG_TaviRequest.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using namespace TRC::CFG;
using QUENTA::FUZZ::require;

namespace {

bool isKnownCode(uint32_t unCode)
{
    return unCode == RC_OK || unCode == RC_BAD_RESPONSE || unCode == RC_TIMEOUT ||
           unCode == RC_FAILED || unCode == RC_WAIT_FAILED;
}

void checkRequest(TaviDeviceRequestC& req)
{
    const char* pStart = req.getResponse();
    const char* pUnconsumed = req.getUnconsumed();
    require(pUnconsumed >= pStart, "response pointer before the buffer");
    require(pUnconsumed + req.getFillCount() <= pStart + TaviDeviceProcC::MAX_RESPONSE,
            "buffer invariant broken");
    require(pUnconsumed[req.getFillCount()] == '\0', "data not NUL-terminated");
    require(isKnownCode(req.getReturnCode()), "unknown return code");
}

// Feeds the rest of the input in pieces; counts the releases seen between
// pieces.
void feed(FuzzedDataProvider& provider, TaviDeviceRequestC& req)
{
    int nReleases = 0;
    while (provider.remaining_bytes() > 0) {
        size_t unLength = provider.ConsumeIntegralInRange<size_t>(0, 300);
        std::string strPiece = provider.ConsumeBytesAsString(unLength);
        req.procReadData(strPiece.data(), static_cast<uint16_t>(strPiece.size()));
        checkRequest(req);
        if (req.wait(0) == RC_OK) {
            ++nReleases;
        }
        require(nReleases <= 1, "caller released twice");
    }
}

void fuzzRequest(FuzzedDataProvider& provider)
{
    static const char* const c_aszCommands[] = {"AGLN", "AMRS", "ADRDRP", "AT", "AT&F"};
    static const uint32_t c_aunTypes[] = {RT_LISTEN, RT_PLAIN, RT_PLAIN_PREFIXED,
                                          RT_READ,   RT_WRITE, RT_EXECUTE};
    const char* szCommand = provider.PickValueInArray(c_aszCommands);
    uint32_t unType = provider.PickValueInArray(c_aunTypes);
    TaviDeviceRequestC req(szCommand, unType, 1000);
    if (unType == RT_WRITE) {
        req.addParameter(uint8_t(7));
        req.finishParameters();
    }
    std::vector<std::unique_ptr<ResponseParamI>> vecSlots;
    size_t unSlots = provider.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t i = 0; i < unSlots; ++i) {
        switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            vecSlots.emplace_back(new BasicStringResponseParamC);
            break;
        case 1:
            vecSlots.emplace_back(new NumberResponseParamC);
            break;
        case 2:
            vecSlots.emplace_back(new BoolResponseParamC);
            break;
        default:
            req.addResponseParam(&ignoredResponseParam);
            continue;
        }
        req.addResponseParam(vecSlots.back().get());
    }
    feed(provider, req);
    if (req.getReturnCode() == RC_OK) {
        require(req.isHandled(), "RC_OK but not handled");
    }
}

void fuzzInquiry(FuzzedDataProvider& provider)
{
    uint8_t unType = provider.ConsumeIntegralInRange<uint8_t>(1, 4);
    uint8_t unMax = provider.ConsumeIntegralInRange<uint8_t>(1, 20);
    DeviceInquiryRequestC inquiry("AGI", 10, unType, unMax, 15000);
    feed(provider, inquiry);
    // Walking creates the missing links; the chain must stay bounded.
    int nLinks = 0;
    for (TaviDeviceRequestC* p = inquiry.getSiblingRequest(); p != nullptr;
         p = p->getSiblingRequest()) {
        checkRequest(*p);
        ++nLinks;
        require(nLinks <= unMax, "chain longer than the maximum");
    }
    require(nLinks == unMax, "chain shorter than the maximum");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize)
{
    FuzzedDataProvider provider(pData, unSize);
    if (provider.ConsumeBool()) {
        fuzzInquiry(provider);
    } else {
        fuzzRequest(provider);
    }
    return 0;
}
