// Many inputs per call, the cluster workflow and live inputs, through the real executable.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include <chrono>
#include <regex>
#include <set>

#include "batch.h"
#include "cli_util.h"
#include "live_util.h"
#include "options_util.h"

using cli::run;

namespace {

// A track file without its "# date:" line, which differs from run to run.
std::string undated(const std::string& file) { return std::regex_replace(readFile(file), std::regex("# date: .*\n"), ""); }

// batch.csv as input -> "status,exit,frames"; the whole row under "input+".
std::map<std::string, std::string> batchTable(const std::string& file) {
    Table t(file);
    EXPECT_EQ(t.header, "input,status,exit,frames,seconds,message");
    std::map<std::string, std::string> rows;
    for (const auto& r : t.rows) rows[r.at(0)] = r.at(1) + "," + r.at(2) + "," + r.at(3), rows[r.at(0) + "+"] = r.back();
    return rows;
}

// Short clips of the built-in scene, each from another place in it.
void makeClips(const TempDir& dir, const std::vector<std::pair<std::string, int>>& clips) {
    int start = 0;
    for (const auto& [name, frames] : clips) {
        RUN_OK(r, dir, "demo --procedure nop --start " + std::to_string(start) + " --frames " + std::to_string(frames) +
                           " -o " + name + " --quiet");
        start += 40;
    }
    writeFile(dir / "cfg.txt", "\n0 1 1 2 3\n");
}

// The inputs of batch.json, each with "made" when its run is recorded and "running" while a
// batch has claimed it.
std::map<std::string, std::string> recordOf(const std::string& file) {
    std::map<std::string, std::string> inputs;
    const std::string text = readFile(file);
    const std::regex entry(R"re(\n  "([^"]+)": \{\n   "(request|running)")re");
    for (std::sregex_iterator i(text.begin(), text.end(), entry), end; i != end; ++i)
        inputs[(*i)[1]] = (*i)[2] == "request" ? "made" : "running";
    return inputs;
}

// The hidden files of a folder: temporaries, locks, a batch's presence.
std::vector<std::string> hidden(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename().string()[0] == '.') names.push_back(e.path().filename().string());
    return names;
}

// The runs writing rows into the folder `out` now: each input's name (one letter) and its run's process id.
std::map<std::string, pid_t> rowWriters(const fs::path& out) {
    std::map<std::string, pid_t> pids;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(out, ec)) {
        const std::string name = e.path().filename().string();
        if (name.find(".csv.rows-") != std::string::npos && e.file_size(ec) > 0)
            pids[name.substr(1, 1)] = std::atoi(name.c_str() + name.find("rows-") + 5);
    }
    return pids;
}

// Waits until the runs of `inputs` all write rows into `out`, holding each still (SIGSTOP) once it
// does, so that none ends before the others have begun; their process ids by input.
std::map<std::string, pid_t> holdWriters(const fs::path& out, const std::set<std::string>& inputs) {
    std::map<std::string, pid_t> held;
    cli::waitUntil([&] {
        for (const auto& [name, run] : rowWriters(out))
            if (inputs.count(name) && held.emplace(name, run).second) kill(run, SIGSTOP);
        return held.size() == inputs.size();
    }, 120);
    return held;
}

}  // namespace

TEST(HostBatch, OutputsAreNamedAfterTheInputsAndTrackFilesTellTheirState) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {  // args, "name: option=file ..."
        {{"x/a.mp4", "b.avi", "--out-dir", "OUT"}, "a: --tracks=OUT/a.csv"},
        {{"x/a.mp4", "--out-dir=OUT", "-o", "mp4", "--tracks", "json", "--dst", "_dst", "--summary", "summary.csv"},
         "a: --tracks=OUT/a.json --summary=OUT/a.summary.csv -o=OUT/a.mp4 --dst=OUT/a_dst"},
        {{"frames/%04d.png", "--out-dir", "O", "--plot", ".paths.png"}, "frames: --tracks=O/frames.csv --plot=O/frames.paths.png"},
        {{"odd name;1.avi", "--out-dir", "O"}, "odd_name_1: --tracks=O/odd_name_1.csv"},
    };
    for (const auto& [args, expected] : cases) {
        const Options o = options(args);
        ASSERT_TRUE(isBatch(o)) << args[0];
        const BatchOutputs out = batchOutputs(o, o.inputs[0]);
        std::string got = out.name + ":";
        for (const auto& [option, file] : out.options) got += " " + option + "=" + file;
        EXPECT_EQ(got, expected);
    }
    // A JSON track file's state (the CSV ones are read by the runs below, which skip and resume by them).
    TempDir dir;
    writeFile(dir / "t.json", "{\"procedure\": \"nop\", \"frames\": [],\n \"meta\": {\"source\": \"q\\\"d.mp4\", "
                              "\"frames_read\": 7, \"status\": \"complete\", \"reason\": \"\"}}\n");
    const TrackFileState s = readTrackFileState(dir / "t.json");
    EXPECT_TRUE(s.found && s.complete && s.frames == 7 && s.source == "q\"d.mp4");
}

