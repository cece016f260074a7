#include "batch_folder.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

bool sameFile(int fd, const std::string& path) {
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

bool noLocks(int error) { return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL; }

// The id of the process that made temporary `name` for a file named `target` (pendingName's
// pattern, .TARGET.TAG-PID[-N]EXT), or -1 when `name` is no such temporary. An empty `target`
// takes any.
long long temporaryOwner(const std::string& name, const std::string& target) {
    static const std::regex pattern(R"(\.(.+)\.([a-z]+)-([0-9]{1,9})(-[0-9]+)?(\.[^.]*)?)");
    std::smatch m;
    if (!std::regex_match(name, m, pattern)) return -1;
    if (!target.empty() && m[1] != target) return -1;
    if (m[5].str() != fs::path(m[1].str()).extension().string()) return -1;
    return std::stoll(m[3]);
}

bool processGone(long long pid) { return pid > 0 && pid != ::getpid() && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH; }

void removeIfDead(const fs::path& file, const std::string& target) {
    std::error_code ec;
    if (fs::is_regular_file(fs::symlink_status(file, ec)) && processGone(temporaryOwner(file.filename().string(), target)))
        fs::remove(file, ec);
}

}  // namespace

Outcome FolderLock::acquire(const std::string& dir, const std::atomic<int>& stop, std::string& notice) {
    release();
    path_ = (fs::path(dir) / ".batch.lock").string();
    const auto giveUp = Clock::now() + std::chrono::seconds(30);
    for (;;) {
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
        if (fd_ < 0) return outputFailure("cannot make the batch lock '" + path_ + "': " + std::strerror(errno));
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            if (sameFile(fd_, path_)) return {};
            ::close(fd_), fd_ = -1;  // its last holder removed it: the lock is another file's now
            continue;
        }
        const int why = errno;
        ::close(fd_), fd_ = -1;
        if (noLocks(why)) {
            notice = "the file system of '" + dir + "' has no locks: do not run two batches into it at once";
            return {};
        }
        if (stop.load()) return outputFailure("stopped while waiting for the batch lock '" + path_ + "'");
        if (Clock::now() > giveUp)
            return outputFailure("another process has held the batch lock '" + path_ +
                                 "' for 30 s; try again when it is done");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void FolderLock::release() {
    if (fd_ < 0) return;
    // Removed while still held: whoever waits on this file finds it gone and takes a new one.
    ::unlink(path_.c_str());
    ::close(fd_);
    fd_ = -1;
}

Outcome BatchPresence::open(const std::string& dir) {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) std::strcpy(host, "host");
    std::string h = host;
    for (char& c : h)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
    // The process id, and a number of this start alone: a later batch that gets the same id
    // (after a reboot) does not take a dead batch's claims for its own.
    std::random_device random;
    char nonce[16];
    std::snprintf(nonce, sizeof nonce, "%08x", unsigned(random()));
    name_ = ".batch-" + h + "-" + std::to_string(::getpid()) + "-" + nonce + ".alive";
    path_ = (fs::path(dir) / name_).string();
    // Not inherited by the runs: the presence ends with the batch itself.
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
    if (fd_ < 0 || (::flock(fd_, LOCK_EX | LOCK_NB) != 0 && !noLocks(errno)))
        return outputFailure("cannot mark the batch as running in '" + dir + "' (" + path_ + ")");
    return {};
}

BatchPresence::~BatchPresence() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
}

bool batchAlive(const std::string& dir, const std::string& name) {
    // Only a presence's own name: a record is no place to name other files from.
    if (name.rfind(".batch-", 0) != 0 || name.find('/') != std::string::npos) return false;
    const int fd = ::open((fs::path(dir) / name).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;
    const bool locked = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return locked;
}

void removeDeadPresences(const std::string& dir) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(".batch-", 0) == 0 && name.size() > 6 && name.ends_with(".alive") && !batchAlive(dir, name))
            fs::remove(e.path(), ec);
    }
}

void removeDeadTemporaries(const std::vector<std::string>& targets) {
    std::error_code ec;
    std::map<fs::path, std::set<std::string>> byFolder;
    for (const std::string& target : targets) {
        const fs::path t(target);
        byFolder[t.parent_path().empty() ? fs::path(".") : t.parent_path()].insert(t.filename().string());
        // A folder of pictures (--dst, --windows): the temporaries of its files.
        if (fs::is_directory(fs::symlink_status(t, ec)))
            for (const auto& e : fs::directory_iterator(t, ec)) removeIfDead(e.path(), "");
    }
    // Each folder read once, however many targets it holds.
    for (const auto& [folder, names] : byFolder)
        for (const auto& e : fs::directory_iterator(folder, ec)) {
            const std::string name = e.path().filename().string();
            const size_t tag = name.find_last_of('.', name.rfind('-'));
            if (name.size() > 1 && name[0] == '.' && tag != std::string::npos && names.count(name.substr(1, tag - 1)))
                removeIfDead(e.path(), name.substr(1, tag - 1));
        }
}

std::string fileIdentity(const std::string& file) {
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0) return "none";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" + std::to_string(st.st_size) + ":" +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

Expected<std::string> readSmallFile(const std::string& file, const std::string& what, long long largest) {
    // Not blocking: a FIFO in the file's place must not hold the batch up.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::string();
        return outputFailure("cannot read the " + what + " '" + file + "'");
    }
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    if (!regular || st.st_size > largest) {
        ::close(fd);
        const std::string kind = S_ISDIR(st.st_mode)                           ? "a folder"
                                 : S_ISFIFO(st.st_mode)                        ? "a FIFO"
                                 : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                                 : !regular                                    ? "no regular file"
                                 : "larger than " + std::to_string(largest >> 20) + " MiB";
        return outputFailure("the " + what + " '" + file + "' is " + kind + ": remove it or give another --out-dir");
    }
    std::string text(size_t(st.st_size), '\0');
    size_t got = 0;
    for (ssize_t n = 1; got < text.size() && n > 0;) {
        n = ::read(fd, text.data() + got, text.size() - got);
        if (n > 0) got += size_t(n);
        if (n < 0 && errno == EINTR) n = 1;
    }
    ::close(fd);
    text.resize(got);
    return text;
}
