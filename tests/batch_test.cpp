// audioenhancer_batch: which names of a directory are attempted, how outputs
// are named and where they go, and what the summary and last error say.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "audioenhancer.h"
#include "fixtures.h"

namespace {

const char* const kFast = "{\"loudnorm\":false}";

// Pointer value a call must not overwrite when it fails.
const char* const kSentinel = "sentinel";

std::string tone_wav() {
    return ffmpeg_fixture("batch_tone.wav", "-f lavfi -i sine=frequency=440:duration=1 -ar 44100 -ac 1");
}

// Fixtures of other containers, so each extension carries its own content.
std::string fixture_for(const std::string& ext) {
    const std::string src = "-f lavfi -i sine=frequency=330:duration=1 -ar 44100 -ac 1 ";
    if (ext == "wav") return tone_wav();
    if (ext == "aac") return ffmpeg_fixture("batch_tone.aac", src + "-c:a aac");
    if (ext == "aiff") return ffmpeg_fixture("batch_tone.aiff", src);
    if (ext == "flac") return ffmpeg_fixture("batch_tone.flac", src);
    if (ext == "mp4") return ffmpeg_fixture("batch_tone.mp4", src + "-c:a aac");
    if (ext == "wma") return ffmpeg_fixture("batch_tone.wma", src + "-c:a wmav2");
    ADD_FAILURE() << "no fixture for ." << ext;
    return tone_wav();
}

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void copy_file(const std::string& from, const std::string& to) {
    std::string bytes = read_all(from);
    ASSERT_FALSE(bytes.empty()) << from;
    write_file(to, bytes);
}

// Places a real audio file of the given extension at dir/name.
void put_audio(const std::string& dir, const std::string& name, const std::string& ext) {
    copy_file(fixture_for(ext), dir + "/" + name);
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

long long size_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Names of dir as readdir returns them, without "." names and directories
// (links followed): the names the batch collects, in its order.
std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        struct stat st;
        if (stat((dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        names.push_back(e->d_name);
    }
    closedir(d);
    return names;
}

std::vector<std::string> all_names(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (!d) return names;
    while (const dirent* e = readdir(d))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

struct file_entry {
    std::vector<std::string> keys;
    std::string in, out, error;
    long long size_bytes = -2;
};

struct summary {
    bool parsed = false;
    std::vector<std::string> keys;
    std::vector<file_entry> files;
    long long processed = -1, failed = -1, skipped = -1;
    double total_mb = -1.0;
    bool total_is_real = false;
};

std::string str_of(yyjson_val* v) { return yyjson_is_str(v) ? yyjson_get_str(v) : "<not a string>"; }

summary parse_summary(const std::string& text) {
    summary s;
    yyjson_doc* doc = yyjson_read(text.c_str(), text.size(), 0);
    if (!doc) return s;
    yyjson_val* root = yyjson_doc_get_root(doc);
    if (yyjson_is_obj(root)) {
        s.parsed = true;
        size_t idx, max;
        yyjson_val *key, *val;
        yyjson_obj_foreach(root, idx, max, key, val) {
            std::string k = yyjson_get_str(key);
            s.keys.push_back(k);
            if (k == "files" && yyjson_is_arr(val)) {
                size_t i, n;
                yyjson_val* item;
                yyjson_arr_foreach(val, i, n, item) {
                    file_entry f;
                    size_t j, m;
                    yyjson_val *fk, *fv;
                    yyjson_obj_foreach(item, j, m, fk, fv) {
                        std::string name = yyjson_get_str(fk);
                        f.keys.push_back(name);
                        if (name == "in") f.in = str_of(fv);
                        if (name == "out") f.out = str_of(fv);
                        if (name == "error") f.error = str_of(fv);
                        if (name == "size_bytes" && yyjson_is_int(fv)) f.size_bytes = yyjson_get_sint(fv);
                    }
                    s.files.push_back(f);
                }
            }
            if (k == "processed" && yyjson_is_int(val)) s.processed = yyjson_get_sint(val);
            if (k == "failed" && yyjson_is_int(val)) s.failed = yyjson_get_sint(val);
            if (k == "skipped" && yyjson_is_int(val)) s.skipped = yyjson_get_sint(val);
            if (k == "total_mb") {
                s.total_is_real = yyjson_is_real(val);
                if (s.total_is_real) s.total_mb = yyjson_get_real(val);
            }
        }
    }
    yyjson_doc_free(doc);
    return s;
}

const std::vector<std::string> kSummaryKeys = {"files", "processed", "failed", "skipped", "total_mb"};
const std::vector<std::string> kProcessedKeys = {"in", "out", "size_bytes"};
const std::vector<std::string> kFailedKeys = {"in", "error"};

struct run_result {
    int rc;
    const char* out;   // what the call stored through its result address
    std::string text;  // copy of the result text, when one was stored
    std::string error; // audioenhancer_last_error() right after the call
    summary sum;
};

run_result run_batch(const std::string& in, const std::string& out, const char* options) {
    run_result r;
    r.out = kSentinel;
    r.rc = audioenhancer_batch(in.c_str(), out.c_str(), options, &r.out);
    r.error = audioenhancer_last_error();
    if (r.out && r.out != kSentinel) {
        r.text = r.out;
        r.sum = parse_summary(r.text);
    }
    return r;
}

void expect_summary_shape(const summary& s) {
    ASSERT_TRUE(s.parsed);
    EXPECT_EQ(s.keys, kSummaryKeys);
    EXPECT_TRUE(s.total_is_real);
    for (const file_entry& f : s.files) {
        if (f.keys.size() == 2)
            EXPECT_EQ(f.keys, kFailedKeys) << f.in;
        else
            EXPECT_EQ(f.keys, kProcessedKeys) << f.in;
    }
}

}  // namespace

// ---- arguments and the input directory ----

TEST(BatchArguments, NullArgumentsLeaveResultUntouched) {
    std::string dir = scratch_dir("batch_null");
    const char* out = kSentinel;
    EXPECT_EQ(audioenhancer_batch(nullptr, dir.c_str(), kFast, &out), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "null args");
    EXPECT_EQ(audioenhancer_batch(dir.c_str(), nullptr, kFast, &out), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "null args");
    EXPECT_EQ(out, kSentinel);
    EXPECT_EQ(audioenhancer_batch(dir.c_str(), (dir + "/o").c_str(), kFast, nullptr), -1);
    EXPECT_STREQ(audioenhancer_last_error(), "null args");
    EXPECT_FALSE(exists(dir + "/o"));
}

TEST(BatchArguments, InputMustBeAnExistingDirectory) {
    std::string dir = scratch_dir("batch_nodir");
    write_file(dir + "/plain.wav", "x");
    ASSERT_EQ(symlink("nowhere", (dir + "/dangling").c_str()), 0);
    for (const std::string& in : {dir + "/missing", dir + "/plain.wav", dir + "/dangling"}) {
        run_result r = run_batch(in, dir + "/out", kFast);
        EXPECT_EQ(r.rc, -1) << in;
        EXPECT_EQ(r.error, "input dir not found: " + in);
        EXPECT_EQ(r.out, kSentinel);
    }
    // Nothing is created for a batch that cannot start.
    EXPECT_FALSE(exists(dir + "/out"));
}

TEST(BatchArguments, UnlistableDirectory) {
    if (geteuid() == 0) GTEST_SKIP() << "root lists any directory";
    std::string dir = scratch_dir("batch_unlistable");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    ASSERT_EQ(chmod(in.c_str(), 0300), 0);
    run_result r = run_batch(in, dir + "/out", kFast);
    chmod(in.c_str(), 0700);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.error, "cannot open dir " + in);
    EXPECT_EQ(r.out, kSentinel);
    // The output directory made before the listing stays.
    EXPECT_TRUE(exists(dir + "/out"));
}

// ---- nothing to attempt ----

TEST(BatchNothingAttempted, EmptyDirectory) {
    std::string dir = scratch_dir("batch_empty");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    run_result r = run_batch(in, dir + "/out", kFast);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.error, "no audio files found in " + in);
    ASSERT_NE(r.out, kSentinel);
    EXPECT_EQ(r.text, "{\"files\":[],\"processed\":0,\"failed\":0,\"skipped\":0,\"total_mb\":0.0}");
    EXPECT_TRUE(exists(dir + "/out"));
}

TEST(BatchNothingAttempted, OnlyNonAudioNames) {
    std::string dir = scratch_dir("batch_notes");
    write_file(dir + "/notes.txt", "some notes");
    write_file(dir + "/README", "read me");
    run_result r = run_batch(dir, dir + "/out", kFast);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.error, "no audio files found in " + dir);
    expect_summary_shape(r.sum);
    EXPECT_TRUE(r.sum.files.empty());
    EXPECT_EQ(r.sum.processed, 0);
    EXPECT_EQ(r.sum.failed, 0);
    EXPECT_EQ(r.sum.skipped, 2);
}