TEST(HostBatch, EveryInputRunsAsAloneAFailureIsListedAndCompleteInputsAreSkipped) {
    TempDir dir;
    makeClips(dir, {{"a.avi", 6}, {"b.avi", 4}, {"c.avi", 5}});
    writeFile(dir / "bad.avi", "not a video");
    const std::string batch = "a.avi b.avi bad.avi c.avi --out-dir OUT --jobs 2 -o mp4 --config cfg.txt";
    Result b = run(dir, batch);
    EXPECT_EQ(b.status, 3) << "the first failed input's status: " << b.err;
    EXPECT_NE(b.err.find("ambrevo: bad.avi: cannot open or decode video 'bad.avi'\n"), std::string::npos) << b.err;
    EXPECT_NE(b.out.find("ambrevo: 4 inputs: 3 done, 0 skipped, 1 failed"), std::string::npos) << b.out;
    auto table = batchTable(dir / "OUT/batch.csv");
    EXPECT_EQ(table.size(), 8u);
    const std::map<std::string, int> frames{{"a", 6}, {"b", 4}, {"c", 5}};
    for (const auto& [name, n] : frames) {
        EXPECT_EQ(table[name + ".avi"], "done,0," + std::to_string(n));
        // The same file as a run of that input alone.
        RUN_OK(alone, dir, name + ".avi --tracks alone.csv --quiet --config cfg.txt");
        EXPECT_EQ(undated(dir / ("OUT/" + name + ".csv")), undated(dir / "alone.csv")) << name;
        EXPECT_EQ(videoFrames(dir / ("OUT/" + name + ".mp4")), n);
    }
    EXPECT_EQ(table["bad.avi"].substr(0, 9), "failed,3,");
    EXPECT_EQ(table["bad.avi+"], "cannot open or decode video 'bad.avi'");
    EXPECT_FALSE(fs::exists(dir / "OUT/bad.csv"));

    // Once more: the complete ones are skipped, the failed one is tried again; --force runs all.
    for (std::string force : {"", " --force"}) {
        EXPECT_EQ(run(dir, batch + force).status, 3);
        table = batchTable(dir / "OUT/batch.csv");
        for (const auto& [name, n] : frames)
            EXPECT_EQ(table[name + ".avi"], (force.empty() ? "skipped,," : "done,0,") + std::to_string(n)) << force;
        EXPECT_EQ(table["bad.avi"].substr(0, 7), "failed,");
    }
    // Outputs made by another request, or by a run the batch has no record of, are not
    // overwritten: the call is refused before anything runs, naming what differs.
    const auto before = listing(dir.path / "OUT");
    Result other = run(dir, batch + " --set BinThreshold=110");
    EXPECT_EQ(other.err, "ambrevo: a.avi: OUT/a.csv holds a run of another request (setting BinThreshold: 120 before, "
                         "110 now); --force runs it again (and 2 more inputs)\n");
    EXPECT_EQ(listing(dir.path / "OUT"), before) << "a refused call changes nothing";
    fs::remove(dir / "OUT/batch.json");
    Result unknown = run(dir, batch);
    EXPECT_TRUE(other.status == 2 && unknown.status == 2) << unknown.err;
    EXPECT_NE(unknown.err.find("a.avi: OUT/a.csv holds a run this batch has no record of"), std::string::npos);
    // Asked for another output, a complete input runs again to make it.
    RUN_OK(json, dir, "a.avi --out-dir OUT --tracks json --config cfg.txt");
    EXPECT_EQ(batchTable(dir / "OUT/batch.csv")["a.avi"], "done,0,6");
    EXPECT_NE(readFile(dir / "OUT/a.json").find("\"status\": \"complete\""), std::string::npos);
}

