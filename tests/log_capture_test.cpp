// Capture of FFmpeg's log text, the scanners that read figures from it,
// and the loudness measurement built on both.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "analysis/log_capture.h"
#include "analysis/measure.h"
#include "base/error.h"
#include "engine/graph.h"
#include "fixtures.h"

namespace {

// The shape ebur128 and astats print when they are torn down.
std::string summary(const char* i, const char* thr, const char* lra, const char* peak) {
    std::string s = "Summary:\n\n";
    s += std::string("  Integrated loudness:\n    I:         ") + i + " LUFS\n    Threshold: " + thr +
         " LUFS\n\n";
    if (lra)
        s += std::string("  Loudness range:\n    LRA:        ") + lra +
             " LU\n    Threshold: -43.2 LUFS\n    LRA low:   -30.1 LUFS\n    LRA high:  -25.0 LUFS\n\n";
    if (peak) s += std::string("  True peak:\n    Peak:       ") + peak + " dBFS\n";
    return s;
}

std::string astats(const char* ch1, const char* ch2, const char* overall) {
    return std::string("Channel: 1\nDC offset: 0.000000\nNoise floor dB: ") + ch1 +
           "\nChannel: 2\nNoise floor dB: " + ch2 + "\nOverall\nPeak level dB: -3.0\nNoise floor dB: " +
           overall + "\nNumber of samples: 48000\n";
}

loudness_stats garbage_stats() {
    loudness_stats s;
    s.integrated = 11.0;
    s.lra = 22.0;
    s.threshold = 33.0;
    s.true_peak = 44.0;
    s.noise_floor = 55.0;
    return s;
}

// Text placed so that its NUL is the last byte before an unreadable page:
// any read past the end of the text faults.
struct guarded_text {
    char* base = nullptr;
    size_t page = 0;
    const char* text = nullptr;
    explicit guarded_text(const std::string& s) {
        page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t pages = (s.size() + 1 + page - 1) / page;
        size_t len = (pages + 1) * page;
        void* m = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) {
            ADD_FAILURE() << "mmap";
            return;
        }
        base = static_cast<char*>(m);
        mprotect(base + pages * page, page, PROT_NONE);
        char* start = base + pages * page - (s.size() + 1);
        std::memcpy(start, s.c_str(), s.size() + 1);
        text = start;
        total = len;
    }
    ~guarded_text() {
        if (base) munmap(base, total);
    }
    size_t total = 0;
};

void log_info(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void log_info(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    av_vlog(nullptr, AV_LOG_INFO, fmt, args);
    va_end(args);
}

}  // namespace

// ---------------------------------------------------------------- parse_measurement

TEST(ParseMeasurement, ReadsAWholeSummary) {
    std::string text = "[Parsed_ebur128_0] t: 0.1 M: -120.7 S: -120.7 I: -70.0 LUFS\n" +
                       summary("-23.0", "-33.0", "1.5", "-22.9") + astats("-80.5", "-81.5", "-80.25");
    loudness_stats s = garbage_stats();
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.integrated, -23.0);
    EXPECT_EQ(s.threshold, -33.0);
    EXPECT_EQ(s.lra, 1.5);
    EXPECT_EQ(s.true_peak, -22.9);
    EXPECT_EQ(s.noise_floor, -80.25);
}

TEST(ParseMeasurement, LaterSummaryWins) {
    std::string text = summary("-10.0", "-20.0", "5.0", "-1.0") + "other text\n" +
                       summary("-30.5", "-40.5", "7.5", "-12.5");
    loudness_stats s = garbage_stats();
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.integrated, -30.5);
    EXPECT_EQ(s.threshold, -40.5);
    EXPECT_EQ(s.lra, 7.5);
    EXPECT_EQ(s.true_peak, -12.5);
}

TEST(ParseMeasurement, LaterSummaryWithoutSectionsDoesNotBorrowFromTheEarlier) {
    std::string text = summary("-10.0", "-20.0", "5.0", "-1.0") + summary("-30.5", "-40.5", nullptr, nullptr);
    loudness_stats s = garbage_stats();
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.integrated, -30.5);
    EXPECT_EQ(s.lra, 0.0);
    EXPECT_EQ(s.true_peak, -999.0);
}

