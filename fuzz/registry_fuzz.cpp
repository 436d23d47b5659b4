// Reads arbitrary bytes as the registry file through the Win32 registry
// calls: opens a key, queries values, creates the key and sets one value,
// queries again. The last bytes of the input pick the key, the value and its
// data; the rest is the file. Checks that the size protocol of a query holds,
// that the set value reads back exactly while every other value reads as
// before, and that the file written is a fixed point: setting the same value
// again leaves it byte for byte.
#include "fuzz_support.h"

#include "Platform.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using QUENTA::FUZZ::require;

namespace {

const wchar_t* const c_aszKeys[] = {
    L"SOFTWARE\\Halvern\\Configuration",
    L"software\\HALVERN\\configuration\\",
    L"SOFTWARE\\Halvern",
    L"\\SOFTWARE\\\\Halvern\\Configuration\\Sub",
    L"Other",
    L"\x00c9t\x00e9\\[key]",
};

const wchar_t* const c_aszNames[] = {
    L"ASSERTEnabled", L"assertenabled", L"",  L"Other",         L"with \"quotes\" and \\",
    L"line\nbreak",   L"=dword:1",      L"@", L"\x00c9t\x00e9",
};

const DWORD c_adwTypes[] = {REG_DWORD, REG_SZ, REG_BINARY, REG_NONE, 0x7fffffff};

struct QueryS
{
    LONG lResult = ERROR_FILE_NOT_FOUND;
    DWORD dwType = 0;
    std::vector<BYTE> vecData;

    bool operator==(const QueryS& other) const
    {
        return lResult == other.lResult && dwType == other.dwType && vecData == other.vecData;
    }
};

struct ChoiceS
{
    const wchar_t* szKey;
    const wchar_t* szName;
    DWORD dwType;
    std::vector<BYTE> vecData;
};

std::string s_strFile;

// Equal under the registry's folding of ASCII and Latin-1 capitals.
bool sameName(const wchar_t* szLeft, const wchar_t* szRight)
{
    auto fold = [](wchar_t c) {
        bool bUpper = (c >= L'A' && c <= L'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7);
        return bUpper ? static_cast<wchar_t>(c + 0x20) : c;
    };
    for (; *szLeft != L'\0' && fold(*szLeft) == fold(*szRight); ++szLeft, ++szRight) {
    }
    return fold(*szLeft) == fold(*szRight);
}

// A query by the size protocol: the size first, then the data into a buffer
// of exactly that size, and one byte short of it.
QueryS query(HKEY hKey, const wchar_t* szName)
{
    QueryS result;
    DWORD dwSize = 0;
    result.lResult = RegQueryValueExW(hKey, szName, nullptr, &result.dwType, nullptr, &dwSize);
    if (result.lResult != ERROR_SUCCESS) {
        require(result.lResult == ERROR_FILE_NOT_FOUND, "a query failed otherwise than not found");
        return result;
    }
    result.vecData.resize(dwSize + 1);
    DWORD dwType = 0;
    DWORD dwRoom = dwSize;
    require(RegQueryValueExW(hKey, szName, nullptr, &dwType, result.vecData.data(), &dwRoom) ==
                    ERROR_SUCCESS &&
                dwRoom == dwSize && dwType == result.dwType,
            "a value not read into a buffer of its announced size");
    result.vecData.resize(dwSize);
    if (dwSize > 0) {
        dwRoom = dwSize - 1;
        std::vector<BYTE> vecShort(dwRoom + 1);
        require(RegQueryValueExW(hKey, szName, nullptr, &dwType, vecShort.data(), &dwRoom) ==
                        ERROR_MORE_DATA &&
                    dwRoom == dwSize,
                "a short buffer not refused with the size needed");
    }
    return result;
}

std::vector<QueryS> queryAll(HKEY hKey)
{
    std::vector<QueryS> vecResults;
    for (const wchar_t* szName : c_aszNames) {
        vecResults.push_back(hKey != nullptr ? query(hKey, szName) : QueryS());
    }
    return vecResults;
}

ChoiceS choose(FuzzedDataProvider& provider)
{
    ChoiceS choice;
    choice.szKey = provider.PickValueInArray(c_aszKeys);
    choice.szName = provider.PickValueInArray(c_aszNames);
    choice.dwType = provider.PickValueInArray(c_adwTypes);
    size_t unLength = provider.ConsumeIntegralInRange<size_t>(0, 6);
    for (size_t i = 0; i < unLength; ++i) {
        choice.vecData.push_back(static_cast<BYTE>(0x41 + i));
    }
    return choice;
}

HKEY createKey(const ChoiceS& choice, bool bExisted)
{
    HKEY hKey = nullptr;
    DWORD dwDisposition = 0;
    require(RegCreateKeyExW(HKEY_LOCAL_MACHINE, choice.szKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, &hKey, &dwDisposition) == ERROR_SUCCESS,
            "a key not created");
    require(dwDisposition == (bExisted ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY),
            "a key created that existed, or opened that did not");
    return hKey;
}

void setValue(HKEY hKey, const ChoiceS& choice)
{
    require(RegSetValueExW(hKey, choice.szName, 0, choice.dwType, choice.vecData.data(),
                           static_cast<DWORD>(choice.vecData.size())) == ERROR_SUCCESS,
            "a value not set");
}

void checkAfterSet(HKEY hKey, const ChoiceS& choice, const std::vector<QueryS>& vecBefore)
{
    std::vector<QueryS> vecAfter = queryAll(hKey);
    for (size_t i = 0; i < vecAfter.size(); ++i) {
        if (sameName(c_aszNames[i], choice.szName)) {
            require(vecAfter[i].lResult == ERROR_SUCCESS && vecAfter[i].dwType == choice.dwType &&
                        vecAfter[i].vecData == choice.vecData,
                    "the value set does not read back");
        } else {
            require(vecAfter[i] == vecBefore[i], "another value changed by a set");
        }
    }
}

void closeKey(HKEY hKey)
{
    require(RegCloseKey(hKey) == ERROR_SUCCESS, "an open key not closed");
    require(RegCloseKey(hKey) == ERROR_INVALID_HANDLE, "a closed key closed again");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    s_strFile = QUENTA::FUZZ::makePrivateDirectory("quenta-registry-fuzz") + "/registry";
    setenv("QUENTA_REGISTRY_FILE", s_strFile.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t unSize)
{
    FuzzedDataProvider provider(pData, unSize);
    ChoiceS choice = choose(provider);
    QUENTA::FUZZ::writeFile(s_strFile, provider.ConsumeRemainingBytesAsString());

    HKEY hOpened = nullptr;
    bool bExisted =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, choice.szKey, 0, KEY_READ, &hOpened) == ERROR_SUCCESS;
    std::vector<QueryS> vecBefore = queryAll(hOpened);
    HKEY hKey = createKey(choice, bExisted);
    setValue(hKey, choice);
    checkAfterSet(hKey, choice, vecBefore);

    std::string strWritten = QUENTA::FUZZ::readFile(s_strFile);
    setValue(hKey, choice);
    require(QUENTA::FUZZ::readFile(s_strFile) == strWritten,
            "the file written reads back as another");
    if (hOpened != nullptr) {
        checkAfterSet(hOpened, choice, vecBefore);
        closeKey(hOpened);
    }
    closeKey(hKey);
    return 0;
}
