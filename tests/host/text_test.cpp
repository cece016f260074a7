// The text the program reads and writes: CSV fields, numbers, the track table the review
// corrects, the batch table, the frames the pictures' background is drawn from, and what an
// input names.

#include <sys/stat.h>

#include "ambrevo/pipeline/core/text/csv.h"
#include "ambrevo/pipeline/core/text/numbers.h"
#include "ambrevo/pipeline/sources/input_kind.h"
#include "ambrevo/pipeline/tracks/background_plan.h"
#include "ambrevo/pipeline/tracks/track_table.h"
#include "batch_table.h"
#include "cli_util.h"
#include "options_util.h"
#include "tracks/background_samples.h"

using cli::run;
namespace csv = ambrevo::csv;

namespace {

std::vector<std::vector<std::string>> records(const std::string& text) {
    std::vector<std::vector<std::string>> out;
    for (csv::TextRecords r(text); r.next();) out.push_back(r.fields());
    return out;
}

}  // namespace

TEST(Csv, FieldsWithCommasQuotesAndLineBreaksReadBackAsWritten) {
    const std::vector<std::vector<std::string>> table = {
        {"frame", "x_mm, \"wet\"", "", "plain"},
        {"\"", "two\nlines", "a,b,", "\r"},
        {"", "", "", "\"quoted\" at the start"},
        {"line\n\nbreaks\n", "x\"\"y", ",", " spaced "},
    };
    std::string text;
    for (const auto& row : table) text += csv::record(row) + "\n";
    EXPECT_EQ(records(text), table) << text;
    EXPECT_EQ(csv::record(table[0]), "frame,\"x_mm, \"\"wet\"\"\",,plain");
    // What needs no quotes is written as it is: tables of names and numbers keep their text.
    EXPECT_EQ(csv::record({"frame", "1.5", "-0.25", "", "x_mm"}), "frame,1.5,-0.25,,x_mm");
    // A record cut short inside quotes waits for more; text after a closing quote is refused.
    csv::RecordReader reader;
    EXPECT_FALSE(reader.add("1,\"open"));
    EXPECT_TRUE(reader.pending());
    EXPECT_TRUE(reader.add("still\",2") && reader.fields() == std::vector<std::string>({"1", "open\nstill", "2"}));
    EXPECT_THROW(reader.add("\"a\"b,1"), std::runtime_error);
    EXPECT_TRUE(reader.add("a\"b,1") && reader.fields()[0] == "a\"b") << "a quote inside a plain field is text";
}

TEST(Numbers, EachFormReadsBackAsWritten) {
    namespace text = ambrevo::text;
    for (double v : {0.1, 1.0 / 3, 25.0, 1e-7, 123456789.125, -2.5e300})
        EXPECT_EQ(std::stod(text::shortest(v)), v) << text::shortest(v);
    EXPECT_EQ(text::shortest(25), "25");
    EXPECT_EQ(text::shortestCell(NAN) + text::decimalCell(INFINITY, 3), "");
    EXPECT_EQ(text::decimalCell(-0.0004, 3), "0.000");
    EXPECT_EQ(text::decimalCell(2.0005, 3), "2.001");
    EXPECT_EQ(text::general(1.5f) + " " + text::general(1234567.0) + " " + text::fixed(2.5, 2), "1.5 1.23457e+06 2.50");
}

