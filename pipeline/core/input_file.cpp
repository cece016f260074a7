#include "core/input_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Outcome InputFile::open(const std::string& path, const std::string& what, const StopToken& stop, double pipeWait) {
    // Not blocking: opening a FIFO would otherwise wait for a writer, deaf to every stop.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0)
        return inputFailure("cannot read " + what + " '" + path + "'" +
                            (errno ? std::string(": ") + std::strerror(errno) : ""));
    std::string refusal;
    if (S_ISDIR(st.st_mode))
        refusal = "is a folder";
    else if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        refusal = "is a device, not a file";
    else if (S_ISSOCK(st.st_mode))
        refusal = "is a socket, not a file";
    if (!refusal.empty())
        return inputFailure(what + " '" + path + "' " + refusal + ": give the file itself (a pipe is fine)");
    pipe_ = S_ISFIFO(st.st_mode);
    if (!pipe_) ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
    path_ = path, what_ = what, stop_ = stop;
    pipeWait_ = pipeWait, heard_ = std::chrono::steady_clock::now();
    return {};
}

void InputFile::silent() const {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%g", pipeWait_);
    throw Silent("cannot read " + what_ + " '" + path_ + "': its writer sent nothing for " + seconds +
                 " s (start the writer first, or give a regular file)");
}

InputFile::int_type InputFile::underflow() {
    if (gptr() < egptr()) return traits_type::to_int_type(*gptr());
    for (;;) {
        if (const int request = stop_.request()) throw StopRequested(request);
        if (pipe_) {
            // A FIFO no writer has opened yet polls as nothing to read; one that a writer has
            // closed polls as hung up, and reads as its end.
            pollfd p{fd_, POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (ready < 0 && errno != EINTR) throw std::runtime_error("cannot read '" + path_ + "'");
            if (ready <= 0) {
                if (std::chrono::steady_clock::now() - heard_ > std::chrono::duration<double>(pipeWait_)) silent();
                continue;
            }
            heard_ = std::chrono::steady_clock::now();
        }
        const ssize_t got = ::read(fd_, buffer_, sizeof buffer_);
        if (got > 0) {
            setg(buffer_, buffer_, buffer_ + got);
            return traits_type::to_int_type(*gptr());
        }
        if (got == 0) return traits_type::eof();
        if (errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("cannot read '" + path_ + "': " + std::strerror(errno));
    }
}

int InputFile::firstVisible() {
    for (int_type c = sgetc(); c != traits_type::eof(); c = sgetc()) {
        if (!std::isspace(c)) return c;
        held_ += traits_type::to_char_type(sbumpc());
    }
    return traits_type::eof();
}

bool InputFile::line(std::string& text, size_t longest) {
    text.clear();
    size_t held = 0;
    auto next = [&] { return held < held_.size() ? traits_type::to_int_type(held_[held++]) : sbumpc(); };
    int_type c = next();
    if (c == traits_type::eof()) return false;
    ++lines_;
    for (; c != traits_type::eof() && c != '\n'; c = next()) {
        if (c == 0)
            throw std::runtime_error("line " + std::to_string(lines_) + " holds a NUL byte: not a text file");
        if (text.size() == longest)
            throw std::runtime_error("line " + std::to_string(lines_) + " is longer than " +
                                     std::to_string(longest >> 10) + " KiB: not a text file of rows");
        text += traits_type::to_char_type(c);
    }
    held_.erase(0, held);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return true;
}
