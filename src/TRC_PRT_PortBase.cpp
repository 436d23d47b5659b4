#include "TRC_PRT_PortBase.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"

#include <algorithm>
#include <ios>

using NOX::DBG::endl;
using NOX::DBG::g_PortBaseCLog;
using NOX::DBG::PerformanceLogC;

namespace TRC {
namespace PRT {

PortBaseC::PortBaseC()
    : m_hReadThread(INVALID_HANDLE_VALUE), m_bReading(false), m_pReadConsumer(nullptr),
      m_dwReadThreadId(0), m_hStoppedThread(INVALID_HANDLE_VALUE)
{}

PortBaseC::~PortBaseC()
{
    StopReading();
    NOX::TSK::GuardC guard(m_csConsumer);
    m_pReadConsumer = nullptr;
}

void PortBaseC::ConnectReadConsumer(NOX::BIO::ReadConsumerC* pConsumer)
{
    PerformanceLogC log(&g_PortBaseCLog, "PortBaseC::ConnectReadConsumer");
    NOX::TSK::GuardC guard(m_csConsumer);
    m_pReadConsumer = pConsumer;
}

bool PortBaseC::StartReading()
{
    PerformanceLogC log(&g_PortBaseCLog, "PortBaseC::StartReading");
    NOX::TSK::GuardC guard(m_csThread);
    if (m_hReadThread != INVALID_HANDLE_VALUE) {
        return false;
    }
    joinStoppedReader();
    m_bReading.store(true, std::memory_order_release);
    DWORD dwThreadId = 0;
    HANDLE hThread = CreateThread(nullptr, 0, &PortBaseC::DoRead, this, 0, &dwThreadId);
    if (hThread != nullptr) {
        m_hReadThread = hThread;
        m_dwReadThreadId = dwThreadId;
        return true;
    }
    log << "error in creating read thread: " << std::hex << GetLastError() << endl;
    m_hReadThread = INVALID_HANDLE_VALUE;
    m_bReading.store(false, std::memory_order_release);
    return false;
}

bool PortBaseC::StopReading()
{
    PerformanceLogC log(&g_PortBaseCLog, "PortBaseC::StopReading");
    HANDLE hThread;
    bool bSelf;
    {
        NOX::TSK::GuardC guard(m_csThread);
        hThread = m_hReadThread;
        bSelf = m_dwReadThreadId == GetCurrentThreadId();
        if (hThread == INVALID_HANDLE_VALUE) {
            if (!bSelf) {
                joinStoppedReader();
            }
            return true;
        }
        m_hReadThread = INVALID_HANDLE_VALUE;
        m_bReading.store(false, std::memory_order_release);
        if (bSelf) {
            // The reader leaves its loop right after this; waiting for its
            // own end would only cost the whole time-out. The next start,
            // stop or the destructor waits for it instead.
            m_hStoppedThread = hThread;
            return true;
        }
        joinStoppedReader();
    }
    bool bEnded = WaitForSingleObject(hThread, c_dwStopTimeoutMs) == WAIT_OBJECT_0;
    if (!bEnded) {
        log << "Error terminating read thread: " << std::hex << GetLastError() << endl;
    }
    bool bClosed = CloseHandle(hThread) != FALSE;
    if (!bClosed) {
        log << "Error closing thread handle: " << std::hex << GetLastError() << endl;
    }
    return bEnded && bClosed;
}

void PortBaseC::joinStoppedReader()
{
    if (m_hStoppedThread != INVALID_HANDLE_VALUE) {
        WaitForSingleObject(m_hStoppedThread, c_dwStopTimeoutMs);
        CloseHandle(m_hStoppedThread);
        m_hStoppedThread = INVALID_HANDLE_VALUE;
    }
}

DWORD WINAPI PortBaseC::DoRead(LPVOID pPort)
{
    PerformanceLogC log(&g_PortBaseCLog, "PortBaseC::DoRead");
    if (pPort != nullptr) {
        static_cast<PortBaseC*>(pPort)->Read();
    }
    return 0;
}

void PortBaseC::deliver(const char* pData, uint32_t unCount)
{
    while (unCount > 0) {
        uint16_t unPiece = static_cast<uint16_t>(std::min<uint32_t>(unCount, UINT16_MAX));
        {
            NOX::TSK::GuardC guard(m_csConsumer);
            if (m_pReadConsumer != nullptr) {
                m_pReadConsumer->procReadData(pData, unPiece);
            }
        }
        pData += unPiece;
        unCount -= unPiece;
    }
}

} // namespace PRT
} // namespace TRC
