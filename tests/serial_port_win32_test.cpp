// The Windows port layer against a recording system: the analyzer's link
// makes exactly the communications calls, with exactly the values, that
// its line needs, in order; failures close what was opened and keep nothing.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "serial_link/port_system_win32.h"
#include "serial_link/serial_link.h"

using namespace k210;

namespace {

using Calls = std::vector<std::string>;

std::string text(const char* format, unsigned long a = 0, unsigned long b = 0, unsigned long c = 0, unsigned long d = 0,
                 unsigned long e = 0) {
    char line[160];
    std::snprintf(line, sizeof line, format, a, b, c, d, e);
    return line;
}

HANDLE const PORT = reinterpret_cast<HANDLE>(0x77);

class RecordingSystem : public PortSystem {
  public:
    RecordingSystem() {
        found.fAbortOnError = TRUE;  // a driver value the link keeps
        found.fOutxCtsFlow = TRUE;   // and two it must change
        found.fOutX = TRUE;
    }
    Calls calls;
    const char* failing = "";  // the call that fails, by name
    bool fails(const char* name) {
        const bool fail = std::string(failing) == name;
        if (fail) error = ERROR_GEN_FAILURE;
        return fail;
    }
    DWORD error = 0;
    COMMTIMEOUTS found_timeouts = {11, 12, 13, 14, 15};
    DCB found = {};

