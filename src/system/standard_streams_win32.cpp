#include <io.h>
#include <cstdio>

#include "system/standard_streams.h"

namespace k210 {

void make_standard_streams_valid() {
    if (_get_osfhandle(0) == -1) (void)std::freopen("NUL", "r", stdin);
    if (_get_osfhandle(1) == -1) (void)std::freopen("NUL", "w", stdout);
    if (_get_osfhandle(2) == -1) (void)std::freopen("NUL", "w", stderr);
}

}  // namespace k210
