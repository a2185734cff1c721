// Windows port layer: the communications functions of the system, with the
// driver's own read time-outs giving the three read rules.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "serial_link/serial_link.h"
#include "serial_link/win32_message.h"

namespace {

HANDLE g_port = INVALID_HANDLE_VALUE;
COMMTIMEOUTS g_saved_timeouts;  // as found at open; put back on close
DCB g_line;
COMSTAT g_line_status;
std::string g_failure_reason;

std::string hint_for(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return "the port is busy: another program (a terminal program) holds it; close that "
                   "program and try again";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "no such port: is the adapter plugged in? Device Manager shows its COM number";
        default:
            return "";
    }
}

int fail_open(const std::string& path, int status) {
    const DWORD error = GetLastError();
    g_failure_reason = path + ": " + system_message(error);
    const std::string hint = hint_for(error);
    if (!hint.empty()) g_failure_reason += " (" + hint + ")";
    if (g_port != INVALID_HANDLE_VALUE) CloseHandle(g_port);
    g_port = INVALID_HANDLE_VALUE;
    return status;
}

void set_line_settings(DCB& dcb) {
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.ErrorChar = static_cast<char>(0xFF);
    dcb.fErrorChar = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
}

}  // namespace

std::string port_failure_reason() { return g_failure_reason; }

int open_port(const char* port_name) {
    g_failure_reason.clear();
    if (g_port != INVALID_HANDLE_VALUE) return PORT_OPEN_FAILED;
    const std::string path = port_device_path(port_name);
    g_port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_port == INVALID_HANDLE_VALUE) return fail_open(path, PORT_OPEN_FAILED);
    if (!SetupComm(g_port, 512, 512)) return fail_open(path, PORT_OPEN_FAILED);
    GetCommTimeouts(g_port, &g_saved_timeouts);
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = READ_INTERVAL_MS;
    timeouts.ReadTotalTimeoutMultiplier = READ_TOTAL_PER_BYTE_MS;
    timeouts.ReadTotalTimeoutConstant = READ_TOTAL_CONSTANT_MS;
    if (!SetCommTimeouts(g_port, &timeouts)) return fail_open(path, PORT_OPEN_FAILED);
    SetCommMask(g_port, EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_ERR);
    std::memset(&g_line, 0, sizeof g_line);
    g_line.DCBlength = sizeof g_line;
    if (!GetCommState(g_port, &g_line)) return fail_open(path, PORT_OPEN_FAILED);
    set_line_settings(g_line);
    if (!SetCommState(g_port, &g_line)) return fail_open(path, PORT_SETTINGS_REFUSED);
    PurgeComm(g_port, PURGE_TXABORT | PURGE_TXCLEAR);
    PurgeComm(g_port, PURGE_RXABORT | PURGE_RXCLEAR);
    return PORT_OK;
}

int send_command(const char* bytes, std::size_t length) {
    if (g_port == INVALID_HANDLE_VALUE) return SEND_FAILED;
    PurgeComm(g_port, PURGE_RXABORT | PURGE_RXCLEAR);
    DWORD written = 0;
    const BOOL ok = WriteFile(g_port, bytes, static_cast<DWORD>(length), &written, nullptr);
    DWORD errors;
    ClearCommError(g_port, &errors, &g_line_status);
    return (ok && written == length) ? SEND_OK : SEND_FAILED;
}

std::size_t read_reply(char* buffer, std::size_t limit) {
    if (g_port == INVALID_HANDLE_VALUE) return 0;
    std::vector<char> got(limit);
    DWORD count = 0;
    if (!ReadFile(g_port, got.data(), static_cast<DWORD>(limit), &count, nullptr)) return 0;
    std::memcpy(buffer, got.data(), count);
    buffer[count] = '\0';
    return count;
}

int close_port() {
    if (g_port == INVALID_HANDLE_VALUE) return PORT_CLOSE_FAILED;
    DWORD errors;
    ClearCommError(g_port, &errors, &g_line_status);
    PurgeComm(g_port, PURGE_TXABORT | PURGE_TXCLEAR);
    PurgeComm(g_port, PURGE_RXABORT | PURGE_RXCLEAR);
    SetCommTimeouts(g_port, &g_saved_timeouts);
    const BOOL closed = CloseHandle(g_port);
    g_port = INVALID_HANDLE_VALUE;
    return closed ? PORT_OK : PORT_CLOSE_FAILED;
}
