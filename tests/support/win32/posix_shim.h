// Forced into every test unit of the Windows build: the few POSIX calls the
// test suites use, on Windows. Whatever must happen on the Linux side (shell
// commands, ffmpeg, symbolic links) goes through linux_shell().
#pragma once
#ifdef _WIN32
#include <direct.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

// Runs cmd with /bin/sh on the Linux side of Wine, in the current directory;
// stdout goes to capture when given. Returns the exit status, -1 when the
// command could not be started.
int linux_shell(const std::string& cmd, const std::string* capture = nullptr);
// Quotes s for that shell.
std::string shell_quote(const std::string& s);

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name)) return 0;
    // The CRT cannot hold an empty variable: "" unsets it, which the library
    // reads the same way.
    return _putenv_s(name, value) == 0 ? 0 : -1;
}
inline int unsetenv(const char* name) { return _putenv_s(name, "") == 0 ? 0 : -1; }

inline int mkdir(const char* path, int) { return _mkdir(path); }

inline int symlink(const char* target, const char* link) {
    return linux_shell("ln -s " + shell_quote(target) + " " + shell_quote(link)) == 0 ? 0 : -1;
}

inline int link(const char* existing, const char* name) {
    return CreateHardLinkA(name, existing, nullptr) ? 0 : -1;
}

// Windows has no effective user; the tests that ask are about POSIX
// permissions, which do not apply, so they take the privileged branch.
inline unsigned geteuid() { return 0; }

#ifndef _SC_PAGESIZE
#define _SC_PAGESIZE 30
#endif
inline long sysconf(int name) {
    if (name != _SC_PAGESIZE) return -1;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return static_cast<long>(info.dwPageSize);
}

// popen runs the command on the Linux side into a temporary file and hands
// back that file to read; pclose removes it.
inline FILE* ae_popen(const char* cmd, const char* mode) {
    if (!mode || mode[0] != 'r') return nullptr;
    char name[MAX_PATH];
    std::snprintf(name, sizeof name, "popen_%lu_%p.out", GetCurrentProcessId(),
                  static_cast<const void*>(cmd));
    std::string path = name;
    if (linux_shell(cmd, &path) < 0) return nullptr;
    FILE* f = std::fopen(name, "rb");
    // Deleted once closed; Windows keeps it until then.
    if (f) _unlink(name);
    return f;
}
inline int ae_pclose(FILE* f) { return f ? std::fclose(f) : -1; }
#undef popen
#undef pclose
#define popen ae_popen
#define pclose ae_pclose

#ifndef WIFEXITED
#define WIFEXITED(rc) ((rc) != -1)
#define WEXITSTATUS(rc) (rc)
#endif
#endif
