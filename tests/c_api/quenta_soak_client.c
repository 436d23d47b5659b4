/*
 * A long-lived C application of libquenta for the soak run: one process, one
 * process-wide configurator, calls one after another as its input asks.
 *
 *   quenta_soak_client < COMMANDS
 *
 * Commands, one a line: search, pair NAME, unpair, paired, data-mode, handle,
 * quit. Each call's outcome goes to standard output as one line
 *   OPERATION ok=0|1 end=NANOSECONDS [text=HEX]
 * where end is the monotonic clock when the call returned and text is the
 * buffer the call filled (search: the tab-separated list; paired: the name),
 * in hexadecimal. A handle is closed before its line is written. Exit code
 * 0 at quit or the end of input, 2 for an unknown command.
 */
#define _POSIX_C_SOURCE 200809L

#include "quenta.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum
{
    EXIT_DONE = 0,
    EXIT_USAGE = 2
};

/* Larger than any list the module can report. */
static char s_aBuffer[65536];

static long long monotonicNs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void report(const char* szOperation, bool bOk, const char* pText, size_t unLength)
{
    const long long llEnd = monotonicNs();
    size_t i;
    printf("%s ok=%d end=%lld", szOperation, bOk ? 1 : 0, llEnd);
    if (pText != NULL) {
        printf(" text=");
        for (i = 0; i < unLength; ++i) {
            printf("%02x", (unsigned)(unsigned char)pText[i]);
        }
    }
    printf("\n");
    fflush(stdout);
}

static void runSearch(void)
{
    uint32_t unSize = sizeof(s_aBuffer);
    memset(s_aBuffer, 0, sizeof(s_aBuffer));
    const bool bOk = QUENTA_searchDevices(s_aBuffer, &unSize);
    /* The list ends with two tabs; nothing after them is the library's. */
    const char* pEnd = strstr(s_aBuffer, "\t\t");
    report("search", bOk, s_aBuffer, pEnd != NULL ? (size_t)(pEnd - s_aBuffer) + 2 : 0);
}

static void runPaired(void)
{
    uint32_t unSize = sizeof(s_aBuffer);
    memset(s_aBuffer, 0, sizeof(s_aBuffer));
    const bool bOk = QUENTA_getPairedDevice(s_aBuffer, &unSize);
    report("paired", bOk, s_aBuffer, strlen(s_aBuffer));
}

static void runHandle(void)
{
    void* hPort = QUENTA_createPortHandle();
    const bool bValid = hPort != (void*)(intptr_t)-1;
    /* Closed before the report: the next program may open the port at once. */
    if (bValid) {
        close((int)(intptr_t)hPort);
    }
    report("handle", bValid, NULL, 0);
}

/* 0 for quit, -1 for an unknown command, 1 otherwise. */
static int runCommand(char* szLine)
{
    szLine[strcspn(szLine, "\r\n")] = '\0';
    if (strcmp(szLine, "quit") == 0) {
        return 0;
    }
    if (strcmp(szLine, "search") == 0) {
        runSearch();
    } else if (strncmp(szLine, "pair ", 5) == 0) {
        report("pair", QUENTA_pairDevice(szLine + 5), NULL, 0);
    } else if (strcmp(szLine, "unpair") == 0) {
        report("unpair", QUENTA_pairDevice(""), NULL, 0);
    } else if (strcmp(szLine, "paired") == 0) {
        runPaired();
    } else if (strcmp(szLine, "data-mode") == 0) {
        report("data-mode", QUENTA_switchToDataMode(), NULL, 0);
    } else if (strcmp(szLine, "handle") == 0) {
        runHandle();
    } else {
        fprintf(stderr, "quenta_soak_client: unknown command: %s\n", szLine);
        return -1;
    }
    return 1;
}

int main(void)
{
    static char szLine[1024];
    while (fgets(szLine, sizeof(szLine), stdin) != NULL) {
        const int nResult = runCommand(szLine);
        if (nResult <= 0) {
            return nResult == 0 ? EXIT_DONE : EXIT_USAGE;
        }
    }
    return EXIT_DONE;
}
