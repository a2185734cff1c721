#include "serial_link/port_termios.h"

namespace k210 {

namespace {

constexpr unsigned char MARK = 0xFF;  // with PARMRK: FF FF is FF, FF 00 x is x with an error

}  // namespace

speed_t speed_for(unsigned baud) {
    switch (baud) {
        case 19200: return B19200;
        case 38400: return B38400;
        default: return B9600;
    }
}

unsigned baud_of(speed_t speed) {
    switch (speed) {
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        default: return 0;
    }
}

termios line_termios(const termios& found, const LineSettings& line) {
    termios t = found;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                                        IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    if (line.hang_up_on_close) t.c_cflag |= HUPCL;
    if (line.parity == Parity::even) {
        t.c_cflag |= PARENB;
        t.c_iflag |= INPCK | PARMRK;  // a damaged byte arrives marked, never silently
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return with_speed(t, line.baud);
}

termios with_speed(termios t, unsigned baud) {
    cfsetispeed(&t, speed_for(baud));
    cfsetospeed(&t, speed_for(baud));
    return t;
}

LineTaken taken_from(const termios& now) {
    LineTaken taken;
    const speed_t in = cfgetispeed(&now);
    const speed_t out = cfgetospeed(&now);
    taken.baud = in == out || in == 0 ? baud_of(out) : 0;
    taken.eight_bits = (now.c_cflag & CSIZE) == CS8;
    taken.one_stop_bit = (now.c_cflag & CSTOPB) == 0;
    taken.even_parity = (now.c_cflag & PARENB) != 0 && (now.c_cflag & PARODD) == 0;
    taken.no_flow_control = (now.c_cflag & CRTSCTS) == 0 && (now.c_iflag & (IXON | IXOFF)) == 0;
    return taken;
}

termios for_close(const termios& found, const termios& now, bool whole_line, bool keep_modem_lines) {
    termios back = found;
    if (!whole_line) {
        back = now;
        back.c_cc[VMIN] = found.c_cc[VMIN];
        back.c_cc[VTIME] = found.c_cc[VTIME];
    }
    if (keep_modem_lines) back.c_cflag &= ~static_cast<tcflag_t>(HUPCL);
    return back;
}

void unmark(const unsigned char* raw, std::size_t count, std::string& got, std::string& pending, bool& error) {
    for (std::size_t i = 0; i < count; ++i) {
        pending += static_cast<char>(raw[i]);
        if (static_cast<unsigned char>(pending[0]) != MARK) {
            got += pending;
        } else if (pending.size() == 2 && static_cast<unsigned char>(pending[1]) == MARK) {
            got += static_cast<char>(MARK);
        } else if (pending.size() == 3) {
            got += pending[2];
            error = true;
        } else {
            continue;
        }
        pending.clear();
    }
}

}  // namespace k210
