// The Windows file-system layer, with the A calls and the CRT, and the
// conversion of ANSI names into UTF-8.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "fixtures.h"
#include "platform/fs.h"

namespace {
std::string win_dir(const std::string& name) {
    std::string dir = scratch_dir(name);
    std::replace(dir.begin(), dir.end(), '/', '\\');
    return dir;
}

std::map<std::string, uint32_t> list(const std::string& pattern, bool* opened) {
    std::map<std::string, uint32_t> names;
    fs_find_data data;
    fs_dir* d = fs_find_first(pattern.c_str(), &data);
    *opened = d != nullptr;
    if (!d) return names;
    do names[data.name] = data.attributes;
    while (fs_find_next(d, &data));
    fs_find_close(d);
    return names;
}

std::string read_all(const std::string& path) {
    std::string out;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[256];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
    }
    return out;
}

// "Müller.wav" in the process's ANSI code page; empty when the code page
// has no ü.
std::string ansi_mueller() {
    const wchar_t* wide = L"M\u00fcller.wav";
    char out[64];
    BOOL lossy = FALSE;
    BOOL* lossy_arg = GetACP() == CP_UTF8 ? nullptr : &lossy;
    int n = WideCharToMultiByte(CP_ACP, 0, wide, -1, out, sizeof out, nullptr, lossy_arg);
    return n > 0 && !lossy ? std::string(out) : std::string();
}
}  // namespace

TEST(Win32Attributes, KindsOfPath) {
    std::string dir = win_dir("w32_attrs");
    write_file(dir + "\\a.wav", "x");
    EXPECT_EQ(fs_file_attributes((dir + "\\a.wav").c_str()), 0x80u);
    EXPECT_EQ(fs_file_attributes((dir + "/a.wav").c_str()), 0x80u);
    EXPECT_EQ(fs_file_attributes(dir.c_str()), FS_ATTR_DIRECTORY);
    EXPECT_EQ(fs_file_attributes((dir + "\\missing.wav").c_str()), FS_INVALID_ATTRIBUTES);
    EXPECT_EQ(fs_file_attributes(""), FS_INVALID_ATTRIBUTES);
    EXPECT_EQ(fs_file_attributes(nullptr), FS_INVALID_ATTRIBUTES);
    // Reserved device names, bare, in any directory, and in the device
    // namespace, are never taken for files.
    for (const std::string& dev : {std::string("NUL"), std::string("con"), dir + "\\NUL",
                                   dir + "\\COM1", std::string("\\\\.\\NUL")})
        EXPECT_EQ(fs_file_attributes(dev.c_str()), FS_ATTR_DEVICE) << dev;

    bool is_dir = true;
    EXPECT_EQ(fs_stat((dir + "\\a.wav").c_str(), &is_dir), 0);
    EXPECT_FALSE(is_dir);
    for (const std::string& d : {dir, dir + "\\", dir + "/"}) {
        is_dir = false;
        EXPECT_EQ(fs_stat(d.c_str(), &is_dir), 0) << d;
        EXPECT_TRUE(is_dir) << d;
    }
    EXPECT_EQ(fs_stat((dir + "\\missing").c_str(), &is_dir), -1);
}

TEST(Win32Directories, MakeListAndJoin) {
    std::string dir = win_dir("w32_list");
    std::string sub = dir + FS_SEP + "sub";
    EXPECT_EQ(fs_mkdir(sub.c_str()), 0);
    EXPECT_EQ(fs_mkdir(sub.c_str()), -1);  // exists
    EXPECT_EQ(fs_mkdir((dir + "\\no\\such").c_str()), -1);
    write_file(dir + "\\a.wav", "x");
    write_file(dir + "\\b.flac", "y");

    // The batch joins with FS_SEP, backslash here; forward slashes list the
    // same directory.
    for (const std::string& pattern : {dir + FS_SEP + "*", dir + "/*"}) {
        bool opened = false;
        std::map<std::string, uint32_t> names = list(pattern, &opened);
        ASSERT_TRUE(opened) << pattern;
        std::map<std::string, uint32_t> want = {{".", FS_ATTR_DIRECTORY},
                                                {"..", FS_ATTR_DIRECTORY},
                                                {"a.wav", 0x80},
                                                {"b.flac", 0x80},
                                                {"sub", FS_ATTR_DIRECTORY}};
        EXPECT_EQ(names, want) << pattern;
    }
    bool opened = true;
    list(dir + "\\missing\\*", &opened);
    EXPECT_FALSE(opened);
    list(dir + "\\a*", &opened);  // only whole-directory patterns
    EXPECT_FALSE(opened);
    fs_find_data data;
    EXPECT_EQ(fs_find_first(nullptr, &data), nullptr);
    EXPECT_FALSE(fs_find_next(nullptr, &data));
    fs_find_close(nullptr);
}