TEST(ParseMeasurement, ThresholdIsTheOneAfterIntegratedLoudness) {
    std::string text = summary("-20.0", "-30.0", "3.0", "-5.0");
    loudness_stats s;
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.threshold, -30.0);

    // Sections in another order: the threshold printed before "Integrated
    // loudness" is not the gate.
    std::string reordered =
        "Summary:\n  Loudness range:\n    LRA: 4.0 LU\n    Threshold: -50.0 LUFS\n"
        "  Integrated loudness:\n    I: -21.0 LUFS\n    Threshold: -31.0 LUFS\n";
    ASSERT_EQ(parse_measurement(reordered.c_str(), &s), 0);
    EXPECT_EQ(s.threshold, -31.0);
    EXPECT_EQ(s.lra, 4.0);
    EXPECT_EQ(s.integrated, -21.0);
}

TEST(ParseMeasurement, MissingSectionsKeepUnsetValues) {
    std::string text = summary("-18.0", "-28.0", nullptr, nullptr);
    loudness_stats s = garbage_stats();
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.integrated, -18.0);
    EXPECT_EQ(s.lra, 0.0);
    EXPECT_EQ(s.true_peak, -999.0);
    EXPECT_EQ(s.noise_floor, -999.0);

    std::string no_lra = summary("-18.0", "-28.0", nullptr, "-3.5");
    ASSERT_EQ(parse_measurement(no_lra.c_str(), &s), 0);
    EXPECT_EQ(s.lra, 0.0);
    EXPECT_EQ(s.true_peak, -3.5);
}

TEST(ParseMeasurement, NoSummaryFails) {
    loudness_stats s = garbage_stats();
    EXPECT_EQ(parse_measurement("", &s), -1);
    EXPECT_EQ(s.integrated, -999.0);
    EXPECT_EQ(s.lra, 0.0);
    EXPECT_EQ(s.threshold, -999.0);
    EXPECT_EQ(s.true_peak, -999.0);
    EXPECT_EQ(s.noise_floor, -999.0);

    s = garbage_stats();
    std::string text = "Integrated loudness:\n I: -20.0 LUFS\n" + astats("-1", "-2", "-3");
    EXPECT_EQ(parse_measurement(text.c_str(), &s), -1);
    EXPECT_EQ(s.integrated, -999.0);
}

TEST(ParseMeasurement, SummaryWithoutIntegratedFails) {
    std::string text = "Summary:\n  True peak:\n    Peak: -1.0 dBFS\n";
    loudness_stats s;
    EXPECT_EQ(parse_measurement(text.c_str(), &s), -1);
    EXPECT_EQ(s.integrated, -999.0);
}

TEST(ParseMeasurement, MinusInfinityIntegratedFails) {
    std::string text = summary("-inf", "-70.0", "0.0", "-inf");
    loudness_stats s;
    EXPECT_EQ(parse_measurement(text.c_str(), &s), -1);
    EXPECT_TRUE(std::isinf(s.integrated) && s.integrated < 0);
}

TEST(ParseMeasurement, BoundaryOfMissing) {
    loudness_stats s;
    EXPECT_EQ(parse_measurement(summary("-900.0", "-910.0", "0.0", "-1.0").c_str(), &s), 0);
    EXPECT_EQ(s.integrated, -900.0);
    EXPECT_EQ(parse_measurement(summary("-900.0001", "-910.0", "0.0", "-1.0").c_str(), &s), -1);
    EXPECT_EQ(s.integrated, -900.0001);
}

TEST(ParseMeasurement, MinusInfinityPeakSucceeds) {
    std::string text = summary("-70.0", "-80.0", "0.0", "-inf") + astats("-inf", "-inf", "-inf");
    loudness_stats s;
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.integrated, -70.0);
    EXPECT_TRUE(std::isinf(s.true_peak) && s.true_peak < 0);
    EXPECT_TRUE(std::isinf(s.noise_floor) && s.noise_floor < 0);
}