TEST(HostBatch, SigtermStopsEveryRunAfterItsFrameAndTheBatchResumes) {
    TempDir dir;
    makeClips(dir, {{"a.avi", 240}, {"b.avi", 240}, {"c.avi", 3}});
    const std::string args = "a.avi b.avi c.avi --out-dir OUT --jobs 2 --config cfg.txt --tracks csv";
    const pid_t pid = cli::start(dir, args);
    ASSERT_GE(pid, 0);
    // Until both runs have written rows of a frame: the signal then comes in the middle of the runs.
    const auto runs = holdWriters(dir / "OUT", {"a", "b"});
    ASSERT_EQ(runs.size(), 2u) << readFile(dir / ".err.txt");
    for (const auto& [name, run] : runs) kill(run, SIGCONT);
    ASSERT_EQ(cli::stopAndWait(pid, SIGTERM).first, 143) << readFile(dir / ".err.txt");
    auto table = batchTable(dir / "OUT/batch.csv");
    for (const std::string name : {"a", "b"}) {
        const Table file(dir / ("OUT/" + name + ".csv"));
        const std::string done = file.meta.at("frames_read");
        EXPECT_EQ(table[name + ".avi"], "stopped,143," + done) << name;
        EXPECT_EQ(file.meta.at("status"), "partial");
        EXPECT_TRUE(std::stoi(done) > 0 && std::stoi(done) < 240) << done;
    }
    EXPECT_EQ(table["c.avi"].substr(0, 12), "not started,");
    // Nothing half-written is left beside the outputs.
    EXPECT_EQ(hidden(dir.path / "OUT"), std::vector<std::string>{});

    RUN_OK(again, dir, args);
    table = batchTable(dir / "OUT/batch.csv");
    EXPECT_EQ(table["a.avi"] + " " + table["b.avi"] + " " + table["c.avi"], "done,0,240 done,0,240 done,0,3");
}

