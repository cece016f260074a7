#include "ambrevo/pipeline/core/files.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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

namespace {

std::string kindOf(mode_t mode) {
    if (S_ISREG(mode)) return "";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a named pipe (FIFO)";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    return S_ISSOCK(mode) ? "a socket" : "not a regular file";
}

std::string sizeText(uint64_t bytes) {
    return bytes % (1 << 20) == 0 ? std::to_string(bytes >> 20) + " MB" : std::to_string(bytes) + " bytes";
}

}  // namespace

std::string nonRegularKind(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? kindOf(st.st_mode) : "";
}

namespace {

// What `fd` gives until its end, or why it could not be read. A pipe's end is told only by
// poll: a pipe whose writer has not yet come reads as ended too.
Expected<std::string> readUntilEnd(int fd, bool pipe, uint64_t limit, const StopToken& stop) {
    std::vector<char> buffer(size_t(1) << 16);
    std::string text;
    auto waited = std::chrono::steady_clock::now();
    for (;;) {
        if (pipe) {
            pollfd ready{fd, POLLIN, 0};
            // Interrupted (a signal) or not ready: nothing to read yet.
            if (::poll(&ready, 1, 100) <= 0 || !(ready.revents & (POLLIN | POLLHUP | POLLERR))) {
                if (const int request = stop.request()) return inputFailure(stopCause(request));
                if (std::chrono::steady_clock::now() - waited > std::chrono::duration<double>(pipeWaitSeconds))
                    return inputFailure("its writer sent nothing for " + std::to_string(int(pipeWaitSeconds)) +
                                        " s (start the writer first, or give a regular file)");
                continue;
            }
            waited = std::chrono::steady_clock::now();
        }
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got == 0) return text;
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got < 0) return inputFailure(std::strerror(errno));
        text.append(buffer.data(), size_t(got));
        if (text.size() > limit) return inputFailure("it holds more than " + sizeText(limit));
    }
}

}  // namespace

Expected<std::string> readFileArgument(const std::string& file, const FileArgument& what, const StopToken& stop) {
    // Opened without waiting, so that a pipe without a writer is seen for what it is.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        if (fd >= 0) ::close(fd);
        return inputFailure("cannot read " + what.option + " file '" + file + "'");
    }
    const bool pipe = S_ISFIFO(st.st_mode);
    const std::string kind = pipe ? "" : kindOf(st.st_mode);
    if (!kind.empty() || uint64_t(st.st_size) > what.limit) {
        ::close(fd);
        return inputFailure(what.option + " '" + file + "' is " +
                      (kind.empty() ? "larger than " + sizeText(what.limit) : kind) + ", not " + what.holds +
                      (kind == "a folder" ? "" : "; give a file of at most " + sizeText(what.limit)));
    }
    Expected<std::string> read = readUntilEnd(fd, pipe, what.limit, stop);
    ::close(fd);
    if (read) return read;
    return inputFailure("cannot read " + what.option + " '" + file + "': " + read.error().message);
}

bool syncFile(const std::string& file) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fsync(fd) == 0;
    return ::close(fd) == 0 && ok;
}

std::string jsonString(const std::string& s) {
    // Bytes that are no UTF-8 would make the file no JSON that any reader takes.
    return nlohmann::json(s).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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

Outcome PendingFile::create(const std::string& target, const std::string& what, const std::string& tag) {
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
        const std::string kind = nonRegularKind(target_);
        return failed(": it is " + (kind.empty() ? "not a regular file" : kind));
    }
    std::string temp;
    const int fd = createPending(target_, tag, temp);
    if (fd < 0) return failed();
    ::close(fd);
    temp_ = temp;
    return {};
}

Outcome PendingFile::commit() {
    if (temp_.empty()) return {};
    if (!syncFile(temp_) || std::rename(temp_.c_str(), target_.c_str()) != 0) {
        discard();
        return failed();
    }
    temp_.clear();
    return {};
}

void PendingFile::discard() {
    if (temp_.empty()) return;
    ::unlink(temp_.c_str());
    temp_.clear();
}

Outcome writeText(PendingFile& file, const std::string& text) {
    std::ofstream out(file.path(), std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (out.fail()) {
        file.discard();
        return file.failed();
    }
    return file.commit();
}

Outcome writePicture(PendingFile& file, const cv::Mat& picture) {
    std::vector<uchar> bytes;
    try {
        if (!cv::imencode(".png", picture, bytes)) bytes.clear();
    } catch (const cv::Exception&) {
        bytes.clear();
    }
    if (bytes.empty()) {
        file.discard();
        return file.failed();
    }
    return writeText(file, std::string(bytes.begin(), bytes.end()));
}

Outcome writeWholeFile(const std::string& target, const std::string& what, const std::string& text) {
    PendingFile file;
    const Outcome made = file.create(target, what);
    return made ? writeText(file, text) : made;
}

Outcome prepareFolder(const std::string& dir, const std::string& what, std::string& made) {
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
    const char* refused = nullptr;
    if (!fs::is_directory(dir, ec))
        refused = "cannot create ";
    else if (!PendingFile().create((fs::path(dir) / "probe").string(), what, "probe"))
        refused = "cannot write into ";
    if (!refused) return {};
    removeMadeFolders(dir, made);
    return outputFailure(refused + what + " '" + dir + "'");
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
