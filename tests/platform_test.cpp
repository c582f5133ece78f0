// The POSIX file-system layer: attributes, listing, directory creation and
// file identity.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fixtures.h"
#include "platform/fs.h"

namespace {

struct listed {
    std::string name;
    uint32_t attributes;
};

std::vector<listed> list_all(const std::string& pattern, bool* opened) {
    std::vector<listed> out;
    fs_find_data data;
    data.name[0] = '\0';
    data.attributes = 0xDEADBEEF;
    fs_dir* dir = fs_find_first(pattern.c_str(), &data);
    *opened = dir != nullptr;
    if (!dir) return out;
    do {
        out.push_back({data.name, data.attributes});
    } while (fs_find_next(dir, &data));
    fs_find_close(dir);
    return out;
}

std::vector<std::string> readdir_names(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = readdir(d)) names.push_back(e->d_name);
    closedir(d);
    return names;
}

const listed* find(const std::vector<listed>& entries, const std::string& name) {
    for (const listed& e : entries)
        if (e.name == name) return &e;
    return nullptr;
}

// A directory of two files, a subdirectory, a link to that subdirectory and
// a dangling link.
std::string populated_dir(const std::string& tag) {
    std::string dir = scratch_dir(tag);
    write_file(dir + "/a.wav", "x");
    write_file(dir + "/b.txt", "yy");
    EXPECT_EQ(mkdir((dir + "/sub").c_str(), 0777), 0);
    EXPECT_EQ(symlink("sub", (dir + "/link_to_sub").c_str()), 0);
    EXPECT_EQ(symlink("no_such_target", (dir + "/dangling").c_str()), 0);
    return dir;
}

}  // namespace

// ---- attributes and status ----

TEST(FileAttributes, FileDirectoryAndMissingPath) {
    std::string dir = populated_dir("attrs");
    uint32_t file = fs_file_attributes((dir + "/a.wav").c_str());
    EXPECT_NE(file, FS_INVALID_ATTRIBUTES);
    EXPECT_EQ(file & FS_ATTR_DIRECTORY, 0u);

    uint32_t sub = fs_file_attributes((dir + "/sub").c_str());
    EXPECT_NE(sub, FS_INVALID_ATTRIBUTES);
    EXPECT_NE(sub & FS_ATTR_DIRECTORY, 0u);

    EXPECT_EQ(fs_file_attributes((dir + "/missing").c_str()), FS_INVALID_ATTRIBUTES);
    EXPECT_EQ(fs_file_attributes(""), FS_INVALID_ATTRIBUTES);
}

TEST(FileAttributes, LinksAreFollowed) {
    std::string dir = populated_dir("attrs_links");
    uint32_t link = fs_file_attributes((dir + "/link_to_sub").c_str());
    EXPECT_NE(link, FS_INVALID_ATTRIBUTES);
    EXPECT_NE(link & FS_ATTR_DIRECTORY, 0u);
    EXPECT_EQ(fs_file_attributes((dir + "/dangling").c_str()), FS_INVALID_ATTRIBUTES);
}

TEST(FileStatus, ReportsDirectoryFlag) {
    std::string dir = populated_dir("stat");
    bool is_dir = false;
    ASSERT_EQ(fs_stat(dir.c_str(), &is_dir), 0);
    EXPECT_TRUE(is_dir);
    is_dir = true;
    ASSERT_EQ(fs_stat((dir + "/a.wav").c_str(), &is_dir), 0);
    EXPECT_FALSE(is_dir);
    is_dir = false;
    ASSERT_EQ(fs_stat((dir + "/link_to_sub").c_str(), &is_dir), 0);
    EXPECT_TRUE(is_dir);
    EXPECT_EQ(fs_stat((dir + "/missing").c_str(), &is_dir), -1);
    EXPECT_EQ(fs_stat((dir + "/dangling").c_str(), &is_dir), -1);
}

// ---- listing ----

TEST(Listing, SameEntriesInSameOrderAsReaddir) {
    std::string dir = populated_dir("list_order");
    for (int i = 0; i < 40; ++i) write_file(dir + "/f" + std::to_string(i) + ".ogg", "");
    bool opened = false;
    std::vector<listed> entries = list_all(dir + "/*", &opened);
    ASSERT_TRUE(opened);
    std::vector<std::string> expected = readdir_names(dir);
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(entries[i].name, expected[i]) << i;
    EXPECT_NE(find(entries, "."), nullptr);
    EXPECT_NE(find(entries, ".."), nullptr);
}

