// Entries decoded side by side: workers decode the small files of an archive
// ahead of the caller, each whole into memory, while the caller takes every
// entry's bytes and verdict in archive order, on its own thread. Large files
// are decoded when the caller reaches them, with stage 1 on a thread of its
// own and the bytes streamed; the workers go on with the small ones behind.
// No exception leaves the pool: a worker that cannot start leaves the work to
// the others or to the caller's thread, and memory that cannot be had fails
// the entry that needed it (NO_MEMORY).
#pragma once

#include <stddef.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "lib/archive.h"

class DecodePool {
public:
    // `planned`: the entries the caller means to ask for, in archive order (it
    // may pass some over). `threads`: how many decode (0: one per core); with
    // one, everything is decoded on the caller's thread when asked for.
    DecodePool(qv_archive* archive, const std::vector<size_t>& planned, unsigned threads);
    // Stops the workers; what they decoded and nobody asked for is dropped.
    ~DecodePool();
    DecodePool(const DecodePool&) = delete;
    DecodePool& operator=(const DecodePool&) = delete;

    // Entry `index`'s bytes into `output` and its status, as DecodeArchiveEntry
    // gives them (the bytes before the verdict). Indexes must rise from call
    // to call.
    Status Decode(size_t index, DecodedOutput output, void* output_context,
                  ProgressReport* progress, std::string* why);

private:
    // An entry handed to the workers, and once decoded its bytes and result.
    struct Job {
        size_t index = 0;
        bool done = false;
        Status result = STATUS_OK;
        uint32_t widened_steps = 0;
        std::vector<uint8_t> bytes;  // kept, with its room, for the next job in this place
    };
    // At most this many jobs wait or run at a time. Each holds less than
    // TWO_THREADS_FROM decoded bytes, so less than 64 MiB are in flight.
    static const size_t JOBS = 64;

    // Plans the entries that workers decode and starts up to `threads` of
    // them; NO_MEMORY, or the system's reason, for the first that could not be
    // had (fewer workers then, or none).
    Status StartWorkers(const std::vector<size_t>& planned);
    void Work();
    void DecodeJob(Job* job, DecoderBuffers* buffers);
    // Hands out the next planned jobs while there is room. Lock held.
    void AddJobs();
    // Drops the oldest job, waiting for it when a worker has it. Lock held.
    void DropOldest(std::unique_lock<std::mutex>* hold);
    Status Deliver(Job* job, DecodedOutput output, void* output_context, ProgressReport* progress,
                   std::string* why);

    qv_archive* archive_;
    std::vector<size_t> whole_;  // the planned entries that workers decode
    size_t next_planned_ = 0;    // the first of them not handed out yet
    size_t asked_ = 0;           // the entry the caller asked for last
    unsigned threads_;
    DecoderBuffers own_buffers_ = {};  // the caller's, with one thread

    std::mutex lock_;
    std::condition_variable changed_;
    Job jobs_[JOBS];
    // Counts of jobs since the start: handed out, taken by a worker, and
    // taken back by the caller; job number n lives in jobs_[n % JOBS].
    size_t added_ = 0, started_ = 0, finished_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};
