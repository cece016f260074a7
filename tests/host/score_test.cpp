// CLEAR-MOT and IDF1 on cases worked out by hand, and `ambrevo score` on files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include "cli_util.h"
#include "score.h"

using ambrevo::score_tracks;
using ambrevo::ScorePoint;

namespace {

// Object `id` at (x, y) on each frame of [from, to).
void along(std::vector<ScorePoint>& rows, long long id, long long from, long long to, double x, double y) {
    for (long long f = from; f < to; ++f) rows.push_back({f, id, x, y});
}

}  // namespace

TEST(Score, MissesFalsePositivesAndSwitchesCountedOnce) {
    std::vector<ScorePoint> truth, tracks;
    // A and B far apart for six frames; the tracks swap them on frame 2 and keep the swap.
    along(truth, 0, 0, 6, 0, 0), along(truth, 1, 0, 6, 100, 0);
    along(tracks, 7, 0, 2, 1, 0), along(tracks, 7, 2, 6, 101, 0);
    along(tracks, 8, 0, 2, 100, 3), along(tracks, 8, 2, 6, 0, 3);
    // Frame 4: B is missed, and a position far from both is reported.
    std::erase_if(tracks, [](const ScorePoint& p) { return p.frame == 4 && p.x > 50; });
    tracks.push_back({4, 9, 50, 50});
    const auto r = score_tracks(truth, tracks, 5);
    EXPECT_EQ(r.frames, 6);
    EXPECT_EQ(r.matches, 11);
    EXPECT_EQ(r.misses, 1);
    EXPECT_EQ(r.false_positives, 1);
    EXPECT_EQ(r.switches, 2);  // one for each object, on frame 2 only
    EXPECT_DOUBLE_EQ(r.mota(), 1 - 4.0 / 12);
    EXPECT_DOUBLE_EQ(r.motp(), (1 * 2 + 3 * 2 + 1 * 3 + 3 * 4) / 11.0);
    EXPECT_DOUBLE_EQ(r.recall(), 11.0 / 12);
}

TEST(Score, LastFramesMatchIsKeptWhileWithinTheRadius) {
    // Track 7 follows A at 4 px; a track 8 that comes nearer does not take A over.
    std::vector<ScorePoint> truth, tracks;
    along(truth, 0, 0, 3, 0, 0);
    along(tracks, 7, 0, 3, 4, 0);
    tracks.push_back({1, 8, 0.5, 0});
    auto r = score_tracks(truth, tracks, 5);
    EXPECT_EQ(r.switches, 0);
    EXPECT_EQ(r.false_positives, 1);
    // Once track 7 leaves the radius, the nearer one is matched: one switch.
    tracks.push_back({2, 8, 0.5, 0});
    tracks[2].x = 5.5;
    r = score_tracks(truth, tracks, 5);
    EXPECT_EQ(r.switches, 1);
    EXPECT_EQ(r.matches, 3);
    // Where two can be matched, two are, rather than one at no distance.
    r = score_tracks(std::vector<ScorePoint>{{0, 0, 0, 0}, {0, 1, 4.9, 0}},
                     std::vector<ScorePoint>{{0, 5, 0, 0}, {0, 6, -4.9, 0}}, 5);
    EXPECT_EQ(r.matches, 2);
}

TEST(Score, IdentitiesPairedByTheBestMatchingOverTheWholeVideo) {
    std::vector<ScorePoint> truth, tracks;
    along(truth, 0, 0, 9, 0, 0), along(truth, 1, 0, 9, 100, 0);
    // Track 1 on A for 5 frames then on B for 4; track 2 on A for the last 4. Pairing A with 1
    // (5 frames) is the greedy choice; A-2 and B-1 (4 + 4) is the best.
    along(tracks, 1, 0, 5, 0, 1), along(tracks, 1, 5, 9, 100, 1), along(tracks, 2, 5, 9, 0, 2);
    const auto r = score_tracks(truth, tracks, 5);
    EXPECT_EQ(r.idtp, 8);
    EXPECT_DOUBLE_EQ(r.idf1(), 16.0 / 31);
    EXPECT_DOUBLE_EQ(r.idp(), 8.0 / 13);
    EXPECT_DOUBLE_EQ(r.idr(), 8.0 / 18);
    EXPECT_THROW(score_tracks(truth, truth, 0), std::invalid_argument);
    truth.push_back({3, 1, 5, 5});
    EXPECT_THROW(score_tracks(truth, tracks, 5), std::invalid_argument);
}

TEST(Score, OneTrueObjectAgainstThirtyThousandTrackIds) {
    // A track broken on every frame: 30,000 identities near one true object. Only the pairs that
    // ever came within the radius enter the identity matching, so it stays small.
    std::vector<ScorePoint> truth, tracks;
    for (long long f = 0; f < 30000; ++f) truth.push_back({f, 0, 10, 10}), tracks.push_back({f, f, 11, 10});
    const auto r = score_tracks(truth, tracks, 5);
    EXPECT_EQ(r.matches, 30000);
    EXPECT_EQ(r.switches, 29999);
    EXPECT_EQ(r.idtp, 1);
}

