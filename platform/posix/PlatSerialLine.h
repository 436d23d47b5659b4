// The device control block of a serial device in terms of termios: bit rate,
// framing, handshake and raw mode. The modem lines (DTR, RTS without
// handshake) are not termios settings and are left to the caller.
#pragma once

#include "Platform.h"

#include <termios.h>

namespace plat {

// The termios speed of a bit rate; B0 for a rate termios does not have.
speed_t speedFromBitRate(DWORD dwBitRate);

// Raw mode: no echo, no line editing, no translation, no signals, no
// software flow control; reads return as soon as one byte is there.
void makeRawLine(termios& tio);

// Puts the line settings of the block into the record (in raw mode).
// ERROR_SUCCESS, or ERROR_INVALID_PARAMETER for a value the line cannot take
// (the record is then unchanged).
DWORD lineFromDcb(const DCB& dcb, termios& tio);

// Fills the line-setting fields of the block from the record. Fields that
// termios does not hold are left as they are.
void dcbFromLine(const termios& tio, DCB& dcb);

} // namespace plat
