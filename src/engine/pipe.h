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

// False when AE_THREADS=1 asks for the one-thread path, on a machine with
// one processor, and on a thread that was told to stay single (a batch
// worker: there the files are what runs side by side).
bool threads_enabled();
void set_single_threaded(bool single);

// A block of interleaved 16-bit samples handed from one thread to others.
struct pcm_block {
    std::vector<int16_t> samples;
    int64_t frames = 0;
};
using block_ptr = std::shared_ptr<const pcm_block>;
block_ptr make_block(const int16_t* pcm, int64_t frames, int channels);

// One consumer's queue. The producer waits while it is full, so memory stays
// bounded; a consumer that fails cancels it and the producer stops at once.
struct block_queue {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<block_ptr> items;
    size_t capacity = 16;
    bool closed = false;     // the producer is done
    bool cancelled = false;  // the consumer gave up
};
// False when the consumer has cancelled.
bool queue_push(block_queue* q, block_ptr block);
// False at the end: closed and empty, or cancelled.
bool queue_pop(block_queue* q, block_ptr* block);
void queue_close(block_queue* q);
bool queue_cancelled(block_queue* q);
void queue_cancel(block_queue* q);

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