// The review's table: quoted cells read, rows it does not correct written back as they were.
TEST(TrackTable, QuotedCellsAreReadAndOnlyCorrectedRowsAreWrittenAnew) {
    const std::string text =
        "# ambrevo track file\n# unit: mm, \"wet\"\n"
        "frame,object,x,y,track,missing,\"x_mm, \"\"wet\"\"\",note\n"
        "0,0,4,2,7,0,2,\"first\nof two lines\"\n"
        "\"1\",0,6,2,7,0,3,\n"
        "1,1,9,9,8,0,4.5,\"a, b\"\n";
    ambrevo::TrackTable t = ambrevo::TrackTable::parse(text);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t.meta("unit"), "mm, \"wet\"");
    EXPECT_EQ(t.identityColumn(), "track");
    EXPECT_TRUE(t.frame(1) == 1 && t.identity(2) == 8 && t.x(2) == 9);
    EXPECT_EQ(t.text(), text);
    EXPECT_EQ(t.swap(7, 8, 1), 2u);
    EXPECT_EQ(t.text(),
              "# ambrevo track file\n# unit: mm, \"wet\"\n# correction_1: swap track 7 and 8 from frame 1\n"
              "frame,object,x,y,track,missing,\"x_mm, \"\"wet\"\"\",note\n"
              "0,0,4,2,7,0,2,\"first\nof two lines\"\n1,0,6,2,8,0,3,\n1,1,9,9,7,0,4.5,\"a, b\"\n");
    for (const auto& [bad, why] : {std::pair{"0,0,1,1,7,0,2,\"cut", "line 8: a quoted field is not closed"},
                                   {"0,0,1,1,7,0,\"2\"x,y", "line 8: a quoted field is followed by 'x'"}}) {
        const std::string what = thrownAs<std::runtime_error>([&] { ambrevo::TrackTable::parse(text + bad + "\n"); });
        EXPECT_EQ(what.rfind(why, 0), 0u) << bad << ": " << what;
    }
}

// batch.csv: one row per input whatever its name holds, read back by the next batch as the
// same input, and a row mangled by hand kept as it is.
TEST(BatchTable, AnInputWithCommasQuotesAndLineBreaksKeepsItsOneRow) {
    TempDir dir;
    const std::string file = dir / "batch.csv", odd = "a, \"b\"\nc.avi";
    BatchTable first(file);
    ASSERT_EQ(failure(first.refresh()), "");
    first.set(odd, {"done", "0", "5", "1.00", "it said \"fine\", then stopped"});
    first.set("plain.avi", {"failed", "3", "0", "0.10", "cannot open"});
    ASSERT_EQ(failure(first.save()), "");
    const std::string header = "input,status,exit,frames,seconds,message\n", plain = "plain.avi,failed,3,0,0.10,cannot open\n";
    EXPECT_EQ(readFile(file),
              header + "\"a, \"\"b\"\"\nc.avi\",done,0,5,1.00,\"it said \"\"fine\"\", then stopped\"\n" + plain);
    writeFile(file, readFile(file) + "\"x\"y,done\n");
    BatchTable second(file);
    ASSERT_EQ(failure(second.refresh()), "");
    second.set(odd, {"skipped", "", "5", "0.00", ""});
    ASSERT_EQ(failure(second.save()), "");
    EXPECT_EQ(readFile(file), header + "\"a, \"\"b\"\"\nc.avi\",skipped,,5,0.00,\n" + plain + "\"x\"y,done\n");
}

// The frames a run samples as it reads are the frames the app reads again to redraw.
TEST(BackgroundPlan, SamplesStayFewAndSpreadOverTheWholeRun) {
    std::vector<int64_t> every4;
    for (int64_t f = 0; f < 100; f += 4) every4.push_back(f);
    EXPECT_EQ(ambrevo::BackgroundPlan::frames(100, 100), every4);
    for (const auto& [expected, read] : {std::pair<int64_t, int64_t>{0, 1000}, {100, 5000}, {-1, 49}}) {
        const std::vector<int64_t> taken = ambrevo::BackgroundPlan::frames(expected, read);
        EXPECT_TRUE(taken.size() >= 25 && taken.size() < 50 && taken[0] == 0) << taken.size();
        EXPECT_GE(taken.back(), read / 2) << "the samples reach the run's second half";
    }
    // Taken as the frames are read, kept as they are written: a run that read ahead of what it
    // wrote holds the samples of the frames written, as if it had read no further.
    for (const auto& [expected, read, written] : {std::array<int64_t, 3>{0, 1000, 1000}, {100, 5000, 3001}, {40, 40, 17}}) {
        ambrevo::SampleTaker taker(expected);
        ambrevo::BackgroundSamples kept;
        for (int64_t f = 0; f < read; ++f) {
            cv::Mat sample = taker.take(cv::Mat_<uchar>({1, 2}, {uchar(f / 256), uchar(f % 256)}));
            if (f < written) kept.keep(std::move(sample));
        }
        std::vector<int64_t> frames;
        for (const cv::Mat& s : kept.samples()) frames.push_back(s.at<cv::Vec3b>(0, 0)[0] * 256 + s.at<cv::Vec3b>(0, 1)[0]);
        EXPECT_EQ(frames, ambrevo::BackgroundPlan::frames(expected, written)) << read << " read, " << written << " written";
    }
}

