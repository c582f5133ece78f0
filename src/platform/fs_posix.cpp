#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace {
// What a non-directory reports; FILE_ATTRIBUTE_NORMAL on Windows.
constexpr uint32_t FS_ATTR_NORMAL = 0x80;
}  // namespace

struct fs_dir {
    DIR* dir;
};

int fs_stat(const char* path, bool* is_dir) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return -1;
    if (is_dir) *is_dir = S_ISDIR(st.st_mode);
    return 0;
}

static uint32_t attributes_of(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return FS_ATTR_DIRECTORY;
    return S_ISREG(st.st_mode) ? FS_ATTR_NORMAL : FS_ATTR_DEVICE;
}

uint32_t fs_file_attributes(const char* path) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return FS_INVALID_ATTRIBUTES;
    return attributes_of(st);
}

int fs_mkdir(const char* path) { return path && mkdir(path, 0777) == 0 ? 0 : -1; }

bool fs_same_file(const char* a, const char* b) {
    struct stat sa, sb;
    if (!a || !b || stat(a, &sa) != 0 || stat(b, &sb) != 0) return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Fills *data from one readdir entry. Links are followed so that a link to a
// directory lists as a directory; an entry that cannot be followed (a
// dangling link) lists as an ordinary file, as FindFirstFile would show it.
static void fill_entry(DIR* dir, const dirent* ent, fs_find_data* data) {
    std::snprintf(data->name, sizeof data->name, "%s", ent->d_name);
    struct stat st;
    data->attributes =
        fstatat(dirfd(dir), ent->d_name, &st, 0) == 0 ? attributes_of(st) : FS_ATTR_NORMAL;
}

fs_dir* fs_find_first(const char* pattern, fs_find_data* data) {
    if (!pattern || !data) return nullptr;
    size_t len = std::strlen(pattern);
    std::string path;
    if (len == 1 && pattern[0] == '*') {
        path = ".";
    } else if (len >= 2 && pattern[len - 1] == '*' && pattern[len - 2] == FS_SEP) {
        path.assign(pattern, len - 2);
        if (path.empty()) path = "/";  // the pattern was "/*"
    } else {
        return nullptr;
    }
    DIR* d = opendir(path.c_str());
    if (!d) return nullptr;
    const dirent* ent = readdir(d);
    fs_dir* out = ent ? new (std::nothrow) fs_dir{d} : nullptr;
    if (!out) {
        closedir(d);
        return nullptr;
    }
    fill_entry(d, ent, data);
    return out;
}

bool fs_find_next(fs_dir* dir, fs_find_data* data) {
    if (!dir || !data) return false;
    const dirent* ent = readdir(dir->dir);
    if (!ent) return false;
    fill_entry(dir->dir, ent, data);
    return true;
}

void fs_find_close(fs_dir* dir) {
    if (!dir) return;
    closedir(dir->dir);
    delete dir;
}

int fs_rename_replace(const char* from, const char* to) {
    if (!from || !to) return -1;
    // The new file takes the replaced one's permissions, as a file rewritten
    // in place keeps them; a file that cannot take them is still written.
    struct stat st;
    if (stat(to, &st) == 0 && S_ISREG(st.st_mode)) (void)chmod(from, st.st_mode & 07777);
    return std::rename(from, to) == 0 ? 0 : -1;
}

std::string fs_final_path(const char* path) {
    struct stat st;
    if (!path) return "";
    if (lstat(path, &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    char* real = realpath(path, nullptr);
    if (!real) return path;  // a dangling link is replaced like a file
    std::string out = real;
    std::free(real);
    return out;
}

int fs_remove(const char* path) { return path && unlink(path) == 0 ? 0 : -1; }

int64_t fs_file_size(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return -1;
    int64_t size = -1;
    if (fseeko(f, 0, SEEK_END) == 0) size = static_cast<int64_t>(ftello(f));
    std::fclose(f);
    return size;
}

unsigned long fs_process_id() { return static_cast<unsigned long>(getpid()); }

uint64_t fs_available_memory() {
    // MemAvailable counts the page cache the kernel would give back, which
    // _SC_AVPHYS_PAGES (free pages only) does not.
    if (FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[128];
        unsigned long long kib = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1;
        std::fclose(f);
        if (found) return static_cast<uint64_t>(kib) * 1024u;
    }
    long pages = sysconf(_SC_AVPHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    return pages > 0 && size > 0 ? static_cast<uint64_t>(pages) * static_cast<uint64_t>(size) : 0;
}

void fs_discard_pages(void* p, size_t bytes) {
    const long size = sysconf(_SC_PAGESIZE);
    if (size <= 0) return;  // nothing is given back; the buffer stays as it was
    const uintptr_t page = static_cast<uintptr_t>(size);
    const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + page - 1) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(p) + bytes) / page * page;
    if (end > start) madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

int fs_cpu_count() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n >= 1 ? static_cast<int>(n) : 1;
}

void fs_name_to_utf8(const char* name, char* out, size_t size) {
    if (!out || size == 0) return;
    std::snprintf(out, size, "%s", name ? name : "");
}
