// Identities by appearance (pipeline/tracks/identity.h) measured on generated footage with
// exact truth: the crowd procedure run over a video through the module's C interface, as the
// program runs it (the arenas painted out, the settings a user gives), its objects linked by
// the whole-run linker as `--link STEP,MEM,predict,global` links them, then the identity pass
// over the linked tracks; both scored against the truth as `ambrevo score` scores them.
//
//   crowd_identity VIDEO TRUTH [--link STEP,MEM] [--out DIR] [--dump FILE] -- OPTIONS...
//
// OPTIONS are the program's: `--set NAME=VALUE`, `--animals N[,N...]`, `--roi REGION`
// (scene folders' options.txt and arenas.txt hold them). --out writes DIR/linked.csv and
// DIR/identified.csv (frame,object,x,y and the identity's confidence; an object none of the
// animals' identities took keeps its linked track, numbered from 1000000) for `ambrevo score`;
// --dump writes every object's record with its linked track, for study. Prints one line:
//   frames fps  linked: MOTA IDF1 switches  identified: MOTA IDF1 switches  seconds
// where seconds is the identity pass's own time.
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

#include "adaptor/ambrevo.h"
#include "ambrevo/pipeline/tracks/identity.h"
#include "ambrevo/pipeline/tracks/link_global.h"
#include "ambrevo/pipeline/tracks/roi.h"
#include "score.h"

namespace {

struct Request {
    std::string video, truth, out, dump, cache;
    std::vector<std::pair<std::string, std::string>> settings;  // name, value
    std::vector<int> animals;                                    // per arena
    std::vector<std::string> rois;
    ambrevo::LinkSettings link;
};

std::vector<int> counts(const std::string& text) {
    std::vector<int> out;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        out.push_back(std::stoi(text.substr(at, comma - at)));
        at = comma + 1;
    }
    return out;
}

Request parse(int argc, char** argv) {
    if (argc < 3) throw std::invalid_argument("usage: crowd_identity VIDEO TRUTH [--link S,M] [--out DIR] [--dump FILE] -- OPTIONS");
    Request r;
    r.video = argv[1], r.truth = argv[2];
    r.link = ambrevo::parse_link_option("15,5");
    r.link.predict = true, r.link.global = true;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(a + " needs a value");
            return argv[++i];
        };
        if (a == "--link") {
            const bool global = r.link.global;
            r.link = ambrevo::parse_link_option(value());
            r.link.predict = true, r.link.global = global;
        } else if (a == "--out") r.out = value();
        else if (a == "--dump") r.dump = value();
        else if (a == "--cache") r.cache = value();
        else if (a == "--set") {
            const std::string s = value();
            const size_t eq = s.find('=');
            if (eq == std::string::npos) throw std::invalid_argument("--set " + s + ": expected NAME=VALUE");
            r.settings.push_back({s.substr(0, eq), s.substr(eq + 1)});
        } else if (a == "--animals") r.animals = counts(value());
        else if (a == "--roi") r.rois.push_back(value());
        else if (a != "--") throw std::invalid_argument("unknown option " + a);
    }
    return r;
}

// One object of one frame as the module described it.
struct Seen {
    long long frame;
    ambrevo_details d;
};

void check(ambrevo_status s, const char* what) {
    if (s != AMBREVO_OK) throw std::runtime_error(std::string(what) + ": " + ambrevo_last_error());
}

ambrevo_procedure* create(const Request& r, cv::Size size) {
    ambrevo_procedure* p = nullptr;
    check(ambrevo_create("crowd", size.width, size.height, 3, &p), "crowd");
    for (const auto& [name, value] : r.settings) check(ambrevo_param_set_text(p, name.c_str(), value.c_str()), name.c_str());
    if (!r.animals.empty())
        check(ambrevo_param_set(p, "animals", std::accumulate(r.animals.begin(), r.animals.end(), 0.0)), "animals");
    return p;
}

ambrevo::ArenaMap arenasOf(const Request& r, cv::Size size) {
    std::vector<ambrevo::Arena> list;
    for (const std::string& g : r.rois) list.push_back(ambrevo::parse_roi(g));
    return list.empty() ? ambrevo::ArenaMap() : ambrevo::ArenaMap(std::move(list), size);
}