TEST(BatchNothingAttempted, ExtensionsMatchExactly) {
    std::string dir = scratch_dir("batch_case");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    // Real audio under names whose extension is not in the table as written.
    for (const char* name : {"SONG.WAV", "Take.Flac", "trailing.", "take.wav.bak", "mp3"})
        put_audio(in, name, "wav");
    run_result r = run_batch(in, dir + "/out", kFast);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.error, "no audio files found in " + in);
    expect_summary_shape(r.sum);
    EXPECT_TRUE(r.sum.files.empty());
    EXPECT_EQ(r.sum.skipped, 5);
    EXPECT_TRUE(all_names(dir + "/out").empty());
}

TEST(BatchNothingAttempted, HiddenNamesAndDirectoriesAreNotCollected) {
    std::string dir = scratch_dir("batch_hidden_only");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, ".hidden.wav", "wav");
    ASSERT_EQ(mkdir((in + "/sub.wav").c_str(), 0777), 0);
    put_audio(in + "/sub.wav", "inner.wav", "wav");
    ASSERT_EQ(symlink("sub.wav", (in + "/linked.flac").c_str()), 0);
    run_result r = run_batch(in, dir + "/out", kFast);
    EXPECT_EQ(r.rc, -1);
    EXPECT_EQ(r.error, "no audio files found in " + in);
    EXPECT_EQ(r.text, "{\"files\":[],\"processed\":0,\"failed\":0,\"skipped\":0,\"total_mb\":0.0}");
}

