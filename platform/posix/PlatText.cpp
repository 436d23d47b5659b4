// Text conversion between UTF-8 and wide strings, and the debug output.
#include "PlatInternal.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cwchar>
#include <unistd.h>

namespace plat {

namespace {

const char32_t c_cReplacement = 0xFFFD;

struct LeadS
{
    unsigned unLength;
    unsigned char ucSecondLow;
    unsigned char ucSecondHigh;
};

// Well-formed UTF-8 by its first byte: the sequence length and the range of
// the second byte, which excludes overlong forms, surrogates and values past
// U+10FFFF.
LeadS leadOf(unsigned char ucLead)
{
    if (ucLead >= 0xC2 && ucLead <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (ucLead == 0xE0) {
        return {3, 0xA0, 0xBF};
    }
    if (ucLead == 0xED) {
        return {3, 0x80, 0x9F};
    }
    if (ucLead >= 0xE1 && ucLead <= 0xEF) {
        return {3, 0x80, 0xBF};
    }
    if (ucLead == 0xF0) {
        return {4, 0x90, 0xBF};
    }
    if (ucLead >= 0xF1 && ucLead <= 0xF3) {
        return {4, 0x80, 0xBF};
    }
    if (ucLead == 0xF4) {
        return {4, 0x80, 0x8F};
    }
    return {0, 0, 0};
}

// Decodes one character; an ill-formed sequence yields U+FFFD for its
// longest valid start (at least one byte). Returns the bytes consumed.
size_t decodeOne(const unsigned char* pText, size_t unLength, char32_t& rChar)
{
    unsigned char ucLead = pText[0];
    if (ucLead < 0x80) {
        rChar = ucLead;
        return 1;
    }
    LeadS lead = leadOf(ucLead);
    if (lead.unLength == 0) {
        rChar = c_cReplacement;
        return 1;
    }
    char32_t cValue = ucLead & (0x7F >> lead.unLength);
    for (size_t unIndex = 1; unIndex < lead.unLength; ++unIndex) {
        unsigned char ucLow = unIndex == 1 ? lead.ucSecondLow : 0x80;
        unsigned char ucHigh = unIndex == 1 ? lead.ucSecondHigh : 0xBF;
        if (unIndex >= unLength || pText[unIndex] < ucLow || pText[unIndex] > ucHigh) {
            rChar = c_cReplacement;
            return unIndex;
        }
        cValue = (cValue << 6) | (pText[unIndex] & 0x3F);
    }
    rChar = cValue;
    return lead.unLength;
}

void encodeOne(char32_t cChar, std::string& rOut)
{
    if (cChar < 0x80) {
        rOut += static_cast<char>(cChar);
    } else if (cChar < 0x800) {
        rOut += static_cast<char>(0xC0 | (cChar >> 6));
        rOut += static_cast<char>(0x80 | (cChar & 0x3F));
    } else if (cChar < 0x10000) {
        rOut += static_cast<char>(0xE0 | (cChar >> 12));
        rOut += static_cast<char>(0x80 | ((cChar >> 6) & 0x3F));
        rOut += static_cast<char>(0x80 | (cChar & 0x3F));
    } else {
        rOut += static_cast<char>(0xF0 | (cChar >> 18));
        rOut += static_cast<char>(0x80 | ((cChar >> 12) & 0x3F));
        rOut += static_cast<char>(0x80 | ((cChar >> 6) & 0x3F));
        rOut += static_cast<char>(0x80 | (cChar & 0x3F));
    }
}

bool isHighSurrogate(char32_t cUnit)
{
    return cUnit >= 0xD800 && cUnit <= 0xDBFF;
}

bool isLowSurrogate(char32_t cUnit)
{
    return cUnit >= 0xDC00 && cUnit <= 0xDFFF;
}

bool isSupportedCodePage(UINT unCodePage)
{
    return unCodePage == CP_ACP || unCodePage == CP_UTF8;
}

// The length of an input string by the interface's convention: -1 means
// NUL-terminated with the NUL converted too; 0 and other negatives are invalid.
template <class CharT> bool inputLength(const CharT* pText, int nCount, size_t& rLength)
{
    if (pText == nullptr || nCount == 0 || nCount < -1) {
        return false;
    }
    if (nCount == -1) {
        size_t unLength = 0;
        while (pText[unLength] != 0) {
            ++unLength;
        }
        rLength = unLength + 1;
    } else {
        rLength = static_cast<size_t>(nCount);
    }
    return true;
}

// Copies a converted text out by the interface's convention: a zero-sized
// output asks for the size needed.
template <class StringT>
int copyOut(const StringT& rText, typename StringT::value_type* pOut, int nOutSize)
{
    if (rText.size() > static_cast<size_t>(INT32_MAX)) {
        failWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int nNeeded = static_cast<int>(rText.size());
    if (nOutSize == 0) {
        return nNeeded;
    }
    if (nOutSize < nNeeded) {
        failWith(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::copy(rText.begin(), rText.end(), pOut);
    return nNeeded;
}

} // namespace

std::wstring wideFromUtf8(const char* pText, size_t unLength)
{
    std::wstring strOut;
    strOut.reserve(unLength);
    const auto* pBytes = reinterpret_cast<const unsigned char*>(pText);
    size_t unIndex = 0;
    while (unIndex < unLength) {
        char32_t cChar = 0;
        unIndex += decodeOne(pBytes + unIndex, unLength - unIndex, cChar);
        strOut += static_cast<wchar_t>(cChar);
    }
    return strOut;
}

std::string utf8FromWide(const wchar_t* pText, size_t unLength, bool* pbReplaced)
{
    std::string strOut;
    strOut.reserve(unLength);
    bool bReplaced = false;
    for (size_t unIndex = 0; unIndex < unLength; ++unIndex) {
        auto cChar = static_cast<char32_t>(pText[unIndex]);
        // Text that came from UTF-16 may still carry surrogate pairs.
        if (isHighSurrogate(cChar) && unIndex + 1 < unLength &&
            isLowSurrogate(static_cast<char32_t>(pText[unIndex + 1]))) {
            char32_t cLow = static_cast<char32_t>(pText[++unIndex]);
            cChar = 0x10000 + ((cChar - 0xD800) << 10) + (cLow - 0xDC00);
        } else if (isHighSurrogate(cChar) || isLowSurrogate(cChar) || cChar > 0x10FFFF) {
            cChar = c_cReplacement;
            bReplaced = true;
        }
        encodeOne(cChar, strOut);
    }
    if (pbReplaced != nullptr) {
        *pbReplaced = bReplaced;
    }
    return strOut;
}

} // namespace plat

int MultiByteToWideChar(UINT CodePage, DWORD, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar)
{
    size_t unLength = 0;
    if (!plat::isSupportedCodePage(CodePage) ||
        !plat::inputLength(lpMultiByteStr, cbMultiByte, unLength) || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
        plat::failWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return plat::copyOut(plat::wideFromUtf8(lpMultiByteStr, unLength), lpWideCharStr, cchWideChar);
}

int WideCharToMultiByte(UINT CodePage, DWORD, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR, LPBOOL lpUsedDefaultChar)
{
    size_t unLength = 0;
    if (!plat::isSupportedCodePage(CodePage) ||
        !plat::inputLength(lpWideCharStr, cchWideChar, unLength) || cbMultiByte < 0 ||
        (cbMultiByte > 0 && lpMultiByteStr == nullptr)) {
        plat::failWith(ERROR_INVALID_PARAMETER);
        return 0;
    }
    bool bReplaced = false;
    std::string strText = plat::utf8FromWide(lpWideCharStr, unLength, &bReplaced);
    if (lpUsedDefaultChar != nullptr) {
        *lpUsedDefaultChar = bReplaced ? TRUE : FALSE;
    }
    return plat::copyOut(strText, lpMultiByteStr, cbMultiByte);
}

void OutputDebugStringW(LPCWSTR lpOutputString)
{
    if (lpOutputString == nullptr) {
        return;
    }
    std::string strText = plat::utf8FromWide(lpOutputString, wcslen(lpOutputString));
    // One write, so that lines from several threads do not interleave.
    while (write(STDERR_FILENO, strText.data(), strText.size()) < 0 && errno == EINTR) {
    }
}
