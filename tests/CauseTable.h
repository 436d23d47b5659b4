// The shared table of faults and their causes (cause_table.txt), read for the
// session's and the tool's tests, and the simulator set up for one row.
#pragma once

#include "SIM_SimulatedModule.h"
#include "SIM_StatementRunner.h"
#include "SIM_Statements.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace causetest {

struct CauseRowS
{
    std::string m_strOperation; // search, pair, unpair, paired, data-mode, at
    std::string m_strArgument;  // the name or the line, for pair and at
    std::string m_strSetup;     // statements, or a port:... setup
    std::string m_strCause;
    int m_nExit = -1;
};

inline std::ostream& operator<<(std::ostream& out, const CauseRowS& row)
{
    return out << row.m_strOperation << " " << row.m_strArgument << " | " << row.m_strSetup;
}

inline std::string trimmed(const std::string& strText)
{
    const size_t unFirst = strText.find_first_not_of(" \t");
    if (unFirst == std::string::npos) {
        return std::string();
    }
    return strText.substr(unFirst, strText.find_last_not_of(" \t") - unFirst + 1);
}

inline std::vector<std::string> split(const std::string& strText, char cSeparator)
{
    std::vector<std::string> vecParts;
    size_t unStart = 0;
    for (size_t unAt = strText.find(cSeparator); unAt != std::string::npos;
         unAt = strText.find(cSeparator, unStart)) {
        vecParts.push_back(trimmed(strText.substr(unStart, unAt - unStart)));
        unStart = unAt + 1;
    }
    vecParts.push_back(trimmed(strText.substr(unStart)));
    return vecParts;
}

inline std::vector<CauseRowS> causeTable()
{
    std::vector<CauseRowS> vecRows;
    std::ifstream file(std::string(QUENTA_SOURCE_DIR) + "/tests/cause_table.txt");
    std::string strLine;
    while (std::getline(file, strLine)) {
        if (trimmed(strLine).empty() || strLine[0] == '#') {
            continue;
        }
        const std::vector<std::string> vecColumns = split(strLine, '|');
        if (vecColumns.size() != 4) {
            ADD_FAILURE() << "a row of cause_table.txt without four columns: " << strLine;
            continue;
        }
        CauseRowS row;
        const size_t unSpace = vecColumns[0].find(' ');
        row.m_strOperation = vecColumns[0].substr(0, unSpace);
        row.m_strArgument =
            unSpace == std::string::npos ? std::string() : vecColumns[0].substr(unSpace + 1);
        row.m_strSetup = vecColumns[1];
        row.m_strCause = vecColumns[2];
        row.m_nExit = std::stoi(vecColumns[3]);
        vecRows.push_back(row);
    }
    return vecRows;
}

inline bool isPortSetup(const CauseRowS& row)
{
    return row.m_strSetup.rfind("port:", 0) == 0;
}

// A fresh module in command mode with the row's statements applied.
class RowModuleC
{
public:
    explicit RowModuleC(const CauseRowS& row)
    {
        QUENTA::SIM::SimConfigS config;
        config.m_eInitialMode = QUENTA::SIM::SM_COMMAND;
        config.m_ulScanMs = 200;
        m_pModule.reset(new QUENTA::SIM::SimulatedModuleC(config));
        m_pRunner.reset(new QUENTA::SIM::SimStatementRunnerC(*m_pModule));
        EXPECT_TRUE(m_pModule->start());
        if (isPortSetup(row) || row.m_strSetup.empty()) {
            return;
        }
        for (const std::string& strStatement : split(row.m_strSetup, ';')) {
            EXPECT_EQ("ok", m_pRunner->answer(strStatement, 1)) << strStatement;
        }
    }

    // The runner goes first, so the module's thread, whose "on" actions call
    // it, is stopped before.
    ~RowModuleC() { m_pModule->stop(); }
    RowModuleC(const RowModuleC&) = delete;
    RowModuleC& operator=(const RowModuleC&) = delete;

    QUENTA::SIM::SimulatedModuleC& module() { return *m_pModule; }

private:
    std::unique_ptr<QUENTA::SIM::SimulatedModuleC> m_pModule;
    std::unique_ptr<QUENTA::SIM::SimStatementRunnerC> m_pRunner;
};

// The port a row's operation meets: the module's, or for port:missing a path
// that leads nowhere, for port:file strFile, for port:busy the module's held by
// another opener until the end. port:permission is each test's own.
class RowPortC
{
public:
    RowPortC(const CauseRowS& row, const std::string& strModulePort, const std::string& strFile)
        : m_strPath(strModulePort)
    {
        if (row.m_strSetup == "port:missing") {
            m_strPath = "/nonexistent/quenta-tty";
        } else if (row.m_strSetup == "port:file") {
            m_strPath = strFile;
        } else if (row.m_strSetup == "port:busy") {
            m_nHolder = ::open(m_strPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            EXPECT_EQ(0, ::flock(m_nHolder, LOCK_EX | LOCK_NB));
        }
    }
    ~RowPortC() { release(); }
    RowPortC(const RowPortC&) = delete;
    RowPortC& operator=(const RowPortC&) = delete;

    const std::string& path() const { return m_strPath; }
    void setPath(const std::string& strPath) { m_strPath = strPath; }
    void release()
    {
        if (m_nHolder >= 0) {
            ::close(m_nHolder);
            m_nHolder = -1;
        }
    }

private:
    std::string m_strPath;
    int m_nHolder = -1;
};

} // namespace causetest
