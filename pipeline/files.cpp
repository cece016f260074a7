#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <opencv2/imgcodecs.hpp>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

bool endsWithNoCase(const std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i]) return false;
    return true;
}

bool syncFile(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

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

int createPending(const std::string& target, const std::string& tag, std::string& temp) {
    constexpr int attempts = 100;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        temp = pendingName(target, tag, attempt);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

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

bool writeText(PendingFile& file, const std::string& text, std::string& error) {
    std::ofstream out(file.path(), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out.fail()) {
        error = file.failure();
        file.discard();
        return false;
    }
    return file.commit(error);
}

bool writePicture(PendingFile& file, const cv::Mat& picture, std::string& error) {
    std::vector<uchar> bytes;
    try {
        if (!cv::imencode(".png", picture, bytes)) bytes.clear();
    } catch (const cv::Exception&) {
        bytes.clear();
    }
    if (bytes.empty()) {
        error = file.failure();
        file.discard();
        return false;
    }
    return writeText(file, std::string(bytes.begin(), bytes.end()), error);
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
