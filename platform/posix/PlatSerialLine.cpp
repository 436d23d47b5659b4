#include "PlatSerialLine.h"

namespace plat {

namespace {

struct BitRateS
{
    DWORD dwBitRate;
    speed_t speed;
};

const BitRateS c_aBitRates[] = {
    {50, B50},           {75, B75},     {110, B110},   {134, B134},     {150, B150},
    {200, B200},         {300, B300},   {600, B600},   {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
#ifdef B57600
    {57600, B57600},
#endif
#ifdef B115200
    {115200, B115200},
#endif
#ifdef B230400
    {230400, B230400},
#endif
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// CS5 is 0, so validity is told apart from the flags.
bool sizeFlags(BYTE byByteSize, tcflag_t& flags)
{
    switch (byByteSize) {
    case 5:
        flags = CS5;
        return true;
    case 6:
        flags = CS6;
        return true;
    case 7:
        flags = CS7;
        return true;
    case 8:
        flags = CS8;
        return true;
    default:
        return false;
    }
}

BYTE byteSizeFromSize(tcflag_t size)
{
    switch (size) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

// The parity bits of c_cflag for a Win32 parity code; false for an unknown code.
bool parityFlags(BYTE byParity, tcflag_t& flags)
{
    switch (byParity) {
    case NOPARITY:
        flags = 0;
        return true;
    case ODDPARITY:
        flags = PARENB | PARODD;
        return true;
    case EVENPARITY:
        flags = PARENB;
        return true;
#ifdef CMSPAR
    case MARKPARITY:
        flags = PARENB | PARODD | CMSPAR;
        return true;
    case SPACEPARITY:
        flags = PARENB | CMSPAR;
        return true;
#endif
    default:
        return false;
    }
}

BYTE parityFromFlags(tcflag_t cflag)
{
    if ((cflag & PARENB) == 0)
        return NOPARITY;
#ifdef CMSPAR
    if ((cflag & CMSPAR) != 0)
        return (cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
#endif
    return (cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
}

// A UART sends 1.5 stop bits where two are asked for with 5 data bits, so
// CSTOPB means 1.5 with 5 bits and 2 otherwise; the other pairings do not exist.
bool stopFlags(BYTE byStopBits, BYTE byByteSize, tcflag_t& flags)
{
    switch (byStopBits) {
    case ONESTOPBIT:
        flags = 0;
        return true;
    case ONE5STOPBITS:
        flags = CSTOPB;
        return byByteSize == 5;
    case TWOSTOPBITS:
        flags = CSTOPB;
        return byByteSize != 5;
    default:
        return false;
    }
}

// Features of the block that termios has no equivalent for.
bool hasUnsupportedFeature(const DCB& dcb)
{
    return dcb.fOutxDsrFlow != 0 || dcb.fDsrSensitivity != 0 ||
           dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE ||
           dcb.fErrorChar != 0 || dcb.fNull != 0 || dcb.fAbortOnError != 0;
}

DWORD bitRateFromSpeed(speed_t speed)
{
    for (const BitRateS& rate : c_aBitRates) {
        if (rate.speed == speed)
            return rate.dwBitRate;
    }
    return 0;
}

} // namespace

speed_t speedFromBitRate(DWORD dwBitRate)
{
    for (const BitRateS& rate : c_aBitRates) {
        if (rate.dwBitRate == dwBitRate)
            return rate.speed;
    }
    return B0;
}

void makeRawLine(termios& tio)
{
    tio.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
}

DWORD lineFromDcb(const DCB& dcb, termios& tio)
{
    const speed_t speed = speedFromBitRate(dcb.BaudRate);
    tcflag_t size = 0;
    tcflag_t parity = 0;
    tcflag_t stop = 0;
    if (speed == B0 || !sizeFlags(dcb.ByteSize, size) || !parityFlags(dcb.Parity, parity) ||
        !stopFlags(dcb.StopBits, dcb.ByteSize, stop) || hasUnsupportedFeature(dcb))
        return ERROR_INVALID_PARAMETER;

    termios next = tio;
    makeRawLine(next);
    tcflag_t clearFlags = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
#ifdef CMSPAR
    clearFlags |= CMSPAR;
#endif
    next.c_cflag = (next.c_cflag & ~clearFlags) | size | parity | stop;
    if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        next.c_cflag |= CRTSCTS;
    next.c_iflag &= ~(INPCK | IXON | IXOFF);
    if (dcb.fParity != 0)
        next.c_iflag |= INPCK;
    if (dcb.fOutX != 0)
        next.c_iflag |= IXON;
    if (dcb.fInX != 0)
        next.c_iflag |= IXOFF;
    if (dcb.fOutX != 0 || dcb.fInX != 0) {
        next.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
        next.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    }
    if (cfsetispeed(&next, speed) != 0 || cfsetospeed(&next, speed) != 0)
        return ERROR_INVALID_PARAMETER;
    tio = next;
    return ERROR_SUCCESS;
}

void dcbFromLine(const termios& tio, DCB& dcb)
{
    const bool bHandshake = (tio.c_cflag & CRTSCTS) != 0;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = bitRateFromSpeed(cfgetospeed(&tio));
    dcb.fBinary = 1;
    dcb.fParity = (tio.c_iflag & INPCK) != 0 ? 1 : 0;
    dcb.fOutxCtsFlow = bHandshake ? 1 : 0;
    if (bHandshake)
        dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutxDsrFlow = 0;
    dcb.fDsrSensitivity = 0;
    dcb.fTXContinueOnXoff = 1;
    dcb.fOutX = (tio.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (tio.c_iflag & IXOFF) != 0 ? 1 : 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fAbortOnError = 0;
    dcb.ByteSize = byteSizeFromSize(tio.c_cflag & CSIZE);
    dcb.Parity = parityFromFlags(tio.c_cflag);
    if ((tio.c_cflag & CSTOPB) == 0)
        dcb.StopBits = ONESTOPBIT;
    else
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    dcb.XonChar = static_cast<char>(tio.c_cc[VSTART]);
    dcb.XoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

} // namespace plat