// ---- which names are attempted ----

TEST(BatchSelection, OnlyPlainAudioFilesOfTheTopLevelAreAttempted) {
    std::string dir = scratch_dir("batch_select");
    std::string in = dir + "/in";
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "a.wav", "wav");
    put_audio(in, ".hidden.wav", "wav");
    ASSERT_EQ(mkdir((in + "/sub.wav").c_str(), 0777), 0);
    put_audio(in + "/sub.wav", "inner.wav", "wav");
    ASSERT_EQ(symlink("sub.wav", (in + "/linked.flac").c_str()), 0);
    // Collected (it is no directory) but skipped: the file it names is gone.
    ASSERT_EQ(symlink("gone.wav", (in + "/dangling.wav").c_str()), 0);
    write_file(in + "/notes.txt", "n");

    run_result r = run_batch(in, out, kFast);
    EXPECT_EQ(r.rc, 0) << r.error;
    expect_summary_shape(r.sum);
    ASSERT_EQ(r.sum.files.size(), 1u) << r.text;
    EXPECT_EQ(r.sum.files[0].in, "a.wav");
    EXPECT_EQ(r.sum.files[0].out, "a.wav");
    EXPECT_EQ(r.sum.processed, 1);
    EXPECT_EQ(r.sum.failed, 0);
    EXPECT_EQ(r.sum.skipped, 2);
    EXPECT_EQ(all_names(out), std::vector<std::string>{"a.wav"});
}

// ---- output names, sizes and totals ----

