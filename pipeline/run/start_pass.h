// The start of a run settled backwards. A procedure that learns its animals' sizes and postures
// as it goes reports them badly on its first frames, before it knows them: touching animals
// come out as one bent object or as parts of one. When the input is a file, the run reads its
// first frames ahead, keeps them, and hands them to a second instance last frame first; by the
// time that instance reaches the first frames it has learned what the forward one learns only
// later, and its objects stand in for the forward instance's on them (docs/crowd.md).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "module/frame_job.h"
#include "module/instance.h"

// The first frames whose objects a start pass replaces, and the frames after them the backward
// instance settles on first, unless --start-pass says otherwise.
constexpr StartSpan defaultStartSpan{150, 100}, noStartPass{0, 0};
// The frames kept for the pass take at most this many bytes; a large video keeps fewer frames
// and replaces fewer in proportion.
constexpr int64_t startPassBytes = int64_t(256) << 20;

// The span a pass reads ahead of `frameBytes`-byte frames: fewer frames than `span` asks when
// they would not fit in startPassBytes. None when too few would.
StartSpan fittedSpan(StartSpan span, int64_t frameBytes);

// An object the backward instance reported, turned to how a forward run tells it: the motion
// reversed, and a midline that starts at the end the object moved towards turned end for end,
// since that end is its tail in forward time.
void turnForward(ip_objectRecord& object, ObjectPosture* posture);

class StartPass {
public:
    StartPass() = default;
    StartPass(const StartPass&) = delete;
    StartPass& operator=(const StartPass&) = delete;
    ~StartPass() { finish(); }

    // Room for `count` frames: those kept stay where they are while more are kept.
    void reserve(size_t count) { frames_.reserve(count); }
    // A frame read ahead, in input order, the run's first included.
    void keep(FrameJob job) { frames_.push_back(std::move(job)); }
    size_t kept() const { return frames_.size(); }
    // The frames kept that can be processed: those before the input's end or a failure.
    size_t usable() const;
    FrameJob& at(size_t i) { return frames_[i]; }
    // The next frame read ahead, in place of reading the input; false when none is left. The run's
    // first frame is in the loop's hands already. While the backward instance still reads the
    // frames kept, the frame is a copy sharing their pictures.
    bool take(FrameJob& job);
    // Whether the forward instance found objects on the frame, all of them round.
    static bool round(const FrameJob& job);
    // Runs `backward` over the first `usable` frames kept, last first, keeping its objects on the
    // first `replaced` of them; on a thread of its own when one can be started, so that the run
    // goes on meanwhile. Nothing is kept when the instance fails on a frame or the run is to stop.
    // It only reads the frames: the forward instance may process them meanwhile.
    void settleBehind(std::unique_ptr<Instance> backward, size_t usable, int64_t replaced, const StopToken& stop);
    // Whether the backward instance is still at work.
    bool settling();
    // The frame's objects from the backward instance, when it settled the frame and knows its
    // animals better than the forward one: it knows more of their heads, or, settled by
    // learning (settleByLearning), it had learned its scene there and the forward one had not.
    // Waits for the backward instance to end first when the frame is one it may settle.
    void replace(FrameJob& job);
    // Without the count of animals, a forward instance still learning its scene cuts animals into
    // pieces and reports structure; with heads told, its pieces would count as animals known.
    // Whether each frame was searched while learning is asked of the frames before `end` only.
    void settleByLearning(int64_t end) { byLearning_ = true, learningEnd_ = end; }
    bool asksLearning(int64_t frame) const { return byLearning_ && frame < learningEnd_; }
    // The pass ends: the backward instance stops at its next frame and is let go.
    void finish();

private:
    struct Rows {
        std::vector<ip_objectRecord> objects;
        std::vector<ObjectShape> shapes;
        std::vector<ObjectPosture> postures;
        bool provisional = false;
    };
    // The backward instance's turn; its rows are kept only when it went through every frame.
    void settle(Instance& backward, size_t usable, int64_t replaced, const StopToken& stop);
    void settled();
    std::vector<FrameJob> frames_;
    size_t next_ = 1;
    std::map<int64_t, Rows> rows_;
    bool byLearning_ = false;
    int64_t learningEnd_ = 0;
    // The backward instance on its thread; the frames before settleEnd_ wait for it.
    std::unique_ptr<Instance> backward_;
    std::thread behind_;
    std::mutex mutex_;
    std::condition_variable done_;
    bool busy_ = false;
    std::atomic<bool> quit_{false};
    int64_t settleEnd_ = 0;
};
