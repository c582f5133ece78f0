// The file-system layer on Windows: the ANSI (A) calls, whose names are
// bytes in the process's ANSI code page, and the Universal CRT for stat and
// mkdir.
#include "platform/fs.h"

#include <direct.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace {
constexpr uint32_t FS_ATTR_NORMAL = FILE_ATTRIBUTE_NORMAL;

// Win32 device namespace: what GetFullPathNameA makes of NUL, CON, COM1...
// in any directory, and of \\.\ paths given directly.
bool is_device_path(const char* path) {
    char full[MAX_PATH];
    DWORD n = GetFullPathNameA(path, sizeof full, full, nullptr);
    return n >= 4 && n < sizeof full && std::strncmp(full, "\\\\.\\", 4) == 0;
}

// Attributes of the target of a reparse point (a symbolic link or
// junction), FS_INVALID_ATTRIBUTES when it cannot be followed.
uint32_t followed_attributes(const char* path) {
    HANDLE h = CreateFileA(path, FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FS_INVALID_ATTRIBUTES;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD type = GetFileType(h);
    BOOL ok = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!ok) return type == FILE_TYPE_DISK ? FS_INVALID_ATTRIBUTES : FS_ATTR_DEVICE;
    return info.dwFileAttributes;
}

// Reduces Windows attributes to the three kinds the library tells apart, as
// fs_posix.cpp reports them.
uint32_t kind_of(uint32_t attrs) {
    if (attrs & FILE_ATTRIBUTE_DIRECTORY) return FS_ATTR_DIRECTORY;
    return (attrs & FILE_ATTRIBUTE_DEVICE) ? FS_ATTR_DEVICE : FS_ATTR_NORMAL;
}
}  // namespace

struct fs_dir {
    HANDLE find;
    std::string dir;  // the listed directory, to follow links in it
};

uint32_t fs_file_attributes(const char* path) {
    if (!path || !*path) return FS_INVALID_ATTRIBUTES;
    if (is_device_path(path)) return FS_ATTR_DEVICE;
    DWORD attrs = GetFileAttributesA(path);
    if (attrs == INVALID_FILE_ATTRIBUTES) return FS_INVALID_ATTRIBUTES;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
        attrs = followed_attributes(path);
        if (attrs == FS_INVALID_ATTRIBUTES) return FS_INVALID_ATTRIBUTES;
    }
    return kind_of(attrs);
}

int fs_stat(const char* path, bool* is_dir) {
    if (!path || !*path) return -1;
    // The CRT's stat refuses "dir\" although the directory exists; a root
    // ("C:\", "\") keeps its separator.
    std::string p = path;
    while (p.size() > 1 && (p.back() == '\\' || p.back() == '/') &&
           !(p.size() == 3 && p[1] == ':'))
        p.pop_back();
    struct _stat64i32 st;
    if (_stat64i32(p.c_str(), &st) != 0) return -1;
    if (is_dir) *is_dir = (st.st_mode & _S_IFMT) == _S_IFDIR;
    return 0;
}

int fs_mkdir(const char* path) { return path && _mkdir(path) == 0 ? 0 : -1; }

