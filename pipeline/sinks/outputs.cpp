#include "outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdio>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <filesystem>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <system_error>

namespace fs = std::filesystem;

namespace {
bool endsWithNoCase(const std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i]) return false;
    return true;
}

// A value that is not a finite number is written as missing: an empty CSV field, a JSON
// null (JSON has no NaN or infinity, and its readers refuse them).
std::string number(float v) {
    if (!std::isfinite(v)) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", double(v));
    return text;
}

std::string jsonNumber(float v) { return std::isfinite(v) ? number(v) : "null"; }


// A comment line ends at the first line break; a file name with one must not start a row.
std::string commentText(const std::string& s) {
    std::string out = s;
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    return out;
}

std::string countOrUnknown(int64_t n, const char* unknown) { return n >= 0 ? std::to_string(n) : unknown; }

// Data reaches the disk before the name points at it, so a crash right after the rename
// cannot leave an empty file under the final name.
bool syncFile(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

bool appendFile(std::ostream& out, const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    std::vector<char> buffer(size_t(1) << 16);
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        if (in.gcount() > 0) out.write(buffer.data(), in.gcount());
    }
    return in.eof() && bool(out);
}
}  // namespace

std::string jsonString(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", unsigned(u));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string pendingName(const std::string& target, const std::string& tag, int attempt) {
    const fs::path t(target);
    const std::string name = t.filename().string();
    const std::string n = attempt > 0 ? "-" + std::to_string(attempt) : "";
    const fs::path temp =
        t.parent_path() / ("." + name + "." + tag + "-" + std::to_string(::getpid()) + n + t.extension().string());
    return temp.string();
}

