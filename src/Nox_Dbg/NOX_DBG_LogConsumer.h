// The ends of log routes: a consumer receives finished record lines and puts
// them somewhere. Consumers are child components of the log manager.
#pragma once

#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Tsk/NOX_TSK_SysComponent.h"

#include <cstdint>
#include <string>

namespace NOX {
namespace DBG {

class DbgLogConsumerC : public NOX::TSK::SysComponentContainerC
{
public:
    explicit DbgLogConsumerC(uint32_t unHeaderMode = HDR_DATE_TIME);

    // The record is written verbatim; it is never a format.
    virtual void logWrite(const char* szRecord) = 0;
    virtual std::string getName() const = 0;

    void setHeaderMode(uint32_t unHeaderMode);
    uint32_t getHeaderMode();

protected:
    NOX::TSK::CriticalSectionC m_Lock;

private:
    uint32_t m_unHeaderMode;
};

// Standard output, flushed after every record.
class DbgLogPrintfConsumerC : public DbgLogConsumerC
{
public:
    using DbgLogConsumerC::DbgLogConsumerC;
    void logWrite(const char* szRecord) override;
    std::string getName() const override { return "printf"; }
};

// The platform's debug output, as UTF-16 text of at most 1024 characters.
class DbgLogOutputDebugStringConsumerC : public DbgLogConsumerC
{
public:
    static constexpr int c_nBufferSize = 1024;

    using DbgLogConsumerC::DbgLogConsumerC;
    void logWrite(const char* szRecord) override;
    std::string getName() const override { return "OutputDebugString"; }

    // Converts the record and ends a line of 3 to 1021 characters in CR LF;
    // returns the length. pBuffer holds c_nBufferSize characters.
    static int convert(const char* szRecord, WCHAR* pBuffer);
};

} // namespace DBG
} // namespace NOX
