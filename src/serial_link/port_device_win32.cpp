// COMn by its device form, so that no name is ever misread as a file.
#include "serial_link/port_name.h"

PortDevice port_device(const PortName& port) {
    return {"\\\\.\\" + port.text(), "the system's port " + port.text()};
}
