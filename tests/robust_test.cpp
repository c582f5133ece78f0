// The inputs and options a new user hands the library by mistake, each with
// the answer the README's bad-input table gives, plus names no file system
// forbids and decoding that would outgrow the machine's memory. Every call
// runs under a watchdog, so an input that blocks fails its case instead of
// hanging the suite.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "audioenhancer.h"
#include "fixtures.h"

namespace {

struct answer {
    int rc = 0;
    std::string json, error;
};

// SIGALRM ends the test program: a call that blocks fails instead of hanging.
struct watchdog {
    watchdog() { alarm(300); }
    ~watchdog() { alarm(0); }
};

answer probe(const std::string& path) {
    watchdog w;
    const char* json = nullptr;
    answer a;
    a.rc = audioenhancer_probe(path.c_str(), &json);
    a.json = a.rc == 0 && json ? json : "";
    a.error = audioenhancer_last_error();
    return a;
}

answer enhance(const std::string& in, const std::string& out, const char* options = nullptr) {
    watchdog w;
    const char* json = nullptr;
    answer a;
    a.rc = audioenhancer_enhance(in.c_str(), out.c_str(), options, &json);
    a.json = a.rc == 0 && json ? json : "";
    a.error = audioenhancer_last_error();
    return a;
}

answer batch(const std::string& in, const std::string& out) {
    watchdog w;
    const char* json = nullptr;
    answer a;
    a.rc = audioenhancer_batch(in.c_str(), out.c_str(), "{\"loudnorm\":false}", &json);
    a.json = a.rc == 0 && json ? json : "";
    a.error = audioenhancer_last_error();
    return a;
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string read_all(const std::string& path) {
    std::string bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
        std::fclose(f);
    }
    return bytes;
}

std::string tone(const std::string& name, double seconds) {
    return ffmpeg_fixture(name, "-f lavfi -i sine=f=440:d=" + std::to_string(seconds) +
                                    ":sample_rate=44100 -ac 2");
}

// A string member of a JSON answer, "" when the answer does not parse.
std::string member(const std::string& json, const char* key) {
    yyjson_doc* doc = yyjson_read(json.data(), json.size(), 0);
    const char* v = yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc), key));
    std::string out = v ? v : "";
    yyjson_doc_free(doc);
    return out;
}

int64_t number(const std::string& json, const char* key) {
    yyjson_doc* doc = yyjson_read(json.data(), json.size(), 0);
    int64_t v = yyjson_get_int(yyjson_obj_get(yyjson_doc_get_root(doc), key));
    yyjson_doc_free(doc);
    return v;
}

// ---- inputs: one row of the README's table each ----

struct input_case {
    const char* name;
    // Makes the input under dir and returns its path.
    std::function<std::string(const std::string& dir)> make;
    // The start of the message, or null when probe and enhance succeed.
    const char* message;
};

std::string with_bytes(const std::string& path, const std::string& bytes) {
    write_file(path, bytes);
    return path;
}

// A WAV header for 16-bit mono at `rate` declaring `data_bytes` of samples.
std::string wav_header(uint32_t rate, uint32_t data_bytes) {
    std::string h = "RIFF....WAVEfmt ";
    auto u32 = [&](uint32_t v) { for (int i = 0; i < 4; i++) h += static_cast<char>(v >> (8 * i)); };
    auto u16 = [&](uint16_t v) { for (int i = 0; i < 2; i++) h += static_cast<char>(v >> (8 * i)); };
    u32(16), u16(1), u16(1), u32(rate), u32(rate * 2), u16(2), u16(16);
    h += "data";
    u32(data_bytes);
    uint32_t riff = data_bytes > 0xFFFFFFFFu - 36 ? 0xFFFFFFFFu : data_bytes + 36;
    for (int i = 0; i < 4; i++) h[4 + i] = static_cast<char>(riff >> (8 * i));
    return h;
}

