#include "TRC_PRT_PortBase.h"

#include "Nox_Dbg/NOX_DBG_ComponentLogs.h"
#include "TRC_PRT_WireTap.h"

#include <algorithm>
#include <ios>

using NOX::DBG::endl;
using NOX::DBG::g_PortBaseCLog;
using NOX::DBG::PerformanceLogC;

namespace TRC {
namespace PRT {

namespace {
std::atomic<uint32_t> s_unLossCount(0);
} // namespace

PortBaseC::PortBaseC()
    : m_hReadThread(INVALID_HANDLE_VALUE), m_bReading(false), m_pReadConsumer(nullptr),
      m_dwReadThreadId(0), m_hStoppedThread(INVALID_HANDLE_VALUE), m_bLost(false), m_evLost(true)
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

bool PortBaseC::WaitUnlessLost(DWORD dwMs)
{
    const DWORD dwWait = WaitForSingleObject(m_evLost.getHandle(), dwMs);
    if (dwWait == WAIT_FAILED) {
        // Without the event the pause still has to last.
        Sleep(dwMs);
    }
    return !IsDeviceLost();
}

uint32_t PortBaseC::GetLossCount()
{
    return s_unLossCount.load(std::memory_order_acquire);
}

void PortBaseC::reportDeviceLost()
{
    PerformanceLogC log(&g_PortBaseCLog, "PortBaseC::reportDeviceLost");
    if (m_bLost.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    s_unLossCount.fetch_add(1, std::memory_order_acq_rel);
    m_evLost.set();
    // The flag is set before the consumer lock is taken: a consumer that
    // registers after this call finds the loss when it looks.
    NOX::TSK::GuardC guard(m_csConsumer);
    if (m_pReadConsumer != nullptr) {
        m_pReadConsumer->procDeviceLost();
    }
}

void PortBaseC::clearDeviceLost()
{
    m_evLost.reset();
    m_bLost.store(false, std::memory_order_release);
}

void PortBaseC::deliver(const char* pData, uint32_t unCount)
{
    if (WireTapI* pTap = wireTap()) {
        pTap->received(pData, unCount);
    }
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
