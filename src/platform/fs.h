// The few file-system calls the library needs, behind one small interface.
// Names and semantics follow the Windows calls the library was designed
// around; fs_posix.cpp implements them on POSIX, fs_win32.cpp on Windows.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
constexpr char FS_SEP = '\\';
#else
constexpr char FS_SEP = '/';
#endif
constexpr uint32_t FS_ATTR_DIRECTORY = 0x10;
// Anything that is neither a regular file nor a directory: a FIFO, socket or
// device (FILE_ATTRIBUTE_DEVICE on Windows). Such entries are never read.
constexpr uint32_t FS_ATTR_DEVICE = 0x40;
constexpr uint32_t FS_INVALID_ATTRIBUTES = 0xFFFFFFFFu;

// Attributes of path (symbolic links followed), FS_INVALID_ATTRIBUTES when
// the path cannot be queried.
uint32_t fs_file_attributes(const char* path);

// 0 and *is_dir when path can be queried, -1 otherwise.
int fs_stat(const char* path, bool* is_dir);

// Creates one directory (mode 0777 under the umask); 0 or -1.
int fs_mkdir(const char* path);

// True when both paths name the same existing file, however spelled.
bool fs_same_file(const char* a, const char* b);

// Directory listing in the manner of FindFirstFile/FindNextFile. The pattern
// is a directory followed by FS_SEP and "*". Entries come in the order the
// system lists them, "." and ".." included.
struct fs_find_data {
    char name[260];
    uint32_t attributes;
};
struct fs_dir;
// Opens the listing and fills *data with its first entry; null on failure.
fs_dir* fs_find_first(const char* pattern, fs_find_data* data);
// Fills *data with the next entry; false at the end.
bool fs_find_next(fs_dir* dir, fs_find_data* data);
void fs_find_close(fs_dir* dir);

// Renames from over to, replacing an existing file in one step (rename(2),
// MoveFileExA with MOVEFILE_REPLACE_EXISTING); 0 or -1. On POSIX the file
// that comes in keeps the permission bits of the one it replaces.
int fs_rename_replace(const char* from, const char* to);

// The file a write to path ends up in: the file a symbolic link names, so
// that the link stays and the file behind it is replaced; path itself
// otherwise (and on Windows, where such links are rare).
std::string fs_final_path(const char* path);

// Removes one file; 0 or -1.
int fs_remove(const char* path);

// Size of the file in bytes, -1 when it cannot be opened.
int64_t fs_file_size(const char* path);

// The calling process's id, for names of temporary files.
unsigned long fs_process_id();

// Physical memory the system could give this process now, in bytes; 0 when
// it cannot be told.
uint64_t fs_available_memory();

// Gives the whole pages inside [p, p + bytes) back to the system: a buffer
// read front to back and never again, whose size should not count twice
// while its successor fills. The block stays allocated; what was in those
// pages is gone.
void fs_discard_pages(void* p, size_t bytes);

// Processors online, at least 1.
int fs_cpu_count();

// Copies a name from the file system (a listing entry, a path) into out as
// UTF-8, for answers. On Windows the A calls give names in the ANSI code
// page; on POSIX names are bytes already and are copied as they are. Always
// NUL-terminated; a name too long for out is cut, on Windows at a character
// boundary. Open files with the original bytes, never with this copy.
void fs_name_to_utf8(const char* name, char* out, size_t size);