const input_case INPUTS[] = {
    {"MissingFile", [](const std::string& d) { return d + "/missing.wav"; }, "file not found: "},
    {"Directory",
     [](const std::string& d) {
         mkdir((d + "/dir.wav").c_str(), 0777);
         return d + "/dir.wav";
     },
     "file not found: "},
    {"Fifo",
     [](const std::string& d) {
         mkfifo((d + "/pipe.wav").c_str(), 0666);
         return d + "/pipe.wav";
     },
     "file not found: "},
    {"Socket",
     [](const std::string&) {
         // Socket paths are short; the scratch directory may not be.
         std::string path = "/tmp/ae_robust_" + std::to_string(getpid()) + ".wav";
         unlink(path.c_str());
         int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         sockaddr_un addr{};
         addr.sun_family = AF_UNIX;
         std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
         bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
         close(fd);
         return path;
     },
     "file not found: "},
    {"CharacterDevice", [](const std::string&) { return std::string("/dev/zero"); }, "file not found: "},
    {"EmptyFile", [](const std::string& d) { return with_bytes(d + "/empty.wav", ""); }, "cannot open input "},
    {"Garbage",
     [](const std::string& d) { return with_bytes(d + "/garbage.mp3", std::string(4096, '\x5a')); },
     "cannot open input "},
    {"TruncatedHeader",
     [](const std::string& d) {
         return with_bytes(d + "/head.flac", read_all(tone("robust_tone.flac", 1.0)).substr(0, 30));
     },
     "cannot open input "},
    {"TruncatedBody",
     [](const std::string& d) {
         std::string bytes = read_all(tone("robust_tone.mp3", 2.0));
         return with_bytes(d + "/half.mp3", bytes.substr(0, bytes.size() / 2));
     },
     nullptr},
    {"WrongExtension",
     [](const std::string& d) { return with_bytes(d + "/flac.mp3", read_all(tone("robust_tone.flac", 1.0))); },
     nullptr},
    {"VideoOnly",
     [](const std::string&) {
         return ffmpeg_fixture("robust_video.mp4", "-f lavfi -i testsrc=d=0.5:s=64x64:r=10 -c:v mpeg4");
     },
     "no audio stream in "},
    {"ZeroFrames", [](const std::string& d) { return with_bytes(d + "/zero.wav", wav_header(44100, 0)); },
     "no audio data decoded from "},
    {"HugeDeclaredSize",
     [](const std::string& d) {
         return with_bytes(d + "/huge.wav", wav_header(44100, 0xFFFFFF00u) + std::string(88200, '\x10'));
     },
     nullptr},
    {"AbsurdSampleRate",
     [](const std::string& d) {
         return with_bytes(d + "/rate.wav", wav_header(1699749696u, 8000) + std::string(8000, '\x10'));
     },
     "unsupported sample rate 1699749696"},
    {"Silence",
     [](const std::string&) { return ffmpeg_fixture("robust_silence.wav", "-f lavfi -i anullsrc=r=16000:cl=stereo -t 1"); },
     nullptr},
    {"ShorterThanOneLoudnessBlock", [](const std::string&) { return tone("robust_short.wav", 0.1); }, nullptr},
    {"PathLongerThanPathMax",
     [](const std::string& d) {
         std::string p = d;
         while (p.size() <= PATH_MAX) p += "/" + std::string(200, 'x');
         return p + ".wav";
     },
     "file not found: "},
};

void PrintTo(const input_case& c, std::ostream* os) { *os << c.name; }

class BadInput : public ::testing::TestWithParam<input_case> {};

TEST_P(BadInput, ProbeAndEnhanceAnswerAsTheTableSays) {
    const input_case& c = GetParam();
    const std::string dir = scratch_dir(std::string("robust_") + c.name);
    const std::string in = c.make(dir);
    const std::string out = dir + "/out.wav";

    answer p = probe(in);
    const std::vector<std::string> before = names_in(dir);
    answer e = enhance(in, out);
    if (!c.message) {
        EXPECT_EQ(p.rc, 0) << p.error;
        EXPECT_EQ(e.rc, 0) << e.error;
        EXPECT_TRUE(exists(out));
        return;
    }
    for (const answer* a : {&p, &e}) {
        EXPECT_EQ(a->rc, -1);
        EXPECT_EQ(a->error.rfind(c.message, 0), 0u) << a->error;
    }
    EXPECT_EQ(names_in(dir), before) << "a failed enhance left a file behind";
}

