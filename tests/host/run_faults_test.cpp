// The pipeline under faults, through its own interfaces: a stop asked while the outputs close,
// the run's time over every phase, the frames of a stream as OpenCV's reader gives them, and
// the program's reader of small files.
#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/sources/frame_source.h"
#include "cli_util.h"
#include "core/input_file.h"
#include "live_util.h"
#include "options_util.h"
#include "run/run.h"

namespace {

// An output that takes every frame and, on closing, does what the test asks.
class ClosingSink final : public Sink {
public:
    explicit ClosingSink(std::function<void()> onClose) : onClose_(std::move(onClose)) {}
    SinkNeeds needs() const override { return {}; }
    Outcome open(const RunContext&) override { return {}; }
    Outcome frame(const FrameResult&) override { return {}; }
    Outcome close(const RunRecord&) override { return onClose_(), Outcome(); }
    void discard() override {}
    int closeOrder() const override { return -100; }  // before every other output

private:
    std::function<void()> onClose_;
};

class SignalObserver final : public RunObserver {
public:
    std::atomic<int> signal{0};
    int stopRequested() override { return signal; }
};

}  // namespace

// A signal that comes while the outputs close ends the run with its status, and the outputs
// closed after it say partial and why; the run's time counts the closing too.
TEST(RunStop, ASignalWhileTheOutputsCloseMarksThemPartial) {
    TempDir dir;
    Module module;
    ASSERT_TRUE(module.load(AMBREVO_MODULE_PATH));
    const Options o = options({"demo", "--frames", "8", "--tracks", dir / "t.csv", "--quiet"});
    const SettingsFile saved;
    for (const bool signalled : {false, true}) {
        SignalObserver observer;
        ::Run run(module, o, saved, observer);
        run.addSink(std::make_unique<ClosingSink>([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(400));
            if (signalled) observer.signal = SIGTERM;
        }));
        const Outcome done = run.run();
        EXPECT_EQ(done ? std::string() : errorName(done.error().kind), signalled ? "terminated" : "");
        EXPECT_GE(run.seconds(), 0.4);
        Table t(dir / "t.csv");
        EXPECT_EQ(t.meta["frames_read"], "8");
        EXPECT_EQ(t.meta["status"], signalled ? "partial" : "complete");
        if (signalled) { EXPECT_EQ(t.meta["reason"], "stopped by SIGTERM after 8 frames; the outputs hold them"); }
    }
}

// Frames of a video served over HTTP are those OpenCV's reader gives of the file, pixel for
// pixel and with the same times, at a width whose rows need padding.
TEST(NetworkStream, FramesOverHttpAreOpenCVsPixelForPixel) {
    TempDir dir;
    for (const char* fourcc : {"MJPG", "mp4v"}) {
        {
            cv::VideoWriter out(dir / "clip.avi", cv::VideoWriter::fourcc(fourcc[0], fourcc[1], fourcc[2], fourcc[3]),
                                25, cv::Size(162, 118));
            cv::Mat frame(118, 162, CV_8UC3);
            for (int i = 0; i < 12; ++i) out.write((cv::randu(frame, 0, 255), frame));
        }
        const Server server(dir, {"python3", "-u", "-m", "http.server", "0", "-b", "127.0.0.1", "-d", dir.path.string()});
        Expected<std::unique_ptr<FrameSource>> opened = openSource(server.url("clip.avi"));
        ASSERT_TRUE(opened) << opened.error().message;
        FrameSource* stream = opened->get();
        FrameSource::Result read = FrameSource::Read{FrameSource::Read::frame};
        cv::VideoCapture file(dir / "clip.avi", cv::CAP_FFMPEG);
        EXPECT_EQ(stream->total(), 12) << fourcc;
        int frames = 0;
        for (cv::Mat got, want; isFrame(read = stream->read(got)); ++frames) {
            ASSERT_TRUE(file.read(want)) << fourcc << frames;
            ASSERT_EQ(got.size(), want.size()) << fourcc;
            EXPECT_EQ(cv::norm(got, want, cv::NORM_INF), 0.0) << fourcc << " frame " << frames;
            EXPECT_EQ(stream->time(), file.get(cv::CAP_PROP_POS_MSEC) / 1000) << fourcc << " frame " << frames;
        }
        EXPECT_EQ(frames, 12) << fourcc << " " << (read ? read->note : read.error().message);
    }
}

