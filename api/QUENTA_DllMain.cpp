// The library's entry point reports success for every notification and does
// nothing else; loading constructs the static objects, nothing more.
#if defined(_WIN32)
#include "Platform.h"

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
#endif
