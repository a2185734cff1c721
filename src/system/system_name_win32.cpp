#include <windows.h>

#include <string>

#include "system/system_name.h"

namespace k210 {

// GetVersionEx answers with the version a program was made for; the system's own call tells the truth.
std::string system_description() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr) return "Windows";
    using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    using WineVersion = const char*(CDECL*)();
    // NOLINTBEGIN(cppcoreguidelines-pro-type-reinterpret-cast): a system function found by its name
    const auto get_version =
        reinterpret_cast<GetVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")));
    const auto wine_version =
        reinterpret_cast<WineVersion>(reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")));
    // NOLINTEND(cppcoreguidelines-pro-type-reinterpret-cast)
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    std::string text = "Windows";
    if (get_version != nullptr && get_version(&version) == 0)
        text += " " + std::to_string(version.dwMajorVersion) + "." + std::to_string(version.dwMinorVersion) + "." +
                std::to_string(version.dwBuildNumber);
    if (wine_version != nullptr) text += std::string(" (under Wine ") + wine_version() + ")";
    return text;
}

}  // namespace k210
