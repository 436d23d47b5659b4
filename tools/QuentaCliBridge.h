// Bridges an open serial device to the standard streams: what arrives on the
// input goes to the device, what the device sends goes to the output, until
// the input ends.
#pragma once

#include <cstdio>
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

// Bridges pDevice, as QUENTA_createPortHandle gives it (a descriptor on POSIX,
// a HANDLE on Windows), to standard input and to pOutput, the stream that
// holds standard output (its descriptor may have been moved away from 1).
// Changes how the device waits (non-blocking on POSIX, short read time-outs
// on Windows); does not close it. strError names what failed for every end
// but BE_INPUT_ENDED.
BridgeEndE bridgeStandardStreams(void* pDevice, std::FILE* pOutput, std::string& strError);

void closeDevice(void* pDevice);

} // namespace CLI
} // namespace QUENTA