// Track files of both kinds scored alike, from a file or a pipe; refusals of malformed files and
// of files that are none, each in one line.
TEST(ScoreCli, CsvAndJsonTrackFilesAndRefusals) {
    TempDir dir;
    writeFile(dir / "truth.csv", "# made by hand\nframe,object,x,y\n0,0,10,10\n1,0,11,10\n2,0,12,10\n");
    // A linked file: the track column is the identity, the missing row is no position, nor are
    // the rows of none of the animals (track -1).
    writeFile(dir / "t.csv",
              "# ambrevo track file\nframe,object,x,y,area,track,missing\n0,3,10,10,9,5,0\n1,4,11,11,9,5,0\n"
              "1,6,12,10,9,-1,0\n1,7,50,50,9,-1,0\n2,-1,11,11,0,5,1\n2,4,40,40,9,6,0\n");
    writeFile(
        dir / "t.json",
        "{\"procedure\": \"flowtrack\", \"frames\": [\n  {\"frame\": 0, \"objects\": [{\"object\": 3, \"x\": 10, "
        "\"y\": 10, \"rays\": [null], \"track\": 5, \"missing\": 0}]},\n  {\"frame\": 1, \"objects\": [{\"object\": "
        "4, \"x\": 11, \"y\": 11, \"track\": 5, \"missing\": 0}, {\"object\": 6, \"x\": 12, \"y\": 10, "
        "\"track\": -1, \"missing\": 0}]},\n  {\"frame\": 2, \"objects\": [{\"object\": -1, "
        "\"x\": 11, \"y\": 11, \"track\": 5, \"missing\": 1}, {\"object\": 4, \"x\": 40, \"y\": 40, \"track\": 6, "
        "\"missing\": 0}]}],\n \"meta\": {\"time_s\": null}}\n");
    RUN_OK(csv, dir, "score t.csv truth.csv");
    RUN_OK(json, dir, "score t.json truth.csv --radius=5");
    EXPECT_EQ(csv.out, json.out);
    EXPECT_HOLDS(csv.out, "matched: 2 (66.67%)\nmisses: 1\nfalse positives: 1\nidentity switches: 0\n");
    EXPECT_NE(csv.out.find("MOTP: 0.500 px\nIDF1: 0.6667\n"), std::string::npos) << csv.out;

    for (const auto& [name, text] : std::map<std::string, std::string>{
             {"short.csv", "frame,object,x,y\n0,1,2\n"}, {"twice.csv", "frame,object,x,y\n0,1,2,3\n0,1,5,5\n"},
             {"nox.csv", "frame,object,y\n0,1,2\n"}, {"open.csv", "frame,object,x,y\n0,1,2,2\n# a comment\n1,1,2,\"3\n"},
             {"bad.json", "{\"frames\": [{\"frame\": 0, \"objects\": [{\"x\": 1}]}]}"}, {"long.csv", std::string(2 << 20, 'a')},
             {"nul.csv", std::string("frame,object,x,y\n0,4,1\0,1\n", 26)}})
        writeFile(dir / name, text);
    fs::create_directory(dir / "folder");
    const std::vector<std::tuple<std::string, int, std::string>> refusals = {
        {"score t.csv", 2, "TRACKS and TRUTH are needed"},
        {"score t.csv truth.csv --radius 0", 2, "--radius '0' is not a positive number"},
        {"score t.csv truth.csv --tracks x", 2, "unknown option '--tracks'"},
        {"score none.csv truth.csv", 3, "cannot read track file 'none.csv'"},
        {"score short.csv truth.csv", 3, "malformed track file 'short.csv': line 2: 3 cells where the header names 4"},
        {"score t.csv nox.csv", 3,
         "malformed truth file 'nox.csv': line 1: the header needs the columns frame, object"},
        {"score t.csv twice.csv", 3, "true object 1 appears twice in frame 0"},
        {"score bad.json truth.csv", 3, "frame 0: an object without a whole object and x, y"},
        {"score truth.csv t.json", 3, "malformed truth file 't.json': line 1: the header needs"},
        {"score t.csv open.csv", 3, "malformed truth file 'open.csv': line 4: a quoted field is not closed"},
        // Files that are no text files of rows: called what they are, at once.
        {"score /dev/zero truth.csv", 3, "track file '/dev/zero' is a device, not a file"},
        {"score t.csv /dev/zero", 3, "truth file '/dev/zero' is a device, not a file"},
        {"score folder truth.csv", 3, "track file 'folder' is a folder"},
        {"score t.csv folder", 3, "truth file 'folder' is a folder"},
        {"score long.csv truth.csv", 3, "line 1 is longer than 1024 KiB: not a text file of rows"},
        {"score nul.csv truth.csv", 3, "line 2 holds a NUL byte: not a text file"},
    };
    for (const auto& [args, status, message] : refusals) {
        const Result r = cli::run(dir, args);
        EXPECT_EQ(r.status, status) << args;
        EXPECT_NE(r.err.find(message), std::string::npos) << args << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_LT(cli::largestChildKilobytes(), 1 << 20) << "a score that read a device";
    // A pipe, as a shell's process substitution gives one.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    std::thread writer([&] { writeFile(dir / "pipe", readFile(dir / "t.csv")); });
    const Result piped = cli::run(dir, "score pipe truth.csv");
    writer.join();
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(piped.out, csv.out);
}
