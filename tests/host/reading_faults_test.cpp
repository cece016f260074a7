// Faults a user meets, through the real executable: streams that break, stall or cut a picture
// short, frames of a video that cannot be decoded, signals while a stream is waited for, files
// that are no regular files, and the options that used to let contradictions through.
#include <sys/stat.h>

#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <thread>

#include "cli_util.h"
#include "live_util.h"

using cli::run;

namespace {

// Frame i: a flat level that tells its index.
cv::Mat numbered(int i) { return cv::Mat(120, 160, CV_8UC3, cv::Scalar::all(20 + 2 * i)); }

// The frame numbers whose destination images a run wrote into `folder`.
std::vector<int> framesWritten(const fs::path& folder) {
    std::vector<int> frames;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) frames.push_back(std::stoi(e.path().stem().string().substr(4)));
    std::sort(frames.begin(), frames.end());
    return frames;
}

std::vector<int> range(int from, int to, int except = -1) {
    std::vector<int> out;
    for (int i = from; i < to; ++i)
        if (i != except) out.push_back(i);
    return out;
}

// The flaky Motion JPEG server of tests/host, serving 40 numbered pictures with `fault` at `at`.
// The pictures are textured: the first half of one then still decodes (a flat picture's does
// not), so that only the reader's own check keeps a cut picture out.
Server flakyStream(const TempDir& dir, const std::string& fault, int at, double stall = 20) {
    fs::create_directories(dir.path / "jpg");
    for (int i = 0; i < 40; ++i) {
        cv::Mat texture(120, 160, CV_8UC3);
        cv::RNG(uint64_t(i + 1)).fill(texture, cv::RNG::UNIFORM, 0, 60);
        cv::imwrite(dir / cv::format("jpg/%03d.jpg", i), numbered(i) + texture);
    }
    return Server(dir, {"python3", AMBREVO_SOURCE_DIR "/tests/host/flaky_stream.py", dir / "jpg", fault,
                        std::to_string(at), std::to_string(stall)});
}

// An MJPEG video of 40 numbered frames whose frame 10 is no picture at all.
void videoWithAnUndecodableFrame(const TempDir& dir, const std::string& name) {
    {
        cv::VideoWriter out(dir / "whole.avi", cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(160, 120));
        for (int i = 0; i < 40; ++i) out.write(numbered(i));
    }
    std::string bytes = readFile(dir / "whole.avi");
    size_t at = 0;
    for (int picture = 0; picture <= 10; ++picture) at = bytes.find("\xff\xd8\xff", at + 1);
    std::fill_n(bytes.begin() + std::ptrdiff_t(at) + 2, 200, '\0');
    writeFile(dir / name, bytes);
}

// Waits until process `pid` has `file` open (a path, or "socket:" for any socket): it is
// waiting for it then.
void waitUntilOpen(pid_t pid, const std::string& file) {
    const fs::path fds = "/proc/" + std::to_string(pid) + "/fd";
    for (int i = 0; i < 500; ++i, usleep(10000)) {
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator(fds, ec))
            if (const std::string open = fs::read_symlink(fd.path(), ec).string();
                open == file || (file == "socket:" && open.starts_with(file)))
                return;
    }
    ADD_FAILURE() << "process " << pid << " never opened " << file;
}

struct StreamCase {
    std::string fault, options;
    int status;
    std::vector<int> frames;
    std::string meta;  // skipped, status, reason
};

// Runs each case against its own flaky server: the frames processed and what the track file says.
void expectStreamRuns(const std::vector<StreamCase>& cases) {
    for (const StreamCase& c : cases) {
        TempDir dir;
        const Server server = flakyStream(dir, c.fault, 10);
        const double before = steadySeconds();
        Result r = run(dir, server.url() + " --procedure nop --tracks t.csv --dst d --quiet " + c.options);
        const double took = steadySeconds() - before;
        EXPECT_EQ(r.status, c.status) << c.fault << " " << c.options << "\n" << r.err;
        EXPECT_EQ(framesWritten(dir.path / "d"), c.frames) << c.fault << " " << c.options;
        Table t(dir / "t.csv");
        const std::string meta = (t.meta.count("skipped") ? t.meta["skipped"] : "-") + " " + t.meta["status"] + " " +
                                 (t.meta.count("reason") ? t.meta["reason"] : "-");
        std::string want = c.meta;
        if (const size_t url = want.find("URL"); url != std::string::npos) want.replace(url, 3, server.url());
        EXPECT_EQ(meta, want) << c.fault << " " << c.options;
        EXPECT_EQ(t.meta["frames_read"], std::to_string(c.frames.size())) << c.fault;
        // A stall ends the run at its timeout, not later.
        if (c.fault.starts_with("stall")) { EXPECT_LT(took, 5.0) << c.fault; }
    }
}

}  // namespace

