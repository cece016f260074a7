// Many inputs per call, the cluster workflow and live inputs, through the real executable.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <opencv2/videoio.hpp>
#include <sstream>
#include <thread>

#include "batch.h"
#include "cli_util.h"
#include "options.h"

namespace fs = std::filesystem;

namespace {

using cli::run;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream s(text);
    for (std::string line; std::getline(s, line);) out.push_back(line);
    return out;
}

std::vector<std::string> cells(const std::string& line) {
    std::vector<std::string> out;
    std::string cell;
    for (std::istringstream s(line); std::getline(s, cell, ',');) out.push_back(cell);
    return out;
}

// A track file without its "# date:" line, which differs from run to run.
std::string undated(const std::string& file) {
    std::string out;
    for (const std::string& line : lines(readFile(file)))
        if (line.rfind("# date: ", 0) != 0) out += line + "\n";
    return out;
}

std::string meta(const std::string& file, const std::string& key) {
    for (const std::string& line : lines(readFile(file)))
        if (line.rfind("# " + key + ": ", 0) == 0) return line.substr(key.size() + 4);
    return "";
}

// batch.csv as input -> its cells.
std::map<std::string, std::vector<std::string>> batchTable(const std::string& file) {
    std::map<std::string, std::vector<std::string>> rows;
    std::vector<std::string> all = lines(readFile(file));
    EXPECT_FALSE(all.empty());
    if (all.empty()) return rows;
    EXPECT_EQ(all[0], "input,status,exit,frames,seconds,message");
    for (size_t i = 1; i < all.size(); ++i) {
        std::vector<std::string> c = cells(all[i]);
        rows[c.at(0)] = c;
    }
    return rows;
}

int videoFrames(const std::string& file) {
    cv::VideoCapture v(file, cv::CAP_FFMPEG);
    int n = v.isOpened() ? 0 : -1;
    for (cv::Mat m; v.read(m);) ++n;
    return n;
}

// Short clips of the built-in scene, each from another place in it.
void makeClips(const TempDir& dir, const std::vector<std::pair<std::string, int>>& clips) {
    int start = 0;
    for (const auto& [name, frames] : clips) {
        Result r = run(dir, "demo --procedure nop --start " + std::to_string(start) + " --frames " +
                                std::to_string(frames) + " -o " + name + " --quiet");
        ASSERT_EQ(r.status, 0) << r.err;
        start += 40;
    }
    std::ofstream(dir / "cfg.txt") << "\n0 1 1 2 3\n";
}

}  // namespace

TEST(HostBatch, OutputsAreNamedAfterTheInputsAndTrackFilesTellTheirState) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    const struct {
        std::vector<const char*> args;
        std::string name;
        Pairs outputs;
    } cases[] = {
        {{"x/a.mp4", "b.avi", "--out-dir", "OUT"}, "a", {{"--tracks", "OUT/a.csv"}}},
        {{"x/a.mp4", "--out-dir=OUT", "-o", "mp4", "--tracks", "json", "--dst", "_dst", "--summary", "summary.csv"},
         "a",
         {{"-o", "OUT/a.mp4"}, {"--tracks", "OUT/a.json"}, {"--dst", "OUT/a_dst"}, {"--summary", "OUT/a.summary.csv"}}},
        {{"frames/%04d.png", "--out-dir", "O", "--plot", ".paths.png"}, "frames",
         {{"--tracks", "O/frames.csv"}, {"--plot", "O/frames.paths.png"}}},
        {{"odd name;1.avi", "--out-dir", "O"}, "odd_name_1", {{"--tracks", "O/odd_name_1.csv"}}},
        {{"rtsp://host/cam", "--out-dir", "O"}, "cam", {{"--tracks", "O/cam.csv"}}},
    };
    for (const auto& c : cases) {
        std::vector<const char*> argv{"ambrevo"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Options o;
        std::string error;
        ASSERT_TRUE(parseOptions(int(argv.size()), argv.data(), o, error)) << error;
        ASSERT_TRUE(isBatch(o));
        const BatchOutputs out = batchOutputs(o, o.inputs[0]);
        EXPECT_EQ(out.name, c.name) << c.args[0];
        EXPECT_EQ(out.options, c.outputs) << c.args[0];
    }

    TempDir dir;
    const struct {
        const char* file;
        std::string text;
        bool found, complete;
        long long frames;
        std::string source;
    } files[] = {
        {"c.csv", "# ambrevo track file\n# source: a,b.mp4\n# frames_read: 12\n# status: complete\nframe,object\n1,2\n",
         true, true, 12, "a,b.mp4"},
        {"p.csv", "# ambrevo track file\n# source: a.mp4\n# frames_read: 3\n# status: partial\n# reason: x\nframe\n",
         true, false, 3, "a.mp4"},
        {"j.json",
         "{\"procedure\": \"nop\", \"frames\": [],\n \"meta\": {\"source\": \"q\\\"d.mp4\", \"frames_read\": 7, "
         "\"status\": \"complete\", \"reason\": \"\"}}\n",
         true, true, 7, "q\"d.mp4"},
        {"other.csv", "frame,object,x,y\n0,0,1,1\n", false, false, -1, ""},
    };
    for (const auto& f : files) {
        std::ofstream(dir / f.file) << f.text;
        const TrackFileState state = readTrackFileState(dir / f.file);
        EXPECT_EQ(state.found, f.found) << f.file;
        EXPECT_EQ(state.complete, f.complete) << f.file;
        EXPECT_EQ(state.frames, f.frames) << f.file;
        EXPECT_EQ(state.source, f.source) << f.file;
    }
    EXPECT_FALSE(readTrackFileState(dir / "missing.csv").found);
}

