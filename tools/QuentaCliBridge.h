// Bridges an open serial device to a pair of streams: what arrives on the
// input goes to the device, what the device sends goes to the output, until
// the input ends.
#pragma once

#include <string>

namespace QUENTA {
namespace CLI {

enum BridgeEndE
{
    BE_INPUT_ENDED, // the normal end
    BE_DEVICE_GONE, // hang-up or read error on the device
    BE_OUTPUT_FAILED,
    BE_FAILED
};

// Switches nDevice to non-blocking; does not close any descriptor. strError
// names what failed for every end but BE_INPUT_ENDED.
BridgeEndE bridge(int nDevice, int nInput, int nOutput, std::string& strError);

} // namespace CLI
} // namespace QUENTA