std::string case_name(const ::testing::TestParamInfo<input_case>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Table, BadInput, ::testing::ValuesIn(INPUTS), case_name);

// ---- outputs ----

TEST(BadOutput, EachRefusedWithItsMessageAndNothingWritten) {
    const std::string dir = scratch_dir("robust_outputs");
    const std::string in = tone("robust_tone.wav", 1.0);
    mkdir((dir + "/taken.wav").c_str(), 0777);
    std::string too_long = dir;
    while (too_long.size() <= PATH_MAX) too_long += "/" + std::string(200, 'y');
    const struct {
        std::string out;
        const char* message;
    } rows[] = {
        {dir + "/out.xyz", "unsupported output extension .xyz"},
        {dir + "/out", "unsupported output extension ."},
        {in, "output path is the input file: "},
        {dir + "/no/such/dir/out.wav", "cannot open output file "},
        {dir + "/taken.wav", "cannot replace output file "},
        {too_long + ".wav", "cannot open output file "},
    };
    const std::vector<std::string> before = names_in(dir);
    for (const auto& row : rows) {
        answer e = enhance(in, row.out);
        EXPECT_EQ(e.rc, -1) << row.out;
        EXPECT_EQ(e.error.rfind(row.message, 0), 0u) << e.error;
    }
    EXPECT_EQ(names_in(dir), before);
    EXPECT_GT(read_all(in).size(), 1000u) << "the input was touched";
}

// ---- options: every way of not being strict JSON ----

TEST(BadOptions, EveryStrictJsonViolationIsRefused) {
    const char* const NOT_JSON[] = {
        "\xef\xbb\xbf{}",      // byte order mark
        "{} // comment", "/* c */ {}", "{\"denoise\":1,}", "{\"eq\":[1,]}",
        "{\"denoise\":NaN}", "{\"denoise\":Infinity}", "{\"denoise\":-Infinity}",
        "{'denoise':1}", "{denoise:1}", "{\"denoise\":01}", "{\"denoise\":0x10}",
        "{\"denoise\":+1}", "{\"denoise\":.5}", "{\"denoise\":1.}", "{\"denoise\":1e400}",
        "{\"eq\":\"\\x\"}", "{\"eq\":\"a\tb\"}", "{\"eq\":\"\xff\"}", "{\"eq\":\"\\ud800\"}",
        "{", "{\"denoise\"", "{} x", "{}{}", "   ", "nul", "\"text",
    };
    const char* const NOT_OBJECT[] = {"[1]", "\"text\"", "3", "null", "true"};
    const std::string dir = scratch_dir("robust_options");
    const std::string in = tone("robust_tone.wav", 1.0);
    const std::string out = dir + "/out.wav";
    for (const char* doc : NOT_JSON) {
        answer e = enhance(in, out, doc);
        EXPECT_EQ(e.rc, -1) << doc;
        EXPECT_EQ(e.error.rfind("options JSON parse failed: ", 0), 0u) << doc << ": " << e.error;
    }
    for (const char* doc : NOT_OBJECT) {
        answer e = enhance(in, out, doc);
        EXPECT_EQ(e.rc, -1) << doc;
        EXPECT_EQ(e.error, "options JSON must be an object") << doc;
    }
    EXPECT_FALSE(exists(out));
    // Null and empty text are the defaults, not errors.
    EXPECT_EQ(enhance(in, out, "").rc, 0);
    EXPECT_EQ(enhance(in, out, nullptr).rc, 0);
}

// ---- FIFOs, sockets and devices in a batch directory ----

