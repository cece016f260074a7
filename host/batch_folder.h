// What batches writing into one --out-dir share, and how they keep out of each other's way.
//
// - The folder's lock (OUT/.batch.lock, flock): held only while a batch reads and rewrites
//   batch.json and batch.csv, so that two batches never write over each other's records. The
//   file exists only while someone holds it: the holder removes it before letting go, and a
//   batch that finds it has locked a removed file tries again.
// - Each running batch's presence (OUT/.batch-HOST-PID-NONCE.alive), locked for the batch's whole
//   life: the kernel lets go of it when the batch dies, however it dies (SIGKILL, the OOM
//   killer), so another batch can tell a live batch's claim on an input from a dead one's on
//   any host that shares the folder and its locks.
// - Temporaries of runs that died (.NAME.TAG-PID...): removed when no process of that id is
//   alive here and no live batch claims the input.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "ambrevo/pipeline/core/failure.h"

class FolderLock {
public:
    // Waits for the lock of `dir` while `stop` stays 0; an output failure when it could not be
    // taken (a stop, a folder that takes no file, or a holder that keeps it for 30 s). On a file
    // system without locks it goes on unlocked and says so once in `notice`.
    Outcome acquire(const std::string& dir, const std::atomic<int>& stop, std::string& notice);
    void release();
    ~FolderLock() { release(); }

private:
    int fd_ = -1;
    std::string path_;
};

// This batch's presence in a folder, from open() to the end of the object.
class BatchPresence {
public:
    Outcome open(const std::string& dir);
    ~BatchPresence();
    // The name that claims of this batch carry.
    const std::string& name() const { return name_; }

private:
    int fd_ = -1;
    std::string name_, path_;
};

// Whether the batch that left `name` (a presence's name) in `dir` is running.
bool batchAlive(const std::string& dir, const std::string& name);

// Removes the presences of dead batches in `dir`.
void removeDeadPresences(const std::string& dir);

// Removes the temporaries of `targets` (files or folders) whose writer is no process alive here.
void removeDeadTemporaries(const std::vector<std::string>& targets);

// What identifies a file's present content: device, inode, size and time of change; "none"
// when there is no file.
std::string fileIdentity(const std::string& file);

// The whole of `file` when it is a regular file of at most `largest` bytes (empty when there
// is no file). An output failure when it is something else (a folder, a FIFO, a device: not
// read, and not waited for) or too large: the message names the way out.
Expected<std::string> readSmallFile(const std::string& file, const std::string& what, long long largest);
