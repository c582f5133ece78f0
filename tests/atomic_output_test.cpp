// The writer never leaves a half-written file: it writes beside the output
// and renames over it only when the file is complete.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "audioenhancer.h"
#include "engine/encoder.h"
#include "fixtures.h"
#include "platform/fs.h"

namespace {

const char* const EXTS[] = {"wav", "m4a", "mp3", "ogg", "opus", "flac"};

std::vector<int16_t> noise(int64_t frames, int channels, unsigned seed) {
    std::vector<int16_t> pcm(frames * channels);
    for (auto& s : pcm) {
        seed = seed * 1103515245u + 12345u;
        s = static_cast<int16_t>((seed >> 16) % 16000 - 8000);
    }
    return pcm;
}

std::string read_all(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// Every entry of dir but "." and "..", sorted.
std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    fs_find_data d;
    fs_dir* h = fs_find_first((dir + "/*").c_str(), &d);
    if (!h) return names;
    do {
        if (std::strcmp(d.name, ".") && std::strcmp(d.name, "..")) names.push_back(d.name);
    } while (fs_find_next(h, &d));
    fs_find_close(h);
    std::sort(names.begin(), names.end());
    return names;
}

const std::string OLD = "a good file that was there before\n";

}  // namespace

#if !defined(__SANITIZE_ADDRESS__)
// Runs call in a child limited to 32 KiB files; returns "RC MESSAGE".
template <typename F>
std::string under_size_limit(F call) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid < 0) return "fork failed";
    if (pid == 0) {
        close(fds[0]);
        signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
        struct rlimit lim = {32 * 1024, 32 * 1024};
        setrlimit(RLIMIT_FSIZE, &lim);
        std::string msg = call();
        (void)!write(fds[1], msg.data(), msg.size());
        _exit(0);
    }
    close(fds[1]);
    std::string msg;
    char buf[1024];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) msg.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status)) msg += " (child did not exit)";
    return msg;
}
#endif

TEST(AtomicOutput, SizeLimitFailsAndLeavesTheOldFileAlone) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "fork with a file-size limit is for the plain build";
#else
    std::vector<int16_t> pcm = noise(48000 * 10, 2, 1);
    std::string speech = speech_fixture(48000, 1);
    for (const char* ext : EXTS) {
        for (const char* via : {"writer", "enhance", "enhance one thread"}) {
            std::string what = std::string(ext) + " via " + via;
            std::string dir = scratch_dir(std::string("fsize_") + ext);
            std::string out = dir + "/out." + ext;
            write_file(out, OLD);
            std::string msg = under_size_limit([&] {
                int rc;
                if (!std::strcmp(via, "writer")) {
                    rc = encode_file(out.c_str(), pcm.data(), 48000 * 10, 48000, 2);
                    return std::to_string(rc) + " " + g_err;
                }
                if (std::strstr(via, "one thread")) setenv("AE_THREADS", "1", 1);
                const char* json = nullptr;
                rc = audioenhancer_enhance(speech.c_str(), out.c_str(), nullptr, &json);
                return std::to_string(rc) + " " + audioenhancer_last_error();
            });
            EXPECT_EQ(msg.rfind("-1 ", 0), 0u) << what << ": " << msg;
            EXPECT_NE(msg.find("File too large"), std::string::npos) << what << ": " << msg;
            EXPECT_EQ(read_all(out), OLD) << what;
            EXPECT_EQ(listing(dir), std::vector<std::string>{"out." + std::string(ext)}) << what;
        }
    }
#endif
}

