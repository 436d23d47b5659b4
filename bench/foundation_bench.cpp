// The foundation's lock and transfer signal against the raw POSIX primitives
// they stand for, measured side by side in one run; main prints the ratio of
// each wrapper to its raw counterpart (goal: at most 1.10).
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include "BenchRatio.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sched.h>
#include <semaphore.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

void BM_CriticalSectionGuard(benchmark::State& state)
{
    NOX::TSK::CriticalSectionC criticalSection;
    for (auto _ : state) {
        NOX::TSK::GuardC guard(criticalSection);
        benchmark::ClobberMemory();
    }
}

void lockUnlockLoop(benchmark::State& state, int nType)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, nType);
    pthread_mutex_t mutex;
    pthread_mutex_init(&mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
}

void BM_PthreadRecursiveMutex(benchmark::State& state)
{
    lockUnlockLoop(state, PTHREAD_MUTEX_RECURSIVE);
}

void BM_PthreadNormalMutex(benchmark::State& state)
{
    lockUnlockLoop(state, PTHREAD_MUTEX_NORMAL);
}

// One iteration is a round trip: signal the echo thread, wait for its answer.
// Keeps the calling thread, and the threads it starts while this lives, on
// the processor it runs on, and gives the old set back at the end.
class OneCpuC
{
public:
    OneCpuC()
    {
        pthread_getaffinity_np(pthread_self(), sizeof(m_old), &m_old);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        pthread_setaffinity_np(pthread_self(), sizeof(one), &one);
    }
    ~OneCpuC() { pthread_setaffinity_np(pthread_self(), sizeof(m_old), &m_old); }
    OneCpuC(const OneCpuC&) = delete;
    OneCpuC& operator=(const OneCpuC&) = delete;

private:
    cpu_set_t m_old;
};

void xferPingPong(benchmark::State& state)
{
    NOX::BIO::XferProcBaseC ping;
    NOX::BIO::XferProcBaseC pong;
    std::atomic<bool> bStop{false};
    std::thread echo([&] {
        while (ping.wait(INFINITE) == NOX::RC_OK && !bStop.load()) {
            pong.signal();
        }
    });
    for (auto _ : state) {
        ping.signal();
        pong.wait(INFINITE);
    }
    bStop.store(true);
    ping.signal();
    echo.join();
}

void semaphorePingPong(benchmark::State& state)
{
    sem_t ping;
    sem_t pong;
    sem_init(&ping, 0, 0);
    sem_init(&pong, 0, 0);
    std::atomic<bool> bStop{false};
    std::thread echo([&] {
        while (sem_wait(&ping) == 0 && !bStop.load()) {
            sem_post(&pong);
        }
    });
    for (auto _ : state) {
        sem_post(&ping);
        sem_wait(&pong);
    }
    bStop.store(true);
    sem_post(&ping);
    echo.join();
    sem_destroy(&ping);
    sem_destroy(&pong);
}

// Two threads wherever the scheduler puts them: on a virtual machine whose
// idle processors halt, most of a hand-over is the hypervisor waking one.
void BM_XferProcPingPong(benchmark::State& state)
{
    xferPingPong(state);
}

void BM_SemaphorePingPong(benchmark::State& state)
{
    semaphorePingPong(state);
}

// Both threads on one processor: every hand-over is a plain switch between
// them, so the figures show the primitives rather than the machine's wake-ups.
void BM_XferProcPingPongOneCpu(benchmark::State& state)
{
    OneCpuC oneCpu;
    xferPingPong(state);
}

void BM_SemaphorePingPongOneCpu(benchmark::State& state)
{
    OneCpuC oneCpu;
    semaphorePingPong(state);
}

// Signal and wait on one thread: the cost of the calls themselves, without
// the sleep and wake-up of a hand-over.
void BM_XferProcSignalWait(benchmark::State& state)
{
    NOX::BIO::XferProcBaseC xfer;
    for (auto _ : state) {
        xfer.signal();
        benchmark::DoNotOptimize(xfer.wait(0));
    }
}

void BM_SemaphorePostWait(benchmark::State& state)
{
    sem_t semaphore;
    sem_init(&semaphore, 0, 0);
    for (auto _ : state) {
        sem_post(&semaphore);
        benchmark::DoNotOptimize(sem_trywait(&semaphore));
    }
    sem_destroy(&semaphore);
}

// Repetitions and medians: the machine is shared, single runs are noisy. The
// locks run on one thread and are compared in CPU time, which other load
// disturbs less; a hand-over includes the sleep and wake-up, so real time.
BENCHMARK(BM_CriticalSectionGuard)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_PthreadRecursiveMutex)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_PthreadNormalMutex)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_XferProcSignalWait)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_SemaphorePostWait)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(BM_XferProcPingPong)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_SemaphorePingPong)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_XferProcPingPongOneCpu)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(BM_SemaphorePingPongOneCpu)->Repetitions(9)->ReportAggregatesOnly(true)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    return runWithRatios(argc, argv, [](const MedianReporterC& reporter) {
        reporter.printRatio("CriticalSectionC/pthread recursive", "BM_CriticalSectionGuard",
                            "BM_PthreadRecursiveMutex");
        reporter.printRatio("CriticalSectionC/pthread normal", "BM_CriticalSectionGuard",
                            "BM_PthreadNormalMutex");
        reporter.printRatio("XferProcBaseC/sem_t signal+wait on one thread",
                            "BM_XferProcSignalWait", "BM_SemaphorePostWait");
        reporter.printRatio("XferProcBaseC/sem_t hand-over", "BM_XferProcPingPong",
                            "BM_SemaphorePingPong");
        // The waiting thread's own CPU time per round trip depends far less
        // on where the scheduler put the echo thread.
        reporter.printRatio("XferProcBaseC/sem_t hand-over, caller CPU", "BM_XferProcPingPong",
                            "BM_SemaphorePingPong", MedianReporterC::TK_CPU);
        reporter.printRatio("XferProcBaseC/sem_t hand-over on one processor",
                            "BM_XferProcPingPongOneCpu", "BM_SemaphorePingPongOneCpu");
    });
}
