#include <io.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "bsl/bsl_link.h"
#include "serial_link/serial_link.h"
#include "serial_link/win32_message.h"

namespace {

HANDLE g_port = INVALID_HANDLE_VALUE;
DCB g_found;
COMMTIMEOUTS g_found_timeouts;

bool fail(const std::string& path, const char* what, std::string& error) {
    error = path + ": " + what + ": " + system_message(GetLastError());
    CloseHandle(g_port);
    g_port = INVALID_HANDLE_VALUE;
    return false;
}

}  // namespace

bool bsl_open(const char* port_name, std::string& error) {
    const std::string path = port_device_path(port_name);
    g_port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_port == INVALID_HANDLE_VALUE) {
        error = path + ": " + system_message(GetLastError());
        return false;
    }
    SetupComm(g_port, 512, 512);
    GetCommTimeouts(g_port, &g_found_timeouts);
    std::memset(&g_found, 0, sizeof g_found);
    g_found.DCBlength = sizeof g_found;
    if (!GetCommState(g_port, &g_found)) return fail(path, "cannot read the line settings", error);
    DCB dcb = g_found;
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(g_port, &dcb)) {
        dcb.Parity = NOPARITY;  // a line that has no parity to set
        if (!SetCommState(g_port, &dcb)) return fail(path, "the line settings were refused", error);
        std::printf("note: %s does not take even parity; going on without it\n", path.c_str());
    }
    PurgeComm(g_port, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR);
    return true;
}

void bsl_close() {
    if (g_port == INVALID_HANDLE_VALUE) return;
    FlushFileBuffers(g_port);
    SetCommState(g_port, &g_found);
    SetCommTimeouts(g_port, &g_found_timeouts);
    CloseHandle(g_port);
    g_port = INVALID_HANDLE_VALUE;
}

bool bsl_write(const Bytes& bytes) {
    DWORD written = 0;
    return WriteFile(g_port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

Bytes bsl_read(std::size_t count, int timeout_ms) {
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(timeout_ms);
    SetCommTimeouts(g_port, &timeouts);
    Bytes got(count);
    DWORD n = 0;
    if (!ReadFile(g_port, got.data(), static_cast<DWORD>(count), &n, nullptr)) n = 0;
    got.resize(n);
    return got;
}

void bsl_discard_input() {
    if (g_port != INVALID_HANDLE_VALUE) PurgeComm(g_port, PURGE_RXABORT | PURGE_RXCLEAR);
}

void bsl_set_dtr(bool on) {
    if (g_port != INVALID_HANDLE_VALUE) EscapeCommFunction(g_port, on ? SETDTR : CLRDTR);
}

void bsl_set_rts(bool on) {
    if (g_port != INVALID_HANDLE_VALUE) EscapeCommFunction(g_port, on ? SETRTS : CLRRTS);
}

void bsl_pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

bool bsl_output_is_terminal() { return _isatty(_fileno(stdout)) != 0; }