TEST(BatchOutputs, NamesSizesAndTotals) {
    std::string dir = scratch_dir("batch_names");
    std::string in = dir + "/in";
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    struct expectation {
        const char* in;
        const char* ext;
        const char* out;
        const char* codec;
    };
    const std::vector<expectation> cases = {
        {"talk.aac", "aac", "talk.m4a", "aac"},     {"take.aiff", "aiff", "take.m4a", "aac"},
        {"a.b.flac", "flac", "a.b.flac", "flac"},   {"song.mp4", "mp4", "song.mp4", "aac"},
        {"plain.wav", "wav", "plain.wav", "pcm_s16le"},
    };
    for (const expectation& c : cases) put_audio(in, c.in, c.ext);
    std::vector<std::string> order = listing(in);

    // When every file succeeds no message is left, whatever came before.
    const char* unused = kSentinel;
    ASSERT_EQ(audioenhancer_probe(nullptr, &unused), -1);
    ASSERT_STRNE(audioenhancer_last_error(), "");

    run_result r = run_batch(in, out, kFast);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.error, "");
    expect_summary_shape(r.sum);
    EXPECT_EQ(r.sum.processed, 5);
    EXPECT_EQ(r.sum.failed, 0);
    EXPECT_EQ(r.sum.skipped, 0);
    ASSERT_EQ(r.sum.files.size(), cases.size()) << r.text;

    long long total = 0;
    for (size_t i = 0; i < r.sum.files.size(); ++i) {
        const file_entry& f = r.sum.files[i];
        EXPECT_EQ(f.in, order[i]) << "files are reported in listing order";
        auto c = std::find_if(cases.begin(), cases.end(),
                              [&](const expectation& e) { return f.in == e.in; });
        ASSERT_NE(c, cases.end()) << f.in;
        EXPECT_EQ(f.out, c->out);
        EXPECT_EQ(f.size_bytes, size_of(out + "/" + c->out)) << f.in;
        EXPECT_GT(f.size_bytes, 0) << f.in;
        total += f.size_bytes;
        decoded_file written;
        ASSERT_TRUE(decode_file(out + "/" + c->out, &written)) << c->out;
        EXPECT_EQ(written.codec, c->codec) << c->out;
    }
    EXPECT_DOUBLE_EQ(r.sum.total_mb, static_cast<double>(total) / 1048576.0);
    EXPECT_EQ(all_names(out), (std::vector<std::string>{"a.b.flac", "plain.wav", "song.mp4",
                                                        "take.m4a", "talk.m4a"}));
}

TEST(BatchOutputs, TwoInputsSharingAnOutputName) {
    std::string dir = scratch_dir("batch_shared");
    std::string in = dir + "/in";
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "x.aac", "aac");
    put_audio(in, "x.wma", "wma");
    run_result r = run_batch(in, out, kFast);
    ASSERT_EQ(r.rc, 0) << r.error;
    expect_summary_shape(r.sum);
    EXPECT_EQ(r.sum.processed, 2);
    ASSERT_EQ(r.sum.files.size(), 2u) << r.text;
    EXPECT_EQ(r.sum.files[0].out, "x.m4a");
    EXPECT_EQ(r.sum.files[1].out, "x.m4a");
    EXPECT_NE(r.sum.files[0].in, r.sum.files[1].in);
    // The later file's output is the one that stays.
    EXPECT_EQ(all_names(out), std::vector<std::string>{"x.m4a"});
    EXPECT_EQ(r.sum.files[1].size_bytes, size_of(out + "/x.m4a"));
    EXPECT_DOUBLE_EQ(r.sum.total_mb,
                     static_cast<double>(r.sum.files[0].size_bytes + r.sum.files[1].size_bytes) /
                         1048576.0);
}

TEST(BatchOutputs, NullOptionsUseTheDefaults) {
    std::string dir = scratch_dir("batch_defaults");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "tone.wav", "wav");
    run_result r = run_batch(in, dir + "/out", nullptr);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.sum.processed, 1);
    EXPECT_TRUE(exists(dir + "/out/tone.wav"));
}

// ---- failures of single files ----

TEST(BatchFileFailures, UnparsableOptionsFailEveryFile) {
    std::string dir = scratch_dir("batch_badopts");
    std::string in = dir + "/in";
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "one.wav", "wav");
    put_audio(in, "two.flac", "flac");
    run_result r = run_batch(in, out, "{\"loudnorm\": fals");
    EXPECT_EQ(r.rc, 0);
    expect_summary_shape(r.sum);
    EXPECT_EQ(r.sum.processed, 0);
    EXPECT_EQ(r.sum.failed, 2);
    EXPECT_EQ(r.sum.skipped, 0);
    EXPECT_EQ(r.sum.total_mb, 0.0);
    ASSERT_EQ(r.sum.files.size(), 2u) << r.text;
    for (const file_entry& f : r.sum.files) {
        EXPECT_EQ(f.keys, kFailedKeys);
        EXPECT_EQ(f.error.rfind("options JSON parse failed: ", 0), 0u) << f.error;
    }
    EXPECT_EQ(r.error, r.sum.files.back().error);
    EXPECT_TRUE(all_names(out).empty());
}

TEST(BatchFileFailures, LastFileMessageStaysInLastError) {
    std::string dir = scratch_dir("batch_lasterr");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    for (const char* name : {"bad1.wav", "bad2.mp3", "bad3.flac"}) write_file(in + "/" + name, "");
    run_result r = run_batch(in, dir + "/out", kFast);
    EXPECT_EQ(r.rc, 0);
    expect_summary_shape(r.sum);
    EXPECT_EQ(r.sum.failed, 3);
    ASSERT_EQ(r.sum.files.size(), 3u) << r.text;
    for (const file_entry& f : r.sum.files)
        EXPECT_NE(f.error.find(f.in), std::string::npos) << f.error;
    EXPECT_EQ(r.error, r.sum.files.back().error);
}

