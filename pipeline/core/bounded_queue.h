// A bounded queue between two stages of the frame pipeline: the producer waits while it is
// full, so that a fast decoder cannot run ahead of a slow encoder by more than its capacity.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <utility>

template <class T>
class BoundedQueue {
public:
    explicit BoundedQueue(size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}

    // False when the queue was cancelled: the consumer has stopped and the item is dropped.
    bool push(T item) {
        std::unique_lock<std::mutex> lock(mutex_);
        notFull_.wait(lock, [&] { return cancelled_ || items_.size() < capacity_; });
        if (cancelled_) return false;
        items_.push_back(std::move(item));
        notEmpty_.notify_one();
        return true;
    }
    // False once the queue is closed and empty, or cancelled.
    bool pop(T& item) {
        std::unique_lock<std::mutex> lock(mutex_);
        notEmpty_.wait(lock, [&] { return cancelled_ || closed_ || !items_.empty(); });
        if (cancelled_ || items_.empty()) return false;
        item = std::move(items_.front());
        items_.pop_front();
        notFull_.notify_one();
        return true;
    }
    // Nothing more comes; the consumer still gets what is queued.
    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        notEmpty_.notify_all();
    }
    // Both sides stop: what is queued is dropped and every wait ends.
    void cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        items_.clear();
        notEmpty_.notify_all();
        notFull_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable notEmpty_, notFull_;
    std::deque<T> items_;
    size_t capacity_;
    bool closed_ = false, cancelled_ = false;
};
