#include "stderr_watch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "frame_source.h"

void StderrWatch::start() {
    if (file_ >= 0) return;
    char name[] = "/tmp/ambrevo-stderr-XXXXXX";
    file_ = ::mkostemp(name, O_CLOEXEC);
    if (file_ >= 0) ::unlink(name);
}

StderrWatch::~StderrWatch() {
    if (file_ >= 0) ::close(file_);
}

StderrWatch::Scope::Scope(StderrWatch& watch) : watch_(watch) {
    if (watch_.file_ < 0) return;
    hold_ = holdStderr();
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    if (saved_ >= 0 && ::dup2(watch_.file_, STDERR_FILENO) < 0) ::close(saved_), saved_ = -1;
}

StderrWatch::Scope::~Scope() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    const off_t size = ::lseek(watch_.file_, 0, SEEK_CUR);
    if (size <= 0) return;
    std::string text(size_t(size), '\0');
    const ssize_t got = ::pread(watch_.file_, text.data(), text.size(), 0);
    text.resize(got > 0 ? size_t(got) : 0);
    for (size_t done = 0; done < text.size();) {
        const ssize_t put = ::write(STDERR_FILENO, text.data() + done, text.size() - done);
        if (put <= 0) break;
        done += size_t(put);
    }
    if (text.find(watch_.needle_) != std::string::npos) ++watch_.calls_;
    if (::ftruncate(watch_.file_, 0) == 0) ::lseek(watch_.file_, 0, SEEK_SET);
}
