// A log consumer that keeps its records, for tests that assert on exact lines.
#pragma once

#include "Nox_Dbg/NOX_DBG_LogConsumer.h"

#include <string>
#include <vector>

class CaptureConsumerC : public NOX::DBG::DbgLogConsumerC
{
public:
    CaptureConsumerC(std::string strName, uint32_t unHeaderMode = NOX::DBG::HDR_NONE)
        : NOX::DBG::DbgLogConsumerC(unHeaderMode), m_strName(std::move(strName))
    {}

    void logWrite(const char* szRecord) override
    {
        NOX::TSK::GuardC guard(m_Lock);
        m_vecRecords.emplace_back(szRecord);
    }
    std::string getName() const override { return m_strName; }

    std::vector<std::string> records()
    {
        NOX::TSK::GuardC guard(m_Lock);
        return m_vecRecords;
    }
    void clear()
    {
        NOX::TSK::GuardC guard(m_Lock);
        m_vecRecords.clear();
    }

private:
    std::string m_strName;
    std::vector<std::string> m_vecRecords;
};

// Registers a capture consumer with the manager and removes every route and
// consumer again at the end of the test.
class LogCaptureC
{
public:
    explicit LogCaptureC(const std::string& strName = "capture",
                         uint32_t unHeaderMode = NOX::DBG::HDR_NONE)
        : m_pConsumer(new CaptureConsumerC(strName, unHeaderMode))
    {
        NOX::DBG::DbgLogMgrC::getInstance()->addConsumer(m_pConsumer);
    }
    ~LogCaptureC() { NOX::DBG::DbgLogMgrC::getInstance()->removeAll(); }

    // Routes the key at the level to this consumer.
    void route(const std::string& strKey, int32_t nLevel)
    {
        NOX::DBG::DbgLogMgrC::getInstance()->addRoute(strKey, nLevel, m_pConsumer->getName());
    }
    std::vector<std::string> records() { return m_pConsumer->records(); }
    std::string joined()
    {
        std::string strAll;
        for (const std::string& strRecord : records()) {
            strAll += strRecord;
        }
        return strAll;
    }
    CaptureConsumerC& consumer() { return *m_pConsumer; }

private:
    boost::shared_ptr<CaptureConsumerC> m_pConsumer;
};
