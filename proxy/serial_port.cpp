#include "proxy/serial_port.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>

#include "linkrules/link_text.h"

namespace ferry {

namespace {

struct BaudEntry {
    uint32_t rate;
    speed_t code;
};

// Every rate of linkrules::BaudRates, with its code (a test holds the two
// lists together).
constexpr BaudEntry kBaudRates[] = {
    {300, B300},         {600, B600},         {1200, B1200},       {2400, B2400},     {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},   {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {921600, B921600}, {1000000, B1000000},
    {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

} // namespace

bool SerialSpeedCode(uint32_t baud, speed_t &code)
{
    if (!linkrules::SupportedBaud(baud))
        return false;
    for (const BaudEntry &e : kBaudRates) {
        if (e.rate == baud) {
            code = e.code;
            return true;
        }
    }
    return false;
}

int OpenSerialPort(const std::string &name, uint32_t baud, UniqueFd &port)
{
    // An unsupported rate is refused before the device is touched.
    speed_t code = 0;
    if (!SerialSpeedCode(baud, code))
        return kSerialSetupFailed;
    UniqueFd fd(::open(name.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid())
        return kSerialSetupFailed;
    ::ioctl(fd.Get(), TIOCEXCL); // the port is not shared; refused for ptys, which is fine

    termios tio{};
    if (::tcgetattr(fd.Get(), &tio) != 0)
        return kSerialSetupFailed;

    // Binary: no byte is translated, echoed or taken as a control or
    // XON/XOFF character, since packets may contain any value.
    tio.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
    tio.c_oflag &= ~tcflag_t(OPOST);
    tio.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~tcflag_t(CSIZE | HUPCL);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    // Reads wait 500 ms at most; the reader also bounds its waits with poll().
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 5;
    if (::cfsetispeed(&tio, code) != 0 || ::cfsetospeed(&tio, code) != 0)
        return kSerialSetupFailed;
    if (::tcsetattr(fd.Get(), TCSANOW, &tio) != 0)
        return kSerialSetupFailed;

    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd.Get(), TIOCMBIC, &lines); // a pty has no modem lines

    if (::tcflush(fd.Get(), TCOFLUSH) != 0 || ::tcflush(fd.Get(), TCIFLUSH) != 0) {
        return kSerialPurgeFailed;
    }
    port = std::move(fd);
    return kSerialOpened;
}

} // namespace ferry