TEST(InputKind, NamesThenTheFileSystemTellWhatAnInputIs) {
    TempDir dir;
    fs::create_directories(dir / "frames");
    for (const char* name : {"clip.avi", "clip.dat", "one.PNG", "frames/0.png", "100%.avi"}) writeFile(dir / name, "x");
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    const std::vector<std::pair<std::string, InputKind>> cases = {
        {"demo", InputKind::demo}, {"cam:0", InputKind::camera}, {"cam:x", InputKind::camera},
        {"rtsp://10.0.0.7/s", InputKind::stream}, {"gst:videotestsrc", InputKind::stream},
        {dir / "frames/%d.png", InputKind::pattern}, {dir / "100%.avi", InputKind::video},
        {dir / "frames", InputKind::folder}, {dir / "frames/", InputKind::folder}, {dir / "one.PNG", InputKind::image},
        {dir / "clip.avi", InputKind::video}, {dir / "clip.dat", InputKind::video},
        {dir / "missing.avi", InputKind::missing}, {dir / "pipe", InputKind::pipe}, {"/dev/null", InputKind::special},
    };
    for (const auto& [input, kind] : cases) EXPECT_EQ(int(inputKind(input)), int(kind)) << input;
}

// A unit whose name holds a comma and quotes: through the run's track files and summary, the
// score and the review's table.
TEST(Unit, ACommaAndQuotesInItsNameReachEveryFileWhole) {
    TempDir dir;
    const std::string unit = "mm, \"wet\"";
    RUN_OK(r, dir, "demo --frames 12 --scale 2 --unit 'mm, \"wet\"' --link 20 --tracks t.csv --summary s.csv --quiet");
    RUN_OK(j, dir, "demo --frames 12 --scale 2 --unit 'mm, \"wet\"' --tracks t.json --quiet");
    const std::string quoted = "\"x_mm, \"\"wet\"\"\",\"y_mm, \"\"wet\"\"\"";
    EXPECT_HOLDS(readFile(dir / "t.csv"), "\nframe,object,x,y,area,time_s,track,missing," + quoted + "\n");
    const std::string summary = readFile(dir / "s.csv");
    EXPECT_EQ(records(summary).at(0).at(5), "mean_speed_" + unit + "_per_s") << summary;
    EXPECT_NE(readFile(dir / "t.json").find(", \"x_mm, \\\"wet\\\"\": "), std::string::npos);

    const ambrevo::TrackTable t = ambrevo::TrackTable::read(dir / "t.csv");
    EXPECT_EQ(t.meta("unit"), unit);
    size_t seen = 0;
    for (size_t i = 0; i < t.size(); ++i) seen += !t.missing(i);
    ASSERT_GT(seen, 12u);
    // Both files against a truth file that quotes its cells, one of them over two lines.
    writeFile(dir / "truth.csv", "frame,object,x,y,\"where, how\"\n\"0\",0,1,1,\"a \"\"b\"\"\nc\"\n");
    for (const char* file : {"t.csv", "t.json"}) {
        RUN_OK(score, dir, std::string("score ") + file + " truth.csv");
        EXPECT_HOLDS(score.out, "true positions: 1\nreported positions: " + std::to_string(seen) + "\n") << file;
    }
}
