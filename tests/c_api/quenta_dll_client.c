/*
 * A plain C application linked against libquenta's import library (Windows)
 * or the shared library: each argument is one job, run in order, its result
 * printed as one line. Exit code 0 when every job succeeded, 1 when one
 * failed (the rest are not run), 2 for a usage error.
 *
 *   quenta_dll_client search | pair NAME | unpair | paired | data-mode ...
 */
#include "quenta.h"

#include <stdio.h>
#include <string.h>

/* One call with a buffer that holds any list, and a read-back before the
 * hand-over (which needs a module found in command mode); the read-back asks
 * for the size first. Built for Windows and Linux alike, so that the lines
 * it puts on the wire through quenta.dll can be held against those through
 * libquenta.so. */
static int search(void)
{
    static char s_aBuffer[64 * 1024];
    uint32_t unSize = sizeof(s_aBuffer);
    if (!QUENTA_searchDevices(s_aBuffer, &unSize)) {
        return 0;
    }
    printf("search: %s\n", s_aBuffer);
    return 1;
}

static int dataMode(void)
{
    uint32_t unSize = 0;
    int bOk = QUENTA_getPairedDevice(NULL, &unSize) && QUENTA_switchToDataMode();
    printf("data-mode: %d\n", bOk);
    return bOk;
}

static int paired(void)
{
    char aName[64] = {0};
    uint32_t unSize = 0;
    if (!QUENTA_getPairedDevice(NULL, &unSize) || unSize > sizeof(aName) ||
        !QUENTA_getPairedDevice(aName, &unSize)) {
        return 0;
    }
    printf("paired: %s\n", aName);
    return 1;
}

static int pair(const char* szName)
{
    int bOk = QUENTA_pairDevice(szName);
    if (bOk) {
        printf("pair: %s\n", szName);
    }
    return bOk;
}

int main(int nArgc, char** ppszArgv)
{
    int i;
    for (i = 1; i < nArgc; ++i) {
        const char* szJob = ppszArgv[i];
        int bOk;
        if (strcmp(szJob, "search") == 0) {
            bOk = search();
        } else if (strcmp(szJob, "pair") == 0 && i + 1 < nArgc) {
            bOk = pair(ppszArgv[++i]);
        } else if (strcmp(szJob, "unpair") == 0) {
            bOk = pair("");
        } else if (strcmp(szJob, "paired") == 0) {
            bOk = paired();
        } else if (strcmp(szJob, "data-mode") == 0) {
            bOk = dataMode();
        } else {
            fprintf(stderr, "quenta_dll_client: unknown job %s\n", szJob);
            return 2;
        }
        if (!bOk) {
            printf("%s: failed\n", szJob);
            return 1;
        }
    }
    return 0;
}
