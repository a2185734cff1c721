// The Windows communications calls that the port layer makes, behind
// virtual functions so that a test can replace any of them (and see every
// call with its values). The defaults make the real calls.
#pragma once

#include <windows.h>

#include <string>

#include "serial_link/deadline.h"

namespace k210 {

class PortSystem {
  public:
    PortSystem() = default;
    virtual ~PortSystem() = default;
    PortSystem(const PortSystem&) = delete;
    PortSystem& operator=(const PortSystem&) = delete;
    PortSystem(PortSystem&&) = delete;
    PortSystem& operator=(PortSystem&&) = delete;
    virtual HANDLE create_file(const char* path);  // read/write, no sharing, existing device, no overlapped I/O
    virtual BOOL setup_comm(HANDLE port, DWORD in_queue, DWORD out_queue);
    virtual BOOL get_comm_timeouts(HANDLE port, COMMTIMEOUTS& timeouts);
    virtual BOOL set_comm_timeouts(HANDLE port, const COMMTIMEOUTS& timeouts);
    virtual BOOL set_comm_mask(HANDLE port, DWORD mask);
    virtual BOOL get_comm_state(HANDLE port, DCB& dcb);
    virtual BOOL set_comm_state(HANDLE port, const DCB& dcb);
    virtual BOOL purge_comm(HANDLE port, DWORD flags);
    virtual BOOL read_file(HANDLE port, void* buffer, DWORD count, DWORD& done);
    virtual BOOL write_file(HANDLE port, const void* bytes, DWORD count, DWORD& done);
    virtual BOOL clear_comm_error(HANDLE port, DWORD& errors, COMSTAT& status);
    virtual BOOL escape_comm_function(HANDLE port, DWORD function);
    virtual BOOL flush_file_buffers(HANDLE port);
    virtual BOOL close_handle(HANDLE port);
    virtual DWORD last_error();
    virtual PortClock::time_point now();
    virtual void sleep_until(PortClock::time_point when);
    // Under Wine every COM port is a Unix device, in tests a pseudo-terminal.
    virtual bool runs_under_wine();
};

}  // namespace k210
