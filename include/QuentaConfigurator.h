// QUENTA: the C++ interface of libquenta. Each default-constructed object has
// an implementation of its own; copies share it, and it is released when the
// last copy goes (its destructor hands the module over to data mode and
// closes the port).
#pragma once

#include "quenta.h"

#include <string>
#include <vector>

namespace QUENTA {

class QuentaConfiguratorImplC;

class QUENTA_API QuentaConfiguratorC
{
public:
    QuentaConfiguratorC();
    QuentaConfiguratorC(const QuentaConfiguratorC& other);
    QuentaConfiguratorC& operator=(const QuentaConfiguratorC& other);
    virtual ~QuentaConfiguratorC();

    // Same as QUENTA_createPortHandle.
    static void* createPortHandle();

    // Appends the names found; the vector is not cleared first.
    bool searchDevices(std::vector<std::string>& vecDevices);
    // An empty name removes the pairing.
    bool pairDevice(std::string strDevice);
    bool getPairedDevice(std::string& strDevice);
    bool switchToDataMode();

private:
    QuentaConfiguratorImplC* m_pImpl;
};

} // namespace QUENTA