    HANDLE create_file(const char* path) override {
        calls.push_back(std::string("CreateFileA ") + path);
        return fails("CreateFileA") ? INVALID_HANDLE_VALUE : PORT;
    }
    BOOL setup_comm(HANDLE, DWORD in, DWORD out) override {
        calls.push_back(text("SetupComm %lu %lu", in, out));
        return fails("SetupComm") ? FALSE : TRUE;
    }
    BOOL get_comm_timeouts(HANDLE, COMMTIMEOUTS& t) override {
        calls.push_back("GetCommTimeouts");
        t = found_timeouts;
        return TRUE;
    }
    BOOL set_comm_timeouts(HANDLE, const COMMTIMEOUTS& t) override {
        write_timeout_ms = t.WriteTotalTimeoutConstant;
        calls.push_back(text("SetCommTimeouts %lu %lu %lu %lu %lu", t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                             t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant));
        return fails("SetCommTimeouts") ? FALSE : TRUE;
    }
    BOOL set_comm_mask(HANDLE, DWORD mask) override {
        calls.push_back(text("SetCommMask %lx", mask));
        return TRUE;
    }
    BOOL get_comm_state(HANDLE, DCB& dcb) override {
        calls.push_back("GetCommState");
        dcb = applied ? *applied : found;
        if (applied && drops_parity) dcb.Parity = NOPARITY;
        if (applied && keeps_two_stop_bits) dcb.StopBits = TWOSTOPBITS;
        if (applied && keeps_speed) dcb.BaudRate = found.BaudRate;
        return fails("GetCommState") ? FALSE : TRUE;
    }
    std::unique_ptr<DCB> applied;                           // what the driver took, once set
    bool drops_parity = false;                              // an adapter that takes even parity and drops it
    bool keeps_two_stop_bits = false, keeps_speed = false;  // settings a driver takes and ignores
    BOOL set_comm_state(HANDLE, const DCB& d) override {
        calls.push_back(text("SetCommState %lu baud %lu%lu%lu", d.BaudRate, d.ByteSize, d.Parity, d.StopBits) +
                        text(" bin %lu parity %lu errchar %lx/%lu", d.fBinary, d.fParity,
                             static_cast<unsigned char>(d.ErrorChar), d.fErrorChar) +
                        text(" dtr %lu rts %lu cts %lu dsr %lu sens %lu", d.fDtrControl, d.fRtsControl, d.fOutxCtsFlow,
                             d.fOutxDsrFlow, d.fDsrSensitivity) +
                        text(" xon %lu/%lu null %lu abort %lu", d.fOutX, d.fInX, d.fNull, d.fAbortOnError));
        if (fails("SetCommState")) return FALSE;
        applied = std::make_unique<DCB>(d);
        return TRUE;
    }
    BOOL purge_comm(HANDLE, DWORD flags) override {
        calls.push_back(text("PurgeComm %lx", flags));
        return TRUE;
    }
    BOOL read_file(HANDLE, void* buffer, DWORD count, DWORD& done) override {
        calls.push_back(text("ReadFile %lu", count));
        if (fails("ReadFile")) return FALSE;
        std::memcpy(buffer, "MODE:2\r", 7);
        done = 7;
        return TRUE;
    }
    // A device that takes `takes_per_write` bytes a write (0: all), using up the write time-out when short.
    DWORD takes_per_write = 0;
    long now_ms = 0;
    DWORD write_timeout_ms = 0;
    BOOL write_file(HANDLE, const void*, DWORD count, DWORD& done) override {
        calls.push_back(text("WriteFile %lu", count));
        done = fails("WriteFile") ? count - 1 : count;
        if (takes_per_write && takes_per_write < count) {
            done = takes_per_write;
            now_ms += static_cast<long>(write_timeout_ms);
        }
        return fails("WriteFile failing") ? FALSE : TRUE;
    }
    PortClock::time_point now() override { return PortClock::time_point(std::chrono::milliseconds(now_ms)); }
    BOOL clear_comm_error(HANDLE, DWORD& errors, COMSTAT&) override {
        calls.push_back("ClearCommError");
        errors = 0;
        return TRUE;
    }
    BOOL escape_comm_function(HANDLE, DWORD function) override {
        calls.push_back(text("EscapeCommFunction %lu", function));
        return fails("EscapeCommFunction") ? FALSE : TRUE;
    }
    BOOL flush_file_buffers(HANDLE) override {
        calls.push_back("FlushFileBuffers");
        return TRUE;
    }
    BOOL close_handle(HANDLE) override {
        calls.push_back("CloseHandle");
        return fails("CloseHandle") ? FALSE : TRUE;
    }
    DWORD last_error() override { return error; }
    bool runs_under_wine() override { return false; }
};

const PortName COM3 = *PortName::from_text("COM3");
const std::string PURGE_TX = text("PurgeComm %lx", PURGE_TXABORT | PURGE_TXCLEAR);
const std::string PURGE_RX = text("PurgeComm %lx", PURGE_RXABORT | PURGE_RXCLEAR);

const std::string SET_ANALYZER_STATE =
    "SetCommState 9600 baud 800 bin 1 parity 1 errchar ff/0 dtr 1 rts 1 cts 0 dsr 0 sens 0 xon 0/0 null 0 abort 1";

Calls opening() {
    return {R"(CreateFileA \\.\COM3)",
            "SetupComm 512 512",
            "GetCommTimeouts",
            "SetCommTimeouts 250 10 1000 0 0",
            "SetCommMask 87",
            "GetCommState",
            SET_ANALYZER_STATE,
            PURGE_TX,
            PURGE_RX};
}

TEST(WindowsPort, TheAnalyzerLinkMakesExactlyItsCalls) {
    RecordingSystem system;
    AnalyzerLink link(system);
    ASSERT_EQ(link.open_port(COM3), OpenStatus::ok);
    EXPECT_EQ(system.calls, opening());

    system.calls.clear();
    EXPECT_EQ(link.send_command("MODE?\r", 6), PortResult::ok);
    char reply[REPLY_LIMIT + 1];
    const ReadResult r = link.read_reply(reply, REPLY_LIMIT);
    EXPECT_EQ(r.count, 7u);
    EXPECT_STREQ(reply, "MODE:2\r");
    EXPECT_EQ(system.calls, (Calls{PURGE_RX, "WriteFile 6", "ClearCommError", "ReadFile 256"}));

    system.calls.clear();
    EXPECT_EQ(link.close_port(), CloseStatus::ok);
    EXPECT_EQ(system.calls,
              (Calls{"ClearCommError", PURGE_TX, PURGE_RX, "SetCommTimeouts 11 12 13 14 15", "CloseHandle"}));
    system.calls.clear();
    EXPECT_EQ(link.close_port(), CloseStatus::not_open);  // closed: no call at all
    EXPECT_TRUE(system.calls.empty());
}

TEST(WindowsPort, FailuresCloseWhatWasOpenedAndReportTheirCode) {
    struct Case {
        const char* failing;
        OpenStatus status;
        std::size_t calls_before;  // of the opening calls, up to the failing one
    };
    const Case cases[] = {{"CreateFileA", OpenStatus::open_failed, 1},
                          {"SetupComm", OpenStatus::open_failed, 2},
                          {"SetCommTimeouts", OpenStatus::open_failed, 4},
                          {"GetCommState", OpenStatus::open_failed, 6},
                          {"SetCommState", OpenStatus::settings_refused, 7}};
    for (const Case& c : cases) {
        RecordingSystem system;
        system.failing = c.failing;
        AnalyzerLink link(system);
        EXPECT_EQ(link.open_port(COM3), c.status) << c.failing;
        const Calls all = opening();
        Calls expected(all.begin(), all.begin() + static_cast<long>(c.calls_before));
        if (std::string(c.failing) != "CreateFileA") expected.push_back("CloseHandle");  // and no time-outs put back
        EXPECT_EQ(system.calls, expected) << c.failing;
        EXPECT_NE(link.failure_reason().find("COM3"), std::string::npos) << c.failing;
        EXPECT_EQ(link.close_port(), CloseStatus::not_open) << c.failing;
    }
    RecordingSystem system;
    AnalyzerLink link(system);
    ASSERT_EQ(link.open_port(COM3), OpenStatus::ok);
    system.failing = "WriteFile";  // a short write
    EXPECT_EQ(link.send_command("MODE 2\r", 7), PortResult::failed);
    system.failing = "WriteFile failing";
    EXPECT_EQ(link.send_command("MODE 2\r", 7), PortResult::failed);
    system.failing = "ReadFile";
    char reply[REPLY_LIMIT + 1] = "untouched";
    EXPECT_EQ(link.read_reply(reply, REPLY_LIMIT).end, ReadEnd::device_gone);
    EXPECT_STREQ(reply, "untouched");
    system.failing = "CloseHandle";
    EXPECT_EQ(link.close_port(), CloseStatus::failed);

    // The loader's line asks for even parity; an adapter that drops it is named.
    RecordingSystem adapter;
    adapter.drops_parity = true;
    SerialPort port(adapter);
    LineSettings parity_line;
    parity_line.parity = Parity::even;
    EXPECT_EQ(port.open(COM3, parity_line, ReadPolicy{0, 0, 100}), OpenStatus::settings_refused);
    EXPECT_NE(port.failure_reason().find("did not take even parity"), std::string::npos) << port.failure_reason();
    EXPECT_EQ(adapter.calls.back(), "CloseHandle");

    RecordingSystem lines;  // modem lines and speeds a driver refuses
    SerialPort loader(lines);
    ASSERT_EQ(loader.open(COM3, LineSettings{}, ReadPolicy{0, 0, 100}), OpenStatus::ok);
    lines.failing = "EscapeCommFunction";
    EXPECT_EQ(loader.set_modem_lines(true, true), PortResult::failed);
    lines.failing = "SetCommState";
    EXPECT_EQ(loader.set_speed(38400), PortResult::failed);
    EXPECT_NE(loader.failure_reason().find("did not take 38400 baud"), std::string::npos);
}

// The loader's line keeps every promise of the port's header on Windows too.
TEST(WindowsPort, TheLoaderLineIsReadBackBoundedAndUndone) {
    LineSettings loader_line;
    loader_line.parity = Parity::even;
    struct Case {
        const char* what;
        void (*fault)(RecordingSystem&);
    };
    const Case cases[] = {{"parity dropped", [](RecordingSystem& s) { s.drops_parity = true; }},
                          {"two stop bits kept", [](RecordingSystem& s) { s.keeps_two_stop_bits = true; }},
                          {"the speed ignored", [](RecordingSystem& s) {
                               s.found.BaudRate = 1200;
                               s.keeps_speed = true;
                           }}};
    for (const Case& c : cases) {
        RecordingSystem system;
        c.fault(system);
        SerialPort port(system);
        EXPECT_EQ(port.open(COM3, loader_line, ReadPolicy{0, 0, 100}), OpenStatus::settings_refused) << c.what;
        EXPECT_NE(port.failure_reason().find("did not take"), std::string::npos) << c.what;
        const Calls last(system.calls.end() - 3, system.calls.end());  // what it changed goes back, then the handle
        EXPECT_EQ(last[0].rfind("SetCommState", 0), 0u) << c.what;
        EXPECT_EQ(last[1], "SetCommTimeouts 11 12 13 14 15") << c.what;
        EXPECT_EQ(last[2], "CloseHandle") << c.what;
    }

    RecordingSystem system;
    SerialPort port(system);
    loader_line.baud = 57600;
    EXPECT_EQ(port.open(COM3, loader_line, ReadPolicy{0, 0, 100}), OpenStatus::settings_refused);
    EXPECT_TRUE(system.calls.empty());  // refused before the port is touched
    loader_line.baud = 9600;
    ASSERT_EQ(port.open(COM3, loader_line, ReadPolicy{0, 0, 100}), OpenStatus::ok);
    EXPECT_EQ(port.set_speed(57600), PortResult::failed);

    // Closing keeps DTR and RTS as the loader's entry left them: a driver told the found DCB's
    // lines again would drop DTR, and the analyzer would stay in reset.
    LineSettings keeps_lines = loader_line;
    keeps_lines.hang_up_on_close = false;
    keeps_lines.restore_settings_on_close = true;
    RecordingSystem held;
    held.found.BaudRate = 9600;
    held.found.ByteSize = 8;
    held.found.fDtrControl = DTR_CONTROL_DISABLE;
    held.found.fRtsControl = RTS_CONTROL_ENABLE;
    {
        SerialPort loader(held);
        ASSERT_EQ(loader.open(COM3, keeps_lines, ReadPolicy{0, 0, 100}), OpenStatus::ok);
        ASSERT_EQ(loader.set_modem_lines(true, false), PortResult::ok);
        held.calls.clear();
        EXPECT_EQ(loader.close(), CloseStatus::ok);
    }
    const auto put_back = std::find_if(held.calls.begin(), held.calls.end(),
                                       [](const std::string& call) { return call.rfind("SetCommState", 0) == 0; });
    ASSERT_NE(put_back, held.calls.end());
    EXPECT_NE(put_back->find(" dtr 1 rts 0 "), std::string::npos) << *put_back;
    EXPECT_NE(put_back->find("9600 baud 800"), std::string::npos) << *put_back;  // the rest as found
    EXPECT_EQ(held.calls.back(), "CloseHandle");

    // Each write gives the driver the time left: 1 s plus twice 240 bytes' time on the wire (275 ms).
    system.calls.clear();
    const std::string block(240, 'x');
    EXPECT_EQ(port.write(block.data(), block.size()), PortResult::ok);
    EXPECT_EQ(system.calls, (Calls{"SetCommTimeouts 0 0 100 0 1550", "WriteFile 240", "ClearCommError"}));
    system.takes_per_write = 100;  // a stalled device: the writes go on only while time is left
    system.calls.clear();
    EXPECT_EQ(port.write(block.data(), block.size()), PortResult::failed);
    EXPECT_EQ(system.calls.size(), 3u);
    EXPECT_EQ(system.now_ms, 1550);
    EXPECT_NE(port.failure_reason().find("in time"), std::string::npos);
}

}  // namespace
