// The Linux side of the Windows test run. Wine starts a Unix program for
// CreateProcess on it but cannot wait for it or tell its exit status, so the
// command runs from a script that leaves its status in a file, and the
// caller waits for that file.
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "posix_shim.h"

namespace {
// Wine's own export: the Unix name of a Windows path.
std::string unix_name(const std::string& win_path) {
    using to_unix_fn = char*(CDECL*)(const wchar_t*);
    static auto to_unix = reinterpret_cast<to_unix_fn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    wchar_t wide[MAX_PATH];
    if (!to_unix || MultiByteToWideChar(CP_ACP, 0, win_path.c_str(), -1, wide, MAX_PATH) <= 0)
        return {};
    char* name = to_unix(wide);
    if (!name) return {};
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

std::string full_path(const std::string& path) {
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
    return n > 0 && n < sizeof full ? std::string(full) : path;
}
}  // namespace

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

int linux_shell(const std::string& cmd, const std::string* capture) {
    static long counter = 0;
    char tag[64];
    std::snprintf(tag, sizeof tag, "linux_shell_%lu_%ld", GetCurrentProcessId(), ++counter);
    std::string script = full_path(std::string(tag) + ".sh");
    std::string status = full_path(std::string(tag) + ".status");
    std::string cwd = unix_name(full_path("."));
    if (cwd.empty()) return -1;
    {
        std::ofstream f(script, std::ios::binary);
        f << "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin; export PATH\n"
          << "cd " << shell_quote(cwd) << " || exit 127\n"
          << "( " << cmd << "\n) </dev/null";
        if (capture) f << " >" << shell_quote(unix_name(full_path(*capture)));
        f << "\nrc=$?\necho $rc >" << shell_quote(unix_name(status) + ".tmp") << " && mv "
          << shell_quote(unix_name(status) + ".tmp") << " " << shell_quote(unix_name(status))
          << "\n";
        if (!f) return -1;
    }
    std::string line = "sh \"" + unix_name(script) + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA("Z:\\bin\\sh", &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &si, &pi)) {
        DeleteFileA(script.c_str());
        return -1;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    // Fixture commands take seconds; an hour means the shell never ran.
    int rc = -1;
    for (int waited = 0; waited < 3600 * 100; ++waited) {
        std::ifstream f(status);
        if (f >> rc) break;
        Sleep(10);
    }
    DeleteFileA(status.c_str());
    DeleteFileA(script.c_str());
    return rc;
}
