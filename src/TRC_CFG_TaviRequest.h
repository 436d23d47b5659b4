// The command protocol engine: one request object formats one command line,
// consumes the module's answer from the bytes the port's reader thread hands
// it, extracts the result fields into response parameters and releases the
// thread that waits for it.
#pragma once

#include "Nox_Bio/NOX_BIO_Reader.h"
#include "Nox_Bio/NOX_BIO_Xfer.h"
#include "Nox_Err/NOX_ERR_Codes.h"
#include "TRC_CFG_ResponseParam.h"

#include <cstdint>
#include <string>
#include <vector>

namespace NOX {
namespace DBG {
class PerformanceLogC;
} // namespace DBG
} // namespace NOX

namespace TRC {
namespace CFG {

using NOX::RC_BAD_RESPONSE;
using NOX::RC_FAILED;
using NOX::RC_OK;
using NOX::RC_TIMEOUT;
using NOX::RC_WAIT_FAILED;

// Request types: they fix the line format and the result-line prefix.
constexpr uint32_t RT_LISTEN = 1;
constexpr uint32_t RT_PLAIN = 2;
constexpr uint32_t RT_PLAIN_PREFIXED = 3;
constexpr uint32_t RT_READ = 4;
constexpr uint32_t RT_WRITE = 5;
constexpr uint32_t RT_EXECUTE = 6;

typedef std::vector<ResponseParamI*> ResponseParamVectorT;

// Copy of szText with CR written as "<CR>" and LF as "<LF>"; null gives "".
std::string makePrintable(const char* szText);

class TaviDeviceRequestC;

// Collects the answer in a fixed buffer and decides the request's outcome.
class TaviDeviceProcC : public NOX::BIO::XferProcC<NOX::BIO::ReadConsumerC, NOX::BIO::ReaderC>
{
public:
    static constexpr uint16_t MAX_RESPONSE = 2000;
    // What the search reports when the needle is not there.
    static constexpr int32_t c_nNotFound = -1;

    TaviDeviceProcC();
    ~TaviDeviceProcC() override;

    void procReadData(const char* pData, uint16_t unCount) override;

    // Offsets, from the first unconsumed byte, of the first field and of the
    // terminator that ends the result line.
    uint32_t findResponse(int32_t& nParamStart, int32_t& nTerminator);

    // The unconsumed bytes; NUL-terminated.
    const char* getUnconsumed() const { return m_pszResponse; }
    uint16_t getFillCount() const { return m_unFillCount; }

protected:
    // Appends what fits behind the unconsumed bytes; the rest is dropped.
    void appendData(const char* pData, uint16_t unCount);
    void consume(uint32_t unCount);
    // Offset of the first match from the first unconsumed byte, or
    // c_nNotFound. Quote-aware, a match inside a pair of double quotes does
    // not count. pLimit (null: the end of the data) bounds the search.
    int32_t find(const char* szNeedle, bool bQuoteAware, const char* pLimit = nullptr) const;
    const char* getDataEnd() const { return m_pszResponse + m_unFillCount; }

    TaviDeviceRequestC* m_pRequest;
    uint32_t m_unReturnCode;
    uint16_t m_unFillCount;
    char* m_pszResponse;
    char m_szBuffer[MAX_RESPONSE + 1];

private:
    void removeEcho();
    // After the terminator was found: fields, consumption, forwarding.
    void completeResponse(NOX::DBG::PerformanceLogC& scope);
    void extractParameters(int32_t nParamStart, int32_t nTerminator);
    void forwardRemaining(NOX::DBG::PerformanceLogC& scope);
};

class TaviDeviceRequestC : public TaviDeviceProcC
{
public:
    static constexpr size_t c_unLineSize = 65;
    static constexpr size_t c_unCommandSize = 7;

    TaviDeviceRequestC(const char* szCommand, uint32_t unRequestType, uint32_t unTimeout);
    ~TaviDeviceRequestC() override;

    virtual const char* getRequest() const;
    virtual const char* getCommand() const;
    virtual const char* getResponse() const;
    virtual const char* getResponsePrefix() const;
    virtual const char* getResponseTerminator() const;
    virtual const ResponseParamVectorT& getResponseParams() const;
    virtual TaviDeviceRequestC* getSiblingRequest();
    virtual bool isUnsolicited() const;
    virtual uint32_t getTimeout() const;
    virtual void setHandled(bool bHandled);

    uint32_t getReturnCode() const { return m_unReturnCode; }
    bool isComplete() const { return m_bComplete; }
    bool isHandled() const { return m_bHandled; }
    bool isPing() const { return m_unRequestType == RT_PLAIN; }
    bool isHandledWithSiblings();
    bool areResponseParamsSet() const;

    // Write requests only, before finishParameters. A parameter that would
    // not fit the line is refused and the line can no longer be finished.
    void addParameter(const char* szValue, bool bQuoted);
    void addParameter(int32_t nValue);
    void addParameter(uint32_t unValue);
    void addParameter(uint8_t unValue);
    // Replaces the trailing comma by CR; the line may then be sent.
    void finishParameters();
    void addResponseParam(ResponseParamI* pParam);

protected:
    ResponseParamVectorT m_vecResponseParams;
    char m_szRequest[c_unLineSize];
    char m_szCommand[c_unCommandSize];
    char m_szResponsePrefix[c_unLineSize];
    uint32_t m_unRequestType;
    bool m_bComplete;
    bool m_bHandled;
    uint32_t m_unTimeout;

private:
    void formatCommand(const char* szCommand);
    void formatPrefixedCommand(const char* szCommand);
    bool acceptsParameter();
    // Appends the three parts to the line, or refuses the parameter.
    void appendToLine(const char* szOpen, const char* szValue, const char* szClose);
};

} // namespace CFG
} // namespace TRC