// A picture that cannot be decoded is passed by and counted, and the stream read on.
TEST(HostStream, AnUndecodablePictureIsSkippedAndCounted) {
    expectStreamRuns({
        {"none", "", 0, range(0, 40), "- complete -"},
        {"bad", "", 0, range(0, 40, 10), "1 complete -"},
        {"bad", "--strict", 3, range(0, 10),
         "- partial frame 10: cannot be decoded: the decoder refuses its data (--strict stops at such a frame; without "
         "it the frame is skipped and counted)"},
    });
}

// A broken stream is never success: a picture cut short is never processed, and the run ends
// partial with the reason.
TEST(HostStream, ACutOrStalledStreamEndsPartialAndItsCutPictureIsNeverProcessed) {
    expectStreamRuns({
        {"close-inside", "", 3, range(0, 10), "1 partial frame 11: stream 'URL' ended inside a picture"},
        {"stall-inside", "--timeout 0.5", 3, range(0, 10),
         "1 partial frame 11: stream 'URL' stalled inside a picture: nothing came for 0.5 s (--timeout SECONDS waits "
         "longer)"},
        {"stall", "--timeout 0.5", 3, range(0, 10),
         "- partial frame 10: stream 'URL' stalled: nothing came for 0.5 s (--timeout SECONDS waits longer)"},
    });
}

// With --reconnect the stream is opened again and the gap counted; without, a stall that the
// user ends with SIGTERM ends the run within a second, the frames so far written.
TEST(HostStream, ReconnectCountsTheGapAndSigtermEndsAStallAtOnce) {
    TempDir dir;
    {
        const Server server = flakyStream(dir, "once-close", 10);
        RUN_OK(r, dir, server.url() + " --procedure nop --reconnect --frames 30 --tracks t.csv --quiet");
        Table t(dir / "t.csv");
        EXPECT_EQ(t.values({"frames_read", "gaps", "status"}), "30 1 complete");
    }
    const Server stalled = flakyStream(dir, "stall", 10, 30);
    const pid_t pid = cli::start(dir, stalled.url() + " --procedure nop --tracks s.csv --dst d --quiet");
    // The ten pictures before the stall are processed at once; then the run waits.
    const std::string dst = dir / "d/dst_000009.png";
    for (int i = 0; i < 250 && !fs::exists(dst); ++i) usleep(20000);
    usleep(300000);
    const auto [status, took] = cli::stopAndWait(pid, SIGTERM);
    EXPECT_EQ(status, 143);
    // Measured 0.1 to 0.2 s; the slack is for a loaded machine.
    EXPECT_LT(took, 1.5);
    EXPECT_EQ(Table(dir / "s.csv").values({"frames_read", "status", "reason"}),
              "10 partial stopped by SIGTERM after 10 frames; the outputs hold them");
    // Waiting for the first picture.
    const Server silent = flakyStream(dir, "stall", 0, 30);
    const pid_t first = cli::start(dir, silent.url() + " --quiet");
    waitUntilOpen(first, "socket:");
    usleep(200000);
    EXPECT_EQ(cli::stopAndWait(first, SIGTERM).first, 143);
    EXPECT_EQ(readFile(dir / ".err.txt"), "ambrevo: stopped by SIGTERM after 0 frames; nothing was written\n");
}

// A frame of a video file that cannot be decoded is passed by and counted, and the run goes on;
// OpenCV's reader and the decoder's luma (crowd on grey frames) pass by the same frame.
// --strict stops at it.
TEST(HostInput, AnUndecodableFrameIsSkippedAndCountedByBothReaders) {
    TempDir dir;
    videoWithAnUndecodableFrame(dir, "bad.avi");
    for (const std::string reader : {"--procedure nop", "--procedure nop --threads 1", "--procedure crowd --grey"}) {
        Result r = run(dir, "bad.avi " + reader + " --tracks t.json --dst d --quiet");
        EXPECT_EQ(r.status, 0) << reader << "\n" << r.err;
        EXPECT_HOLDS(r.err, "ambrevo: passed by 1 frame of 'bad.avi' that could not be decoded (the first: frame 10)");
        EXPECT_EQ(framesWritten(dir.path / "d"), range(0, 40, 10)) << reader;
        const std::string json = readFile(dir / "t.json");
        EXPECT_HOLDS(json, "\"frames_read\": 39, \"skipped\": 1, \"frames_expected\": 40, \"frames_in_input\": 40, "
                           "\"status\": \"complete\"") << reader;
        fs::remove_all(dir.path / "d");
        Result strict = run(dir, "bad.avi " + reader + " --strict --tracks t.csv --quiet");
        EXPECT_EQ(strict.status, 3) << reader;
        EXPECT_EQ(Table(dir / "t.csv").values({"frames_read", "status"}), "10 partial") << reader;
        EXPECT_EQ(strict.err.rfind("ambrevo: frame 10: cannot be decoded", 0), 0u) << strict.err;
    }
    // An ordinary run says nothing of skipping.
    RUN_OK(whole, dir, "whole.avi --procedure nop --tracks w.csv --quiet");
    EXPECT_EQ(readFile(dir / "w.csv").find("skipped"), std::string::npos);
    // An image of a sequence is passed by alike; a lone image that cannot be decoded is no input.
    fs::create_directory(dir / "seq");
    for (int i = 0; i < 3; ++i) cv::imwrite(dir / cv::format("seq/%d.png", i), numbered(i));
    writeFile(dir / "seq/1.png", "not a picture");
    RUN_OK(sequence, dir, "seq --procedure nop --tracks s.csv --dst sd --quiet");
    EXPECT_EQ(framesWritten(dir.path / "sd"), (std::vector<int>{0, 2}));
    EXPECT_EQ(Table(dir / "s.csv").values({"frames_read", "skipped", "status"}), "2 1 complete");
    EXPECT_EQ(run(dir, "seq/1.png --quiet").err, "ambrevo: cannot decode image 'seq/1.png'\n");
}