// The objects a run saw, kept for another run of the identity pass alone.
struct CacheHead {
    int32_t width, height;
    int64_t frames, count;
};

bool readCache(const std::string& file, const Request& r, std::vector<Seen>& seen, ambrevo::ArenaMap& arenas,
               long long& frames) {
    std::ifstream in(file, std::ios::binary);
    CacheHead h{};
    if (!in.read(reinterpret_cast<char*>(&h), sizeof h)) return false;
    seen.resize(size_t(h.count));
    if (!in.read(reinterpret_cast<char*>(seen.data()), std::streamsize(seen.size() * sizeof(Seen)))) return false;
    arenas = arenasOf(r, cv::Size(h.width, h.height));
    frames = h.frames;
    return true;
}

void writeCache(const std::string& file, cv::Size size, const std::vector<Seen>& seen, long long frames) {
    std::ofstream out(file, std::ios::binary);
    const CacheHead h{size.width, size.height, frames, int64_t(seen.size())};
    out.write(reinterpret_cast<const char*>(&h), sizeof h);
    out.write(reinterpret_cast<const char*>(seen.data()), std::streamsize(seen.size() * sizeof(Seen)));
}

// Every object of every frame, the frames painted outside the arenas as the program paints them.
std::vector<Seen> observe(const Request& r, ambrevo::ArenaMap& arenas, long long& frames) {
    cv::VideoCapture in(r.video);
    if (!in.isOpened()) throw std::runtime_error("cannot read " + r.video);
    std::vector<Seen> seen;
    ambrevo_procedure* p = nullptr;
    std::vector<ambrevo_details> details;
    cv::Mat bgr;
    cv::Size size;
    for (frames = 0; in.read(bgr); ++frames) {
        if (!p) {
            size = bgr.size();
            p = create(r, bgr.size());
            arenas = arenasOf(r, bgr.size());
        }
        if (arenas.count() > 0) arenas.paint_outside(bgr);
        const ambrevo_frame f{bgr.data, bgr.cols, bgr.rows, int64_t(bgr.step), 3};
        check(ambrevo_process(p, &f, nullptr, 0), "process");
        int32_t count = 0;
        check(ambrevo_object_details(p, nullptr, 0, sizeof(ambrevo_details), &count), "details");
        details.resize(size_t(count));
        check(ambrevo_object_details(p, details.data(), count, sizeof(ambrevo_details), &count), "details");
        for (const ambrevo_details& d : details) seen.push_back({frames, d});
    }
    ambrevo_destroy(p);
    if (!r.cache.empty()) writeCache(r.cache, size, seen, frames);
    return seen;
}

int groupOf(const ambrevo::ArenaMap& arenas, double x, double y) {
    if (arenas.count() == 0) return 0;
    const int a = arenas.arena_of(x, y);
    return a == 0 ? arenas.count() : a - 1;
}

// The linked track of every object, as the program links them (KeptRows::linkKept).
std::vector<long long> linked(const Request& r, const ambrevo::ArenaMap& arenas, const std::vector<Seen>& seen) {
    std::vector<ambrevo::GroupedRow> rows;
    for (const Seen& s : seen) rows.push_back({s.frame, s.d.x, s.d.y, groupOf(arenas, s.d.x, s.d.y)});
    std::vector<long long> track(seen.size(), -1);
    for (const ambrevo::LinkedRow& l : ambrevo::link_global(rows, r.link, r.animals))
        if (!l.missing) track[size_t(l.row)] = l.track;
    return track;
}

ambrevo::Looks looksOf(const ambrevo_details& d) {
    ambrevo::Looks l;
    l.area = d.area, l.length = d.length, l.width = d.width, l.intensity = d.intensity, l.texture = d.texture;
    l.elongation = d.elongation;
    std::copy(std::begin(d.profile), std::end(d.profile), l.profile.begin());
    l.midline = (d.posture & AMBREVO_POSTURE_MIDLINE) != 0;
    l.head = (d.posture & AMBREVO_POSTURE_HEAD) != 0;
    return l;
}

