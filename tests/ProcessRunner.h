// A child process for the tests that run the tool and the C client: spawned
// with arguments and a changed environment, fed input on a pipe, its output
// kept in memory files, waited for with a bound, and always reaped.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h> // for the tests that read their own descriptors
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

extern char** environ;

namespace proctest {

using EnvT = std::vector<std::pair<std::string, std::string>>;

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

// True once bDone holds, checked every 5 ms; false after ulTimeoutMs without.
template <typename DoneT> bool waitUntil(uint32_t ulTimeoutMs, DoneT bDone)
{
    const auto tDeadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    while (!bDone()) {
        if (std::chrono::steady_clock::now() >= tDeadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
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
        int aIn[2] = {-1, -1};
        m_aFiles[0] = memfd_create("out", MFD_CLOEXEC);
        m_aFiles[1] = memfd_create("err", MFD_CLOEXEC);
        if (pipe2(aIn, O_CLOEXEC) != 0 || m_aFiles[0] < 0 || m_aFiles[1] < 0) {
            ADD_FAILURE() << "no pipe or memory file";
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, aIn[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, m_aFiles[0], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, nErrFd >= 0 ? nErrFd : m_aFiles[1],
                                         STDERR_FILENO);
        if (posix_spawn(&m_pid, vecPtrs[0], &actions, nullptr, vecPtrs.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << vecArgv[0];
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(aIn[0]);
        m_nIn = aIn[1];
    }

    ProcessC(const ProcessC&) = delete;
    ProcessC& operator=(const ProcessC&) = delete;
    ~ProcessC()
    {
        finish(0);
        close(m_aFiles[0]);
        close(m_aFiles[1]);
    }

    void writeInput(const std::string& strBytes)
    {
        ASSERT_EQ(static_cast<ssize_t>(strBytes.size()),
                  write(m_nIn, strBytes.data(), strBytes.size()));
    }
    // Never kill(-1, ...): that would signal every process this user may.
    void signal(int nSignal)
    {
        if (m_pid > 0) {
            kill(m_pid, nSignal);
        }
    }

    bool waitForOutput(const std::string& strNeedle, uint32_t ulTimeoutMs)
    {
        return waitUntil(ulTimeoutMs, [&] { return out().find(strNeedle) != std::string::npos; });
    }

    // Closes the input and waits for the child's end: its exit code, or -1
    // when it had to be killed after ulTimeoutMs.
    int finish(uint32_t ulTimeoutMs)
    {
        if (m_nIn >= 0) {
            close(m_nIn);
            m_nIn = -1;
        }
        if (m_pid > 0) {
            int nStatus = 0;
            const bool bEnded =
                waitUntil(ulTimeoutMs, [&] { return waitpid(m_pid, &nStatus, WNOHANG) == m_pid; });
            if (!bEnded) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &nStatus, 0);
            }
            m_pid = -1;
            m_nExit = bEnded && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        }
        return m_nExit;
    }

    std::string out() const { return contents(m_aFiles[0]); }
    std::string err() const { return contents(m_aFiles[1]); }

private:
    static std::string contents(int nFile)
    {
        std::string strText;
        char aBuffer[4096];
        for (ssize_t nRead; (nRead = pread(nFile, aBuffer, sizeof(aBuffer), strText.size())) > 0;) {
            strText.append(aBuffer, static_cast<size_t>(nRead));
        }
        return strText;
    }

    pid_t m_pid = -1;
    int m_nIn = -1;
    int m_aFiles[2] = {-1, -1}; // standard output and error
    int m_nExit = -1;
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
