#include "SIM_ControlServer.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace QUENTA {
namespace SIM {

namespace {

// A line longer than this is refused and skipped up to its end.
const size_t c_unMaxLine = 64 * 1024;
// A client that takes no answers is dropped rather than held in memory.
const size_t c_unMaxPending = 1024 * 1024;
const size_t c_unMaxClients = 64;

bool socketAddress(const std::string& strPath, sockaddr_un& address, std::string& strError)
{
    std::memset(&address, 0, sizeof(address));
    address.sun_family = AF_UNIX;
    if (strPath.empty() || strPath.size() >= sizeof(address.sun_path)) {
        strError = "the control path must have 1 to " +
                   std::to_string(sizeof(address.sun_path) - 1) + " bytes: " + strPath;
        return false;
    }
    std::memcpy(address.sun_path, strPath.c_str(), strPath.size());
    return true;
}

// True when a socket file lies at the path and nobody accepts on it.
bool isStaleSocket(const std::string& strPath, const sockaddr_un& address)
{
    struct stat info
    {};
    if (lstat(strPath.c_str(), &info) != 0 || !S_ISSOCK(info.st_mode)) {
        return false;
    }
    const int hProbe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool bLive =
        connect(hProbe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    close(hProbe);
    return !bLive;
}

} // namespace

struct SimControlServerC::ClientS
{
    int m_hFd = -1;
    std::string m_strIn;
    std::string m_strOut;
    size_t m_unLine = 0;
    bool m_bSkipping = false; // in the rest of an overlong line
    bool m_bEof = false;
};

SimControlServerC::~SimControlServerC()
{
    stop();
}

bool SimControlServerC::start(const std::string& strPath, std::string& strError)
{
    sockaddr_un address;
    if (!socketAddress(strPath, address, strError)) {
        return false;
    }
    if (isStaleSocket(strPath, address)) {
        unlink(strPath.c_str());
    }
    m_hListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_hListen < 0 ||
        bind(m_hListen, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(m_hListen, 16) != 0 || pipe2(m_hWake, O_NONBLOCK | O_CLOEXEC) != 0) {
        strError = "cannot listen on " + strPath + ": " + std::strerror(errno);
        if (m_hListen >= 0) {
            close(m_hListen);
            m_hListen = -1;
        }
        return false;
    }
    struct stat info
    {};
    m_ulInode = stat(strPath.c_str(), &info) == 0 ? info.st_ino : 0;
    m_strPath = strPath;
    m_bStop = false;
    m_thread = std::thread(&SimControlServerC::run, this);
    return true;
}

void SimControlServerC::stop()
{
    if (!m_thread.joinable()) {
        return;
    }
    m_bStop = true;
    const char c = 1;
    while (write(m_hWake[1], &c, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
    close(m_hListen);
    m_hListen = -1;
    for (int& hFd : m_hWake) {
        close(hFd);
        hFd = -1;
    }
    struct stat info
    {};
    // Only our own socket: another instance may have taken the path over.
    if (stat(m_strPath.c_str(), &info) == 0 && info.st_ino == m_ulInode) {
        unlink(m_strPath.c_str());
    }
}

void SimControlServerC::run()
{
    std::vector<ClientS> vecClients;
    while (!m_bStop) {
        std::vector<pollfd> vecPoll = {{m_hWake[0], POLLIN, 0}, {m_hListen, POLLIN, 0}};
        if (vecClients.size() >= c_unMaxClients) {
            vecPoll[1].fd = -1;
        }
        for (const ClientS& client : vecClients) {
            const short sEvents = static_cast<short>((client.m_bEof ? 0 : POLLIN) |
                                                     (client.m_strOut.empty() ? 0 : POLLOUT));
            vecPoll.push_back({client.m_hFd, sEvents, 0});
        }
        if (poll(vecPoll.data(), vecPoll.size(), -1) < 0 && errno != EINTR) {
            break;
        }
        if (vecPoll[1].revents & POLLIN) {
            const int hClient = accept4(m_hListen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (hClient >= 0) {
                ClientS client;
                client.m_hFd = hClient;
                vecClients.push_back(client);
            }
        }
        for (size_t i = 0; i < vecClients.size();) {
            const bool bReady = i + 2 < vecPoll.size() && vecPoll[i + 2].revents != 0;
            if (bReady && !serve(vecClients[i])) {
                close(vecClients[i].m_hFd);
                vecClients.erase(vecClients.begin() + static_cast<long>(i));
                vecPoll.erase(vecPoll.begin() + static_cast<long>(i) + 2);
                continue;
            }
            ++i;
        }
    }
    for (ClientS& client : vecClients) {
        close(client.m_hFd);
    }
}

// Reads, answers and writes what the client allows now; false to drop it.
bool SimControlServerC::serve(ClientS& client)
{
    char szBuffer[4096];
    while (!client.m_bEof) {
        const ssize_t nRead = read(client.m_hFd, szBuffer, sizeof(szBuffer));
        if (nRead > 0) {
            client.m_strIn.append(szBuffer, static_cast<size_t>(nRead));
            takeLines(client);
            continue;
        }
        if (nRead < 0 && errno == EINTR) {
            continue;
        }
        if (nRead < 0 && errno == EAGAIN) {
            break;
        }
        if (nRead < 0) {
            return false;
        }
        // The client is done sending: a last line without its line feed still counts.
        client.m_bEof = true;
        if (!client.m_strIn.empty() && !client.m_bSkipping) {
            client.m_strIn += '\n';
            takeLines(client);
        }
    }
    while (!client.m_strOut.empty()) {
        const ssize_t nWritten =
            send(client.m_hFd, client.m_strOut.data(), client.m_strOut.size(), MSG_NOSIGNAL);
        if (nWritten > 0) {
            client.m_strOut.erase(0, static_cast<size_t>(nWritten));
        } else if (nWritten < 0 && errno == EINTR) {
            continue;
        } else if (nWritten < 0 && errno == EAGAIN) {
            break;
        } else {
            return false;
        }
    }
    if (client.m_strOut.size() > c_unMaxPending) {
        return false;
    }
    return !(client.m_bEof && client.m_strOut.empty());
}

void SimControlServerC::takeLines(ClientS& client)
{
    size_t unEnd;
    while ((unEnd = client.m_strIn.find('\n')) != std::string::npos) {
        std::string strLine = client.m_strIn.substr(0, unEnd);
        client.m_strIn.erase(0, unEnd + 1);
        if (client.m_bSkipping) {
            client.m_bSkipping = false;
            continue;
        }
        if (!strLine.empty() && strLine.back() == '\r') {
            strLine.pop_back();
        }
        client.m_strOut += m_fnHandler(strLine, ++client.m_unLine) + "\n";
    }
    if (client.m_strIn.size() > c_unMaxLine && !client.m_bSkipping) {
        client.m_strOut += "error: line " + std::to_string(++client.m_unLine) + ": longer than " +
                           std::to_string(c_unMaxLine) + " bytes\n";
        client.m_bSkipping = true;
    }
    if (client.m_bSkipping) {
        client.m_strIn.clear();
    }
}

} // namespace SIM
} // namespace QUENTA
