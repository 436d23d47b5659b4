// The contract between a producer of bytes (a port's reader thread) and the
// consumers that interpret them.
#pragma once

#include "Nox_Tsk/NOX_TSK_List.h"

#include <cstdint>

namespace NOX {
namespace BIO {

class ReadConsumerC : public NOX::TSK::NodeC
{
public:
    // Runs on the producer's thread; the bytes are valid only during the call.
    virtual void procReadData(const char* pData, uint16_t unCount) = 0;
    // Drops whatever the consumer buffers.
    virtual void reset() {}
    // The producer's device went away: nothing more will arrive.
    virtual void procDeviceLost() {}
};

// Distributes every delivery to the consumers in its list, in list order.
// It starts reading when the first consumer arrives and stops when the last
// one leaves.
class ReaderC
{
public:
    virtual ~ReaderC() = default;
    virtual void addConsumer(ReadConsumerC* pConsumer);
    virtual void removeConsumer(ReadConsumerC* pConsumer);
    virtual void removeConsumerWhileReading(ReadConsumerC* pConsumer);
    virtual void startReading() = 0;
    virtual void stopReading() = 0;
    // Passes a delivery to every consumer, under the list's read side.
    virtual void dispatch(const char* pData, uint16_t unCount);

protected:
    NOX::TSK::ListC m_Consumers;
};

} // namespace BIO
} // namespace NOX
