#include "SIM_Transcript.h"

#include <algorithm>
#include <cstdio>

namespace QUENTA {
namespace SIM {

bool SimHostLineS::operator==(const SimHostLineS& other) const
{
    return m_ulBaudRate == other.m_ulBaudRate && m_unDataBits == other.m_unDataBits &&
           m_unParity == other.m_unParity && m_unStopBits == other.m_unStopBits &&
           m_bRtsCts == other.m_bRtsCts;
}

SimTranscriptC::SimTranscriptC() : m_tStart(SimClockT::now()) {}

void SimTranscriptC::add(SimEntryKindE eKind, const std::string& strBytes, const SimHostLineS& host)
{
    SimTranscriptEntryS entry;
    entry.m_tTime = SimClockT::now();
    entry.m_eKind = eKind;
    entry.m_strBytes = strBytes;
    entry.m_host = host;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        entry.m_pszMode = m_pszMode;
        if (m_fnObserver) {
            m_fnObserver(entry);
        }
        m_unBytes += entry.m_strBytes.size();
        m_vecEntries.push_back(std::move(entry));
        trim();
    }
    m_cvChanged.notify_all();
}

void SimTranscriptC::trim()
{
    if (m_vecEntries.size() <= m_unMaxEntries && m_unBytes <= m_unMaxBytes) {
        return;
    }
    // Down to three quarters, so that the copy is paid once for many entries.
    const size_t unKeepEntries = m_unMaxEntries - m_unMaxEntries / 4;
    const size_t unKeepBytes = m_unMaxBytes - m_unMaxBytes / 4;
    size_t unDrop = 0;
    while (unDrop < m_vecEntries.size() &&
           (m_vecEntries.size() - unDrop > unKeepEntries || m_unBytes > unKeepBytes)) {
        m_unBytes -= m_vecEntries[unDrop++].m_strBytes.size();
    }
    m_vecEntries.erase(m_vecEntries.begin(), m_vecEntries.begin() + unDrop);
    m_unFirstIndex += unDrop;
    if (m_vecEntries.capacity() > 2 * m_unMaxEntries + 16) {
        m_vecEntries.shrink_to_fit();
    }
}

void SimTranscriptC::clear()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_vecEntries.clear();
    m_unFirstIndex = 0;
    m_unBytes = 0;
}

void SimTranscriptC::setModeName(const char* pszMode)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pszMode = pszMode;
}

void SimTranscriptC::setLimits(size_t unMaxEntries, size_t unMaxBytes)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_unMaxEntries = std::max<size_t>(unMaxEntries, 4);
    m_unMaxBytes = unMaxBytes;
    trim();
}

void SimTranscriptC::setObserver(const ObserverT& fnObserver)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_fnObserver = fnObserver;
}

std::vector<SimTranscriptEntryS> SimTranscriptC::entries() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_vecEntries;
}

std::vector<SimTranscriptEntryS> SimTranscriptC::entriesFrom(size_t unFirst, size_t* pFirst) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    const size_t unFrom = std::max(unFirst, m_unFirstIndex);
    if (pFirst != nullptr) {
        *pFirst = unFrom;
    }
    if (unFrom >= m_unFirstIndex + m_vecEntries.size()) {
        return {};
    }
    return std::vector<SimTranscriptEntryS>(m_vecEntries.begin() + (unFrom - m_unFirstIndex),
                                            m_vecEntries.end());
}

size_t SimTranscriptC::size() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_unFirstIndex + m_vecEntries.size();
}

static std::string joinKind(const std::vector<SimTranscriptEntryS>& vecEntries, SimEntryKindE eKind)
{
    std::string strResult;
    for (const SimTranscriptEntryS& entry : vecEntries) {
        if (entry.m_eKind == eKind) {
            strResult += entry.m_strBytes;
        }
    }
    return strResult;
}

std::string SimTranscriptC::joined(SimEntryKindE eKind) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return joinKind(m_vecEntries, eKind);
}

std::vector<std::string> SimTranscriptC::receivedLines() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    std::vector<std::string> vecLines;
    for (const SimTranscriptEntryS& entry : m_vecEntries) {
        if (entry.m_eKind == EK_RECEIVED_LINE) {
            vecLines.push_back(entry.m_strBytes);
        }
    }
    return vecLines;
}

bool SimTranscriptC::waitFor(const PredicateT& predicate, uint32_t ulTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cvChanged.wait_for(lock, std::chrono::milliseconds(ulTimeoutMs),
                                [&] { return predicate(m_vecEntries); });
}

bool SimTranscriptC::waitForBytes(SimEntryKindE eKind, const std::string& strNeedle,
                                  uint32_t ulTimeoutMs) const
{
    return waitFor(
        [&](const std::vector<SimTranscriptEntryS>& vecEntries) {
            return joinKind(vecEntries, eKind).find(strNeedle) != std::string::npos;
        },
        ulTimeoutMs);
}

bool SimTranscriptC::waitForSize(size_t unSize, uint32_t ulTimeoutMs) const
{
    return waitFor(
        [&](const std::vector<SimTranscriptEntryS>& vecEntries) {
            return m_unFirstIndex + vecEntries.size() >= unSize;
        },
        ulTimeoutMs);
}

std::string renderReadable(const std::string& strBytes)
{
    std::string strResult;
    for (unsigned char c : strBytes) {
        if (c == '\r') {
            strResult += "<CR>";
        } else if (c == '\n') {
            strResult += "<LF>";
        } else if (c < 0x20 || c >= 0x7f) {
            char szHex[8];
            std::snprintf(szHex, sizeof(szHex), "<0x%02X>", c);
            strResult += szHex;
        } else {
            strResult += static_cast<char>(c);
        }
    }
    return strResult;
}

const char* entryKindName(SimEntryKindE eKind)
{
    switch (eKind) {
    case EK_RECEIVED_LINE:
        return "RX  ";
    case EK_SENT:
        return "TX  ";
    case EK_DATA:
        return "DATA";
    case EK_NOISE:
        return "NOIS";
    case EK_MODE:
        return "MODE";
    case EK_NOTE:
        return "NOTE";
    }
    return "?";
}

std::string formatEntry(const SimTranscriptEntryS& entry, SimClockT::time_point tStart)
{
    const double dSeconds = std::chrono::duration<double>(entry.m_tTime - tStart).count();
    char szHead[96];
    std::snprintf(szHead, sizeof(szHead), "%9.3f %s host %u %s ", dSeconds,
                  entryKindName(entry.m_eKind), static_cast<unsigned>(entry.m_host.m_ulBaudRate),
                  entry.m_host.m_bRtsCts ? "rtscts" : "no-hs ");
    const bool bText = entry.m_eKind == EK_MODE || entry.m_eKind == EK_NOTE;
    return szHead + (bText ? entry.m_strBytes : renderReadable(entry.m_strBytes));
}

} // namespace SIM
} // namespace QUENTA
