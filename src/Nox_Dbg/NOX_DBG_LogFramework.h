// The debug definition file: "LOG" lines become log routes, and a registry of
// handlers is offered the other lines and debug keys.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace NOX {
namespace DBG {

class DbgConfigI
{
public:
    // Offered one line of the file; true when it was taken.
    virtual bool configure(const char* szText, int32_t nLevel) = 0;
    virtual void notify(uint32_t unValue) {}
    // True when the key is known; the reply is filled then.
    virtual bool handleKey(const std::wstring& strKey, int32_t nLevel, std::wstring& strReply) = 0;

protected:
    ~DbgConfigI() = default;
};

class DbgConfiguratorRegistryC : public DbgConfigI
{
public:
    static DbgConfiguratorRegistryC* getInstance();
    static void destroyInstance();
    virtual ~DbgConfiguratorRegistryC();

    // Handlers are not owned; a new one starts at level 0.
    void addHandler(DbgConfigI* pHandler);
    void removeHandler(DbgConfigI* pHandler);

    bool configure(const char* szText, int32_t nLevel) override;
    void notify(uint32_t unValue) override;
    bool handleKey(const std::wstring& strKey, int32_t nLevel, std::wstring& strReply) override;

    // Offers every line of the default file to the handlers configured below
    // nLevel, then raises them to it: a handler sees the file once per level.
    void configureFromFile(int32_t nLevel);
    // The first line of the default file that begins with szPrefix, line end
    // included: 0, RC_FAILED when none matches, RC_WAIT_FAILED when the file
    // cannot be opened.
    uint32_t findLine(const char* szPrefix, std::string& strLine);

    // The storage-card root followed by "Dbg\debug.def".
    static const std::string& getDefaultFilePath();

private:
    DbgConfiguratorRegistryC() = default;

    NOX::TSK::CriticalSectionC m_Lock;
    std::map<DbgConfigI*, int32_t> m_mapHandlers;
};

// Reads every line of the file (pieces of at most 255 characters; a longer
// line goes on as a new one), skipping comments, blank and indented lines;
// each comes with the number of the file's line it starts on. False when the
// file cannot be opened or is not a regular file.
bool forEachDefinitionLine(const std::string& strPath,
                           const std::function<void(const char*, uint32_t)>& fnLine);

// Turns one "LOG" line into a route of the log manager; false when the line
// makes no route. A file consumer that cannot be written (not a regular file,
// no directory or right to create it) makes no route either: a message on the
// debug output says why, after strWhere (file and line) when given.
bool processRouteLine(const char* szLine, const std::string& strWhere = std::string());

// Loads every route of the file: 0, or RC_FAILED when it cannot be opened or
// is not a regular file.
uint32_t loadLogRoutes(const char* szPath);

} // namespace DBG
} // namespace NOX