TEST(HostBatch, EveryInputRunsAsAloneAFailureIsListedAndCompleteInputsAreSkipped) {
    TempDir dir;
    makeClips(dir, {{"a.avi", 6}, {"b.avi", 4}, {"c.avi", 5}});
    std::ofstream(dir / "bad.avi") << "not a video";
    const std::string options = " --config cfg.txt";
    Result b = run(dir, "a.avi b.avi bad.avi c.avi --out-dir OUT --jobs 2 -o mp4" + options);
    EXPECT_EQ(b.status, 3) << "the first failed input's status: " << b.err;
    EXPECT_NE(b.err.find("ambrevo: bad.avi: cannot open or decode video 'bad.avi'\n"), std::string::npos) << b.err;
    EXPECT_NE(b.out.find("ambrevo: 4 inputs: 3 done, 0 skipped, 1 failed"), std::string::npos) << b.out;

    auto table = batchTable(dir / "OUT/batch.csv");
    ASSERT_EQ(table.size(), 4u);
    const std::map<std::string, int> frames{{"a", 6}, {"b", 4}, {"c", 5}};
    for (const auto& [name, n] : frames) {
        const auto& row = table[name + ".avi"];
        EXPECT_EQ(row.at(1), "done");
        EXPECT_EQ(row.at(2), "0");
        EXPECT_EQ(row.at(3), std::to_string(n));
        // The same file as a run of that input alone.
        Result alone = run(dir, name + ".avi --tracks alone.csv --quiet" + options);
        ASSERT_EQ(alone.status, 0) << alone.err;
        EXPECT_EQ(undated(dir / ("OUT/" + name + ".csv")), undated(dir / "alone.csv")) << name;
        EXPECT_EQ(videoFrames(dir / ("OUT/" + name + ".mp4")), n);
    }
    EXPECT_EQ(table["bad.avi"].at(1), "failed");
    EXPECT_EQ(table["bad.avi"].at(2), "3");
    EXPECT_EQ(table["bad.avi"].at(5), "cannot open or decode video 'bad.avi'");
    EXPECT_FALSE(fs::exists(dir / "OUT/bad.csv"));

    // Once more: the complete ones are skipped, the failed one is tried again; --force runs all.
    for (const char* force : {"", " --force"}) {
        Result again = run(dir, "a.avi b.avi bad.avi c.avi --out-dir OUT --jobs 2 -o mp4" + options + force);
        EXPECT_EQ(again.status, 3);
        table = batchTable(dir / "OUT/batch.csv");
        for (const auto& [name, n] : frames) {
            EXPECT_EQ(table[name + ".avi"].at(1), *force ? "done" : "skipped") << name << force;
            EXPECT_EQ(table[name + ".avi"].at(3), std::to_string(n));
        }
        EXPECT_EQ(table["bad.avi"].at(1), "failed");
    }
    // Asked for another output, a complete input runs again to make it.
    Result json = run(dir, "a.avi --out-dir OUT --tracks json" + options);
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(batchTable(dir / "OUT/batch.csv")["a.avi"].at(1), "done");
    EXPECT_NE(readFile(dir / "OUT/a.json").find("\"status\": \"complete\""), std::string::npos);
}