TEST(ParseMeasurement, NoiseFloorIsTheLastLine) {
    // The astats lines may come before the summary: the floor is searched
    // over the whole text.
    std::string text = astats("-60.0", "-61.0", "-59.5") + summary("-20.0", "-30.0", "1.0", "-2.0");
    loudness_stats s;
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.noise_floor, -59.5);

    std::string tabs = summary("-20.0", "-30.0", "1.0", "-2.0") + "Noise floor dB: -1.0\nNoise floor dB: \t  -77.125\n";
    ASSERT_EQ(parse_measurement(tabs.c_str(), &s), 0);
    EXPECT_EQ(s.noise_floor, -77.125);
}

TEST(ParseMeasurement, NoNoiseFloorSucceeds) {
    loudness_stats s = garbage_stats();
    ASSERT_EQ(parse_measurement(summary("-20.0", "-30.0", "1.0", "-2.0").c_str(), &s), 0);
    EXPECT_EQ(s.noise_floor, -999.0);
}

TEST(ParseMeasurement, NonNumberStoresZero) {
    std::string text = summary("abc", "n/a", "x", "?") + "Noise floor dB: none\n";
    loudness_stats s = garbage_stats();
    ASSERT_EQ(parse_measurement(text.c_str(), &s), 0);
    EXPECT_EQ(s.integrated, 0.0);
    EXPECT_EQ(s.threshold, 0.0);
    EXPECT_EQ(s.lra, 0.0);
    EXPECT_EQ(s.true_peak, 0.0);
    EXPECT_EQ(s.noise_floor, 0.0);
}

TEST(ParseMeasurement, NoiseFloorAtTheVeryEndStaysInTheText) {
    const std::string base = summary("-20.0", "-30.0", "1.0", "-2.0") + "Noise floor dB: -50.0\n";
    for (const char* tail : {"Noise floor dB", "Noise floor dB:", "Noise floor dB: ", "Noise floor dB: -4"}) {
        guarded_text g(base + tail);
        ASSERT_NE(g.text, nullptr);
        loudness_stats s;
        EXPECT_EQ(parse_measurement(g.text, &s), 0) << tail;
        EXPECT_EQ(s.integrated, -20.0) << tail;
        if (std::strcmp(tail, "Noise floor dB: -4") == 0) {
            EXPECT_EQ(s.noise_floor, -4.0);
        }
    }
}

TEST(ParseMeasurement, PublishedTextIgnoresAnEarlierLongerCapture) {
    // The published copy keeps the bytes of a longer earlier capture beyond
    // its terminator; a label at the very end must not reach into them.
    const std::string head = summary("-20.0", "-30.0", "1.0", "-2.0") + "Noise floor dB";
    log_capture_begin();
    av_log(nullptr, AV_LOG_INFO, "%sXX Noise floor dB: -11.0\n", head.c_str());
    log_capture_end();
    log_capture_begin();
    av_log(nullptr, AV_LOG_INFO, "%s", head.c_str());
    log_capture_end();
    ASSERT_EQ(log_capture_size(), head.size());
    loudness_stats s;
    EXPECT_EQ(parse_measurement(log_capture_text(), &s), 0);
    EXPECT_EQ(s.integrated, -20.0);
    EXPECT_NE(s.noise_floor, -11.0);
}

TEST(ParseMeasurement, ScannersStayInTheText) {
    for (const char* text : {"Summary:", "Summary:Integrated loudness", "Summary:Integrated loudness I:",
                             "Summary:Integrated loudness I: -5 Threshold:", "Summary: True peak Peak:"}) {
        guarded_text g(text);
        ASSERT_NE(g.text, nullptr);
        loudness_stats s;
        (void)parse_measurement(g.text, &s);
    }
    guarded_text g("Summary:Integrated loudness I: -5 Threshold:");
    loudness_stats s;
    EXPECT_EQ(parse_measurement(g.text, &s), 0);
    EXPECT_EQ(s.integrated, -5.0);
    EXPECT_EQ(s.threshold, 0.0);
}