TEST(BadInputBatch, DevicesAreSkippedLikeDirectories) {
    const std::string dir = scratch_dir("robust_batch_devices");
    const std::string in = dir + "/in";
    mkdir(in.c_str(), 0777);
    write_file(in + "/good.wav", read_all(tone("robust_tone.wav", 1.0)));
    mkfifo((in + "/pipe.wav").c_str(), 0666);
    mkdir((in + "/dir.wav").c_str(), 0777);
    symlink("/dev/zero", (in + "/zero.wav").c_str());
    answer b = batch(in, dir + "/out");
    ASSERT_EQ(b.rc, 0) << b.error;
    EXPECT_EQ(number(b.json, "processed"), 1) << b.json;
    EXPECT_EQ(number(b.json, "failed"), 0) << b.json;
    EXPECT_EQ(number(b.json, "skipped"), 0) << b.json;
    EXPECT_EQ(names_in(dir + "/out"), std::vector<std::string>{"good.wav"});
}

// ---- names no file system forbids ----

TEST(BadInputNames, SpacesQuotesAndNewlinesComeBackExactly) {
    const std::string dir = scratch_dir("robust_names");
    const std::string name = "a b 'c' \"d\" \\e\n\tf.wav";
    write_file(dir + "/" + name, read_all(tone("robust_tone.wav", 1.0)));
    answer p = probe(dir + "/" + name);
    EXPECT_EQ(p.rc, 0) << p.error;
    const std::string out = dir + "/out " + name;
    answer e = enhance(dir + "/" + name, out);
    ASSERT_EQ(e.rc, 0) << e.error;
    EXPECT_EQ(member(e.json, "output"), out);
}

TEST(BadInputNames, BytesThatAreNotUtf8AreReplacedAndTheAnswerKept) {
    const std::string dir = scratch_dir("robust_not_utf8");
    const std::string in = dir + "/in";
    mkdir(in.c_str(), 0777);
    const std::string audio = read_all(tone("robust_tone.wav", 1.0));
    write_file(in + "/o\xffut.wav", audio);
    write_file(in + "/b\xfe\xff" "ad.wav", audio);
    const std::string fffd = "\xEF\xBF\xBD";

    EXPECT_EQ(probe(in + "/o\xffut.wav").rc, 0);
    answer e = enhance(in + "/o\xffut.wav", dir + "/o\xffut.wav");
    ASSERT_EQ(e.rc, 0) << e.error;
    EXPECT_EQ(member(e.json, "output"), dir + "/o" + fffd + "ut.wav") << e.json;
    EXPECT_TRUE(exists(dir + "/o\xffut.wav")) << "the file keeps its own name";

    answer b = batch(in, dir + "/out");
    ASSERT_EQ(b.rc, 0) << b.error;
    EXPECT_EQ(number(b.json, "processed"), 2) << b.json;
    EXPECT_EQ(number(b.json, "failed"), 0) << b.json;
    // One replacement character for each byte.
    EXPECT_NE(b.json.find("\"in\":\"b" + fffd + fffd + "ad.wav\""), std::string::npos) << b.json;
    EXPECT_NE(b.json.find("\"out\":\"o" + fffd + "ut.wav\""), std::string::npos) << b.json;
    EXPECT_TRUE(exists(dir + "/out/b\xfe\xff" "ad.wav"));
}

// ---- decoding that would outgrow the memory (not under ASan, whose shadow
// memory needs an unlimited address space) ----

#if !defined(__SANITIZE_ADDRESS__)

