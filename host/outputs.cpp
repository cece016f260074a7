#include "outputs.h"

#include <cstdio>
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

std::string number(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", double(v));
    return text;
}
}  // namespace

bool TracksWriter::open(const std::string& file, const std::string& procedure, std::string& error) {
    file_ = file;
    json_ = endsWithNoCase(file, ".json");
    columns_ = procedure == "flowtrack" ? flow : procedure == "ccTrack" ? contour : all;
    out_.open(file, std::ios::binary | std::ios::trunc);
    if (!out_) {
        error = "cannot write --tracks file '" + file + "'";
        return false;
    }
    if (json_) {
        out_ << "{\"procedure\": \"" << procedure << "\", \"frames\": [";
    } else {
        out_ << "frame,object,x,y";
        if (columns_ == flow) out_ << ",area";
        if (columns_ == contour) out_ << ",vx,vy,points,appearances,selected";
        if (columns_ == all) out_ << ",area,vx,vy,points,appearances,selected";
        out_ << '\n';
    }
    return bool(out_);
}

void TracksWriter::frame(int64_t frame, const std::vector<ip_objectRecord>& objects) {
    if (!out_.is_open()) return;
    if (!json_) {
        for (const ip_objectRecord& o : objects) {
            out_ << frame << ',' << o.index << ',' << o.x << ',' << o.y;
            if (columns_ != contour) out_ << ',' << o.area;
            if (columns_ != flow)
                out_ << ',' << number(o.vx) << ',' << number(o.vy) << ',' << o.pointCount << ',' << o.appearances << ','
                     << o.selected;
            out_ << '\n';
        }
    } else {
        out_ << (firstFrame_ ? "\n" : ",\n") << "  {\"frame\": " << frame << ", \"objects\": [";
        bool first = true;
        for (const ip_objectRecord& o : objects) {
            out_ << (first ? "" : ", ") << "{\"object\": " << o.index << ", \"x\": " << o.x << ", \"y\": " << o.y;
            if (columns_ != contour) out_ << ", \"area\": " << o.area;
            if (columns_ != flow)
                out_ << ", \"vx\": " << number(o.vx) << ", \"vy\": " << number(o.vy) << ", \"points\": " << o.pointCount
                     << ", \"appearances\": " << o.appearances << ", \"selected\": " << (o.selected ? "true" : "false");
            if (columns_ != contour) {
                out_ << ", \"rays\": [";
                int n = std::max(0, std::min<int>(o.rayCount, ip_objectMaxRays));
                for (int i = 0; i < n; ++i) out_ << (i ? ", " : "") << number(o.rays[i]);
                out_ << "]";
            }
            out_ << "}";
            first = false;
        }
        out_ << "]}";
        firstFrame_ = false;
    }
    out_.flush();
}

bool TracksWriter::finish(std::string& error) {
    if (!out_.is_open()) return true;
    if (json_) out_ << (firstFrame_ ? "]}\n" : "\n]}\n");
    out_.flush();
    bool ok = bool(out_);
    out_.close();
    if (!ok) error = "cannot write --tracks file '" + file_ + "'";
    return ok;
}

bool DstWriter::open(const std::string& dir, std::string& error) {
    dir_ = dir;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) {
        error = "cannot create --dst folder '" + dir + "'";
        return false;
    }
    return true;
}

bool DstWriter::write(int64_t frame, const cv::Mat& exact, std::string& error) {
    char name[32];
    std::snprintf(name, sizeof name, "dst_%06lld.png", static_cast<long long>(frame));
    std::string file = dir_ + "/" + name;
    bool ok = false;
    if (!exact.empty()) {
        try {
            ok = cv::imwrite(file, exact);
        } catch (const cv::Exception&) {
            ok = false;
        }
    }
    if (!ok) error = "cannot write destination image '" + file + "'";
    return ok;
}

bool VideoOut::probe(const std::string& file, std::string& error) {
    file_ = file;
    std::error_code ec;
    const bool existed = fs::exists(file, ec);
    {
        std::ofstream test(file, std::ios::binary | std::ios::app);
        if (!test) {
            error = "cannot write video '" + file + "'";
            return false;
        }
    }
    // The encoder creates the file with the first frame; a run that stops before it
    // leaves no empty video behind.
    if (!existed) fs::remove(file, ec);
    return true;
}

bool VideoOut::write(const cv::Mat& bgr, double fps, std::string& error) {
    if (!writer_.isOpened()) {
        first_ = bgr.size();
        // The encoders want even sizes: an odd first frame gets one more row or column.
        size_ = cv::Size(first_.width + first_.width % 2, first_.height + first_.height % 2);
        const bool avi = endsWithNoCase(file_, ".avi");
        const int fourcc = avi ? cv::VideoWriter::fourcc('M', 'J', 'P', 'G') : cv::VideoWriter::fourcc('m', 'p', '4', 'v');
        try {
            writer_.open(file_, cv::CAP_FFMPEG, fourcc, fps, size_, true);
        } catch (const cv::Exception&) {
        }
        if (!writer_.isOpened()) {
            error = "cannot write video '" + file_ + "'";
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
    writer_.write(fitted);
    return true;
}

void VideoOut::finish() {
    if (writer_.isOpened()) writer_.release();
}
