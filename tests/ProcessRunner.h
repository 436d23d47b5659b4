// A child process with its standard streams on pipes, for the tests that run
// the tool and the C client: spawned with arguments and a changed
// environment, fed input, read with a bound, and always reaped.
#pragma once

#include <gtest/gtest.h>

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
    for (size_t unStart = 0, unEnd; (unEnd = strText.find('\n', unStart)) != std::string::npos;
         unStart = unEnd + 1) {
        vecLines.push_back(strText.substr(unStart, unEnd - unStart));
    }
    return vecLines;
}

class ProcessC
{
public:
    // vecEnv adds variables to this process's environment; an empty value
    // removes the variable. Standard error goes to nErrFd when given.
    explicit ProcessC(const std::vector<std::string>& vecArgv, const EnvT& vecEnv = {},
                      int nErrFd = -1)
    {
        // env(1) changes the environment, then becomes the program.
        std::vector<std::string> vecAll = {"/usr/bin/env"}, vecSet;
        for (const auto& var : vecEnv) {
            vecAll.insert(vecAll.end(), {"-u", var.first});
            if (!var.second.empty()) {
                vecSet.push_back(var.first + "=" + var.second);
            }
        }
        vecAll.insert(vecAll.end(), vecSet.begin(), vecSet.end());
        vecAll.insert(vecAll.end(), vecArgv.begin(), vecArgv.end());
        std::vector<char*> vecPtrs;
        for (std::string& str : vecAll) {
            vecPtrs.push_back(&str[0]);
        }
        vecPtrs.push_back(nullptr);
        int aPipes[3][2]; // standard input, output, error
        for (auto& aPipe : aPipes) {
            if (pipe2(aPipe, O_CLOEXEC) != 0) {
                ADD_FAILURE() << "no pipes";
                return;
            }
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, aPipes[0][0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, aPipes[1][1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, nErrFd >= 0 ? nErrFd : aPipes[2][1],
                                         STDERR_FILENO);
        if (posix_spawn(&m_pid, vecPtrs[0], &actions, nullptr, vecPtrs.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << vecArgv[0];
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        for (int i = 0; i < 3; ++i) {
            close(aPipes[i][i == 0 ? 0 : 1]);
        }
        m_nIn = aPipes[0][1];
        m_aFds[0] = aPipes[1][0];
        m_aFds[1] = aPipes[2][0];
    }

    ProcessC(const ProcessC&) = delete;
    ProcessC& operator=(const ProcessC&) = delete;
    ~ProcessC() { finish(0); }

    void writeInput(const std::string& strBytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(strBytes.size()),
                  write(m_nIn, strBytes.data(), strBytes.size()));
    }
    void signal(int nSignal) { kill(m_pid, nSignal); }

    bool waitForOutput(const std::string& strNeedle, uint32_t ulTimeoutMs)
    {
        return readUntil(ulTimeoutMs,
                         [&] { return m_strOut.find(strNeedle) != std::string::npos; });
    }

    // Collects the output until the child closes it, then its exit code; -1
    // when it had to be killed after ulTimeoutMs.
    int finish(uint32_t ulTimeoutMs)
    {
        closeFd(m_nIn);
        if (m_pid > 0) {
            readUntil(ulTimeoutMs, [] { return false; });
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
        }
        return m_nExit;
    }

    const std::string& out() const { return m_strOut; }
    const std::string& err() const { return m_strErr; }

private:
    static void closeFd(int& nFd)
    {
        if (nFd >= 0) {
            close(nFd);
        }
        nFd = -1;
    }

    // Reads both streams until bDone holds; false once both are closed or the time is up.
    template <typename DoneT> bool readUntil(uint32_t ulTimeoutMs, DoneT bDone)
    {
        const auto tDeadline = ProcClockT::now() + std::chrono::milliseconds(ulTimeoutMs);
        while (!bDone()) {
            const auto tLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                tDeadline - ProcClockT::now());
            if ((m_aFds[0] < 0 && m_aFds[1] < 0) || tLeft.count() <= 0) {
                return false;
            }
            pollfd aPoll[2] = {{m_aFds[0], POLLIN, 0}, {m_aFds[1], POLLIN, 0}};
            poll(aPoll, 2, static_cast<int>(tLeft.count()));
            std::string* apTargets[2] = {&m_strOut, &m_strErr};
            for (int i = 0; i < 2; ++i) {
                char aBuffer[4096];
                const ssize_t nRead =
                    aPoll[i].revents != 0 ? read(m_aFds[i], aBuffer, sizeof(aBuffer)) : -2;
                if (nRead > 0) {
                    apTargets[i]->append(aBuffer, static_cast<size_t>(nRead));
                } else if (nRead != -2) {
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
    const int nExit = process.finish(ulTimeoutMs);
    return {nExit, process.out(), process.err()};
}

} // namespace proctest
