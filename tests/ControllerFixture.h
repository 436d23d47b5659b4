// The controller wired to the simulated module over a real pseudo-terminal:
// the module starts in command mode, the host port is open at the shared
// default line settings (115200 8N1, no handshake), and every line the
// controller sends can be read back from the module's transcript.
#pragma once

#include "SIM_SimulatedModule.h"
#include "TRC_CFG_TaviDeviceControllerImpl.h"
#include "TRC_PRT_SerialPort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace ctrltest {

using namespace TRC::CFG;
using namespace QUENTA::SIM;
using TRC::PRT::Rs232SettingsS;
using SteadyT = std::chrono::steady_clock;

const char c_szPing[] = "AT\r";

inline int64_t msSince(SteadyT::time_point tStart)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyT::now() - tStart).count();
}

inline int64_t msBetween(SimClockT::time_point tFrom, SimClockT::time_point tTo)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(tTo - tFrom).count();
}

// The module's transcript entries of one kind, in order.
inline std::vector<SimTranscriptEntryS> entriesOf(const SimulatedModuleC& module,
                                                  SimEntryKindE eKind)
{
    std::vector<SimTranscriptEntryS> vecEntries = module.transcript().entries();
    vecEntries.erase(std::remove_if(vecEntries.begin(), vecEntries.end(),
                                    [eKind](const auto& entry) { return entry.m_eKind != eKind; }),
                     vecEntries.end());
    return vecEntries;
}

inline size_t countOf(const std::vector<std::string>& vecLines, const std::string& strLine)
{
    return static_cast<size_t>(std::count(vecLines.begin(), vecLines.end(), strLine));
}

// A search's lines: the inquiry, then a name query for each address given.
inline std::vector<std::string> searchLines(const std::vector<std::string>& vecQueried)
{
    std::vector<std::string> vecLines = {c_szPing, "AT*AGI=2,10,15\r"};
    for (const std::string& strAddress : vecQueried) {
        vecLines.push_back(c_szPing);
        vecLines.push_back("AT*AGND=" + strAddress + "\r");
    }
    return vecLines;
}

// A serial port that remembers the last purge the controller asked for.
class RecordingPortC : public TRC::PRT::SerialPortC
{
public:
    void FlushBuffers(uint16_t unFlags) override
    {
        m_unLastFlushFlags = unFlags;
        TRC::PRT::SerialPortC::FlushBuffers(unFlags);
    }

    std::atomic<uint16_t> m_unLastFlushFlags{0};
};

class ControllerFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        SimConfigS config;
        config.m_eInitialMode = SM_COMMAND;
        config.m_ulScanMs = 100;
        config.m_ulNameMs = 10;
        config.m_ulRestartMs = 100;
        m_pModule.reset(new SimulatedModuleC(config));
        ASSERT_TRUE(m_pModule->start());
        const std::string strPath = m_pModule->slavePath();
        m_port.SetPortName(std::wstring(strPath.begin(), strPath.end()));
        ASSERT_EQ(RC_OK, m_controller.setPort(&m_port));
        ASSERT_EQ(RC_OK, m_controller.openPort());
    }

    void TearDown() override
    {
        m_controller.closePort();
        m_controller.setPort(nullptr);
    }

    SimulatedModuleC& module() { return *m_pModule; }

    // How many command lines the module has received so far.
    size_t mark() const { return m_pModule->transcript().receivedLines().size(); }

    std::vector<std::string> linesSince(size_t unMark) const
    {
        std::vector<std::string> vecLines = m_pModule->transcript().receivedLines();
        vecLines.erase(vecLines.begin(), vecLines.begin() + static_cast<long>(unMark));
        return vecLines;
    }

    std::unique_ptr<SimulatedModuleC> m_pModule;
    RecordingPortC m_port;
    TaviDeviceControllerImplC m_controller;
};

} // namespace ctrltest
