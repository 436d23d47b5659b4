// A child process with its standard streams on pipes, for the tests that run
// the tool and the C client: spawned with arguments and a changed
// environment, fed input, read with a bound, and always reaped.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace proctest {

using EnvT = std::vector<std::pair<std::string, std::string>>;
using ProcClockT = std::chrono::steady_clock;

inline std::string binaryDir()
{
    const char* pszDir = std::getenv("QUENTA_TEST_BINARY_DIR");
    return pszDir != nullptr ? pszDir : ".";
}

inline std::vector<std::string> splitLines(const std::string& strText)
{
    std::vector<std::string> vecLines;
    size_t unStart = 0;
    for (size_t unEnd = strText.find('\n'); unEnd != std::string::npos;
         unEnd = strText.find('\n', unStart)) {
        vecLines.push_back(strText.substr(unStart, unEnd - unStart));
        unStart = unEnd + 1;
    }
    return vecLines;
}

class ProcessC
{
public:
    // vecEnv adds variables to this process's environment; an empty value
    // removes the variable. Standard error goes to nErrFd when given.
    explicit ProcessC(std::vector<std::string> vecArgv, const EnvT& vecEnv = {}, int nErrFd = -1)
    {
        std::vector<std::string> vecEnvStrings;
        for (char** ppszVar = environ; *ppszVar != nullptr; ++ppszVar) {
            const std::string strVar = *ppszVar;
            const bool bReplaced = std::any_of(vecEnv.begin(), vecEnv.end(), [&](const auto& var) {
                return strVar.rfind(var.first + "=", 0) == 0;
            });
            if (!bReplaced) {
                vecEnvStrings.push_back(strVar);
            }
        }
        for (const auto& var : vecEnv) {
            if (!var.second.empty()) {
                vecEnvStrings.push_back(var.first + "=" + var.second);
            }
        }
        int aIn[2], aOut[2], aErr[2];
        if (pipe2(aIn, O_CLOEXEC) != 0 || pipe2(aOut, O_CLOEXEC) != 0 ||
            pipe2(aErr, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "no pipes";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, aIn[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, aOut[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, nErrFd >= 0 ? nErrFd : aErr[1], STDERR_FILENO);
        const std::vector<char*> vecArgvPtrs = pointers(vecArgv);
        const std::vector<char*> vecEnvPtrs = pointers(vecEnvStrings);
        const int nSpawn = posix_spawn(&m_pid, vecArgvPtrs[0], &actions, nullptr,
                                       vecArgvPtrs.data(), vecEnvPtrs.data());
        posix_spawn_file_actions_destroy(&actions);
        close(aIn[0]);
        close(aOut[1]);
        close(aErr[1]);
        m_nIn = aIn[1];
        m_aFds[0] = aOut[0];
        m_aFds[1] = aErr[0];
        if (nSpawn != 0) {
            ADD_FAILURE() << "cannot start " << vecArgv[0];
            m_pid = -1;
        }
    }

    ProcessC(const ProcessC&) = delete;
    ProcessC& operator=(const ProcessC&) = delete;

    ~ProcessC() { finish(0); }

    void writeInput(const std::string& strBytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(strBytes.size()),
                  write(m_nIn, strBytes.data(), strBytes.size()));
    }

    void closeInput() { closeFd(m_nIn); }

    void signal(int nSignal) { kill(m_pid, nSignal); }

    bool waitForOutput(const std::string& strNeedle, uint32_t ulTimeoutMs)
    {
        const auto tDeadline = ProcClockT::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (m_strOut.find(strNeedle) == std::string::npos) {
            if (ProcClockT::now() >= tDeadline || !pump(tDeadline)) {
                return false;
            }
        }
        return true;
    }

    // Collects the output until the child closes it, then its exit code; -1
    // when it had to be killed after ulTimeoutMs.
    int finish(uint32_t ulTimeoutMs)
    {
        closeInput();
        if (m_pid <= 0) {
            return m_nExit;
        }
        const auto tDeadline = ProcClockT::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (ProcClockT::now() < tDeadline && pump(tDeadline)) {
        }
        const bool bClosed = m_aFds[0] < 0 && m_aFds[1] < 0;
        if (!bClosed) {
            kill(m_pid, SIGKILL);
        }
        int nStatus = 0;
        waitpid(m_pid, &nStatus, 0);
        m_pid = -1;
        m_nExit = bClosed && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        closeFd(m_aFds[0]);
        closeFd(m_aFds[1]);
        return m_nExit;
    }

    const std::string& out() const { return m_strOut; }
    const std::string& err() const { return m_strErr; }

private:
    static std::vector<char*> pointers(std::vector<std::string>& vecStrings)
    {
        std::vector<char*> vecPtrs;
        for (std::string& str : vecStrings) {
            vecPtrs.push_back(&str[0]);
        }
        vecPtrs.push_back(nullptr);
        return vecPtrs;
    }

    static void closeFd(int& nFd)
    {
        if (nFd >= 0) {
            close(nFd);
            nFd = -1;
        }
    }

    // One round of reading; false once both streams are closed.
    bool pump(ProcClockT::time_point tDeadline)
    {
        if (m_aFds[0] < 0 && m_aFds[1] < 0) {
            return false;
        }
        pollfd aPoll[2] = {{m_aFds[0], POLLIN, 0}, {m_aFds[1], POLLIN, 0}};
        const auto tLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(tDeadline - ProcClockT::now());
        if (poll(aPoll, 2, static_cast<int>(std::max<long>(0, tLeft.count()))) <= 0) {
            return true;
        }
        std::string* apTargets[2] = {&m_strOut, &m_strErr};
        for (int i = 0; i < 2; ++i) {
            char aBuffer[4096];
            if (aPoll[i].fd >= 0 && aPoll[i].revents != 0) {
                const ssize_t nRead = read(m_aFds[i], aBuffer, sizeof(aBuffer));
                if (nRead > 0) {
                    apTargets[i]->append(aBuffer, static_cast<size_t>(nRead));
                } else {
                    closeFd(m_aFds[i]);
                }
            }
        }
        return true;
    }

    pid_t m_pid = -1;
    int m_nIn = -1;
    int m_aFds[2] = {-1, -1};
    int m_nExit = -1;
    std::string m_strOut;
    std::string m_strErr;
};

struct RunS
{
    int m_nExit = -1; // -1: killed after the time-out
    std::string m_strOut;
    std::string m_strErr;
};

// Runs a program to its end with empty standard input.
inline RunS runProcess(const std::vector<std::string>& vecArgv, const EnvT& vecEnv = {},
                       uint32_t ulTimeoutMs = 60000)
{
    ProcessC process(vecArgv, vecEnv);
    RunS run;
    run.m_nExit = process.finish(ulTimeoutMs);
    run.m_strOut = process.out();
    run.m_strErr = process.err();
    return run;
}

} // namespace proctest
