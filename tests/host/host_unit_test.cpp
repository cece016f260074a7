// The host's own pieces: command line, palette and painting, image records, the scene
// and its scoring, the track files, the settings files.

#include <climits>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/module/settings.h"
#include "ambrevo/pipeline/sinks/video.h"
#include "ambrevo/pipeline/sources/frame_source.h"
#include "cli_util.h"
#include "module/console.h"
#include "module/overlay.h"
#include "options_util.h"
#include "run/run.h"
#include "sinks/sinks.h"
#include "sinks/track_file.h"
#include "sources/demo_score.h"

namespace {

ip_objectRecord object(int index, int x, int y) {
    ip_objectRecord r{};
    r.index = index, r.x = x, r.y = y;
    return r;
}

}  // namespace

// What the options take is for the command-line runs to show; here, what they refuse.
TEST(HostOptions, RefusesMalformedValuesAndClicks) {
    Options o;
    std::string error;
    ClickOption c{};
    for (const char* bad : {"", "1:2", "1:2:3:4", "a:1:2", "1::2", "-1:2:3", "1:2:+3", "1: 2:3", "99999999999999999999:1:1"})
        EXPECT_FALSE(parseClick(bad, c)) << bad;
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--show=1"}, {"--tracks", "t.txt"}, {"--frames", "-3"}, {"-o", ""}, {"--timeout", "0"},
             {"--timeout", "86401"}, {"--start-pass", "0"}, {"--start-pass", "5,"}, {"--start-pass", "on"}})
        EXPECT_FALSE(parseWords(bad, o, error)) << bad[0];
}

// The command line written back for a configuration asks for the same run; after "--" every
// argument is an input, and the line says so; the default timeout is not written.
TEST(HostOptions, ACommandLineWrittenBackReadsAsTheSameOptions) {
    const Options dashes = options({"--timeout", "2.5", "--strict", "--", "-dash.avi", "--out-dir"});
    EXPECT_EQ(dashes.inputs, (std::vector<std::string>{"-dash.avi", "--out-dir"}));
    EXPECT_TRUE(dashes.outDir.empty() && dashes.strict && dashes.timeout == 2.5);
    EXPECT_EQ(commandLine(dashes), "ambrevo --strict --timeout 2.5 -- -dash.avi --out-dir");
    EXPECT_EQ(commandLine(options({"--timeout", "10", "clip.avi"})), "ambrevo clip.avi");
    const Options o = options({"my clip.mp4", "--set", "BinThreshold=90", "--roi", "rect:1,2,30,40", "--roi",
                               "circle:50,50,20", "--animals", "2,3", "--start-pass", "50", "--scale=2.5", "--unit",
                               "mm", "--link", "15,5,predict", "--click", "3:10:20", "--start", "4", "--grey",
                               "--tracks", "it's.csv", "--threads", "1"});
    EXPECT_EQ(commandLine(o), "ambrevo 'my clip.mp4' --set BinThreshold=90 --click 3:10:20 --start 4 --grey --roi "
                              "rect:1,2,30,40 --roi circle:50,50,20 --animals 2,3 --start-pass 50,50 --scale 2.5 "
                              "--unit mm --link 15,5,predict --tracks 'it'\\''s.csv' --threads 1");
    for (const Options* given : {&dashes, &o}) expectWrittenBackAlike(*given);
}