namespace {

// Creates the temporary for `target` empty and returns it open for writing, or -1. A file
// that already goes by the temporary's name belongs to someone else: it is never truncated
// (and then renamed away); the next name is taken instead.
int createPending(const std::string& target, const std::string& tag, std::string& temp) {
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        temp = pendingName(target, tag, attempt);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

bool PendingFile::create(const std::string& target, const std::string& what, std::string& error,
                         const std::string& tag) {
    discard();
    target_ = target;
    what_ = what;
    std::error_code ec;
    // A link keeps pointing where it did: the file it names is the one replaced.
    if (fs::is_symlink(target, ec)) {
        fs::path resolved = fs::weakly_canonical(target, ec);
        if (!ec) target_ = resolved.string();
    }
    const fs::file_status status = fs::status(target_, ec);
    if (fs::exists(status) && !fs::is_regular_file(status)) {
        error = failure() + (fs::is_directory(status) ? ": it is a folder" : ": not a regular file");
        return false;
    }
    std::string temp;
    const int fd = createPending(target_, tag, temp);
    if (fd < 0) {
        error = failure();
        return false;
    }
    ::close(fd);
    temp_ = temp;
    return true;
}

bool PendingFile::commit(std::string& error) {
    if (temp_.empty()) return true;
    if (!syncFile(temp_) || std::rename(temp_.c_str(), target_.c_str()) != 0) {
        error = failure();
        discard();
        return false;
    }
    temp_.clear();
    return true;
}

void PendingFile::discard() {
    if (temp_.empty()) return;
    ::unlink(temp_.c_str());
    temp_.clear();
}

bool TracksWriter::open(const std::string& file, const std::string& procedure, std::string& error) {
    file_ = file;
    procedure_ = procedure;
    json_ = endsWithNoCase(file, ".json");
    columns_ = procedure == "flowtrack" ? flow : procedure == "ccTrack" ? contour : all;
    firstFrame_ = true;
    if (file == "-") return openStream(error);
    // The rows go to a file of their own: the metadata above them is known only at the end.
    if (!final_.create(file, "--tracks file", error) || !rowsFile_.create(file, "--tracks file", error, "rows")) {
        discard();
        return false;
    }
    rows_.open(rowsFile_.path(), std::ios::binary | std::ios::trunc);
    if (!rows_) {
        error = final_.failure();
        discard();
        return false;
    }
    return true;
}

bool TracksWriter::frame(int64_t frame, const std::vector<ip_objectRecord>& objects,
                         const std::vector<std::vector<std::string>>* extra) {
    if (!rows_.is_open() && !stream_) return true;
    std::ostream& out = stream_ ? *stream_ : rows_;
    if (stream_ && firstFrame_ && !json_) header(out, RunRecord{}, false, true);
    // The extra cells of object `i`, in the column order.
    auto extraCells = [&](size_t i, bool asJson) {
        std::string out;
        for (size_t c = 0; c < extraColumns_.size(); ++c) {
            const std::string* cell = extra && i < extra->size() && c < (*extra)[i].size() ? &(*extra)[i][c] : nullptr;
            if (asJson)
                out += ", " + jsonString(extraColumns_[c]) + ": " + (cell && !cell->empty() ? *cell : "null");
            else
                out += "," + (cell ? *cell : std::string());
        }
        return out;
    };
    size_t row = 0;
    if (!json_) {
        for (const ip_objectRecord& o : objects) {
            out << frame << ',' << o.index << ',' << o.x << ',' << o.y;
            if (columns_ != contour) out << ',' << o.area;
            if (columns_ != flow)
                out << ',' << number(o.vx) << ',' << number(o.vy) << ',' << o.pointCount << ',' << o.appearances
                      << ',' << o.selected;
            out << extraCells(row++, false) << '\n';
        }
    } else {
        out << (firstFrame_ ? "\n" : ",\n") << "  {\"frame\": " << frame << ", \"objects\": [";
        bool first = true;
        for (const ip_objectRecord& o : objects) {
            out << (first ? "" : ", ") << "{\"object\": " << o.index << ", \"x\": " << o.x << ", \"y\": " << o.y;
            if (columns_ != contour) out << ", \"area\": " << o.area;
            if (columns_ != flow)
                out << ", \"vx\": " << jsonNumber(o.vx) << ", \"vy\": " << jsonNumber(o.vy)
                      << ", \"points\": " << o.pointCount << ", \"appearances\": " << o.appearances
                      << ", \"selected\": " << (o.selected ? "true" : "false");
            if (columns_ != contour) {
                out << ", \"rays\": [";
                int n = std::max(0, std::min<int>(o.rayCount, ip_objectMaxRays));
                for (int i = 0; i < n; ++i) out << (i ? ", " : "") << jsonNumber(o.rays[i]);
                out << "]";
            }
            out << extraCells(row++, true) << "}";
            first = false;
        }
        out << "]}";
    }
    firstFrame_ = false;
    out.flush();
    return bool(out);
}

void TracksWriter::header(std::ostream& out, const RunRecord& r, bool meta, bool names) const {
    if (json_) {
        out << "{\"procedure\": " << jsonString(procedure_) << ", \"frames\": [";
        return;
    }
    if (meta) writeMetadata(out, r);
    if (!names) return;
    out << "frame,object,x,y";
    if (columns_ == flow) out << ",area";
    if (columns_ == contour) out << ",vx,vy,points,appearances,selected";
    if (columns_ == all) out << ",area,vx,vy,points,appearances,selected";
    for (const std::string& name : extraColumns_) out << ',' << name;
    out << '\n';
}

void TracksWriter::writeMetadata(std::ostream& out, const RunRecord& r) const {
    out << "# ambrevo track file\n"
        << "# source: " << commentText(r.source) << '\n'
        << "# procedure: " << commentText(procedure_) << '\n'
        << "# frame_size: " << r.width << 'x' << r.height << '\n'
        << "# pixels: " << (r.grey ? "grey" : "bgr") << '\n'
        << "# first_frame: " << r.start << '\n'
        << "# frames_read: " << r.framesRead << '\n'
        << "# frames_expected: " << countOrUnknown(r.expected, "unknown") << '\n'
        << "# frames_in_input: " << countOrUnknown(r.announced, "unknown") << '\n'
        << "# status: " << (r.complete ? "complete" : "partial") << '\n';
    if (!r.complete) out << "# reason: " << commentText(r.reason) << '\n';
    if (!r.moduleVersion.empty()) out << "# module_version: " << commentText(r.moduleVersion) << '\n';
    for (const auto& [name, value] : r.settings) out << "# setting " << commentText(name) << ": " << value << '\n';
    for (const RunRecord::Item& item : r.extra) out << "# " << item.key << ": " << commentText(item.value) << '\n';
}

bool TracksWriter::finish(const RunRecord& r, std::string& error) {
    if (stream_) return finishStream(r, error);
    if (!rows_.is_open()) return true;
    rows_.flush();
    bool ok = bool(rows_);
    rows_.close();
    ok = ok && !rows_.fail();
    if (ok) {
        std::ofstream out(final_.path(), std::ios::binary | std::ios::trunc);
        header(out, r);
        ok = out && appendFile(out, rowsFile_.path());
        if (json_) {
            out << (firstFrame_ ? "]" : "\n]") << ",\n \"meta\": {\"source\": " << jsonString(r.source)
                << ", \"procedure\": " << jsonString(procedure_) << ", \"frame_size\": [" << r.width << ", " << r.height
                << "], \"pixels\": \"" << (r.grey ? "grey" : "bgr") << "\", \"first_frame\": " << r.start
                << ", \"frames_read\": " << r.framesRead
                << ", \"frames_expected\": " << countOrUnknown(r.expected, "null")
                << ", \"frames_in_input\": " << countOrUnknown(r.announced, "null") << ", \"status\": \""
                << (r.complete ? "complete" : "partial")
                << "\", \"reason\": " << jsonString(r.complete ? "" : r.reason);
            if (!r.moduleVersion.empty()) out << ", \"module_version\": " << jsonString(r.moduleVersion);
            if (!r.settings.empty()) {
                out << ", \"settings\": {";
                for (size_t i = 0; i < r.settings.size(); ++i)
                    out << (i ? ", " : "") << jsonString(r.settings[i].first) << ": " << r.settings[i].second;
                out << "}";
            }
            for (const RunRecord::Item& item : r.extra)
                out << ", " << jsonString(item.key) << ": " << (item.number ? item.value : jsonString(item.value));
            out << "}}\n";
        }
        out.flush();
        ok = ok && bool(out);
        out.close();
        ok = ok && !out.fail();
    }
    if (!ok || !final_.commit(error)) {
        error = final_.failure();
        discard();
        return false;
    }
    rowsFile_.discard();
    return true;
}

void TracksWriter::discard() {
    if (stream_) stream_->flush();
    if (rows_.is_open()) rows_.close();
    rowsFile_.discard();
    final_.discard();
}

// Rows to standard output as each frame finishes, for a program reading them live. Standard
// output then carries nothing else: whatever the run would print there goes to standard error.
bool TracksWriter::openStream(std::string& error) {
    std::cout.flush();
    std::fflush(stdout);
    const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        if (fd >= 0) ::close(fd);
        error = "cannot write --tracks to standard output";
        return false;
    }
    // A reader that goes away makes the next row fail and the run stop, rather than kill it.
    ::signal(SIGPIPE, SIG_IGN);
    streamBuf_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out);
    stream_ = std::make_unique<std::ostream>(streamBuf_.get());
    return true;
}

