// The exported class: copies share one implementation, released when the
// last copy goes.
#include "QuentaConfigurator.h"

#include "QUENTA_QuentaConfiguratorImpl.h"

namespace {
void release(QUENTA::QuentaConfiguratorImplC* pImpl)
{
    if (pImpl != nullptr && pImpl->releaseReference()) {
        delete pImpl;
    }
}
} // namespace

namespace QUENTA {

QuentaConfiguratorC::QuentaConfiguratorC()
    : m_pImpl(
          guarded<QuentaConfiguratorImplC*>(nullptr, [] { return new QuentaConfiguratorImplC(); }))
{}

QuentaConfiguratorC::QuentaConfiguratorC(const QuentaConfiguratorC& other) : m_pImpl(other.m_pImpl)
{
    if (m_pImpl != nullptr) {
        m_pImpl->addReference();
    }
}

QuentaConfiguratorC& QuentaConfiguratorC::operator=(const QuentaConfiguratorC& other)
{
    if (other.m_pImpl != nullptr) {
        other.m_pImpl->addReference();
    }
    release(m_pImpl);
    m_pImpl = other.m_pImpl;
    return *this;
}

QuentaConfiguratorC::~QuentaConfiguratorC()
{
    release(m_pImpl);
}

void* QuentaConfiguratorC::createPortHandle()
{
    return guarded(static_cast<void*>(INVALID_HANDLE_VALUE),
                   [] { return QuentaConfiguratorImplC::createPortHandle(); });
}

bool QuentaConfiguratorC::searchDevices(std::vector<std::string>& vecDevices)
{
    return m_pImpl != nullptr && guarded(false, [&] { return m_pImpl->searchDevices(vecDevices); });
}

bool QuentaConfiguratorC::pairDevice(std::string strDevice)
{
    return m_pImpl != nullptr &&
           guarded(false, [&] { return m_pImpl->pairDevice(std::move(strDevice)); });
}

bool QuentaConfiguratorC::getPairedDevice(std::string& strDevice)
{
    return m_pImpl != nullptr &&
           guarded(false, [&] { return m_pImpl->getPairedDevice(strDevice); });
}

bool QuentaConfiguratorC::switchToDataMode()
{
    return m_pImpl != nullptr && guarded(false, [&] { return m_pImpl->switchToDataMode(); });
}

} // namespace QUENTA
