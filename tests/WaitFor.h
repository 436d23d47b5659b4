// Bounded waits on flags set by other threads.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

// True once the flag is set; false after two seconds without it.
inline bool waitFor(const std::atomic<bool>& bFlag)
{
    for (int i = 0; i < 2000 && !bFlag.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return bFlag.load();
}

// Holds the calling thread until the flag is set, to keep a lock taken.
inline void holdUntil(const std::atomic<bool>& bFlag)
{
    while (!bFlag.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// True if the flag stays clear for 50 ms: the other thread is blocked.
inline bool staysClear(const std::atomic<bool>& bFlag)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !bFlag.load();
}