// Frames too large for the start pass's memory shorten both of its parts alike, down to none;
// and what the backward instance saw comes out as a forward run tells it.
TEST(HostStartPass, FitsItsMemoryAndTurnsObjectsForward) {
    EXPECT_EQ(fittedSpan({75, 75}, 640 * 480 * 3).replaced, 75);
    const StartSpan large = fittedSpan({75, 25}, 1920 * 1080 * 4);
    EXPECT_LE((large.replaced + large.warmUp) * 1920 * 1080 * 4, startPassBytes);
    EXPECT_EQ(large.replaced, 3 * large.warmUp);
    EXPECT_EQ(fittedSpan({75, 75}, startPassBytes / 10).replaced, 0);
    EXPECT_EQ(fittedSpan({0, 75}, 1).replaced, 0);

    // A body bent at its middle, the end it moved towards (backwards in time) first.
    ObjectPosture bent;
    bent.head = 1, bent.heading = 0;
    for (int k = 0; k < ObjectPosture::points; ++k) {
        bent.midline[size_t(2 * k)] = float(k < 5 ? 10 - k : 5);
        bent.midline[size_t(2 * k + 1)] = float(k < 5 ? 0 : k - 5);
        bent.grey[size_t(k)] = float(k);
    }
    ip_objectRecord o = object(1, 5, 0);
    o.vx = 1.5f, o.vy = -0.5f;
    turnForward(o, &bent);
    EXPECT_TRUE(o.vx == -1.5f && o.vy == 0.5f);
    EXPECT_TRUE(bent.midline[0] == 5 && bent.midline[1] == 5 && bent.midline[20] == 10 && bent.grey[0] == 10);
    EXPECT_NEAR(bent.heading, M_PI / 2, 1e-4);  // along the head's own part, not the tail's turned round
    ObjectPosture moving;
    moving.head = 0, moving.heading = 3;
    moving.midline[0] = 7;
    turnForward(o, &moving);
    EXPECT_NEAR(moving.heading, 3 - M_PI, 1e-4);
    EXPECT_EQ(moving.midline[0], 7);
}

TEST(HostOverlay, CommandsArePaintedSafely) {
    paletteColour(INT_MIN), paletteColour(INT_MAX);  // no overflow in the period arithmetic

    HostOverlay overlay;
    const ambrevo_point pts[3] = {{1, 2}, {30, 4}, {50, 40}}, far[2] = {{-2000000000, 5}, {2000000000, 5}}, at{5, 0};
    const ambrevo_draw drawn[] = {{AMBREVO_DRAW_POINT, 1, 0, 0, "gone", pts, 1},
                                  {AMBREVO_DRAW_CLEAR, 0, 0, 0, "", nullptr, 0},
                                  {AMBREVO_DRAW_POLYLINE, 0, 0, 0, "", nullptr, 0},
                                  {AMBREVO_DRAW_POLYLINE, 3, 1, 0, "0:3", pts, 3},
                                  {AMBREVO_DRAW_LINE, -6, 0, 2, "", far, 2},
                                  {AMBREVO_DRAW_TEXT, 0, 4, 0, " 12: 40", &at, 1},
                                  {AMBREVO_DRAW_POINT, -8, 1, 0, "p", &at, 1}};
    for (const ambrevo_draw& d : drawn) HostOverlay::draw(&overlay, &d);
    const auto& cmd = overlay.commands();
    ASSERT_EQ(cmd.size(), 5u);
    EXPECT_TRUE(cmd[0].points.empty() && cmd[1].points.size() == 3 && cmd[1].label == "0:3" && cmd[2].style == 2);
    const cv::Mat blank(60, 80, CV_8UC3, cv::Scalar(200, 200, 200));
    cv::Mat all = blank.clone();
    renderCommands(all, cmd);
    EXPECT_GT(cv::norm(all, blank, cv::NORM_L1), 0.0);
    int a = 0, b = 0;
    EXPECT_FALSE(overlay.takeAcknowledge(a, b));
    const ambrevo_draw taken{AMBREVO_DRAW_ACKNOWLEDGE, 0, 25, 500, "", nullptr, 0};
    HostOverlay::draw(&overlay, &taken);
    EXPECT_TRUE(overlay.takeAcknowledge(a, b) && a == 25 && b == 500);
    EXPECT_FALSE(overlay.takeAcknowledge(a, b));
}

