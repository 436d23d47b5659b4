#include "TRC_CFG_ResponseParam.h"

#include <cstdlib>
#include <cstring>

namespace TRC {
namespace CFG {

ResponseParamI ignoredResponseParam;

namespace {

long parseDecimal(const char* szText)
{
    return std::strtol(szText, nullptr, 10);
}

} // namespace

bool ResponseParamI::isAcceptable(const char* szText)
{
    return szText != nullptr && ::strnlen(szText, c_unMaxFieldLength + 1) <= c_unMaxFieldLength;
}

void BasicStringResponseParamC::setValue(char* szText)
{
    if (!isAcceptable(szText)) {
        return;
    }
    if (szText[0] == '"') {
        ++szText;
    }
    size_t unLength = std::strlen(szText);
    if (unLength > 0 && szText[unLength - 1] == '"') {
        szText[unLength - 1] = '\0';
        --unLength;
    }
    m_value.assign(szText, unLength);
    m_bValid = true;
}

void NumberResponseParamC::setValue(char* szText)
{
    if (!isAcceptable(szText)) {
        return;
    }
    m_value = parseDecimal(szText);
    m_bValid = true;
}

void BoolResponseParamC::setValue(char* szText)
{
    if (!isAcceptable(szText)) {
        return;
    }
    m_value = parseDecimal(szText) != 0;
    m_bValid = true;
}

} // namespace CFG
} // namespace TRC
