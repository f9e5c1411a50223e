// Opening and configuring a serial line (a tty) for the link.
#pragma once

#include <termios.h>

#include <cstdint>
#include <string>

#include "proxy/wire/unique_fd.h"

namespace ferry {

inline constexpr int kSerialOpened = 1;
inline constexpr int kSerialSetupFailed = 0;  // open, line state or time-outs
inline constexpr int kSerialPurgeFailed = -2; // queues or purges

// Opens the named tty in raw binary mode (8 data bits, DTR and RTS off)
// at the given baud rate and discards anything queued either way. Parity
// and stop bits stay as the driver reports them. Returns kSerialOpened
// with `port` set, or the code of the step that failed.
int OpenSerialPort(const std::string &name, uint32_t baud, UniqueFd &port);

// The termios code of a baud rate the link's rules support; false for any
// other rate.
bool SerialSpeedCode(uint32_t baud, speed_t &code);

} // namespace ferry