TEST(HostImages, RecordsBecomePicturesRowByRow) {
    // 16-bit words, 3 a row and 2 bytes of padding, 2 rows. Pixels of bytes are copied as the
    // nop runs show, byte for byte.
    std::vector<uint8_t> bytes(32);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i);
    ip_dibWords two{2, 8, 3, 2, bytes.data()};
    const cv::Mat words = dibToExact(&two), shown = dibToBgr(&two);
    ASSERT_TRUE(words.type() == CV_16UC1 && shown.type() == CV_8UC3);
    EXPECT_EQ(words.at<uint16_t>(1, 0), uint16_t(8 | 9 << 8));
    EXPECT_EQ(shown.at<cv::Vec3b>(1, 0)[0], uint8_t((2312 + 32) / 64));
    // Unusable records: no pixels, rows shorter than their pixels, an unknown pixel size.
    ip_dibWords noBits{1, 3, 3, 2, nullptr}, shortRows{3, 8, 3, 2, bytes.data()}, badSize{5, 16, 3, 2, bytes.data()};
    for (const ip_dibWords* bad : {&noBits, &shortRows, &badSize}) EXPECT_TRUE(dibToExact(bad).empty());
    EXPECT_TRUE(dibToBgr(nullptr).empty());
}

// The scoring binds discs to objects once all are found. (Where the scene's discs are, and that
// its frames repeat, is for the demo runs to show.)
TEST(HostDemoScore, BindsDiscsToObjectsOnceAllAreFound) {
    std::vector<DemoDisc> truth = {{10, 10}, {100, 10}, {10, 100}};
    // Reported in another order than the discs.
    std::vector<ip_objectRecord> found = {object(0, 101, 11), object(1, 9, 99), object(2, 11, 10)};
    EXPECT_EQ(bestMatch(truth, found), (std::vector<int>{2, 0, 1}));
    DemoScore score;
    score.frame(truth, {object(0, 101, 11)});  // not every disc found: not bound yet
    EXPECT_EQ(score.samples(), 0);
    score.frame(truth, found);
    EXPECT_EQ(score.trackedFrames(), 1);
    EXPECT_NEAR(score.meanError(), (2 * std::sqrt(2.0) + 1) / 3, 1e-9);
    score.frame(truth, {object(0, 11, 10), object(1, 9, 99), object(2, 101, 11)});  // objects 0 and 2 swap discs
    score.frame(truth, {object(0, 101, 11), object(2, 11, 10)});                    // object 1 vanishes
    EXPECT_TRUE(score.frames() == 4 && score.trackedFrames() == 1 && score.maxError() > 80.0);
}