// The metadata closes the stream: it is known only at the end.
bool TracksWriter::finishStream(const RunRecord& r, std::string& error) {
    if (firstFrame_) header(*stream_, r, false, true);
    writeMetadata(*stream_, r);
    stream_->flush();
    if (!*stream_) {
        error = "cannot write --tracks to standard output";
        return false;
    }
    return true;
}

bool prepareFolder(const std::string& dir, const std::string& what, std::string& made, std::string& error) {
    std::error_code ec;
    made.clear();
    fs::path top = fs::path(dir).lexically_normal();
    if (!top.empty() && top.filename().empty()) top = top.parent_path();  // a trailing slash
    if (!fs::exists(top, ec)) {
        while (top.has_parent_path() && top.parent_path() != top && !fs::exists(top.parent_path(), ec))
            top = top.parent_path();
        made = top.string();
    }
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
        error = "cannot create " + what + " '" + dir + "'";
        removeMadeFolders(dir, made);
        return false;
    }
    PendingFile probe;
    if (!probe.create((fs::path(dir) / "probe").string(), what, error, "probe")) {
        error = "cannot write into " + what + " '" + dir + "'";
        removeMadeFolders(dir, made);
        return false;
    }
    return true;
}

void removeMadeFolders(const std::string& dir, std::string& made) {
    if (made.empty()) return;
    std::error_code ec;
    const fs::path top(made);
    fs::path p = fs::path(dir).lexically_normal();
    if (!p.empty() && p.filename().empty()) p = p.parent_path();
    // fs::remove takes only empty folders: anything someone put there stays.
    while (!p.empty()) {
        fs::remove(p, ec);
        if (p == top || !p.has_parent_path() || p.parent_path() == p) break;
        p = p.parent_path();
    }
    made.clear();
}