TEST(AtomicOutput, TheOutputAppearsOnlyWhenClosed) {
    std::vector<int16_t> pcm = noise(44100, 2, 2);
    for (const char* ext : EXTS) {
        std::string dir = scratch_dir(std::string("atomic_") + ext);
        std::string out = dir + "/o." + ext;
        write_file(out, OLD);

        // Abandoned half-way: the temporary file goes, the old file stays.
        {
            writer_ptr w;
            ASSERT_EQ(writer_open(&w, out.c_str(), 44100, 2, nullptr), 0) << ext << ": " << g_err;
            ASSERT_EQ(writer_push(w.get(), pcm.data(), 20000), 0) << g_err;
            std::vector<std::string> during = listing(dir);
            ASSERT_EQ(during.size(), 2u) << ext;
            // The temporary file is hidden, beside the output, and keeps its extension.
            const std::string& temp = during[0] == "o." + std::string(ext) ? during[1] : during[0];
            EXPECT_EQ(temp[0], '.') << temp;
            EXPECT_EQ(temp.substr(temp.size() - std::strlen(ext)), ext) << temp;
            EXPECT_EQ(read_all(out), OLD);
        }
        EXPECT_EQ(read_all(out), OLD) << ext;
        EXPECT_EQ(listing(dir), std::vector<std::string>{"o." + std::string(ext)}) << ext;

        // Closed: the new file replaces the old one, nothing else is left,
        // and it keeps the old file's permissions.
        ASSERT_EQ(chmod(out.c_str(), 0604), 0);
        writer_ptr w;
        ASSERT_EQ(writer_open(&w, out.c_str(), 44100, 2, nullptr), 0);
        ASSERT_EQ(writer_push(w.get(), pcm.data(), 44100), 0);
        ASSERT_EQ(writer_close(w.get()), 0) << g_err;
        EXPECT_EQ(writer_push(w.get(), pcm.data(), 10), -1);  // finished is finished
        w.reset();
        EXPECT_EQ(listing(dir), std::vector<std::string>{"o." + std::string(ext)}) << ext;
        struct stat st;
        ASSERT_EQ(stat(out.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0604u) << ext;
        decoded_file d;
        ASSERT_TRUE(decode_file(out, &d)) << ext;
        EXPECT_NEAR(double(d.frames) / d.sample_rate, 1.0, 0.03) << ext;
    }
}

// An output path that is a symbolic link: the link stays, and the file it
// names (in another directory) receives the new audio.
TEST(AtomicOutput, ALinkKeepsNamingTheReplacedFile) {
    std::string dir = scratch_dir("atomic_link"), elsewhere = scratch_dir("atomic_link_target");
    std::string real = elsewhere + "/episode.wav", link = dir + "/latest.wav";
    write_file(real, OLD);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    std::string speech = speech_fixture(48000, 1);
    const char* json = nullptr;
    ASSERT_EQ(audioenhancer_enhance(speech.c_str(), link.c_str(), nullptr, &json), 0)
        << audioenhancer_last_error();
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    decoded_file d;
    EXPECT_TRUE(decode_file(real, &d));
    EXPECT_GT(d.frames, 48000);
    EXPECT_EQ(listing(dir), std::vector<std::string>{"latest.wav"});
    EXPECT_EQ(listing(elsewhere), std::vector<std::string>{"episode.wav"});
}

TEST(AtomicOutput, WritersOnSeveralThreadsShareADirectory) {
    // Four threads, each writing its own file and the same shared name.
    const int threads = 4;
    const int64_t frames = 22050;
    std::string dir = scratch_dir("atomic_threads");
    std::vector<std::vector<int16_t>> pcm;
    for (int i = 0; i < threads; i++) pcm.push_back(noise(frames, 1, 10 + i));
    std::vector<int> rc(threads * 2, -1);
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back([&, i] {
            std::string own = dir + "/t" + std::to_string(i) + ".flac";
            rc[2 * i] = encode_file(own.c_str(), pcm[i].data(), frames, 22050, 1);
            rc[2 * i + 1] = encode_file((dir + "/same.flac").c_str(), pcm[i].data(), frames, 22050, 1);
        });
    for (auto& t : pool) t.join();
    for (int r : rc) EXPECT_EQ(r, 0);
    EXPECT_EQ(listing(dir),
              (std::vector<std::string>{"same.flac", "t0.flac", "t1.flac", "t2.flac", "t3.flac"}));
    for (int i = 0; i < threads; i++) {
        decoded_file d;
        ASSERT_TRUE(decode_file(dir + "/t" + std::to_string(i) + ".flac", &d));
        ASSERT_EQ(d.frames, frames);
        EXPECT_EQ(memcmp(d.pcm.get(), pcm[i].data(), frames * 2), 0) << i;
    }
    // The shared name holds one writer's whole file, never a mixture.
    decoded_file s;
    ASSERT_TRUE(decode_file(dir + "/same.flac", &s));
    ASSERT_EQ(s.frames, frames);
    int matches = 0;
    for (int i = 0; i < threads; i++) matches += !memcmp(s.pcm.get(), pcm[i].data(), frames * 2);
    EXPECT_EQ(matches, 1);
}

TEST(WriterPush, BlockSizesDoNotChangeTheOutput) {
    // One push of everything, and blocks of awkward sizes, give the same file
    // (Ogg streams carry a random serial number: their samples are compared).
    const int64_t frames = 3 * 44100 + 17;
    std::vector<int16_t> pcm = noise(frames, 2, 3);
    const int64_t blocks[] = {1, 3, 441, 1024, 1025, 4608, 9999};
    std::string dir = scratch_dir("push_blocks");
    for (const char* ext : EXTS) {
        std::string whole = dir + "/whole." + ext, pieces = dir + "/pieces." + ext;
        ASSERT_EQ(encode_file(whole.c_str(), pcm.data(), frames, 44100, 2), 0) << g_err;
        writer_ptr w;
        ASSERT_EQ(writer_open(&w, pieces.c_str(), 44100, 2, nullptr), 0);
        int64_t at = 0;
        for (int i = 0; at < frames; i++) {
            int64_t n = std::min(blocks[i % 7], frames - at);
            ASSERT_EQ(writer_push(w.get(), pcm.data() + at * 2, n), 0) << g_err;
            at += n;
        }
        ASSERT_EQ(writer_close(w.get()), 0) << g_err;
        bool ogg = !std::strcmp(ext, "ogg") || !std::strcmp(ext, "opus");
        if (!ogg) {
            EXPECT_EQ(read_all(whole), read_all(pieces)) << ext;
        }
        decoded_file a, b;
        ASSERT_TRUE(decode_file(whole, &a));
        ASSERT_TRUE(decode_file(pieces, &b));
        ASSERT_EQ(a.frames, b.frames) << ext;
        EXPECT_EQ(memcmp(a.pcm.get(), b.pcm.get(), a.frames * a.channels * 2), 0) << ext;
    }
}
