#include "SIM_TranscriptWriter.h"

#include "SIM_Json.h"

#include <cerrno>
#include <cstring>

namespace QUENTA {
namespace SIM {

const char* entryKindJsonName(SimEntryKindE eKind)
{
    switch (eKind) {
    case EK_RECEIVED_LINE:
        return "received";
    case EK_SENT:
        return "sent";
    case EK_DATA:
        return "data";
    case EK_NOISE:
        return "noise";
    case EK_MODE:
        return "mode";
    case EK_NOTE:
        return "note";
    }
    return "note";
}

std::string transcriptJsonLine(const SimTranscriptEntryS& entry, SimClockT::time_point tStart)
{
    char szTime[32];
    std::snprintf(szTime, sizeof(szTime), "%.6f",
                  std::chrono::duration<double>(entry.m_tTime - tStart).count());
    const bool bText = entry.m_eKind == EK_MODE || entry.m_eKind == EK_NOTE;
    std::string strLine =
        std::string("{\"t\":") + szTime + ",\"kind\":\"" + entryKindJsonName(entry.m_eKind) +
        "\",\"bytes\":" + jsonString(bText ? std::string() : entry.m_strBytes) +
        ",\"mode\":" + jsonString(entry.m_pszMode) +
        ",\"host\":" + (entry.m_host.m_ulBaudRate != 0 ? jsonHost(entry.m_host) : "null");
    if (bText) {
        strLine += ",\"note\":" + jsonString(entry.m_strBytes);
    }
    return strLine + "}";
}

SimTranscriptWriterC::~SimTranscriptWriterC()
{
    close();
}

bool SimTranscriptWriterC::open(const std::string& strPath, std::string& strError)
{
    close();
    m_pFile = std::fopen(strPath.c_str(), "we");
    if (m_pFile == nullptr) {
        strError = "cannot write " + strPath + ": " + std::strerror(errno);
        return false;
    }
    m_bFailed = false;
    return true;
}

void SimTranscriptWriterC::close()
{
    if (m_pFile != nullptr) {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
}

bool SimTranscriptWriterC::write(const SimTranscriptEntryS& entry, SimClockT::time_point tStart)
{
    if (m_pFile == nullptr || m_bFailed) {
        return false;
    }
    const std::string strLine = transcriptJsonLine(entry, tStart) + "\n";
    m_bFailed = std::fwrite(strLine.data(), 1, strLine.size(), m_pFile) != strLine.size() ||
                std::fflush(m_pFile) != 0;
    return !m_bFailed;
}

} // namespace SIM
} // namespace QUENTA