TEST(Win32Files, RenameRemoveAndIdentity) {
    std::string dir = win_dir("w32_files");
    std::string out = dir + "\\out.wav", tmp = dir + "\\out.wav.tmp";
    write_file(out, "old");
    write_file(tmp, "new");
    ASSERT_EQ(fs_rename_replace(tmp.c_str(), out.c_str()), 0);
    EXPECT_EQ(read_all(out), "new");
    EXPECT_EQ(fs_file_attributes(tmp.c_str()), FS_INVALID_ATTRIBUTES);
    // A failed rename leaves the target as it was.
    EXPECT_EQ(fs_rename_replace(tmp.c_str(), out.c_str()), -1);
    EXPECT_EQ(read_all(out), "new");

    // One file however spelled: separators, dot segments, letter case.
    write_file(dir + "\\other.wav", "new");
    EXPECT_TRUE(fs_same_file(out.c_str(), (dir + "/.\\OUT.WAV").c_str()));
    EXPECT_FALSE(fs_same_file(out.c_str(), (dir + "\\other.wav").c_str()));
    EXPECT_FALSE(fs_same_file(out.c_str(), (dir + "\\missing.wav").c_str()));
    EXPECT_FALSE(fs_same_file(nullptr, out.c_str()));

    EXPECT_EQ(fs_remove(out.c_str()), 0);
    EXPECT_EQ(fs_remove(out.c_str()), -1);
    EXPECT_EQ(fs_remove(dir.c_str()), -1);  // a directory is not a file
}

TEST(Win32System, ProcessMemoryAndProcessors) {
    EXPECT_EQ(fs_process_id(), static_cast<unsigned long>(GetCurrentProcessId()));
    EXPECT_GT(fs_available_memory(), 0u);
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    EXPECT_EQ(fs_cpu_count(), static_cast<int>(info.dwNumberOfProcessors));
}

TEST(Win32Names, AnsiListingBecomesUtf8) {
    std::string ansi = ansi_mueller();
    if (ansi.empty()) GTEST_SKIP() << "code page " << GetACP() << " has no u-umlaut";
    std::string dir = win_dir("w32_names");
    HANDLE h = CreateFileA((dir + "\\" + ansi).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);

    bool opened = false;
    std::map<std::string, uint32_t> names = list(dir + "\\*", &opened);
    ASSERT_TRUE(opened);
    ASSERT_EQ(names.count(ansi), 1u) << "the listing gives the A-function bytes";
    char utf8[64];
    fs_name_to_utf8(ansi.c_str(), utf8, sizeof utf8);
    EXPECT_STREQ(utf8, "M\xc3\xbcller.wav");
    // The listed bytes, not the UTF-8 copy, open the file.
    FILE* f = std::fopen((dir + "\\" + ansi).c_str(), "rb");
    EXPECT_NE(f, nullptr);
    if (f) std::fclose(f);
}

TEST(Win32Names, CutsAtCharacterBoundaries) {
    std::string ansi = ansi_mueller();
    if (ansi.empty()) GTEST_SKIP() << "code page " << GetACP() << " has no u-umlaut";
    char out[8];
    // "M" fits with its NUL in 2 bytes; "Mü" needs 4 (ü is two in UTF-8),
    // so 3 must stop after "M" rather than split the ü.
    const char* want[] = {"", "M", "M", "M\xc3\xbc", "M\xc3\xbcl", "M\xc3\xbcll"};
    for (size_t size = 1; size <= 6; ++size) {
        std::memset(out, 'z', sizeof out);
        fs_name_to_utf8(ansi.c_str(), out, size);
        EXPECT_STREQ(out, want[size - 1]) << "size " << size;
    }
    fs_name_to_utf8("plain.wav", out, sizeof out);
    EXPECT_STREQ(out, "plain.w");
    fs_name_to_utf8(nullptr, out, sizeof out);
    EXPECT_STREQ(out, "");
    fs_name_to_utf8("x", nullptr, 4);  // no buffer: nothing happens
}