TEST(HostBatch, RefusalsComeBeforeAnyRun) {
    TempDir dir;
    fs::create_directory(dir / "sub");
    const struct {
        const char* args;
        const char* message;
    } cases[] = {
        {"a.avi b.avi", "several inputs need --out-dir DIR for their outputs"},
        {"a.avi sub/a.avi --out-dir OUT", "inputs 'a.avi' and 'sub/a.avi' would share the outputs named 'a'"},
        {"a.avi b.avi --out-dir OUT -o mov", "-o 'mov': in a batch -o takes mp4 or avi"},
        {"a.avi b.avi --out-dir OUT --tracks txt", "--tracks 'txt': in a batch --tracks takes csv or json"},
        {"a.avi b.avi --out-dir OUT --tracks -", "--tracks - streams one input's rows"},
        {"a.avi b.avi --out-dir OUT --jobs 0", "malformed --jobs '0' (expected a positive integer)"},
        {"a.avi b.avi --out-dir OUT --show", "--show takes one input, not a batch"},
    };
    for (const auto& c : cases) {
        Result r = run(dir, c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err.rfind(std::string("ambrevo: ") + c.message, 0), 0u) << c.args << "\n" << r.err;
        EXPECT_FALSE(fs::exists(dir / "OUT")) << c.args;
    }
}

TEST(HostBatch, SigtermStopsEveryRunAfterItsFrameAndTheBatchResumes) {
    TempDir dir;
    makeClips(dir, {{"a.avi", 120}, {"b.avi", 120}, {"c.avi", 3}});
    const std::string args = "a.avi b.avi c.avi --out-dir OUT --jobs 2 --config cfg.txt --tracks csv";
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const std::string cmd = "cd '" + dir.path.string() + "' && exec '" AMBREVO_EXE "' " + args +
                                " > .out.txt 2> .err.txt < /dev/null";
        execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
        _exit(127);
    }
    // Until both runs have written rows of a frame: the signal then comes in the middle of the runs.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int writing = 0; writing < 2 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        writing = 0;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(dir / "OUT", ec))
            writing += e.path().filename().string().find(".csv.rows-") != std::string::npos && e.file_size(ec) > 0;
    }
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 143) << readFile(dir / ".err.txt");
    auto table = batchTable(dir / "OUT/batch.csv");
    for (const char* name : {"a", "b"}) {
        const auto& row = table[std::string(name) + ".avi"];
        EXPECT_EQ(row.at(1), "stopped") << name;
        EXPECT_EQ(row.at(2), "143");
        const std::string file = dir / ("OUT/" + std::string(name) + ".csv");
        EXPECT_EQ(meta(file, "status"), "partial");
        EXPECT_EQ(row.at(3), meta(file, "frames_read"));
        EXPECT_GT(std::stoi(row.at(3)), 0);
        EXPECT_LT(std::stoi(row.at(3)), 120);
    }
    EXPECT_EQ(table["c.avi"].at(1), "not started");
    // Nothing half-written is left beside the outputs.
    for (const auto& e : fs::directory_iterator(dir / "OUT"))
        EXPECT_NE(e.path().filename().string()[0], '.') << e.path();

    Result again = run(dir, args);
    EXPECT_EQ(again.status, 0) << again.err;
    table = batchTable(dir / "OUT/batch.csv");
    for (const auto& [name, n] : std::map<std::string, int>{{"a", 120}, {"b", 120}, {"c", 3}}) {
        EXPECT_EQ(table[name + ".avi"].at(1), "done");
        EXPECT_EQ(table[name + ".avi"].at(3), std::to_string(n));
    }
}

