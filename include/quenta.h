/*
 * QUENTA: configures the radio module on the serial port "COM8:".
 *
 * The plain C interface of libquenta. Strings come back through a two-call
 * protocol: call with a null buffer to learn the size, then again with a
 * buffer of at least that size. Every call runs the whole operation against
 * the module again. The application calls the library from one thread at a
 * time.
 */
#ifndef QUENTA_H
#define QUENTA_H

#include <stdint.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(_WIN32)
#if defined(QUENTA_BUILDING_LIBRARY)
#define QUENTA_API __declspec(dllexport)
#else
#define QUENTA_API __declspec(dllimport)
#endif
#define QUENTA_CALL __stdcall
#else
#define QUENTA_API __attribute__((visibility("default")))
#define QUENTA_CALL
#endif

#define QUENTA_VERSION_MAJOR 1
#define QUENTA_VERSION_MINOR 0
#define QUENTA_VERSION_PATCH 0

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Searches nearby devices. The names go into the buffer, each followed by a
 * tab, with one more tab after the last (and a NUL after that, inside the
 * counted size). With a null buffer, *pSize receives the size needed and the
 * result is true. False when the search fails (no device found included) or
 * the buffer is too small; *pSize is then left as it was.
 */
QUENTA_API bool QUENTA_CALL QUENTA_searchDevices(char* pBuffer, uint32_t* pSize);

/*
 * Pairs the module with a device found by a search (searching first when no
 * search ran yet); an empty name removes the pairing. False for a null
 * pointer, an unknown name, or a module that cannot be reached or refuses.
 */
QUENTA_API bool QUENTA_CALL QUENTA_pairDevice(const char* szDevice);

/*
 * The name of the paired device, NUL-terminated; empty when the module could
 * not tell. With a null buffer, *pSize receives the length plus 1. False when
 * the module cannot be reached or the buffer has no room for the NUL.
 */
QUENTA_API bool QUENTA_CALL QUENTA_getPairedDevice(char* pBuffer, uint32_t* pSize);

/*
 * Hands the line over to transparent data transfer and closes the port; the
 * next call reopens it and brings the module back to command mode.
 */
QUENTA_API bool QUENTA_CALL QUENTA_switchToDataMode(void);

/*
 * Opens the serial port for the application's own traffic: 921600 bit/s, 8N1,
 * RTS/CTS, DTR on. The caller owns the handle (on POSIX a file descriptor)
 * and closes it. All bits set (-1) when the port cannot be opened.
 */
QUENTA_API void* QUENTA_CALL QUENTA_createPortHandle(void);

#ifdef __cplusplus
}
#endif

#endif /* QUENTA_H */