TEST(Listing, EntryAttributes) {
    std::string dir = populated_dir("list_attrs");
    bool opened = false;
    std::vector<listed> entries = list_all(dir + "/*", &opened);
    ASSERT_TRUE(opened);
    for (const char* name : {".", "..", "sub", "link_to_sub"}) {
        const listed* e = find(entries, name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_NE(e->attributes & FS_ATTR_DIRECTORY, 0u) << name;
    }
    // A dangling link cannot be followed; it lists as an ordinary entry.
    for (const char* name : {"a.wav", "b.txt", "dangling"}) {
        const listed* e = find(entries, name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_EQ(e->attributes & FS_ATTR_DIRECTORY, 0u) << name;
        EXPECT_NE(e->attributes, FS_INVALID_ATTRIBUTES) << name;
    }
}

TEST(Listing, PatternSpellings) {
    std::string dir = populated_dir("list_patterns");
    bool opened = false;
    std::vector<listed> plain = list_all(dir + "/*", &opened);
    ASSERT_TRUE(opened);

    // A trailing separator on the directory still names the same directory.
    std::vector<listed> doubled = list_all(dir + "//*", &opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(doubled.size(), plain.size());

    // A bare "*" lists the current directory.
    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    std::vector<listed> here = list_all("*", &opened);
    ASSERT_EQ(chdir(old_cwd), 0);
    ASSERT_TRUE(opened);
    ASSERT_EQ(here.size(), plain.size());
    for (size_t i = 0; i < here.size(); ++i) EXPECT_EQ(here[i].name, plain[i].name);

    // The root directory.
    std::vector<listed> root = list_all("/*", &opened);
    ASSERT_TRUE(opened);
    EXPECT_EQ(root.size(), readdir_names("/").size());
}

TEST(Listing, FailsOnMissingDirectoryOrFile) {
    std::string dir = populated_dir("list_fail");
    fs_find_data data;
    EXPECT_EQ(fs_find_first((dir + "/missing/*").c_str(), &data), nullptr);
    EXPECT_EQ(fs_find_first((dir + "/a.wav/*").c_str(), &data), nullptr);
    EXPECT_EQ(fs_find_first((dir + "/dangling/*").c_str(), &data), nullptr);
}

TEST(Listing, FollowsLinkToDirectory) {
    std::string dir = populated_dir("list_link");
    write_file(dir + "/sub/inner.mp3", "");
    bool opened = false;
    std::vector<listed> entries = list_all(dir + "/link_to_sub/*", &opened);
    ASSERT_TRUE(opened);
    EXPECT_NE(find(entries, "inner.mp3"), nullptr);
    EXPECT_EQ(entries.size(), 3u);  // ".", "..", inner.mp3
}

// ---- directory creation ----

TEST(MakeDirectory, CreatesOneLevelUnderTheUmask) {
    std::string dir = scratch_dir("mkdir");
    mode_t old_mask = umask(027);
    int rc = fs_mkdir((dir + "/new").c_str());
    umask(old_mask);
    ASSERT_EQ(rc, 0);
    struct stat st;
    ASSERT_EQ(stat((dir + "/new").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

TEST(MakeDirectory, FailsWhenPresentOrParentMissing) {
    std::string dir = scratch_dir("mkdir_fail");
    EXPECT_EQ(fs_mkdir(dir.c_str()), -1);
    write_file(dir + "/file", "");
    EXPECT_EQ(fs_mkdir((dir + "/file").c_str()), -1);
    EXPECT_EQ(fs_mkdir((dir + "/a/b").c_str()), -1);
    EXPECT_EQ(fs_file_attributes((dir + "/a").c_str()), FS_INVALID_ATTRIBUTES);
}

// ---- file identity ----

TEST(SameFile, DifferentSpellingsOfOneFile) {
    std::string dir = populated_dir("same");
    std::string x = dir + "/a.wav";
    EXPECT_TRUE(fs_same_file(x.c_str(), x.c_str()));
    EXPECT_TRUE(fs_same_file(x.c_str(), (dir + "/./a.wav").c_str()));
    EXPECT_TRUE(fs_same_file(x.c_str(), (dir + "/sub/../a.wav").c_str()));
    EXPECT_TRUE(fs_same_file(x.c_str(), (dir + "//a.wav").c_str()));
    ASSERT_EQ(link(x.c_str(), (dir + "/hard.wav").c_str()), 0);
    EXPECT_TRUE(fs_same_file(x.c_str(), (dir + "/hard.wav").c_str()));
    ASSERT_EQ(symlink("a.wav", (dir + "/soft.wav").c_str()), 0);
    EXPECT_TRUE(fs_same_file((dir + "/soft.wav").c_str(), x.c_str()));

    char old_cwd[4096];
    ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    bool relative = fs_same_file("./a.wav", x.c_str());
    bool bare = fs_same_file("a.wav", "sub/../a.wav");
    ASSERT_EQ(chdir(old_cwd), 0);
    EXPECT_TRUE(relative);
    EXPECT_TRUE(bare);
}

TEST(SameFile, DistinctOrMissingFiles) {
    std::string dir = populated_dir("same_not");
    std::string a = dir + "/a.wav";
    EXPECT_FALSE(fs_same_file(a.c_str(), (dir + "/b.txt").c_str()));
    // A copy with the same content is another file.
    write_file(dir + "/copy.wav", "x");
    EXPECT_FALSE(fs_same_file(a.c_str(), (dir + "/copy.wav").c_str()));
    EXPECT_FALSE(fs_same_file(a.c_str(), (dir + "/missing").c_str()));
    EXPECT_FALSE(fs_same_file((dir + "/missing").c_str(), (dir + "/missing").c_str()));
    EXPECT_FALSE(fs_same_file((dir + "/dangling").c_str(), (dir + "/dangling").c_str()));
}
