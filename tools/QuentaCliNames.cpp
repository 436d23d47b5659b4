#include "QuentaCliNames.h"

#include <cstdio>

namespace QUENTA {
namespace CLI {

namespace {

std::string byteEscape(unsigned char ucByte)
{
    char szEscape[8];
    std::snprintf(szEscape, sizeof(szEscape), "\\x%02x", ucByte);
    return szEscape;
}

int hexValue(char cDigit)
{
    if (cDigit >= '0' && cDigit <= '9') {
        return cDigit - '0';
    }
    if (cDigit >= 'a' && cDigit <= 'f') {
        return cDigit - 'a' + 10;
    }
    if (cDigit >= 'A' && cDigit <= 'F') {
        return cDigit - 'A' + 10;
    }
    return -1;
}

// U+0080..U+009F steer some terminals as their 7-bit forms do.
bool isC1Control(const std::string& strText, size_t unPos)
{
    return static_cast<unsigned char>(strText[unPos]) == 0xC2 &&
           static_cast<unsigned char>(strText[unPos + 1]) < 0xA0;
}

} // namespace

size_t utf8SequenceLength(const std::string& strText, size_t unPos)
{
    const unsigned char ucLead = static_cast<unsigned char>(strText[unPos]);
    size_t unLength = 0;
    unsigned unMin = 0;
    unsigned unCode = 0;
    if (ucLead >= 0xC2 && ucLead <= 0xDF) {
        unLength = 2, unMin = 0x80, unCode = ucLead & 0x1F;
    } else if (ucLead >= 0xE0 && ucLead <= 0xEF) {
        unLength = 3, unMin = 0x800, unCode = ucLead & 0x0F;
    } else if (ucLead >= 0xF0 && ucLead <= 0xF4) {
        unLength = 4, unMin = 0x10000, unCode = ucLead & 0x07;
    } else {
        return 0;
    }
    if (unPos + unLength > strText.size()) {
        return 0;
    }
    for (size_t i = 1; i < unLength; ++i) {
        const unsigned char ucNext = static_cast<unsigned char>(strText[unPos + i]);
        if ((ucNext & 0xC0) != 0x80) {
            return 0;
        }
        unCode = (unCode << 6) | (ucNext & 0x3F);
    }
    const bool bSurrogate = unCode >= 0xD800 && unCode <= 0xDFFF;
    return (unCode < unMin || unCode > 0x10FFFF || bSurrogate) ? 0 : unLength;
}

std::string nameText(const std::string& strName)
{
    std::string strText;
    for (size_t unPos = 0; unPos < strName.size();) {
        const unsigned char ucByte = static_cast<unsigned char>(strName[unPos]);
        if (ucByte >= 0x20 && ucByte < 0x7F && ucByte != '\\') {
            strText += static_cast<char>(ucByte);
            ++unPos;
            continue;
        }
        const size_t unLength = ucByte >= 0x80 ? utf8SequenceLength(strName, unPos) : 0;
        if (unLength == 0 || isC1Control(strName, unPos)) {
            strText += byteEscape(ucByte);
            ++unPos;
            continue;
        }
        strText.append(strName, unPos, unLength);
        unPos += unLength;
    }
    return strText;
}

std::string nameFromText(const std::string& strText)
{
    std::string strName;
    for (size_t unPos = 0; unPos < strText.size(); ++unPos) {
        if (strText[unPos] == '\\' && unPos + 3 < strText.size() && strText[unPos + 1] == 'x' &&
            hexValue(strText[unPos + 2]) >= 0 && hexValue(strText[unPos + 3]) >= 0) {
            strName +=
                static_cast<char>(hexValue(strText[unPos + 2]) * 16 + hexValue(strText[unPos + 3]));
            unPos += 3;
        } else {
            strName += strText[unPos];
        }
    }
    return strName;
}

} // namespace CLI
} // namespace QUENTA
