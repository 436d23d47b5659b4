/*
 * A plain C application of libquenta: loads the library with dlopen, finds
 * the five functions with dlsym and runs one scenario against the module.
 *
 *   quenta_c_client LIBRARY SCENARIO [NAME]
 *
 * Scenarios: size-protocol, empty-search, pair-unknown NAME, unpair, null,
 * paired NAME, handle. Each call's outcome goes to standard output as one
 * line "step key=value ..."; buffers are printed byte by byte with control
 * bytes as <N>. Exit code 0 when the scenario ran (the caller judges the
 * lines), 2 for a usage error, 3 when the library or a function is missing.
 */
#define _POSIX_C_SOURCE 200809L

#include "quenta.h"

#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

typedef bool(QUENTA_CALL* SearchFnT)(char*, uint32_t*);
typedef bool(QUENTA_CALL* PairFnT)(const char*);
typedef bool(QUENTA_CALL* PairedFnT)(char*, uint32_t*);
typedef bool(QUENTA_CALL* DataModeFnT)(void);
typedef void*(QUENTA_CALL* HandleFnT)(void);

/* The pointer types above are those of the header's declarations; _Generic
 * does not evaluate its operand, so nothing here needs the symbols at link
 * time. */
#define QUENTA_SAME_TYPE(fn, type) _Generic(&(fn), type : 1, default : 0)
_Static_assert(QUENTA_SAME_TYPE(QUENTA_searchDevices, SearchFnT), "searchDevices");
_Static_assert(QUENTA_SAME_TYPE(QUENTA_pairDevice, PairFnT), "pairDevice");
_Static_assert(QUENTA_SAME_TYPE(QUENTA_getPairedDevice, PairedFnT), "getPairedDevice");
_Static_assert(QUENTA_SAME_TYPE(QUENTA_switchToDataMode, DataModeFnT), "switchToDataMode");
_Static_assert(QUENTA_SAME_TYPE(QUENTA_createPortHandle, HandleFnT), "createPortHandle");

struct ApiS
{
    SearchFnT pfnSearch;
    PairFnT pfnPair;
    PairedFnT pfnPaired;
    DataModeFnT pfnDataMode;
    HandleFnT pfnHandle;
};

/* Bytes never written by the library, to see what a call touched. */
static const char c_chFill = '#';
static const uint32_t c_unUntouchedSize = 777;

static int loadApi(const char* szPath, struct ApiS* pApi)
{
    static const char* const c_aszNames[] = {"QUENTA_searchDevices", "QUENTA_pairDevice",
                                             "QUENTA_getPairedDevice", "QUENTA_switchToDataMode",
                                             "QUENTA_createPortHandle"};
    void* const apTargets[] = {&pApi->pfnSearch, &pApi->pfnPair, &pApi->pfnPaired,
                               &pApi->pfnDataMode, &pApi->pfnHandle};
    void* pLibrary = dlopen(szPath, RTLD_NOW | RTLD_LOCAL);
    size_t i;
    for (i = 0; pLibrary != NULL && i < sizeof(apTargets) / sizeof(apTargets[0]); ++i) {
        void* pSymbol = dlsym(pLibrary, c_aszNames[i]);
        if (pSymbol == NULL) {
            fprintf(stderr, "quenta_c_client: %s: %s\n", c_aszNames[i], dlerror());
            return 0;
        }
        /* ISO C has no conversion from an object pointer to a function
         * pointer; copying the representation is what POSIX allows for dlsym. */
        memcpy(apTargets[i], &pSymbol, sizeof(pSymbol));
    }
    if (pLibrary == NULL) {
        fprintf(stderr, "quenta_c_client: %s\n", dlerror());
    }
    return pLibrary != NULL;
}

static void printBytes(const char* pBuffer, uint32_t unCount)
{
    uint32_t i;
    for (i = 0; i < unCount; ++i) {
        const unsigned char ch = (unsigned char)pBuffer[i];
        if (ch < 32 || ch > 126 || ch == '<') {
            printf("<%u>", (unsigned)ch);
        } else {
            putchar(ch);
        }
    }
}

/* Size query, a buffer one byte short, then a buffer of the size reported. */
static void runSizeProtocol(const char* szStep, PairedFnT pfnCall)
{
    uint32_t unSize = c_unUntouchedSize, unRequired;
    char* pBuffer;
    bool bOk = pfnCall(NULL, &unSize);
    printf("%s-query ok=%d size=%u\n", szStep, bOk, (unsigned)unSize);
    unRequired = unSize;
    if (!bOk || unSize == 0 || (pBuffer = malloc(unRequired)) == NULL) {
        return;
    }
    memset(pBuffer, c_chFill, unRequired);
    unSize = unRequired - 1;
    bOk = pfnCall(pBuffer, &unSize);
    /* Untouched: the first byte is the fill, and each equals the next. */
    printf("%s-short ok=%d size=%u untouched=%d\n", szStep, bOk, (unsigned)unSize,
           pBuffer[0] == c_chFill && memcmp(pBuffer, pBuffer + 1, unRequired - 1) == 0);
    unSize = unRequired;
    bOk = pfnCall(pBuffer, &unSize);
    printf("%s-full ok=%d size=%u text=", szStep, bOk, (unsigned)unSize);
    printBytes(pBuffer, unRequired);
    printf("\n");
    free(pBuffer);
}

static void runHandle(const struct ApiS* pApi)
{
    static const char c_szHello[] = "hello from C";
    void* hPort = pApi->pfnHandle();
    const int bValid = hPort != (void*)(intptr_t)-1;
    printf("handle valid=%d\n", bValid);
    if (bValid) {
        const int nFd = (int)(intptr_t)hPort;
        const ssize_t nWritten = write(nFd, c_szHello, sizeof(c_szHello) - 1);
        printf("handle written=%ld closed=%d\n", (long)nWritten, close(nFd) == 0);
    }
}

static int runScenario(const struct ApiS* pApi, const char* szScenario, const char* szName)
{
    const int bPaired = strcmp(szScenario, "paired") == 0 && szName != NULL;
    if (strcmp(szScenario, "size-protocol") == 0 || strcmp(szScenario, "empty-search") == 0) {
        runSizeProtocol("search", pApi->pfnSearch);
    } else if (bPaired || (strcmp(szScenario, "pair-unknown") == 0 && szName != NULL)) {
        printf("pair ok=%d\n", pApi->pfnPair(szName));
    } else if (strcmp(szScenario, "unpair") == 0 || strcmp(szScenario, "null") == 0) {
        printf("pair ok=%d\n", pApi->pfnPair(szScenario[0] == 'u' ? "" : NULL));
    } else if (strcmp(szScenario, "handle") == 0) {
        runHandle(pApi);
    } else {
        return 0;
    }
    if (bPaired) {
        runSizeProtocol("paired", pApi->pfnPaired);
        printf("data-mode ok=%d\n", pApi->pfnDataMode());
    }
    return 1;
}

int main(int argc, char** argv)
{
    struct ApiS api;
    if (argc < 3) {
        fprintf(stderr, "usage: quenta_c_client LIBRARY SCENARIO [NAME]\n");
        return 2;
    }
    if (!loadApi(argv[1], &api)) {
        return 3;
    }
    if (!runScenario(&api, argv[2], argc > 3 ? argv[3] : NULL)) {
        fprintf(stderr, "quenta_c_client: unknown scenario or missing name: %s\n", argv[2]);
        return 2;
    }
    return 0;
}
