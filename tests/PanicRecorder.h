// A panic handler that keeps every call instead of acting on it.
#pragma once

#include "Nox_Err/NOX_ERR_PanicHandlerRegistry.h"

#include <string>
#include <vector>

struct PanicCallS
{
    std::string strKind;
    std::string strText;
    long lArg1, lArg2;
    int nLine;
};

class RecordingHandlerC : public NOX::ERR::SysPanicHandlerI
{
public:
    void panic(const char* szMessage, unsigned long ulType, long lArg1, long lArg2,
               const char* szFile, int nLine) override
    {
        m_vecCalls.push_back({"panic", szMessage, lArg1, lArg2, nLine});
    }
    void assertFailed(const char* szCondition, long lArg1, long lArg2, const char* szFile,
                      int nLine) override
    {
        m_vecCalls.push_back({"assert", szCondition, lArg1, lArg2, nLine});
    }
    std::vector<std::string> conditions() const
    {
        std::vector<std::string> vecTexts;
        for (const PanicCallS& call : m_vecCalls) {
            vecTexts.push_back(call.strText);
        }
        return vecTexts;
    }

    std::vector<PanicCallS> m_vecCalls;
};