// ---------------------------------------------------------------- parse_label

TEST(ParseLabel, NullTextOrMissingLabelStoresNothing) {
    double v = 12.5;
    parse_label(nullptr, "I:", &v);
    EXPECT_EQ(v, 12.5);
    parse_label("no such thing here", "I:", &v);
    EXPECT_EQ(v, 12.5);
    parse_label("", "I:", &v);
    EXPECT_EQ(v, 12.5);
}

TEST(ParseLabel, SkipsBlanksAndTabsAndReadsStrtodStyle) {
    double v = 0;
    parse_label("x I: \t -23.5 LUFS", "I:", &v);
    EXPECT_EQ(v, -23.5);
    parse_label("I:1e-3", "I:", &v);
    EXPECT_EQ(v, 0.001);
    parse_label("I:\n  +7", "I:", &v);  // strtod skips the line end itself
    EXPECT_EQ(v, 7.0);
    parse_label("I: inf", "I:", &v);
    EXPECT_TRUE(std::isinf(v) && v > 0);
    parse_label("I: nan", "I:", &v);
    EXPECT_TRUE(std::isnan(v));
    parse_label("I: LUFS", "I:", &v);
    EXPECT_EQ(v, 0.0);
    // The first occurrence at or after the text counts.
    parse_label("I: 1 I: 2", "I:", &v);
    EXPECT_EQ(v, 1.0);
}

// ---------------------------------------------------------------- capture

TEST(LogCapture, KeepsInfoAndAboveDropsVerboseAndDebug) {
    log_capture_begin();
    EXPECT_EQ(av_log_get_level(), AV_LOG_INFO);
    av_log(nullptr, AV_LOG_VERBOSE, "verbose line\n");
    av_log(nullptr, AV_LOG_DEBUG, "debug line\n");
    av_log(nullptr, AV_LOG_TRACE, "trace line\n");
    av_log(nullptr, AV_LOG_INFO, "info %d\n", 1);
    av_log(nullptr, AV_LOG_WARNING, "warning %s\n", "two");
    av_log(nullptr, AV_LOG_ERROR, "error %.1f\n", 3.0);
    av_log(nullptr, AV_LOG_INFO, "no line end ");
    av_log(nullptr, AV_LOG_INFO, "joined\n");
    log_capture_end();
    std::string want = "info 1\nwarning two\nerror 3.0\nno line end joined\n";
    EXPECT_STREQ(log_capture_text(), want.c_str());
    EXPECT_EQ(log_capture_size(), want.size());
}

TEST(LogCapture, StoresNoContextNameOrLevel) {
    graph_context g;
    ASSERT_EQ(graph_setup(&g, "anull", 48000, 1), 0) << g_err;
    log_capture_begin();
    av_log(g.graph.get(), AV_LOG_INFO, "from the graph\n");
    av_log(g.src, AV_LOG_WARNING, "from the source\n");
    log_capture_end();
    graph_release(&g);
    EXPECT_STREQ(log_capture_text(), "from the graph\nfrom the source\n");
}

TEST(LogCapture, EmptyCapturePublishesEmptyText) {
    log_capture_begin();
    log_info("something to replace\n");
    log_capture_end();
    ASSERT_GT(log_capture_size(), 0u);

    log_capture_begin();
    log_capture_end();
    EXPECT_EQ(log_capture_size(), 0u);
    EXPECT_EQ(log_capture_text()[0], '\0');
}

TEST(LogCapture, EachCaptureStartsAfresh) {
    log_capture_begin();
    log_info("first capture\n");
    log_capture_end();
    log_capture_begin();
    log_info("second\n");
    log_capture_end();
    EXPECT_STREQ(log_capture_text(), "second\n");
    EXPECT_EQ(log_capture_size(), 7u);
}

TEST(LogCapture, NothingIsCapturedOrPrintedOutsideACapture) {
    log_capture_begin();
    log_info("inside\n");
    log_capture_end();
    testing::internal::CaptureStderr();
    av_log(nullptr, AV_LOG_ERROR, "outside after the end\n");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "");
    EXPECT_STREQ(log_capture_text(), "inside\n");

    log_capture_begin();
    log_capture_end();
    EXPECT_EQ(log_capture_size(), 0u);
}