bool writeImage(const std::string& file, const cv::Mat& image) {
    if (image.empty()) return false;
    // Encoded in memory and written here: the encoder's own file writing reports a full
    // disk on standard error, in its own words, and no more.
    std::vector<uchar> bytes;
    try {
        if (!cv::imencode(fs::path(file).extension().string(), image, bytes)) return false;
    } catch (const cv::Exception&) {
        return false;
    }
    std::string temp;
    const int fd = createPending(file, "part", temp);
    if (fd < 0) return false;
    ::close(fd);
    bool ok = false;
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        ok = !out.fail();
    }
    ok = ok && std::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

bool DstWriter::open(const std::string& dir, std::string& error) {
    dir_ = dir;
    return prepareFolder(dir, "--dst folder", made_, error);
}

bool DstWriter::write(int64_t frame, const cv::Mat& exact, std::string& error) {
    char name[32];
    std::snprintf(name, sizeof name, "dst_%06lld.png", static_cast<long long>(frame));
    std::string file = dir_ + "/" + name;
    if (!writeImage(file, exact)) {
        error = "cannot write destination image '" + file + "'";
        return false;
    }
    return true;
}

void DstWriter::discard() { removeMadeFolders(dir_, made_); }

bool VideoOut::probe(const std::string& file, std::string& error) {
    target_ = file;
    return file_.create(file, "video", error);
}

bool VideoOut::write(const cv::Mat& bgr, double fps, std::string& error) {
    if (!writer_.isOpened()) {
        first_ = bgr.size();
        // The encoders want even sizes: an odd first frame gets one more row or column.
        size_ = cv::Size(first_.width + first_.width % 2, first_.height + first_.height % 2);
        const bool avi = endsWithNoCase(target_, ".avi");
        const int fourcc =
            avi ? cv::VideoWriter::fourcc('M', 'J', 'P', 'G') : cv::VideoWriter::fourcc('m', 'p', '4', 'v');
        try {
            if (file_.active()) writer_.open(file_.path(), cv::CAP_FFMPEG, fourcc, fps, size_, true);
        } catch (const cv::Exception&) {
        }
        if (!writer_.isOpened()) {
            error = "cannot write video '" + target_ + "'";
            return false;
        }
    }
    cv::Mat fitted;
    if (bgr.size() == size_) {
        fitted = bgr;
    } else if (bgr.size() == first_) {
        cv::copyMakeBorder(bgr, fitted, 0, size_.height - first_.height, 0, size_.width - first_.width,
                           cv::BORDER_REPLICATE);
    } else {
        cv::resize(bgr, fitted, size_);
    }
    try {
        writer_.write(fitted);
    } catch (const cv::Exception&) {
        error = "cannot write video '" + target_ + "'";
        return false;
    }
    ++frames_;
    // The encoder reports no failed write. Once its file system has no free block left
    // the frames from here on are lost: the run stops now rather than hours later.
    struct statvfs disk {};
    const std::string folder = fs::path(file_.path()).parent_path().string();
    if (::statvfs(folder.empty() ? "." : folder.c_str(), &disk) == 0 &&
        (::geteuid() == 0 ? disk.f_bfree : disk.f_bavail) == 0) {
        error = "cannot write video '" + target_ + "': its disk is full";
        return false;
    }
    return true;
}

bool VideoOut::finish(std::string& error) {
    if (!file_.active()) return true;
    if (!writer_.isOpened()) {
        file_.discard();
        return true;
    }
    try {
        writer_.release();
    } catch (const cv::Exception&) {
    }
    // The encoder reports no failed write: read back what the container now says.
    int64_t announced = -1;
    try {
        cv::VideoCapture check(file_.path(), cv::CAP_FFMPEG);
        if (check.isOpened()) announced = int64_t(check.get(cv::CAP_PROP_FRAME_COUNT));
    } catch (const cv::Exception&) {
    }
    if (announced != frames_) {
        error = "cannot write video '" + target_ + "': the finished file does not hold the " + std::to_string(frames_) +
                " frames written (is the disk full?)";
        file_.discard();
        return false;
    }
    return file_.commit(error);
}

void VideoOut::discard() {
    try {
        if (writer_.isOpened()) writer_.release();
    } catch (const cv::Exception&) {
    }
    file_.discard();
}
