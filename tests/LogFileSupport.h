// What the log-file tests share: a private storage root, file helpers, the
// manager's consumers. The debug output (OutputDebugStringW) goes to standard
// error on POSIX, where the cases read it.
#pragma once

#include "FakeClock.h"
#include "Nox_Dbg/NOX_DBG_Log.h"
#include "Nox_Dbg/NOX_DBG_LogConsumer.h"
#include "TestEnv.h"

#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

namespace fs = std::filesystem;

inline NOX::DBG::DbgLogMgrC& mgr()
{
    return *NOX::DBG::DbgLogMgrC::getInstance();
}

using testenv::readFile;

inline void writeFile(const fs::path& path, const std::string& strText)
{
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << strText;
}

// The consumer the manager created under that name, or null.
inline NOX::DBG::DbgLogConsumerC* childConsumer(const std::string& strName)
{
    for (NOX::TSK::SysComponentC* pChild = mgr().firstComponent(); pChild != nullptr;
         pChild = mgr().nextComponent(pChild)) {
        auto* pConsumer = dynamic_cast<NOX::DBG::DbgLogConsumerC*>(pChild);
        if (pConsumer != nullptr && pConsumer->getName() == strName) {
            return pConsumer;
        }
    }
    return nullptr;
}

#if !defined(_WIN32)
// Runs fnCall on a thread and tells whether it returned within a bound far
// above its normal run. Past the bound, the FIFO gets both ends for a moment,
// again and again, so that every open blocked on it wakes and the test ends.
inline bool returnsWithoutBlocking(const fs::path& fifo, const std::function<void()>& fnCall)
{
    std::packaged_task<void()> task(fnCall);
    std::future<void> done = task.get_future();
    std::thread thread(std::move(task));
    const bool bInTime = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        ::close(::open(fifo.c_str(), O_RDWR | O_NONBLOCK));
    }
    thread.join();
    return bInTime;
}
#endif

// A fresh directory as the storage root; routes, consumers and the clock are
// reset and the directory removed at the end.
class StorageRootTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_root = testenv::makeTempDir("quenta-storage-");
        ASSERT_FALSE(m_root.empty());
        testenv::setEnv("QUENTA_STORAGE_ROOT", testenv::utf8(m_root));
        m_logDir = m_root / "dbg" / "log";
    }
    void TearDown() override
    {
        mgr().removeAll();
        NOX::TIM::setTimeSources(nullptr, nullptr);
        std::error_code error;
        fs::remove_all(m_root, error);
    }

    fs::path m_root;
    fs::path m_logDir;
};