TEST(LogCapture, FullBufferStopsAtCapacityAndStaysTerminated) {
    // 1100 lines of 1000 characters: more than 1 MiB.
    std::string expect;
    char line[1001];
    log_capture_begin();
    for (int i = 0; i < 1100; i++) {
        std::snprintf(line, sizeof line, "%06d", i);
        std::memset(line + 6, 'a' + i % 26, 993);
        line[999] = '\n';
        line[1000] = '\0';
        log_info("%s", line);
        expect += line;
    }
    log_info("dropped once full\n");
    log_capture_end();
    EXPECT_EQ(log_capture_size(), LOG_CAPACITY - 1);
    EXPECT_EQ(log_capture_text()[LOG_CAPACITY - 1], '\0');
    EXPECT_EQ(std::strlen(log_capture_text()), LOG_CAPACITY - 1);
    EXPECT_EQ(std::memcmp(log_capture_text(), expect.data(), LOG_CAPACITY - 1), 0);

    // A capture after a full one holds only its own text.
    log_capture_begin();
    log_info("small\n");
    log_capture_end();
    EXPECT_STREQ(log_capture_text(), "small\n");
}

TEST(LogCapture, MessageThatDoesNotFitIsCutAtTheEnd) {
    std::string big(LOG_CAPACITY - 11, 'b');
    log_capture_begin();
    log_info("%s", big.c_str());
    log_info("0123456789ABCDEF\n");  // only ten characters fit
    log_info("x");
    log_capture_end();
    EXPECT_EQ(log_capture_size(), LOG_CAPACITY - 1);
    EXPECT_EQ(std::string(log_capture_text() + LOG_CAPACITY - 11), "0123456789");
}

TEST(LogCapture, WorksOnAThreadStartedLater) {
    std::string seen;
    uint64_t pos = 0;
    log_capture_begin();
    log_info("from thread 1\n");
    log_capture_end();
    std::thread t([&] {
        log_capture_begin();
        log_info("from thread %d\n", 2);
        log_capture_end();
        seen = log_capture_text();
        pos = log_capture_size();
    });
    t.join();
    EXPECT_EQ(seen, "from thread 2\n");
    EXPECT_EQ(pos, 14u);
    // Each thread keeps its own text: workers never overwrite the caller's.
    EXPECT_STREQ(log_capture_text(), "from thread 1\n");
}

TEST(LogCapture, CollectsOnlyTheCapturingThread) {
    log_capture_begin();
    log_info("mine 1\n");
    std::thread t([] { log_info("not mine\n"); });
    t.join();
    log_info("mine 2\n");
    log_capture_end();
    EXPECT_STREQ(log_capture_text(), "mine 1\nmine 2\n");
}

TEST(LogCapture, MeasurementOnAThreadStartedLater) {
    std::vector<int16_t> pcm(48000 * 2);
    for (int i = 0; i < 48000; i++) {
        int16_t v = static_cast<int16_t>(0.0707946 * 32767 * std::sin(2 * M_PI * 1000 * i / 48000.0));
        pcm[i * 2] = pcm[i * 2 + 1] = v;
    }
    int rc = -2;
    loudness_stats s;
    std::thread t([&] { rc = measure_pcm(pcm.data(), 48000, 48000, 2, settings_from_env(), &s); });
    t.join();
    ASSERT_EQ(rc, 0);
    EXPECT_NEAR(s.integrated, -23.0, 0.2);
}

// ---------------------------------------------------------------- measure_pcm

