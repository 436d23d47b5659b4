// The simulator's control channel: a Unix stream socket at a path, served on
// its own thread. Clients come one after another or at once; every line a
// client sends (up to a line feed, a CR before it dropped) gets one answer
// line from the handler, in order. The socket file is removed on stop.
#ifndef SIM_CONTROLSERVER_H
#define SIM_CONTROLSERVER_H

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace QUENTA {
namespace SIM {

class SimControlServerC
{
public:
    // The line without its line feed and its number on that connection (from
    // 1); returns the answer without its line feed.
    using HandlerT = std::function<std::string(const std::string& strLine, size_t unLine)>;

    explicit SimControlServerC(const HandlerT& fnHandler) : m_fnHandler(fnHandler) {}
    ~SimControlServerC();
    SimControlServerC(const SimControlServerC&) = delete;
    SimControlServerC& operator=(const SimControlServerC&) = delete;

    // Binds and listens. A stale socket at the path (nobody accepts on it) is
    // replaced; a live one or any other file is left alone and start fails.
    bool start(const std::string& strPath, std::string& strError);
    void stop();

private:
    struct ClientS;

    void run();
    bool serve(ClientS& client);
    void takeLines(ClientS& client);

    HandlerT m_fnHandler;
    std::string m_strPath;
    int m_hListen = -1;
    int m_hWake[2] = {-1, -1};
    unsigned long m_ulInode = 0; // of our socket file, so that stop removes only ours
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
};

} // namespace SIM
} // namespace QUENTA

#endif