// Runs fn in a child process and returns what it returned; a child that
// dies (the kernel's OOM killer, a crash) fails the test.
std::string in_child(const std::function<std::string()>& fn) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::string r = fn();
        ssize_t n = write(fds[1], r.data(), r.size());
        _exit(n == static_cast<ssize_t>(r.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string r;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    return r;
}

std::string rc_and_error(const answer& a) { return std::to_string(a.rc) + " " + a.error; }

// FFmpeg's own messages (a misdetected format, a damaged stream) never
// reach the host's stderr, from the first call on.
TEST(QuietHost, StderrStaysEmpty) {
    const std::string dir = scratch_dir("robust_quiet");
    const std::string good = ffmpeg_fixture("robust_quiet.mp3",
                                            "-f lavfi -i sine=f=440:d=3:sample_rate=44100 -c:a libmp3lame");
    const std::string bytes = read_all(good);
    const std::string cut = dir + "/cut.mp3", garbage = dir + "/garbage.mp3";
    {
        std::FILE* f = std::fopen(cut.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fwrite(bytes.data(), 1, bytes.size() / 2, f);
        std::fclose(f);
        f = std::fopen(garbage.c_str(), "wb");
        ASSERT_TRUE(f);
        for (int i = 0; i < 4096; i++) std::fputc((i * 7919) & 0xff, f);
        std::fclose(f);
    }
    std::string r = in_child([&] {
        const std::string err = dir + "/stderr.txt";
        int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 2) < 0) return std::string("no redirect");
        std::string rcs = std::to_string(probe(garbage).rc) + std::to_string(probe(cut).rc) +
                          std::to_string(probe(good).rc) +
                          std::to_string(enhance(cut, dir + "/out.m4a").rc);
        return rcs + " " + read_all(err);
    });
    EXPECT_EQ(r, "-1000 ") << "the calls' codes, then what reached stderr";
}

TEST(DecodedMemory, CapFromTheEnvironmentStopsDecoding) {
    // 10 s of 44.1 kHz stereo: 1.7 MB decoded. Enhance holds the decoded
    // audio; probe measures it as it decodes and holds none of it.
    const std::string in = tone("robust_ten_seconds.wav", 10.0);
    const std::string dir = scratch_dir("robust_cap");
    for (const char* threads : {"0", "1"}) {
        std::string r = in_child([&] {
            setenv("AE_THREADS", threads, 1);
            setenv("AE_MAX_DECODED_MB", "1", 1);
            return rc_and_error(enhance(in, dir + "/out.wav")) + "\n" + rc_and_error(probe(in));
        });
        const std::string want = "-1 decoded audio would need more than 1 MB";
        EXPECT_EQ(r.find(want), 0u) << r;
        EXPECT_NE(r.find("AE_MAX_DECODED_MB"), std::string::npos) << r;
        EXPECT_NE(r.find("\n0 "), std::string::npos) << "probe holds no decoded audio: " << r;
        EXPECT_FALSE(exists(dir + "/out.wav"));
    }
    std::string r = in_child([&] {
        setenv("AE_MAX_DECODED_MB", "8", 1);
        return rc_and_error(enhance(in, dir + "/out.wav"));
    });
    EXPECT_EQ(r, "0 ") << "a cap above the audio's size must not stop it";
}

TEST(DecodedMemory, LoweredAddressSpaceFailsWithOom) {
    // Ten minutes of 48 kHz 7.1 silence: a small FLAC, 440 MiB decoded.
    const std::string in = ffmpeg_fixture("robust_long_71.flac",
                                          "-f lavfi -i anullsrc=r=48000:cl=7.1 -t 600 -c:a flac");
    const std::string dir = scratch_dir("robust_as");
    std::string r = in_child([&] {
        // What the process maps now, plus far less than the decoded audio.
        long kib = 0;
        if (FILE* f = std::fopen("/proc/self/status", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "VmSize: %ld kB", &kib) == 1) break;
            std::fclose(f);
        }
        rlimit lim{};
        lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(kib) * 1024 + (200ull << 20);
        if (kib <= 0 || setrlimit(RLIMIT_AS, &lim) != 0) return std::string("no limit set");
        return rc_and_error(enhance(in, dir + "/out.flac"));
    });
    EXPECT_EQ(r.rfind("-1 oom", 0), 0u) << r;
    EXPECT_FALSE(exists(dir + "/out.flac"));
}

#endif

}  // namespace
