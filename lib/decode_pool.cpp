#include "lib/decode_pool.h"

#include <string.h>

#include <new>
#include <system_error>

namespace {

// A DecodedOutput into a job's bytes, whose room was taken for the whole
// entry: the decoder never gives more than the record announces.
Status AppendBytes(void* context, const uint8_t* data, uint32_t size) {
    std::vector<uint8_t>* bytes = (std::vector<uint8_t>*)context;
    if (size > bytes->capacity() - bytes->size()) return Failed(CAUSE_WRITE_FAILED);
    bytes->insert(bytes->end(), data, data + size);
    return STATUS_OK;
}

}  // namespace

DecodePool::DecodePool(qv_archive* archive, const std::vector<size_t>& planned, unsigned threads)
    : archive_(archive), threads_(DecodingThreads(threads)) {
    if (threads_ < 2) return;
    // Whatever stopped a worker from starting, the caller's thread decodes
    // what no worker takes: no failure of anything asked for.
    StartWorkers(planned);
    if (workers_.empty()) whole_.clear();
    std::lock_guard<std::mutex> hold(lock_);
    AddJobs();
}

Status DecodePool::StartWorkers(const std::vector<size_t>& planned) {
    try {
        for (size_t index : planned)
            if (DecodedWhole(archive_->entries[index].record)) whole_.push_back(index);
        size_t wanted = whole_.size() < threads_ ? whole_.size() : threads_;
        workers_.reserve(wanted);
        while (workers_.size() < wanted) workers_.emplace_back(&DecodePool::Work, this);
    } catch (const std::system_error& refused) {
        return Failed(CAUSE_NO_MEMORY, (uint32_t)refused.code().value());
    } catch (const std::bad_alloc&) {
        return Failed(CAUSE_NO_MEMORY);
    }
    return STATUS_OK;
}

DecodePool::~DecodePool() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        changed_.notify_all();
    }
    for (std::thread& worker : workers_) worker.join();
    FreeDecoderBuffers(&own_buffers_);
}

void DecodePool::AddJobs() {
    while (next_planned_ < whole_.size() && added_ - finished_ < JOBS) {
        size_t index = whole_[next_planned_++];
        if (index < asked_) continue;  // the caller passed it over
        Job& job = jobs_[added_ % JOBS];
        job.index = index;
        job.done = false;
        added_++;
    }
    changed_.notify_all();
}

void DecodePool::Work() {
    DecoderBuffers buffers;
    memset(&buffers, 0, sizeof buffers);
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return stopping_ || started_ < added_; });
        if (stopping_) break;
        Job* job = &jobs_[started_++ % JOBS];
        hold.unlock();
        DecodeJob(job, &buffers);
        hold.lock();
        job->done = true;
        changed_.notify_all();
    }
    hold.unlock();
    FreeDecoderBuffers(&buffers);
}

void DecodePool::DecodeJob(Job* job, DecoderBuffers* buffers) {
    job->bytes.clear();
    job->widened_steps = 0;
    try {
        job->bytes.reserve(archive_->entries[job->index].record.originalSize);
    } catch (const std::bad_alloc&) {
        job->result = Failed(CAUSE_NO_MEMORY);
        return;
    }
    DecodeWay way = {false, buffers};
    job->result = DecodeEntryBytes(archive_, job->index, way, AppendBytes, &job->bytes, NULL,
                                   &job->widened_steps);
}

void DecodePool::DropOldest(std::unique_lock<std::mutex>* hold) {
    Job* job = &jobs_[finished_ % JOBS];
    if (started_ == finished_) {
        started_++;  // no worker will take it
    } else {
        changed_.wait(*hold, [job] { return job->done; });
    }
    finished_++;
}

Status DecodePool::Deliver(Job* job, DecodedOutput output, void* output_context,
                           ProgressReport* progress, std::string* why) {
    Status result = job->result;
    uint32_t size = (uint32_t)job->bytes.size();
    if (size > 0) {
        Status delivered =
            DeliverDecoded(output, output_context, progress, job->bytes.data(), size);
        if (!delivered.ok()) result = delivered;
    }
    return RecordDecoding(archive_, job->index, result, job->widened_steps, why);
}

Status DecodePool::Decode(size_t index, DecodedOutput output, void* output_context,
                          ProgressReport* progress, std::string* why) {
    std::unique_lock<std::mutex> hold(lock_);
    asked_ = index;
    while (finished_ < added_ && jobs_[finished_ % JOBS].index < index) DropOldest(&hold);
    AddJobs();
    if (finished_ < added_ && jobs_[finished_ % JOBS].index == index) {
        Job* job = &jobs_[finished_ % JOBS];
        changed_.wait(hold, [job] { return job->done; });
        hold.unlock();
        Status status = Deliver(job, output, output_context, progress, why);
        hold.lock();
        finished_++;
        AddJobs();
        return status;
    }
    hold.unlock();
    // Not a worker's: a large file, streamed with stage 1 on a second thread,
    // or anything when the caller's thread decodes alone.
    DecodeWay way = {threads_ > 1, threads_ > 1 ? NULL : &own_buffers_};
    uint32_t widened = 0;
    Status result =
        DecodeEntryBytes(archive_, index, way, output, output_context, progress, &widened);
    return RecordDecoding(archive_, index, result, widened, why);
}