bool fs_same_file(const char* a, const char* b) {
    if (!a || !b) return false;
    BY_HANDLE_FILE_INFORMATION ia, ib;
    const char* paths[2] = {a, b};
    BY_HANDLE_FILE_INFORMATION* infos[2] = {&ia, &ib};
    for (int i = 0; i < 2; ++i) {
        HANDLE h = CreateFileA(paths[i], FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        BOOL ok = GetFileInformationByHandle(h, infos[i]);
        CloseHandle(h);
        if (!ok) return false;
    }
    return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

// Fills *data from one FindFirstFileA/FindNextFileA entry. A link lists as
// what it points to; one that cannot be followed lists as an ordinary file,
// as on POSIX.
static void fill_entry(const fs_dir& dir, const WIN32_FIND_DATAA& found, fs_find_data* data) {
    std::snprintf(data->name, sizeof data->name, "%s", found.cFileName);
    uint32_t attrs = found.dwFileAttributes;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
        std::string path = dir.dir + "\\" + found.cFileName;
        attrs = followed_attributes(path.c_str());
        if (attrs == FS_INVALID_ATTRIBUTES) attrs = FS_ATTR_NORMAL;
    }
    data->attributes = kind_of(attrs);
}

fs_dir* fs_find_first(const char* pattern, fs_find_data* data) {
    if (!pattern || !data) return nullptr;
    size_t len = std::strlen(pattern);
    // Only "<dir>\*" (or "<dir>/*") and "*", as on POSIX.
    if (len == 0 || pattern[len - 1] != '*') return nullptr;
    std::string dir;
    if (len == 1) {
        dir = ".";
    } else if (pattern[len - 2] == '\\' || pattern[len - 2] == '/') {
        dir.assign(pattern, len - 2);
        if (dir.empty() || (dir.size() == 2 && dir[1] == ':')) dir += '\\';  // a root
    } else {
        return nullptr;
    }
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA(pattern, &found);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    fs_dir* out = new (std::nothrow) fs_dir{h, dir};
    if (!out) {
        FindClose(h);
        return nullptr;
    }
    if (!out->dir.empty() && (out->dir.back() == '\\' || out->dir.back() == '/'))
        out->dir.pop_back();
    fill_entry(*out, found, data);
    return out;
}

bool fs_find_next(fs_dir* dir, fs_find_data* data) {
    if (!dir || !data) return false;
    WIN32_FIND_DATAA found;
    if (!FindNextFileA(dir->find, &found)) return false;
    fill_entry(*dir, found, data);
    return true;
}

void fs_find_close(fs_dir* dir) {
    if (!dir) return;
    FindClose(dir->find);
    delete dir;
}

int fs_rename_replace(const char* from, const char* to) {
    return from && to && MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) ? 0 : -1;
}

std::string fs_final_path(const char* path) { return path ? path : ""; }

int fs_remove(const char* path) { return path && DeleteFileA(path) ? 0 : -1; }

int64_t fs_file_size(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return -1;
    int64_t size = -1;
    if (_fseeki64(f, 0, SEEK_END) == 0) size = static_cast<int64_t>(_ftelli64(f));
    std::fclose(f);
    return size;
}

unsigned long fs_process_id() { return static_cast<unsigned long>(GetCurrentProcessId()); }

uint64_t fs_available_memory() {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? static_cast<uint64_t>(status.ullAvailPhys) : 0;
}

void fs_discard_pages(void* p, size_t bytes) {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const uintptr_t page = info.dwPageSize;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) / page * page;
    // MEM_RESET lets the system drop the pages instead of paging them out;
    // the range stays committed.
    if (end > start)
        VirtualAlloc(reinterpret_cast<void*>(start), end - start, MEM_RESET, PAGE_READWRITE);
}

int fs_cpu_count() {
    DWORD n = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
    if (n == 0) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        n = info.dwNumberOfProcessors;
    }
    return n >= 1 ? static_cast<int>(n) : 1;
}

void fs_name_to_utf8(const char* name, char* out, size_t size) {
    if (!out || size == 0) return;
    out[0] = '\0';
    if (!name || !*name) return;
    // ANSI -> UTF-16 -> UTF-8. MAX_PATH names fit; a longer one is cut at a
    // character boundary, never inside a UTF-8 sequence.
    wchar_t wide[MAX_PATH * 2];
    int wn = MultiByteToWideChar(CP_ACP, 0, name, -1, wide, MAX_PATH * 2);
    if (wn <= 0) {
        // Not valid in the code page: keep ASCII, mark the rest.
        size_t i = 0;
        for (; name[i] && i + 1 < size; ++i)
            out[i] = static_cast<unsigned char>(name[i]) < 0x80 ? name[i] : '?';
        out[i] = '\0';
        return;
    }
    size_t used = 0;
    for (int i = 0; i < wn - 1;) {
        int units = (IS_HIGH_SURROGATE(wide[i]) && i + 1 < wn - 1) ? 2 : 1;
        char piece[8];
        int n = WideCharToMultiByte(CP_UTF8, 0, wide + i, units, piece, sizeof piece, nullptr,
                                    nullptr);
        if (n <= 0) {
            piece[0] = '?';
            n = 1;
        }
        if (used + static_cast<size_t>(n) + 1 > size) break;
        std::memcpy(out + used, piece, static_cast<size_t>(n));
        used += static_cast<size_t>(n);
        i += units;
    }
    out[used] = '\0';
}