TEST(BatchFileFailures, MixedOutcomes) {
    std::string dir = scratch_dir("batch_mixed");
    std::string in = dir + "/in";
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "good.wav", "wav");
    write_file(in + "/broken.wav", "RIFF but not really a wave file");
    run_result r = run_batch(in, out, kFast);
    EXPECT_EQ(r.rc, 0);
    expect_summary_shape(r.sum);
    EXPECT_EQ(r.sum.processed, 1);
    EXPECT_EQ(r.sum.failed, 1);
    ASSERT_EQ(r.sum.files.size(), 2u) << r.text;
    for (const file_entry& f : r.sum.files) {
        if (f.in == "good.wav") {
            EXPECT_EQ(f.keys, kProcessedKeys);
            EXPECT_DOUBLE_EQ(r.sum.total_mb, static_cast<double>(f.size_bytes) / 1048576.0);
        } else {
            EXPECT_EQ(f.in, "broken.wav");
            EXPECT_EQ(f.keys, kFailedKeys);
            EXPECT_FALSE(f.error.empty());
        }
    }
    // The last call's outcome decides what is left: its message, or nothing.
    EXPECT_EQ(r.error, r.sum.files.back().error);
    EXPECT_EQ(all_names(out), std::vector<std::string>{"good.wav"});
}

TEST(BatchFileFailures, OutputDirectoryThatCannotBeCreated) {
    std::string dir = scratch_dir("batch_noout");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "tone.wav", "wav");
    write_file(dir + "/blocker", "a file where a directory should go");
    run_result r = run_batch(in, dir + "/blocker/out", kFast);
    EXPECT_EQ(r.rc, 0);
    expect_summary_shape(r.sum);
    EXPECT_EQ(r.sum.processed, 0);
    EXPECT_EQ(r.sum.failed, 1);
    ASSERT_EQ(r.sum.files.size(), 1u) << r.text;
    EXPECT_FALSE(r.sum.files[0].error.empty());
    EXPECT_EQ(r.error, r.sum.files[0].error);
}

// ---- the 512-name limit ----

// 600 text files and one audio file that the listing returns after the
// 512th name. Names cannot be ordered on purpose, so candidate names are
// tried until one lands there (or, where new names list first, the audio
// file is written first); the expectation follows the listing either way.
TEST(BatchNameLimit, NamesBeyondTheFirst512AreDropped) {
    std::string dir = scratch_dir("batch_cap");
    std::string in = dir + "/in";
    std::string out = dir + "/out";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    for (int i = 0; i < 600; ++i) write_file(in + "/note" + std::to_string(i) + ".txt", "");
    std::string audio;
    std::vector<std::string> order;
    size_t pos = 0;
    for (int k = 0; k < 400; ++k) {
        audio = "late" + std::to_string(k) + ".wav";
        put_audio(in, audio, "wav");
        order = listing(in);
        pos = std::find(order.begin(), order.end(), audio) - order.begin();
        if (pos >= 512) break;
        ASSERT_EQ(unlink((in + "/" + audio).c_str()), 0);
    }
    if (pos < 512) {
        // This file system lists new names first: write the audio file
        // before the text files instead.
        run_cmd("rm -rf '" + in + "' && mkdir '" + in + "'");
        put_audio(in, audio, "wav");
        for (int i = 0; i < 600; ++i) write_file(in + "/note" + std::to_string(i) + ".txt", "");
        order = listing(in);
        pos = std::find(order.begin(), order.end(), audio) - order.begin();
    }
    ASSERT_EQ(order.size(), 601u);
    RecordProperty("audio_position", static_cast<int>(pos));

    run_result r = run_batch(in, out, kFast);
    expect_summary_shape(r.sum);
    if (pos >= 512) {
        EXPECT_EQ(r.rc, -1);
        EXPECT_EQ(r.error, "no audio files found in " + in);
        EXPECT_TRUE(r.sum.files.empty()) << r.text;
        EXPECT_EQ(r.sum.processed, 0);
        EXPECT_EQ(r.sum.skipped, 512);
        EXPECT_TRUE(all_names(out).empty());
    } else {
        std::printf("note: the audio file could only be listed at position %zu\n", pos);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.sum.processed, 1);
        EXPECT_EQ(r.sum.skipped, 511);
    }
    EXPECT_EQ(r.sum.failed, 0);
}