void writeTracks(const std::string& file, const std::vector<Seen>& seen, const std::vector<long long>& ids,
                 const std::vector<double>& sure) {
    std::ofstream out(file);
    out << "frame,object,x,y,identity_confidence,row\n";
    for (size_t i = 0; i < seen.size(); ++i)
        if (ids[i] >= 0)
            out << seen[i].frame << ',' << ids[i] << ',' << seen[i].d.x << ',' << seen[i].d.y << ','
                << (sure.empty() ? 1.0 : sure[i]) << ',' << i << '\n';
}

void dump(const std::string& file, const std::vector<Seen>& seen, const std::vector<long long>& track,
          const ambrevo::ArenaMap& arenas) {
    std::ofstream out(file);
    out << "frame,track,group,x,y,posture,area,length,width,intensity,texture,elongation,orientation,heading";
    for (int k = 0; k < AMBREVO_MIDLINE_POINTS; ++k) out << ",p" << k;
    out << '\n';
    for (size_t i = 0; i < seen.size(); ++i) {
        const ambrevo_details& d = seen[i].d;
        out << seen[i].frame << ',' << track[i] << ',' << groupOf(arenas, d.x, d.y) << ',' << d.x << ',' << d.y << ','
            << d.posture << ',' << d.area << ',' << d.length << ',' << d.width << ',' << d.intensity << ','
            << d.texture << ',' << d.elongation << ',' << d.orientation << ',' << d.heading;
        for (float p : d.profile) out << ',' << p;
        out << '\n';
    }
}

ambrevo::ScoreResult scored(const std::vector<ambrevo::ScorePoint>& truth, const std::vector<Seen>& seen,
                            const std::vector<long long>& ids) {
    std::vector<ambrevo::ScorePoint> reported;
    for (size_t i = 0; i < seen.size(); ++i)
        if (ids[i] >= 0) reported.push_back({seen[i].frame, ids[i], seen[i].d.x, seen[i].d.y});
    return ambrevo::score_tracks(truth, reported, 5);
}

// Identities of objects no animal's path took begin here, far beyond any count.
constexpr long long strayIds = 1000000;

int run(const Request& r) {
    ambrevo::ArenaMap arenas;
    long long frames = 0;
    const auto begin = std::chrono::steady_clock::now();
    std::vector<Seen> seen;
    if (r.cache.empty() || !readCache(r.cache, r, seen, arenas, frames)) seen = observe(r, arenas, frames);
    const double moduleSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const std::vector<long long> track = linked(r, arenas, seen);
    if (!r.dump.empty()) dump(r.dump, seen, track, arenas);

    std::vector<ambrevo::IdentityRow> rows;
    for (size_t i = 0; i < seen.size(); ++i)
        rows.push_back({seen[i].frame, track[i], seen[i].d.x, seen[i].d.y, groupOf(arenas, seen[i].d.x, seen[i].d.y),
                        (seen[i].d.posture & AMBREVO_POSTURE_SPLIT) != 0, looksOf(seen[i].d)});
    ambrevo::IdentitySettings settings;
    settings.animals = r.animals;
    settings.max_step = r.link.max_step, settings.memory = r.link.memory;
    const auto start = std::chrono::steady_clock::now();
    const std::vector<ambrevo::Identity> given = ambrevo::identify(rows, settings);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // An object no animal's path took (beside all N: a ghost, a piece of an animal) is still
    // reported, under its linked track, as the program reports what it cannot place.
    std::vector<long long> ids(seen.size());
    std::vector<double> sure(seen.size());
    for (size_t i = 0; i < seen.size(); ++i)
        ids[i] = given[i].identity >= 0 ? given[i].identity : strayIds + track[i], sure[i] = given[i].confidence;

    const std::vector<ambrevo::ScorePoint> truth = ambrevo::read_truth(r.truth);
    const ambrevo::ScoreResult before = scored(truth, seen, track), after = scored(truth, seen, ids);
    if (!r.out.empty()) {
        writeTracks(r.out + "/linked.csv", seen, track, {});
        writeTracks(r.out + "/identified.csv", seen, ids, sure);
    }
    std::printf("%lld %.1f %.4f %.4f %lld %.4f %.4f %lld %.3f\n", frames, double(frames) / moduleSeconds, before.mota(),
                before.idf1(), before.switches, after.mota(), after.idf1(), after.switches, seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(parse(argc, argv));
    } catch (const std::exception& e) {
        std::cerr << "crowd_identity: " << e.what() << "\n";
        return 1;
    }
}
