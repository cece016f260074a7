// A file a user names for reading whole: a track file to score, a truth file. Regular files
// and pipes (a FIFO, a shell's process substitution, standard input redirected from one) are
// read; a folder or a device is refused with a message that names it, rather than read as
// an empty file or an endless one. A pipe is read in waits of a tenth of a second, so that a
// stop request ends a wait for a writer that never comes, and a writer silent for longer than
// a pipe of the program's other files may be is given up.
#pragma once

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "ambrevo/pipeline/core/files.h"
#include "ambrevo/pipeline/core/stop.h"

class InputFile : public std::streambuf {
public:
    // Thrown by a read when a pipe's writer sent nothing for the wait allowed.
    struct Silent : std::runtime_error {
        using std::runtime_error::runtime_error;
    };

    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile() override;

    // `what` names the file in the message ("track file"). An input failure when it cannot
    // be opened or is no file to read. A read throws StopRequested once `stop` asks, and
    // Silent when a pipe's writer sent nothing for `pipeWait` seconds.
    Outcome open(const std::string& path, const std::string& what, const StopToken& stop,
                 double pipeWait = pipeWaitSeconds);

    // The next line without its end ('\n', and a '\r' before it); false at the end of the
    // input. A line longer than `longest` bytes, or holding a NUL byte, is no text line:
    // std::runtime_error says so, with the line's number.
    bool line(std::string& text, size_t longest = size_t(1) << 20);
    // The first byte that is not white space, not taken: what kind of text follows.
    int firstVisible();

protected:
    int_type underflow() override;

private:
    [[noreturn]] void silent() const;

    int fd_ = -1;
    bool pipe_ = false;
    long long lines_ = 0;
    std::string held_;  // white space taken by firstVisible(), given back by line()
    std::string path_, what_;
    StopToken stop_;
    double pipeWait_ = pipeWaitSeconds;
    std::chrono::steady_clock::time_point heard_;  // the pipe's last byte, or its opening
    char buffer_[1 << 16];
};