// Every name here would be attempted, so the names that are attempted are
// exactly those the limit lets through, whatever the listing order.
TEST(BatchNameLimit, ExactlyTheFirst512ListedNamesAreAttempted) {
    std::string dir = scratch_dir("batch_cap_all");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    for (int i = 0; i < 601; ++i) write_file(in + "/empty" + std::to_string(i) + ".wav", "");
    std::vector<std::string> order = listing(in);
    ASSERT_EQ(order.size(), 601u);

    run_result r = run_batch(in, dir + "/out", kFast);
    EXPECT_EQ(r.rc, 0);
    ASSERT_TRUE(r.sum.parsed) << r.error;
    EXPECT_EQ(r.sum.processed, 0);
    EXPECT_EQ(r.sum.failed, 512);
    EXPECT_EQ(r.sum.skipped, 0);
    ASSERT_EQ(r.sum.files.size(), 512u);
    for (size_t i = 0; i < 512; ++i) EXPECT_EQ(r.sum.files[i].in, order[i]) << i;
}

// ---- directories ----

TEST(BatchDirectories, NestedOutputCreatedLevelByLevel) {
    std::string dir = scratch_dir("batch_nested");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "tone.wav", "wav");

    run_result r = run_batch(in, dir + "/o1/o2/o3", kFast);
    EXPECT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.sum.processed, 1);
    EXPECT_TRUE(exists(dir + "/o1/o2/o3/tone.wav"));

    // A trailing separator, and an input spelled with one.
    r = run_batch(in + "/", dir + "/p1/p2/", kFast);
    EXPECT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.sum.processed, 1);
    EXPECT_TRUE(exists(dir + "/p1/p2/tone.wav"));

    // On POSIX a backslash is part of a name, not a separator.
    r = run_batch(in, dir + "/q\\r/s", kFast);
    EXPECT_EQ(r.rc, 0) << r.error;
    EXPECT_TRUE(exists(dir + "/q\\r/s/tone.wav"));
    EXPECT_FALSE(exists(dir + "/q"));
}

TEST(BatchDirectories, OutputDirectoryEqualToInput) {
    std::string dir = scratch_dir("batch_same");
    put_audio(dir, "talk.aac", "aac");
    put_audio(dir, "keep.wav", "wav");
    long long keep_size = size_of(dir + "/keep.wav");

    run_result r = run_batch(dir, dir, kFast);
    EXPECT_EQ(r.rc, 0) << r.error;
    expect_summary_shape(r.sum);
    // talk.m4a is written during the batch but was not listed.
    ASSERT_EQ(r.sum.files.size(), 2u) << r.text;
    EXPECT_EQ(r.sum.processed, 1);
    EXPECT_EQ(r.sum.failed, 1);
    EXPECT_EQ(r.sum.skipped, 0);
    for (const file_entry& f : r.sum.files) {
        if (f.in == "talk.aac") {
            EXPECT_EQ(f.out, "talk.m4a");
        } else {
            EXPECT_EQ(f.in, "keep.wav");
            EXPECT_EQ(f.error, "output path is the input file: " + dir + "/keep.wav");
        }
    }
    EXPECT_EQ(size_of(dir + "/keep.wav"), keep_size);
    EXPECT_EQ(all_names(dir), (std::vector<std::string>{"keep.wav", "talk.aac", "talk.m4a"}));
}

// ---- the summary itself ----

// A name that is not UTF-8 is reported with U+FFFD in place of each bad
// byte; the work that was done is never lost for it.
TEST(BatchSummary, NameThatIsNotUtf8IsReportedWithReplacement) {
    std::string dir = scratch_dir("batch_utf8");
    std::string in = dir + "/in";
    ASSERT_EQ(mkdir(in.c_str(), 0777), 0);
    put_audio(in, "bad\xff.wav", "wav");
    run_result r = run_batch(in, dir + "/out", kFast);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_NE(std::string(r.out).find("\"in\":\"bad\xEF\xBF\xBD.wav\""), std::string::npos) << r.out;
    EXPECT_NE(std::string(r.out).find("\"processed\":1"), std::string::npos) << r.out;
    struct stat st;
    EXPECT_EQ(stat((dir + "/out/bad\xff.wav").c_str(), &st), 0);
}