// A named pipe is a stream: read until its writer closes it, and waited for no longer than
// the timeout, nor past a stop, when its writer is slow to come or stops sending.
TEST(NetworkStream, ANamedPipeIsWaitedForNoLongerThanAllowed) {
    TempDir dir;
    const std::string pipe = dir / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    // Y4M: a header, then each frame's planes; five frames, then (kept open) nothing.
    auto writeFrames = [&](int frames, double thenWait) {
        std::ofstream out(pipe, std::ios::binary);
        out << "YUV4MPEG2 W32 H16 F25:1 C420jpeg\n";
        for (int i = 0; i < frames; ++i) out << "FRAME\n" << std::string(32 * 16 * 3 / 2, char(16 + 20 * i)) << std::flush;
        std::this_thread::sleep_for(std::chrono::duration<double>(thenWait));
    };
    for (const double stall : {0.0, 1.5}) {
        std::thread writer(writeFrames, 5, stall);
        Expected<std::unique_ptr<FrameSource>> source = openSource(pipe, false, {0.5, false, StopToken()});
        ASSERT_TRUE(source) << source.error().message;
        int frames = 0;
        cv::Mat m;
        FrameSource::Result got = FrameSource::Read{FrameSource::Read::frame};
        const double before = steadySeconds();
        while (isFrame(got = (*source)->read(m))) ++frames;
        EXPECT_EQ(frames, 5);
        EXPECT_EQ(failure(got), stall == 0 ? "" : "named pipe '" + pipe + "' stalled: nothing came for 0.5 s (--timeout "
                                                      "SECONDS waits longer)");
        EXPECT_TRUE(got ? got->kind == FrameSource::Read::end : got.error().kind == RunError::input);
        EXPECT_TRUE(stall == 0 || steadySeconds() - before < 2.0) << steadySeconds() - before << " s";
        source->reset();
        writer.join();
    }
    // No writer at all: a stop ends the wait at once.
    std::atomic<int> stop{0};
    std::thread stopper([&] { std::this_thread::sleep_for(std::chrono::milliseconds(300)), stop = SIGINT; });
    const double before = steadySeconds();
    const std::string stopped = failure(openSource(pipe, false, {30, false, StopToken(stop)}));
    EXPECT_LT(steadySeconds() - before, 1.3);
    EXPECT_EQ(stopped, "cannot open named pipe '" + pipe + "': its writer sent nothing: stopped by SIGINT");
    stopper.join();
}

// The reader of the program's small files: whole for a regular file within the limit, else
// refused with the cause and nothing read.
TEST(FileArgument, ReadWholeWithinItsLimitElseRefusedWithTheCause) {
    TempDir dir;
    writeFile(dir / "small", "0123456789");
    const FileArgument what{"--x", "an x file", 10};
    // The reason a read was refused; empty when it was not.
    auto refusal = [&](const std::string& file) { return failure(readFileArgument(file, what)); };
    const Expected<std::string> small = readFileArgument(dir / "small", what);
    ASSERT_TRUE(small);
    EXPECT_EQ(*small, "0123456789");
    writeFile(dir / "large", "0123456789A");
    EXPECT_EQ(refusal(dir / "large"),
              "--x '" + dir / "large" + "' is larger than 10 bytes, not an x file; give a file of at most 10 bytes");
    EXPECT_EQ(refusal(dir / "missing"), "cannot read --x file '" + dir / "missing" + "'");
    EXPECT_EQ(nonRegularKind(dir / "small"), "");
    EXPECT_EQ(nonRegularKind(dir.path.string()), "a folder");
    EXPECT_EQ(nonRegularKind("/dev/null"), "a device");
    // A pipe's writer that sends more than the limit is cut off, not read to its end.
    std::signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    std::thread writer([&] {
        const int fd = ::open((dir / "pipe").c_str(), O_WRONLY);
        for (int i = 0; i < 100 && ::write(fd, "0123456789", 10) == 10; ++i) {
        }
        ::close(fd);
    });
    EXPECT_EQ(refusal(dir / "pipe"), "cannot read --x '" + dir / "pipe" + "': it holds more than 10 bytes");
    writer.join();
}

// A pipe read line by line (ambrevo score's files) is given up, with the cause, when its
// writer never comes or falls silent for longer than allowed.
TEST(FileArgument, APipeReadByLinesIsGivenUpWhenItsWriterFallsSilent) {
    TempDir dir;
    const std::string pipe = dir / "pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    for (const bool writes : {false, true}) {
        std::thread writer;
        if (writes)
            writer = std::thread([&] {
                const int fd = ::open(pipe.c_str(), O_WRONLY);
                EXPECT_EQ(::write(fd, "frame\n", 6), 6);
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                ::close(fd);
            });
        InputFile in;
        std::string line;
        ASSERT_TRUE(in.open(pipe, "track file", StopToken(), 0.3));
        const double before = steadySeconds();
        EXPECT_TRUE(!writes || (in.line(line) && line == "frame")) << line;
        EXPECT_EQ(thrownAs<InputFile::Silent>([&] { in.line(line); }),
                  "cannot read track file '" + pipe +
                      "': its writer sent nothing for 0.3 s (start the writer first, or give a regular file)");
        EXPECT_LT(steadySeconds() - before, 1.2) << writes;
        if (writer.joinable()) writer.join();
    }
}
