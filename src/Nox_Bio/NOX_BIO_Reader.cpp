#include "Nox_Bio/NOX_BIO_Reader.h"

namespace NOX {
namespace BIO {

void ReaderC::addConsumer(ReadConsumerC* pConsumer)
{
    if (m_Consumers.count() == 0) {
        startReading();
    }
    m_Consumers.pushBack(pConsumer);
}

void ReaderC::removeConsumer(ReadConsumerC* pConsumer)
{
    m_Consumers.remove(pConsumer);
    if (m_Consumers.count() == 0) {
        stopReading();
    }
}

void ReaderC::removeConsumerWhileReading(ReadConsumerC* pConsumer)
{
    m_Consumers.removeWhileReading(pConsumer);
    if (m_Consumers.count() == 0) {
        stopReading();
    }
}

void ReaderC::dispatch(const char* pData, uint16_t unCount)
{
    NOX::TSK::GuardC guard(m_Consumers.getReadLock());
    for (NOX::TSK::NodeC* pNode = m_Consumers.first(); pNode != nullptr;) {
        NOX::TSK::NodeC* pNext = m_Consumers.next(pNode);
        static_cast<ReadConsumerC*>(pNode)->procReadData(pData, unCount);
        pNode = pNext;
    }
}

} // namespace BIO
} // namespace NOX