TEST(HostBatch, TwoBatchesIntoOneFolderKeepBothAndShareTheirInputs) {
    TempDir dir;
    makeClips(dir, {{"a.avi", 60}, {"b.avi", 60}, {"c.avi", 60}, {"d.avi", 8}, {"e.avi", 8}});
    const std::string common = " --out-dir OUT --jobs 1 --config cfg.txt";
    // The second batch begins once the first has claimed its first input.
    const pid_t first = cli::start(dir, "a.avi b.avi c.avi" + common, "-first");
    ASSERT_TRUE(cli::waitUntil([&] { return recordOf(dir / "OUT/batch.json").count("a.avi"); }, 60));
    const Result second = run(dir, "d.avi e.avi c.avi b.avi" + common);
    int status = 0;
    waitpid(first, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(dir / ".err-first.txt");
    EXPECT_EQ(second.status, 0) << second.err;
    // Both batches' inputs are recorded and listed, each run once, by one batch or the other: an
    // input the other batch has run is skipped, one it is running is left to it.
    auto done = [](const std::string& out) { return std::atoi(out.c_str() + out.find(" inputs: ") + 9); };
    const std::string firstOut = readFile(dir / ".out-first.txt");
    EXPECT_EQ(done(firstOut) + done(second.out), 5) << firstOut << second.out;
    const std::map<std::string, std::string> made{
        {"a.avi", "made"}, {"b.avi", "made"}, {"c.avi", "made"}, {"d.avi", "made"}, {"e.avi", "made"}};
    EXPECT_EQ(recordOf(dir / "OUT/batch.json"), made);
    const auto table = batchTable(dir / "OUT/batch.csv");
    for (const auto& [name, frames] : std::map<std::string, int>{{"a", 60}, {"b", 60}, {"c", 60}, {"d", 8}, {"e", 8}}) {
        EXPECT_TRUE(table.at(name + ".avi") == "done,0," + std::to_string(frames) ||
                    table.at(name + ".avi") == "skipped,," + std::to_string(frames))
            << name << ": " << table.at(name + ".avi");
        EXPECT_EQ(Table(dir / ("OUT/" + name + ".csv")).meta.at("status"), "complete") << name;
    }
    EXPECT_TRUE(hidden(dir.path / "OUT").empty());
    // A batch waiting for the folder's lock ends at once on SIGTERM, writing nothing.
    const auto before = listing(dir.path / "OUT");
    const int lock = ::open((dir / "OUT/.batch.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(lock, LOCK_EX), 0);
    // The waiting batch tries the lock every 10 ms and holds its file open for microseconds
    // each time: its first try is seen by the kernel's notice of the opening.
    const int opened = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(inotify_add_watch(opened, (dir / "OUT/.batch.lock").c_str(), IN_OPEN), 0);
    const pid_t waiting = cli::start(dir, "a.avi" + common);
    pollfd tried{opened, POLLIN, 0};
    ASSERT_EQ(poll(&tried, 1, 60000), 1);
    ::close(opened);
    const auto [stopped, seconds] = cli::stopAndWait(waiting, SIGTERM);
    EXPECT_EQ(stopped, 143);
    EXPECT_LT(seconds, 2.0);
    ::close(lock);
    fs::remove(dir / "OUT/.batch.lock");
    EXPECT_EQ(listing(dir.path / "OUT"), before);
}

TEST(HostBatch, AfterSigkillTheSameCommandKeepsWhatIsCompleteAndRunsTheRest) {
    TempDir dir;
    makeClips(dir, {{"a.avi", 240}, {"b.avi", 240}, {"c.avi", 3}});
    const std::string args = "c.avi a.avi b.avi --out-dir OUT --jobs 2 --config cfg.txt -o mp4";
    const pid_t pid = cli::start(dir, args);
    // Until c is done and a and b are both writing rows: the batch dies in the middle of them.
    const auto runs = holdWriters(dir / "OUT", {"a", "b"});
    ASSERT_EQ(runs.size(), 2u) << readFile(dir / ".err.txt");
    // Run a dies outright with the batch (the OOM killer's or a cluster's way), leaving its
    // temporaries; the batch is held still meanwhile, so that it never sees a's death. Run b is
    // told to stop by its parent's death and ends after its frame.
    kill(pid, SIGSTOP);
    kill(runs.at("a"), SIGKILL);
    EXPECT_EQ(cli::stopAndWait(pid, SIGKILL).first, -SIGKILL);
    kill(runs.at("b"), SIGCONT);
    ASSERT_TRUE(cli::waitUntil([&] { return kill(runs.at("a"), 0) != 0 && kill(runs.at("b"), 0) != 0; }, 60));
    EXPECT_EQ(recordOf(dir / "OUT/batch.json"),
              (std::map<std::string, std::string>{{"a.avi", "running"}, {"b.avi", "running"}, {"c.avi", "made"}}));
    const std::vector<std::string> left = hidden(dir.path / "OUT");
    for (const std::string temporary : {".a.csv.rows-", ".a.mp4.part-"})
        EXPECT_EQ(std::count_if(left.begin(), left.end(), [&](const std::string& n) { return n.starts_with(temporary); }), 1)
            << temporary;

    RUN_OK(again, dir, args);
    const auto table = batchTable(dir / "OUT/batch.csv");
    EXPECT_EQ(table.at("c.avi") + " " + table.at("a.avi") + " " + table.at("b.avi"), "skipped,,3 done,0,240 done,0,240");
    EXPECT_EQ(recordOf(dir / "OUT/batch.json"),
              (std::map<std::string, std::string>{{"a.avi", "made"}, {"b.avi", "made"}, {"c.avi", "made"}}));
    EXPECT_EQ(hidden(dir.path / "OUT"), std::vector<std::string>{}) << "what the dead batch and run left is gone";
    EXPECT_EQ(videoFrames(dir / "OUT/a.mp4"), 240);
}

// batch.json, batch.csv or an input's track file as a FIFO, a folder or a device: the batch's
// own files refuse the batch, a track file its input alone, at once and naming the kind.
TEST(HostBatch, FilesOfTheFolderThatAreNoFilesAreRefusedAtOnce) {
    TempDir dir;
    makeClips(dir, {{"a.avi", 3}, {"b.avi", 3}});
    for (const std::string file : {"batch.json", "batch.csv", "a.csv"})
        for (const std::string kind : {"a FIFO", "a folder", "a device"}) {
            fs::remove_all(dir / "OUT");
            fs::create_directory(dir / "OUT");
            const std::string path = dir / ("OUT/" + file);
            if (kind == "a FIFO") {
                ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
            }
            if (kind == "a folder") fs::create_directory(path);
            if (kind == "a device") fs::create_symlink("/dev/zero", path);
            const auto before = std::chrono::steady_clock::now();
            const Result r = run(dir, "a.avi b.avi --out-dir OUT");
            EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20)) << file << " " << kind;
            EXPECT_EQ(r.status, 4) << file << " " << kind;
            if (file == "a.csv") {
                const std::string named = kind == "a device" ? "/dev/zero" : "OUT/a.csv";
                const std::string told = kind == "a FIFO" ? "a named pipe (FIFO)" : kind;
                EXPECT_EQ(batchTable(dir / "OUT/batch.csv")["a.avi+"],
                          "cannot write --tracks file '" + named + "': it is " + told) << kind;
                EXPECT_EQ(batchTable(dir / "OUT/batch.csv")["b.avi"], "done,0,3") << kind;
                continue;
            }
            const std::string what = file == "batch.json" ? "batch record" : "batch table";
            EXPECT_EQ(r.err, "ambrevo: the " + what + " 'OUT/" + file + "' is " + kind +
                                 ": remove it or give another --out-dir\n");
            EXPECT_FALSE(fs::exists(dir / "OUT/a.csv"));
        }
}

TEST(HostWorkflow, SnakemakeGivesWhatASingleRunGives) {
    if (std::system("snakemake --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "snakemake is not installed (scripts/deps.sh installs it)";
    TempDir dir;
    fs::create_directory(dir / "videos");
    makeClips(dir, {{"videos/one.avi", 5}});
    const std::string cmd = "cd '" + dir.path.string() + "' && snakemake -s '" AMBREVO_SOURCE_DIR
                            "/workflows/Snakefile' --cores 1 --quiet --config input_dir=videos output_dir=results "
                            "ambrevo='" AMBREVO_EXE "' config=cfg.txt 'set=BinThreshold=110' > wf.log 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << readFile(dir / "wf.log");
    RUN_OK(alone, dir, "videos/one.avi --config cfg.txt --set BinThreshold=110 --tracks t.csv --summary s.csv --quiet");
    EXPECT_EQ(undated(dir / "results/one.csv"), undated(dir / "t.csv"));
    const std::string summary = readFile(dir / "s.csv");
    EXPECT_EQ(readFile(dir / "results/one.summary.csv"), summary);
    // The gathered summary: each row led by its video's name.
    EXPECT_EQ(readFile(dir / "results/summary.csv"), "video," + std::regex_replace(summary, std::regex("\n(.)"), "\none,$1"));
}

TEST(HostLive, AStreamGivesTimedRows) {
    TempDir dir;
    makeClips(dir, {{"clip.avi", 6}});
    RUN_OK(alone, dir, "clip.avi --config cfg.txt --tracks file.csv --quiet");
    const Table file(dir / "file.csv");
    const Server server(dir, {"python3", "-u", "-m", "http.server", "0", "-b", "127.0.0.1", "-d", dir.path.string()});
    auto now = [] { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); };
    const double before = now();
    Result r = run(dir, server.url("clip.avi") + " --config cfg.txt --tracks -");
    const double after = now();
    ASSERT_EQ(r.status, 0) << r.err;
    // Standard output holds the header and rows alone, then the metadata; the run's own
    // line went to standard error.
    EXPECT_NE(r.err.find("ambrevo: 6 frames of"), std::string::npos) << r.err;
    const size_t trailer = r.out.find("\n# ") + 1;
    for (const std::string& line : split(r.out.substr(trailer), '\n')) EXPECT_EQ(line.substr(0, 2), "# ") << line;
    for (const char* line : {"# status: complete", "# frames_read: 6"})
        EXPECT_NE(r.out.find("\n" + std::string(line) + "\n"), std::string::npos) << line;
    writeFile(dir / "live.csv", r.out.substr(0, trailer));
    const Table live(dir / "live.csv");
    // The same objects as from the file itself: the columns before the two times agree.
    EXPECT_EQ(live.header, file.header + ",t_capture,t_done");
    ASSERT_EQ(live.rows.size(), file.rows.size());
    double lastCapture = 0;
    for (size_t i = 0; i < live.rows.size(); ++i) {
        const double capture = live.number(i, "t_capture"), done = live.number(i, "t_done");
        EXPECT_TRUE(before <= capture && capture <= done && done <= after && lastCapture <= capture) << i;
        EXPECT_EQ(std::vector<std::string>(live.rows[i].begin(), live.rows[i].end() - 2), file.rows[i]);
        lastCapture = capture;
    }
}

// A reader of --tracks - gets each frame's rows as soon as the frame is done, not when the
// output's buffer fills or the run ends: frame 0's row arrives while the input, a named pipe,
// still holds back its last frames.
TEST(HostLive, EachFrameRowsArriveBeforeTheInputEnds) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    const pid_t pid = cli::start(dir, "pipe --timeout 120 --tracks - --quiet");
    auto frames = [](std::ofstream& out, int from, int to) {  // Y4M frames of a dark disc moving right
        for (int f = from; f < to; ++f) {
            std::string luma(160 * 120, char(200));
            for (int y = 50; y < 70; ++y)
                for (int x = 40 + 4 * f; x < 60 + 4 * f; ++x)
                    if ((x - 50 - 4 * f) * (x - 50 - 4 * f) + (y - 60) * (y - 60) < 90) luma[size_t(y * 160 + x)] = 30;
            out << "FRAME\n" << luma << std::string(80 * 60 * 2, char(128)) << std::flush;
        }
    };
    std::ofstream out(dir / "pipe", std::ios::binary);
    out << "YUV4MPEG2 W160 H120 F25:1 C420jpeg\n";
    frames(out, 0, 4);
    const bool early = cli::waitUntil([&] { return readFile(dir / ".out.txt").find("\n0,0,") != std::string::npos; }, 30);
    frames(out, 4, 8);
    out.close();
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(early) << "frame 0's row came only at the end:\n" << readFile(dir / ".out.txt");
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << readFile(dir / ".err.txt");
    const std::string rows = readFile(dir / ".out.txt");
    EXPECT_NE(rows.find("\n7,0,"), std::string::npos) << rows;
    EXPECT_NE(rows.find("\n# frames_read: 8\n"), std::string::npos) << rows;
}