// A pipe given as a file of the program's is read whole when its writer comes, and left at
// once at a signal when it does not.
TEST(HostSpecialFiles, APipeIsReadWholeOrLeftAtASignal) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    std::thread writer([&] { std::ofstream(dir / "pipe") << "\n0 1 1 2 3\n"; });
    RUN_OK(piped, dir, "--config pipe --frames 2 --tracks t.csv --quiet");
    writer.join();
    EXPECT_EQ(Table(dir / "t.csv").perFrame(2), (std::vector<int>{3, 3}));
    for (const std::string option : {"--settings", "--config"}) {
        const pid_t pid = cli::start(dir, option + " pipe --frames 1 --quiet");
        waitUntilOpen(pid, dir / "pipe");
        const auto [status, seconds] = cli::stopAndWait(pid, SIGTERM);
        EXPECT_LT(seconds, 1.5) << option;
        EXPECT_EQ(status, 143) << option;
        EXPECT_EQ(readFile(dir / ".err.txt"), "ambrevo: cannot read " + option + " 'pipe': stopped by SIGTERM\n");
    }
}

// Options that contradicted each other or could not be said: the count of animals given twice
// alike (refused when it disagrees, with the program's other refusals), settings that agree
// only together, and an input named like an option.
TEST(HostOptions, CountsGivenTwiceSettingsTogetherAndInputsAfterTwoDashes) {
    TempDir dir;
    RUN_OK(same, dir, "--procedure crowd --animals 24 --set animals=24 --params");
    // minArea above the maxArea of the first --set, below that of the second.
    RUN_OK(together, dir, "--procedure crowd --set maxArea=500 --set minArea=600 --set maxArea=1000 --params");
    for (const char* line : {"\nminArea      600 ", "\nmaxArea      1000 "})
        EXPECT_NE(together.out.find(line), std::string::npos) << together.out;

    RUN_OK(clip, dir, "demo --procedure nop --frames 3 -o -dash.avi --quiet");
    RUN_OK(dashed, dir, "--procedure nop --tracks t.csv --quiet -- -dash.avi");
    EXPECT_EQ(Table(dir / "t.csv").values({"source", "frames_read"}), "-dash.avi 3");
    RUN_OK(batch, dir, "--procedure nop --out-dir out --quiet -- -dash.avi");
    EXPECT_EQ(Table(dir / "out/-dash.csv").values({"source", "frames_read"}), "-dash.avi 3");
    EXPECT_EQ(run(dir, "--procedure nop -dash.avi").err, "ambrevo: unknown option '-dash.avi' (see --help)\n");
}

// Whatever the procedure, a run whose outputs take objects and that found none says so.
TEST(HostNotices, ARunThatFindsNothingSaysSoWhateverItsProcedure) {
    TempDir dir;
    fs::create_directory(dir / "empty");
    for (int i = 0; i < 3; ++i) cv::imwrite(dir / cv::format("empty/%d.png", i), numbered(40));
    RUN_OK(crowd, dir, "empty --procedure crowd --tracks t.csv --quiet");
    // In the procedure's own words where it counted why.
    EXPECT_EQ(crowd.err.rfind("ambrevo: no objects were found on any of the 3 frames (160x120); 3 frames ", 0), 0u)
        << crowd.err;
    EXPECT_NE(crowd.err.find("check polarity"), std::string::npos) << crowd.err;
    // Otherwise from the settings it has.
    RUN_OK(flow, dir, "empty --procedure ccTrack --tracks t.csv --quiet");
    EXPECT_EQ(flow.err, "ambrevo: no objects were found on any of the 3 frames (160x120); --params lists the settings "
                        "of 'ccTrack' that decide what it finds, and --roi leaves out what is not the arena\n");
    // The pass-through procedure has no settings to try, and nothing to say.
    RUN_OK(nop, dir, "empty --procedure nop --tracks t.csv --quiet");
    EXPECT_EQ(nop.err, "");
}
