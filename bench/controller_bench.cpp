// One read command exchange through the controller (its command-mode ping
// and the read itself) against the simulated module answering at once,
// beside the same two round trips done raw on the same pseudo-terminal:
// write the line, poll and read until the final OK.
#include "BenchRatio.h"
#include "SIM_RawHost.h"
#include "SIM_SimulatedModule.h"
#include "TRC_CFG_TaviDeviceControllerImpl.h"
#include "TRC_PRT_SerialPort.h"

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

using namespace TRC::CFG;
using namespace QUENTA::SIM;

namespace {

const char c_szOk[] = "\r\nOK\r\n";

// One module for the whole run, in command mode, answering without delay.
SimulatedModuleC* benchModule()
{
    static std::unique_ptr<SimulatedModuleC> s_pModule = [] {
        SimConfigS config;
        config.m_eInitialMode = SM_COMMAND;
        std::unique_ptr<SimulatedModuleC> pModule(new SimulatedModuleC(config));
        if (!pModule->start()) {
            pModule.reset();
        }
        return pModule;
    }();
    return s_pModule.get();
}

std::wstring widen(const std::string& strText)
{
    return std::wstring(strText.begin(), strText.end());
}

bool endsWithOk(const std::string& strAnswer)
{
    const size_t unOk = sizeof(c_szOk) - 1;
    return strAnswer.size() >= unOk &&
           strAnswer.compare(strAnswer.size() - unOk, unOk, c_szOk) == 0;
}

void BM_ControllerReadExchange(benchmark::State& state)
{
    SimulatedModuleC* pModule = benchModule();
    if (pModule == nullptr) {
        state.SkipWithError("no pseudo-terminal for the simulated module");
        return;
    }
    TRC::PRT::SerialPortC port;
    port.SetPortName(widen(pModule->slavePath()));
    TaviDeviceControllerImplC controller;
    controller.setPort(&port);
    if (controller.openPort() != RC_OK) {
        state.SkipWithError("the port did not open");
        return;
    }
    for (auto _ : state) {
        uint32_t ulProfile = 0;
        if (controller.getDefaultServerProfile(&ulProfile) != RC_OK) {
            state.SkipWithError("the exchange failed");
            break;
        }
        benchmark::DoNotOptimize(ulProfile);
    }
    controller.closePort();
    controller.setPort(nullptr);
}

void BM_RawTwoRoundTrips(benchmark::State& state)
{
    SimulatedModuleC* pModule = benchModule();
    if (pModule == nullptr) {
        state.SkipWithError("no pseudo-terminal for the simulated module");
        return;
    }
    RawHostC host;
    if (!host.open(pModule->slavePath())) {
        state.SkipWithError("the pseudo-terminal did not open");
        return;
    }
    for (auto _ : state) {
        if (!endsWithOk(host.command("AT")) || !endsWithOk(host.command("AT*ADDSP?"))) {
            state.SkipWithError("a round trip failed");
            break;
        }
    }
    host.close();
}

BENCHMARK(BM_ControllerReadExchange)->UseRealTime()->Iterations(400)->Repetitions(15);
BENCHMARK(BM_RawTwoRoundTrips)->UseRealTime()->Iterations(400)->Repetitions(15);

} // namespace

int main(int argc, char** argv)
{
    return runWithRatios(argc, argv, [](const MedianReporterC& reporter) {
        reporter.printRatio("controller read exchange / two raw round trips",
                            "BM_ControllerReadExchange", "BM_RawTwoRoundTrips");
    });
}