// The track files byte for byte; a dropped file leaves the one there before and no temporary.
TEST(HostFiles, TrackFilesAndSequencesAndTheProfileTable) {
    TempDir dir;
    RunRecord record;
    record.source = "a\nb.avi", record.procedure = "ccTrack", record.start = 3, record.width = 64, record.height = 48;
    record.framesRead = 1, record.expected = 5, record.complete = false, record.reason = "stopped \"here\"";
    TrackFileSink empty(dir / "e.json"), cc(dir / "c.csv"), odd(dir / "n.json"), dropped(dir / "c.csv");
    ProcedureTraits areas, motion;
    areas.name = "flowtrack", areas.motion = false;
    motion.name = "ccTrack", motion.area = false;
    ASSERT_TRUE(empty.open(areas, {}) && empty.close(record));
    EXPECT_EQ(readFile(dir / "e.json"),
              "{\"procedure\": \"flowtrack\", \"frames\": [],\n \"meta\": {\"source\": \"a\\nb.avi\", "
              "\"procedure\": \"flowtrack\", \"frame_size\": [64, 48], \"pixels\": \"bgr\", \"first_frame\": 3, "
              "\"frames_read\": 1, \"frames_expected\": 5, \"frames_in_input\": null, \"status\": \"partial\", "
              "\"reason\": \"stopped \\\"here\\\"\"}}\n");
    ASSERT_TRUE(cc.open(motion, {}));
    ip_objectRecord r = object(4, 7, 42);
    r.vx = 1.5f, r.vy = -0.25f, r.pointCount = 57, r.appearances = 6, r.selected = 1;
    ASSERT_TRUE(cc.frame(3, std::vector{r}, {}));
    EXPECT_FALSE(fs::exists(dir / "c.csv")) << "the rows wait under a temporary name";
    ASSERT_TRUE(cc.close(record));
    const std::string csv = "# ambrevo track file\n# source: a?b.avi\n# procedure: ccTrack\n# frame_size: 64x48\n"
                            "# pixels: bgr\n# first_frame: 3\n# frames_read: 1\n# frames_expected: 5\n"
                            "# frames_in_input: unknown\n# status: partial\n# reason: stopped \"here\"\n"
                            "frame,object,x,y,vx,vy,points,appearances,selected\n3,4,7,42,1.5,-0.25,57,6,1\n";
    EXPECT_EQ(readFile(dir / "c.csv"), csv);
    // Numbers that are not finite are missing values: JSON readers refuse NaN.
    ASSERT_TRUE(odd.open(motion, {}));
    r.vx = std::nanf(""), r.vy = INFINITY;
    ASSERT_TRUE(odd.frame(0, std::vector{r}, {}));
    ASSERT_TRUE(odd.close(record));
    EXPECT_NE(readFile(dir / "n.json").find("\"vx\": null, \"vy\": null"), std::string::npos) << readFile(dir / "n.json");
    ASSERT_TRUE(dropped.open(motion, {}));
    ASSERT_TRUE(dropped.frame(0, std::vector{r}, {}));
    dropped.discard();
    EXPECT_EQ(readFile(dir / "c.csv"), csv);
    for (const auto& e : fs::directory_iterator(dir.path)) EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    PendingFile folder;
    EXPECT_EQ(failure(folder.create(dir.path.string(), "video")), "cannot write video '" + dir.path.string() + "': it is a folder");
    EXPECT_EQ(pendingName("out/v.mp4"), "out/.v.mp4.part-" + std::to_string(::getpid()) + ".mp4");

    EXPECT_NE(failure(openSource(dir / "s%d%d.png")).find("malformed image sequence pattern"), std::string::npos);

    Summary s = summarise({4, 1, 3, 2});
    EXPECT_EQ(std::vector<double>({s.mean, s.median, s.p95, s.max}), std::vector<double>({2.5, 2.5, 4, 4}));
    HostProfiler profiler;
    profiler.report("copying", 1000.0);
    profiler.frameTime(2000.0);
    std::ostringstream table;
    profiler.print(table);
    EXPECT_HOLDS(table.str(), "copying                 1000.000  1000.000  1000.000  1000.000   50.0%");
}

