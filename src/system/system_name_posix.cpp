#include <sys/utsname.h>

#include "system/system_name.h"

namespace k210 {

std::string system_description() {
    utsname names{};
    if (uname(&names) != 0) return "a POSIX system";
    return std::string(names.sysname) + " " + names.release + " " + names.machine;
}

}  // namespace k210