TEST(MeasurePcm, FillsEveryFigureOfATone) {
    // 5 s of a 1 kHz tone at -20 dBFS on both channels, with a quiet hiss.
    std::vector<int16_t> pcm(48000 * 5 * 2);
    unsigned seed = 1;
    for (int i = 0; i < 48000 * 5; i++) {
        seed = seed * 1103515245u + 12345u;
        int hiss = static_cast<int>((seed >> 16) % 7) - 3;
        int16_t v = static_cast<int16_t>(0.1 * 32767 * std::sin(2 * M_PI * 1000 * i / 48000.0) + hiss);
        pcm[i * 2] = pcm[i * 2 + 1] = v;
    }
    loudness_stats s = garbage_stats();
    ASSERT_EQ(measure_pcm(pcm.data(), 48000 * 5, 48000, 2, settings_from_env(), &s), 0);
    EXPECT_NEAR(s.integrated, -20.0, 0.1);
    EXPECT_NEAR(s.threshold, -30.0, 0.2);
    EXPECT_NEAR(s.lra, 0.0, 0.2);
    EXPECT_NEAR(s.true_peak, -20.0, 0.2);
    // astats' noise floor is the quietest stretch: a steady tone never gets
    // quieter than its own level.
    EXPECT_NEAR(s.noise_floor, -20.0, 1.0);
    // The text the figures came from is the published capture.
    EXPECT_NE(std::strstr(log_capture_text(), "Summary:"), nullptr);
    EXPECT_NE(std::strstr(log_capture_text(), "Noise floor dB"), nullptr);
    EXPECT_EQ(std::strlen(log_capture_text()), log_capture_size());
}

TEST(MeasurePcm, EmptyInputFailsAndLeavesOutAlone) {
    loudness_stats s = garbage_stats();
    g_err[0] = '\0';
    int16_t dummy = 0;
    EXPECT_EQ(measure_pcm(&dummy, 0, 48000, 1, settings_from_env(), &s), -1);
    EXPECT_STREQ(g_err, "filtergraph produced no output");
    EXPECT_EQ(s.integrated, 11.0);
    EXPECT_EQ(s.noise_floor, 55.0);
}

TEST(MeasurePcm, SetupFailureLeavesOutAloneAndRemovesTheCallback) {
    loudness_stats s = garbage_stats();
    g_err[0] = '\0';
    int16_t pcm[64] = {};
    EXPECT_EQ(measure_pcm(pcm, 64, 0, 1, settings_from_env(), &s), -1);
    EXPECT_NE(std::string(g_err), "");
    EXPECT_EQ(s.integrated, 11.0);
    EXPECT_EQ(s.true_peak, 44.0);
    testing::internal::CaptureStderr();
    av_log(nullptr, AV_LOG_ERROR, "after a failed measurement\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(MeasurePcm, DebugWritesTheLogFileAndPosition) {
    std::string dir = scratch_dir("measure_debug");
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    setenv("AE_DEBUG", "1", 1);
    std::vector<int16_t> pcm(48000);
    for (int i = 0; i < 48000; i++) pcm[i] = static_cast<int16_t>(3000 * std::sin(2 * M_PI * 440 * i / 48000.0));
    loudness_stats s;
    testing::internal::CaptureStderr();
    int rc = measure_pcm(pcm.data(), 48000, 48000, 1, settings_from_env(), &s);
    std::string err = testing::internal::GetCapturedStderr();
    unsetenv("AE_DEBUG");
    std::string logged(log_capture_text(), log_capture_size());
    FILE* f = std::fopen("ae_debug_log.txt", "rb");
    std::string file;
    if (f) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) file.append(buf, n);
        std::fclose(f);
    }
    ASSERT_EQ(chdir(cwd), 0);
    ASSERT_EQ(rc, 0);
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(file, logged);
    EXPECT_NE(err.find("[AE] logpos=" + std::to_string(log_capture_size()) + "\n"), std::string::npos) << err;
}

TEST(MeasurePcm, SilenceReadsMinus70) {
    std::vector<int16_t> pcm(48000 * 3, 0);
    loudness_stats s;
    ASSERT_EQ(measure_pcm(pcm.data(), 48000 * 3, 48000, 1, settings_from_env(), &s), 0);
    EXPECT_NEAR(s.integrated, -70.0, 0.01);
    EXPECT_TRUE(s.true_peak <= -900.0 || std::isinf(s.true_peak)) << s.true_peak;
}
