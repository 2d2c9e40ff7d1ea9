#include "codec/compress_pool.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace {

// One entry: its bytes, then its stored form and result once compressed.
struct Job {
    std::vector<uint8_t> data;
    CompressOptions options;
    std::vector<uint8_t> stored;
    CompressResult result;
    bool started = false;
    bool done = false;
};

}  // namespace

struct CompressPool {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Job*> jobs;  // oldest first
    size_t bytes = 0;       // of the jobs in `jobs`
    size_t max_bytes = 0;
    bool stopping = false;
    std::vector<std::thread> workers;
};

namespace {

size_t JobBytes(const Job* job) { return job->data.size() + job->stored.size(); }

// Takes the oldest job nobody has started, compresses it, and repeats.
void Work(CompressPool* pool) {
    std::unique_lock<std::mutex> hold(pool->lock);
    for (;;) {
        Job* job = NULL;
        pool->changed.wait(hold, [pool, &job] {
            for (Job* waiting : pool->jobs) {
                if (!waiting->started) {
                    job = waiting;
                    break;
                }
            }
            return job != NULL || pool->stopping;
        });
        if (!job) return;
        job->started = true;
        hold.unlock();
        CompressOptions options = job->options;
        options.threads = 1;
        job->result = compress_buffer(job->data.data(), job->data.size(), options, &job->stored);
        hold.lock();
        // The input is done with; the stored form takes its place in the count.
        pool->bytes -= job->data.size();
        std::vector<uint8_t>().swap(job->data);
        pool->bytes += job->stored.size();
        job->done = true;
        pool->changed.notify_all();
    }
}

}  // namespace

CompressPool* compress_pool_start(unsigned threads, size_t max_bytes) {
    CompressPool* pool = new (std::nothrow) CompressPool;
    if (!pool) return NULL;
    pool->max_bytes = max_bytes;
    try {
        for (unsigned i = 0; i < (threads ? threads : 1); i++)
            pool->workers.emplace_back(Work, pool);
    } catch (const std::system_error&) {
        compress_pool_stop(pool);
        return NULL;
    }
    return pool;
}

void compress_pool_stop(CompressPool* pool) {
    if (!pool) return;
    {
        std::lock_guard<std::mutex> hold(pool->lock);
        pool->stopping = true;
        pool->changed.notify_all();
    }
    for (std::thread& worker : pool->workers) worker.join();
    for (Job* job : pool->jobs) delete job;
    delete pool;
}

bool compress_pool_has_room(const CompressPool* pool, size_t size) {
    CompressPool* p = const_cast<CompressPool*>(pool);
    std::lock_guard<std::mutex> hold(p->lock);
    return p->jobs.empty() || p->bytes + size <= p->max_bytes;
}

Status compress_pool_submit(CompressPool* pool, std::vector<uint8_t>* data,
                            const CompressOptions& options) {
    Job* job = new (std::nothrow) Job;
    if (!job) return Failed(CAUSE_NO_MEMORY);
    job->data.swap(*data);
    job->options = options;
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->bytes += JobBytes(job);
    pool->jobs.push_back(job);
    pool->changed.notify_all();
    return STATUS_OK;
}

CompressResult compress_pool_take(CompressPool* pool, std::vector<uint8_t>* stored) {
    std::unique_lock<std::mutex> hold(pool->lock);
    pool->changed.wait(hold, [pool] { return pool->jobs.front()->done; });
    Job* job = pool->jobs.front();
    pool->jobs.pop_front();
    pool->bytes -= JobBytes(job);
    pool->changed.notify_all();
    hold.unlock();
    stored->swap(job->stored);
    CompressResult result = job->result;
    delete job;
    return result;
}