TEST(HostWorkflow, SnakemakeGivesWhatSingleRunsGive) {
    if (std::system("snakemake --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "snakemake is not installed (scripts/deps.sh installs it)";
    TempDir dir;
    fs::create_directory(dir / "videos");
    makeClips(dir, {{"videos/one.avi", 5}, {"videos/two.avi", 4}, {"videos/three.avi", 6}});
    const std::string cmd = "cd '" + dir.path.string() + "' && snakemake -s '" AMBREVO_SOURCE_DIR
                            "/workflows/Snakefile' --cores 2 --quiet --config input_dir=videos output_dir=results "
                            "ambrevo='" AMBREVO_EXE "' config=cfg.txt 'set=BinThreshold=110' > wf.log 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << readFile(dir / "wf.log");
    std::string gathered = "video,";
    bool first = true;
    for (const char* video : {"one", "three", "two"}) {
        Result alone = run(dir, std::string("videos/") + video +
                                    ".avi --config cfg.txt --set BinThreshold=110 --tracks t.csv --summary s.csv --quiet");
        ASSERT_EQ(alone.status, 0) << alone.err;
        EXPECT_EQ(undated(dir / ("results/" + std::string(video) + ".csv")), undated(dir / "t.csv")) << video;
        const std::string summary = readFile(dir / "s.csv");
        EXPECT_EQ(readFile(dir / ("results/" + std::string(video) + ".summary.csv")), summary) << video;
        std::vector<std::string> rows = lines(summary);
        ASSERT_GE(rows.size(), 2u) << "a summary line per track";
        if (first) gathered += rows[0] + "\n";
        first = false;
        for (size_t i = 1; i < rows.size(); ++i) gathered += std::string(video) + "," + rows[i] + "\n";
    }
    EXPECT_EQ(readFile(dir / "results/summary.csv"), gathered);
}

TEST(HostLive, StreamsAndPipelinesGiveTimedRows) {
    TempDir dir;
    makeClips(dir, {{"clip.avi", 6}});
    Result alone = run(dir, "clip.avi --config cfg.txt --tracks file.csv --quiet");
    ASSERT_EQ(alone.status, 0) << alone.err;
    std::vector<std::string> fileRows;
    for (const std::string& line : lines(readFile(dir / "file.csv")))
        if (line[0] != '#') fileRows.push_back(line);

    // A tiny HTTP server of the folder, on a port the system picks.
    const pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        const std::string script =
            "import http.server, functools, sys\n"
            "h = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])\n"
            "import os; os.dup2(os.open(os.devnull, os.O_WRONLY), 2)\n"
            "s = http.server.ThreadingHTTPServer(('127.0.0.1', 0), h)\n"
            "open(sys.argv[1] + '/.port.tmp', 'w').write(str(s.server_address[1]))\n"
            "import os; os.rename(sys.argv[1] + '/.port.tmp', sys.argv[1] + '/.port')\n"
            "s.serve_forever()\n";
        execlp("python3", "python3", "-c", script.c_str(), dir.path.c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 100 && !fs::exists(dir / ".port"); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string port = readFile(dir / ".port");

    const struct {
        const char* name;
        std::string args;
        int frames;
    } cases[] = {
        {"http", "http://127.0.0.1:" + port + "/clip.avi --config cfg.txt --tracks -", 6},
        {"gst", "'gst:videotestsrc num-buffers=5 ! video/x-raw,width=64,height=48' --procedure nop --tracks -", 5},
    };
    for (const auto& c : cases) {
        const double before = double(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::system_clock::now().time_since_epoch()).count()) / 1e6;
        Result r = run(dir, c.args);
        const double after = double(std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::system_clock::now().time_since_epoch()).count()) / 1e6;
        if (c.name == std::string("gst") && r.status == 3 && r.err.find("cannot open GStreamer pipeline") != std::string::npos) {
            std::cout << "[ SKIPPED  ] gst: this OpenCV or GStreamer lacks videotestsrc or appsink\n";
            continue;
        }
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.err;
        // Standard output holds the rows alone, then the metadata; the run's own line went to standard error.
        EXPECT_NE(r.err.find("ambrevo: " + std::to_string(c.frames) + " frames of"), std::string::npos) << r.err;
        std::vector<std::string> out = lines(r.out);
        ASSERT_FALSE(out.empty()) << c.name;
        EXPECT_EQ(out[0].substr(out[0].size() - 17), ",t_capture,t_done") << out[0];
        std::vector<std::string> rows;
        std::map<std::string, std::string> trailer;
        for (size_t i = 1; i < out.size(); ++i) {
            if (out[i].rfind("# ", 0) == 0) {
                const size_t colon = out[i].find(": ");
                if (colon != std::string::npos) trailer[out[i].substr(2, colon - 2)] = out[i].substr(colon + 2);
            } else {
                EXPECT_TRUE(trailer.empty()) << "a row after the metadata: " << out[i];
                rows.push_back(out[i]);
            }
        }
        EXPECT_EQ(trailer["status"], "complete") << c.name;
        EXPECT_EQ(trailer["frames_read"], std::to_string(c.frames)) << c.name;
        double lastCapture = 0;
        for (const std::string& row : rows) {
            std::vector<std::string> v = cells(row);
            ASSERT_GE(v.size(), 3u);
            const double capture = std::stod(v[v.size() - 2]), done = std::stod(v.back());
            EXPECT_LE(before, capture);
            EXPECT_LE(capture, done);
            EXPECT_LE(done, after);
            EXPECT_LE(lastCapture, capture);
            lastCapture = capture;
        }
        if (c.name == std::string("http")) {
            // The same objects as from the file itself: the columns before the two times agree.
            ASSERT_EQ(rows.size() + 1, fileRows.size());
            EXPECT_EQ(out[0], fileRows[0] + ",t_capture,t_done");
            for (size_t i = 0; i < rows.size(); ++i)
                EXPECT_EQ(rows[i].substr(0, rows[i].rfind(',', rows[i].rfind(',') - 1)), fileRows[i + 1]);
        }
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
}
