// Worker threads inside one call, and the bounded queues of PCM blocks that
// connect them. Each worker has its own error text (and, through the
// thread-local state of the other layers, its own capture and denoiser);
// every worker is joined before the call that started it returns.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/settings.h"

// False when the call's settings ask for one thread (AE_THREADS=1, or a
// batch worker's copy: there the files are what runs side by side) and on a
// machine with one processor.
bool threads_enabled(const settings& cfg);

// A block of interleaved 16-bit samples handed from one thread to others.
struct pcm_block {
    std::vector<int16_t> samples;
    int64_t frames = 0;
};
using block_ptr = std::shared_ptr<const pcm_block>;
block_ptr make_block(const int16_t* pcm, int64_t frames, int channels);

// One consumer's queue of blocks (or frames). The producer waits while it is
// full, so memory stays bounded; a consumer that fails cancels it and the
// producer stops at once.
template <typename T>
struct bounded_queue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<T> items;
    size_t capacity = 16;
    bool closed = false;     // the producer is done
    bool cancelled = false;  // the consumer gave up
};
using block_queue = bounded_queue<block_ptr>;

// False when the consumer has cancelled.
template <typename T>
bool queue_push(bounded_queue<T>* q, T item) {
    std::unique_lock<std::mutex> hold(q->lock);
    q->changed.wait(hold, [q] { return q->cancelled || q->items.size() < q->capacity; });
    if (q->cancelled) return false;
    q->items.push_back(std::move(item));
    q->changed.notify_all();
    return true;
}

// Without waiting: false when the queue is full or cancelled.
template <typename T>
bool queue_try_push(bounded_queue<T>* q, T item) {
    std::lock_guard<std::mutex> hold(q->lock);
    if (q->cancelled || q->items.size() >= q->capacity) return false;
    q->items.push_back(std::move(item));
    q->changed.notify_all();
    return true;
}

// False at the end: closed and empty, or cancelled.
template <typename T>
bool queue_pop(bounded_queue<T>* q, T* item) {
    std::unique_lock<std::mutex> hold(q->lock);
    q->changed.wait(hold, [q] { return q->cancelled || q->closed || !q->items.empty(); });
    if (q->cancelled || q->items.empty()) return false;
    *item = std::move(q->items.front());
    q->items.pop_front();
    q->changed.notify_all();
    return true;
}

template <typename T>
void queue_close(bounded_queue<T>* q) {
    std::lock_guard<std::mutex> hold(q->lock);
    q->closed = true;
    q->changed.notify_all();
}

template <typename T>
bool queue_cancelled(bounded_queue<T>* q) {
    std::lock_guard<std::mutex> hold(q->lock);
    return q->cancelled;
}

template <typename T>
void queue_cancel(bounded_queue<T>* q) {
    std::lock_guard<std::mutex> hold(q->lock);
    q->cancelled = true;
    q->items.clear();
    q->changed.notify_all();
}

// Cancels a queue when it leaves scope, so that whichever way a thread stops
// (failure, exception, the end), its neighbour on the queue is never left
// waiting. Harmless on a queue already drained.
template <typename T>
struct cancel_at_exit {
    bounded_queue<T>* q;
    explicit cancel_at_exit(bounded_queue<T>* queue) : q(queue) {}
    ~cancel_at_exit() { queue_cancel(q); }
};

// A thread running one task. rc and err are read after worker_join.
struct worker {
    std::thread thread;
    int rc = 0;
    std::string err;
    ~worker();  // joins if still running
};
// Starts task on a new thread; -1 (after set_err) when no thread can start.
int worker_start(worker* w, std::function<int()> task);
// Joins; returns the task's result. On failure the worker's message becomes
// this thread's error text.
int worker_join(worker* w);

// Runs beside on a worker while here runs on the calling thread, or, when
// cfg keeps the call on one thread, here and then beside. Either way both
// run, and a failure reports beside's message before here's.
int run_beside(const settings& cfg, std::function<int()> beside, std::function<int()> here);
