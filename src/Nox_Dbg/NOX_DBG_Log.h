// Named component logs and the log manager that routes them. A log knows only
// its name and a cached level threshold; while no route names it, a
// suppressed message costs one comparison.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"
#include "Nox_Tsk/NOX_TSK_SysComponent.h"

#include <boost/noncopyable.hpp>
#include <boost/shared_ptr.hpp>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>

#if defined(__GNUC__)
#define NOX_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NOX_PRINTF_FORMAT(fmt, args)
#endif

namespace NOX {
namespace DBG {

enum LevelE : int32_t
{
    LVL_ALL = 0,
    LVL_FINEST = 1,
    LVL_FINER = 2,
    LVL_FINE = 3,
    LVL_INFO = 4,
    LVL_WARN = 5,
    LVL_ERROR = 6,
    LVL_FATAL = 7,
    // Threshold meaning that no level is enabled.
    LVL_NONE = 8
};

// Header modes of a consumer.
enum HeaderModeE : uint32_t
{
    HDR_NONE = 0,
    HDR_DATE_TIME = 1,
    HDR_TICKS = 2
};

// A record line (header and message) with its terminating zero.
constexpr size_t TEMP_BUFF_LEN = 5000;

class DbgLogConsumerC;
typedef boost::shared_ptr<DbgLogConsumerC> DbgLogConsumerPtrT;
// Level to consumer, ascending; each consumer once, at its lowest level.
typedef std::multimap<int32_t, DbgLogConsumerPtrT> DbgConsumerTableT;

// The three-letter tag of a level ("   " for ALL, "FAT" for 7 and above).
const char* levelTag(int32_t nLevel);

class DbgLogFileC : private boost::noncopyable
{
public:
    static constexpr int32_t c_nUnresolved = -1;

    explicit DbgLogFileC(const char* szName);
    ~DbgLogFileC();

    bool isEnabled(int32_t nLevel)
    {
        int32_t nThreshold = m_nThreshold.load(std::memory_order_relaxed);
        if (nLevel < nThreshold) {
            return false;
        }
        return nThreshold != c_nUnresolved || resolveAndTest(nLevel);
    }

    void log(int32_t nLevel, const char* szFormat, ...) NOX_PRINTF_FORMAT(3, 4);
    // At level 0.
    void log(const char* szFormat, ...) NOX_PRINTF_FORMAT(2, 3);
    void vlog(int32_t nLevel, const char* szFormat, va_list args);
    // unLength characters of szText, never interpreted as a format.
    void logText(int32_t nLevel, const char* szText, size_t unLength);
    // The message followed by a hexadecimal dump of the data ("%x," a byte).
    void logBinary(int32_t nLevel, const char* szText, const void* pData, uint16_t unLength);

    void resetThreshold() { m_nThreshold.store(c_nUnresolved, std::memory_order_relaxed); }
    int32_t getThreshold() const { return m_nThreshold.load(std::memory_order_relaxed); }
    const std::string& getName() const { return m_strName; }

private:
    bool resolveAndTest(int32_t nLevel);
    template <class WriteMessageT> void deliver(int32_t nLevel, WriteMessageT&& writeMessage);

    std::string m_strName;
    std::atomic<int32_t> m_nThreshold;
    NOX::TSK::CriticalSectionC m_Lock;
    DbgConsumerTableT m_Consumers;
};

// The single log manager; its child components are the consumers.
class DbgLogMgrC : public NOX::TSK::SysComponentContainerC
{
public:
    // Creates the manager on first use, with its "SystemErrorLogger" log.
    static DbgLogMgrC* getInstance();
    // The manager, or null when none exists (after destroyInstance).
    static DbgLogMgrC* peekInstance();
    static void destroyInstance();

    ~DbgLogMgrC() override;

    void registerLog(DbgLogFileC* pLog);
    void unregisterLog(DbgLogFileC* pLog);
    void resolveLevel(DbgLogFileC& log, DbgConsumerTableT& consumers,
                      std::atomic<int32_t>& nThreshold);

    // Creates the consumer when the name is new; false when the name is
    // refused ("/sensorboard/") or no consumer of that kind can be made.
    bool addRoute(const std::string& strKey, int32_t nLevel, const std::string& strConsumer,
                  int32_t nFiles, uint32_t unMaxAgeDays, uint32_t unMaxBytes,
                  uint32_t unHeaderMode);
    bool addRoute(const std::string& strKey, const std::string& strConsumer);
    bool addRoute(const std::string& strKey, int32_t nLevel, const std::string& strConsumer);
    void addConsumer(const DbgLogConsumerPtrT& pConsumer);
    void removeRoute(const std::string& strKey);
    void removeConsumer(const std::string& strConsumer);
    void removeAll();
    void invalidateLevels();

    // Raises the assertion "m_pSystemErrorLogger" when the log is missing.
    DbgLogFileC* getSystemErrorLogger();
    // The same without the assertion, for the assertion routine itself.
    DbgLogFileC* peekSystemErrorLogger() const { return m_pSystemErrorLogger; }

private:
    DbgLogMgrC() = default;
    DbgLogConsumerPtrT findConsumer(const std::string& strConsumer) const;
    DbgLogConsumerPtrT createConsumer(const std::string& strKey, const std::string& strConsumer,
                                      int32_t nFiles, uint32_t unMaxAgeDays, uint32_t unMaxBytes,
                                      uint32_t unHeaderMode);

    NOX::TSK::CriticalSectionC m_Lock;
    std::set<DbgLogFileC*> m_setLogs;
    std::list<DbgLogConsumerPtrT> m_lstConsumers;
    std::map<std::string, DbgConsumerTableT> m_mapRoutes;
    DbgLogFileC* m_pSystemErrorLogger = nullptr;
};

// Merges (level, consumer) into a table: a consumer appears once, at the
// lowest level routed to it.
void mergeConsumer(DbgConsumerTableT& table, int32_t nLevel, const DbgLogConsumerPtrT& pConsumer);

} // namespace DBG
} // namespace NOX
