// Anonymous mappings and page protection for the Windows test build, over
// VirtualAlloc and VirtualProtect: what the tests use to put a guard page
// after a buffer.
#pragma once
#include <windows.h>

#include <cstddef>

#define PROT_NONE 0
#define PROT_READ 1
#define PROT_WRITE 2
#define MAP_PRIVATE 2
#define MAP_ANONYMOUS 0x20
#define MAP_FAILED (reinterpret_cast<void*>(-1))

inline void* mmap(void*, size_t len, int, int, int, long) {
    void* p = VirtualAlloc(nullptr, len, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    return p ? p : MAP_FAILED;
}
inline int mprotect(void* addr, size_t len, int prot) {
    DWORD old;
    DWORD mode = prot == PROT_NONE ? PAGE_NOACCESS
                 : (prot & PROT_WRITE) ? PAGE_READWRITE
                                       : PAGE_READONLY;
    return VirtualProtect(addr, len, mode, &old) ? 0 : -1;
}
inline int munmap(void* addr, size_t) { return VirtualFree(addr, 0, MEM_RELEASE) ? 0 : -1; }
