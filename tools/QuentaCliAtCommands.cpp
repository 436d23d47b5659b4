#include "QuentaCliAtCommands.h"

namespace QUENTA {
namespace CLI {

const std::vector<CommandFormS>& libraryCommands()
{
    // Upper-case words are values the library fills in; the numbers are the
    // ones it sends. "(refused)" marks what 'quenta at' will not send.
    static const std::vector<CommandFormS> c_vecCommands = {
        {"AT", "ping: answered (OK or ERROR) only in command mode"},
        {"///", "to command mode, 1.1 s of silence around it (refused)"},
        {"AT*ADDM", "to data mode (refused: use 'quenta data-mode')"},
        {"ATP", "production mode (refused)"},
        {"AT&F", "restore the factory settings, then restart (refused)"},
        {"AT*AMWS=0,0,0,0,1,0", "restart the module (refused)"},
        {"AT*AMRS?", "read the serial settings: RATE,DATA,STOP,PARITY,FLOW"},
        {"AT*AMRS=RATE,DATA,STOP,PARITY,FLOW,0,1",
         "write them; RATE 12: 921600 bit/s, FLOW 1: RTS/CTS"},
        {"AT*AGI=2,10,15", "search: an inquiry for up to 15 devices"},
        {"AT*AGND=ADDRESS", "the name of a device the inquiry found"},
        {"AT*ADWDRP=0,ADDRESS,130,0,\"NAME\",1", "pair: make the device the default remote peer"},
        {"AT*ADRDRP=0", "read the pairing back: address, two fields, name"},
        {"AT*ADNRP=0,1", "remove the pairing (no remote peers)"},
        {"AT*AGCM=1,1", "set-up: connectability mode"},
        {"AT*AGDM=1,1", "set-up: discoverability mode"},
        {"AT*ADDSP=255,1", "set-up: default server profile"},
        {"AT*ADDCP=0,1", "set-up: default client profile"},
        {"AT*AMWFM=1,1,1", "set-up: feature mask"},
        {"AT*AMDS=2,1,1", "set-up: DTR/DSR settings"},
        {"AT*AMPM=3,1", "set-up: power save mode"},
        {"AT*ADDSP?", "read the default server profile"},
        {"AT*ADDCP?", "read the default client profile"},
        {"AT*AGLN?", "read the module's own name"},
        {"AT*AGLN=\"NAME\",1", "set it (at most 15 characters)"},
        {"AT*AILBA?", "read the module's own address"},
        {"AT*AILVI?", "read the module's information (five fields)"},
        {"AT*ADWSN=NUMBER,\"NAME\",1", "service name (the library restarts the module after)"},
        {"AT*AGLC=CLASS,1", "class of device"},
        {"AT*ADWM=SETTING,0,1", "wireless multidrop"},
        {"AT*AGSM=MODE,1", "security mode"},
        {"AT*AGFP=\"PIN\",1", "fixed PIN"},
        {"AT*AGSSID=\"SSID\",1", "SSID (at most 32 characters)"},
        {"AT*AMWIO=PIN,VALUE", "write an I/O pin"},
    };
    return c_vecCommands;
}

} // namespace CLI
} // namespace QUENTA