// A video whose index cannot be written at the end (someone else took the disk meanwhile)
// is told and dropped; the file that was there before stays.
TEST(HostFiles, AVideoWhoseEndCannotBeWrittenIsDroppedAndTheEarlierFileKept) {
    TempDir dir;
    if (std::system(("mount -t tmpfs -o size=256k tmpfs '" + dir.path.string() + "' 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a small file system here (needs root)";
    struct Unmount { std::string command; ~Unmount() { std::system(command.c_str()); } } unmount{"umount '" + dir.path.string() + "'"};
    const std::string target = dir / "v.mp4";
    writeFile(target, "earlier\n");
    VideoSink video(target);
    ASSERT_TRUE(video.probe());
    // Enough frames that the container's index needs pages of its own.
    for (int i = 0; i < 2000 && video.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar(10, 120, 240)), 25.0);) ++i;
    std::ofstream filler(dir / "filler", std::ios::binary);
    for (const std::string block(4096, 'x'); filler.write(block.data(), 4096) && filler.flush();) {
    }
    EXPECT_EQ(failure(video.finish()), "cannot write video '" + target + "': the finished file does not hold the 2000 frames written (is the disk full?)");
    EXPECT_EQ(readFile(target), "earlier\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2) << "a temporary is left";
}

// Settings files: what --settings-out writes reads back, with the values' exact text;
// anything else is refused with where it went wrong.
TEST(HostSettings, FilesReadBackAndMalformedOnesAreRefused) {
    const std::vector<SettingInfo> settings = {{"BinThreshold", 0, 0, 255, 120, 97, "grey level"},
                                               {"drawsAim", 1, 0, 1, 0, 1, "aim"},
                                               {"Rate", 2, 0, 1, 0.5, 0.1, "a \"real\" one"}};
    const std::string text = settingsJson("1.2.3", "flowtrack", settings);
    TempDir dir;
    const std::string file = dir / "settings.json";
    const std::vector<std::pair<std::string, std::string>> cases = {
        // the text, and its error (empty: read); which syntax error the JSON reader names is its
        // own business: here that its words and where (line and column) reach the refusal
        {text, ""},
        {"{\"procedure\": \"flowtrack\", \"extra\": [1, {\"a\": \"}\"}], \"settings\": {\"BinThreshold\": 97, "
         "\"drawsAim\": true, \"Rate\": 0.1}, \"module_version\": \"1.2.3\"}",
         ""},
        {"", "parse error at line 1, column 1: syntax error while parsing value - unexpected end of input"},
        {"{\"procedure\": \"flowtrack\"}", "no \"procedure\" or no \"settings\""},
        {text + "x", "parse error at line 8, column 1: syntax error while parsing value - invalid literal"},
        {"{\"procedure\": \"flowtrack\", \"settings\": {\"Rate\": [1]}}",
         "setting \"Rate\" is no number, true, false or string"},
        {"{\"procedure\": 3, \"settings\": {}}", "\"procedure\" is no string"},
        {"{\"procedure\": \"crowd\", \"settings\": {}, \"animals\": [2, 0]}", "expected a positive count"},
    };
    for (const auto& [given, refusal] : cases) {
        std::ofstream(file, std::ios::binary) << given;
        SettingsFile read;
        std::string values;
        const std::string why = failure(readSettingsFile(file, read));
        EXPECT_EQ(why.empty(), refusal.empty()) << given << ": " << why;
        if (!refusal.empty()) {
            EXPECT_EQ(why.rfind("malformed --settings file '" + file + "': " + refusal, 0), 0u) << why;
            continue;
        }
        for (const auto& v : read.values) values += v.name + "=" + v.value + " ";
        EXPECT_EQ(read.version + " " + read.procedure + " " + values, "1.2.3 flowtrack BinThreshold=97 drawsAim=1 Rate=0.1 ");
    }
    std::ofstream(file, std::ios::binary) << settingsJson("v\x1f", "flowtrack", settings);  // written as \u001f
    SettingsFile escaped;
    EXPECT_TRUE(readSettingsFile(file, escaped) && escaped.version == "v\x1f") << escaped.version;
    // Escapes as any JSON writer may give them; the set-up the app saves read back whole.
    std::ofstream(file, std::ios::binary) << "{\"module_version\": \"v\\u0041\\u00e9\", \"procedure\": \"crowd\", "
                                             "\"settings\": {\"Rate\": 1e-1}, \"unit\": \"\\u00b5m\"}";
    EXPECT_TRUE(readSettingsFile(file, escaped));
    EXPECT_EQ(escaped.version + " " + escaped.unit + " " + escaped.values.at(0).value, "vA\xc3\xa9 \xc2\xb5m 0.1");
    SettingsFile setUp{"1.2",  "crowd", {{"Rate", "0.25"}}, {"rect:1,2,3,4", "circle:5,6,7"},
                       {3, 4}, 2.5,     "mm, \"wet\"\t\\",  "15,5,predict"};
    std::ofstream(file, std::ios::binary) << settingsFileJson(setUp);
    SettingsFile again;
    ASSERT_TRUE(readSettingsFile(file, again));
    EXPECT_TRUE(again.arenas == setUp.arenas && again.animals == setUp.animals && again.scale == 2.5 &&
                again.unit == setUp.unit && again.link == setUp.link && again.values.at(0).value == "0.25")
        << readFile(file);
}

namespace {

// Keeps what every output was handed: the run's columns and rate, each frame's result (its
// own copy) and the record it was closed with.
struct Recorder final : Sink {
    struct Frame {
        int64_t frame;
        std::vector<ip_objectRecord> rows;
        std::vector<RowPlace> places;
        cv::Mat exact, annotated;
    };
    std::vector<TrackColumn> columns;
    double fps = 0;
    std::vector<Frame> frames;
    RunRecord record;
    SinkNeeds needs() const override { return {true, true, true, false, false}; }
    Outcome open(const RunContext& run) override {
        columns = run.trackColumns, fps = run.fps;
        return {};
    }
    Outcome frame(const FrameResult& r) override {
        frames.push_back({r.frame, {r.rows.begin(), r.rows.end()}, {r.places.begin(), r.places.end()}, r.exact.clone(),
                          r.annotated.clone()});
        return {};
    }
    Outcome close(const RunRecord& r) override { return record = r, Outcome(); }
    void discard() override {}
};

}  // namespace

// The outputs see a run only through their interface: the results of a recorded run handed to
// fresh ones give the run's own files byte for byte, and closed as partial they say why.
TEST(Sinks, ARecordedRunReplayedGivesTheRunsFilesAndAPartialCloseSaysWhy) {
    TempDir dir;
    auto outputs = [&](const std::string& out) {
        return options({"demo", "--frames", "8", "--link", "40,2", "--tracks", dir / (out + ".json"), "--dst",
                        dir / (out + "_dst"), "-o", dir / (out + ".avi"), "--quiet"});
    };
    Module module;
    ASSERT_TRUE(module.load(AMBREVO_MODULE_PATH));
    const Options o = outputs("run");
    RunObserver quiet;
    const SettingsFile saved;
    auto recorder = std::make_unique<Recorder>();
    Recorder& seen = *recorder;
    ::Run run(module, o, saved, quiet);
    run.addSink(std::move(recorder));
    ASSERT_TRUE(run.run());
    ASSERT_EQ(seen.frames.size(), 8u);

    const Options again = outputs("replay");
    HostConsole console;
    WindowManager windows;
    const ArenaLayout layout;
    const RunTracks tracks(layout);
    const RunContext context{again, run.procedure(), seen.columns, seen.fps, console, windows, tracks, quiet};
    for (const bool partial : {false, true}) {
        RunRecord record = seen.record;
        record.complete = !partial, record.reason = partial ? "stopped here" : "";
        for (const auto& sink : chooseSinks(again)) {
            ASSERT_TRUE(sink->open(context));
            for (const Recorder::Frame& f : seen.frames) {
                FrameResult r;
                r.frame = f.frame, r.rows = f.rows, r.objects = f.rows, r.places = f.places;
                r.exact = f.exact, r.annotated = f.annotated;
                ASSERT_TRUE(sink->frame(r));
            }
            ASSERT_TRUE(sink->close(record));
        }
        if (partial) break;
        EXPECT_EQ(listing(dir.path / "run_dst"), listing(dir.path / "replay_dst"));
        EXPECT_EQ(readFile(dir / "run.avi"), readFile(dir / "replay.avi"));
        EXPECT_EQ(readFile(dir / "run.json"), readFile(dir / "replay.json"));
    }
    const std::string json = readFile(dir / "replay.json");
    EXPECT_NE(json.find("\"status\": \"partial\", \"reason\": \"stopped here\""), std::string::npos) << json;
}
