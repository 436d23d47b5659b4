// Assertions report a violated condition and let the program go on; panics
// report an unrecoverable one and end the process. Both write to the
// "SystemErrorLogger" log and then give a replaceable handler the chance to act.
#pragma once

#include "Nox_Tsk/NOX_TSK_Mutex.h"

#include <cstdint>
#include <vector>

namespace NOX {
namespace ERR {

// Type of every panic raised by the foundation library.
constexpr unsigned long c_ulFoundationPanic = 0x01200001;

class SysPanicHandlerI
{
public:
    virtual ~SysPanicHandlerI() = default;
    virtual void panic(const char* szMessage, unsigned long ulType, long lArg1, long lArg2,
                       const char* szFile, int nLine) = 0;
    virtual void assertFailed(const char* szCondition, long lArg1, long lArg2, const char* szFile,
                              int nLine) = 0;
    virtual void onEnabledChanged(bool bEnabled, bool& bField) {}

    void setEnabled(bool bEnabled);
    bool isEnabled() const { return m_bEnabled; }

private:
    bool m_bEnabled = false;
};

class PanicHandlerRegistryC : public SysPanicHandlerI
{
public:
    static PanicHandlerRegistryC& getInstance();
    ~PanicHandlerRegistryC() override;

    // Without bReplace an already registered handler stays.
    void setHandler(SysPanicHandlerI* pHandler, bool bReplace);
    // Clears the slot only when pHandler is the one registered.
    void removeHandler(SysPanicHandlerI* pHandler);
    SysPanicHandlerI* getHandler();
    bool hasHandler();

    void panic(const char* szMessage, unsigned long ulType, long lArg1, long lArg2,
               const char* szFile, int nLine) override;
    void assertFailed(const char* szCondition, long lArg1, long lArg2, const char* szFile,
                      int nLine) override;
    void onEnabledChanged(bool bEnabled, bool& bField) override;

    // The "ASSERTEnabled" switch in the registry; missing reads as off.
    static bool isAssertEnabled();
    // Returns 0, or RC_FAILED when the value cannot be written.
    static uint32_t setAssertEnabled(bool bEnabled);

private:
    PanicHandlerRegistryC() = default;

    SysPanicHandlerI* m_pHandler = nullptr;
    NOX::TSK::CriticalSectionC m_Lock;
};

class CompositePanicHandlerC : public SysPanicHandlerI
{
public:
    void addHandler(SysPanicHandlerI* pHandler);
    // Removes every occurrence; true when there was one.
    bool removeHandler(SysPanicHandlerI* pHandler);

    void panic(const char* szMessage, unsigned long ulType, long lArg1, long lArg2,
               const char* szFile, int nLine) override;
    void assertFailed(const char* szCondition, long lArg1, long lArg2, const char* szFile,
                      int nLine) override;
    void onEnabledChanged(bool bEnabled, bool& bField) override;

private:
    std::vector<SysPanicHandlerI*> m_vecHandlers;
};

void assertFailed(const char* szCondition, long lArg1, long lArg2, const char* szFile, int nLine);
[[noreturn]] void panic(const char* szMessage, unsigned long ulType, long lArg1, long lArg2,
                        const char* szFile, int nLine);

} // namespace ERR
} // namespace NOX

// Each source file that asserts names itself, as the records show it, in a
// constant c_szSourceFile (e.g. "src\\TRC_CFG_TaviRequest").
#define NOX_ASSERT(cond)                                                                           \
    ((cond) ? (void)0 : ::NOX::ERR::assertFailed(#cond, 0, 0, c_szSourceFile, __LINE__))
#define NOX_ASSERT_ARGS(cond, arg1, arg2)                                                          \
    ((cond)                                                                                        \
         ? (void)0                                                                                 \
         : ::NOX::ERR::assertFailed(#cond, (long)(arg1), (long)(arg2), c_szSourceFile, __LINE__))
#define NOX_PANIC(message, type, arg1, arg2)                                                       \
    ::NOX::ERR::panic(message, type, (long)(arg1), (long)(arg2), c_szSourceFile, __LINE__)
