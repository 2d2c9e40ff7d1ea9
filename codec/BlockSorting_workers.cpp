// Worker threads take waiting blocks in the order they came; the caller takes
// sorted blocks in the same order and, while the oldest is not ready, sorts a
// waiting block itself. Slots form a ring: the oldest block in flight, then
// the younger ones, then the one being filled.
#include "codec/BlockSorting_workers.h"

#include <stdlib.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "codec/BlockSorting_writer.h"

namespace {

enum SlotState { SLOT_FREE, SLOT_WAITING, SLOT_SORTING, SLOT_SORTED };

struct Slot {
    uint8_t* block;   // BS_BUF_SIZE bytes to sort
    uint8_t* stored;  // BS_HEADER_SIZE + BS_BUF_SIZE bytes: header and last column
    uint32_t size;
    bool sorted_ok;
    SlotState state;
};

}  // namespace

struct BlockSorters {
    unsigned threads;
    std::vector<Slot> slots;
    size_t oldest = 0;          // ring index of the oldest block in flight
    size_t in_flight = 0;       // blocks handed over and not yet released
    std::deque<Slot*> waiting;  // handed over, not yet picked up by a sorter
    std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable block_sorted;
    bool stopping = false;
    std::vector<std::thread> workers;
    BlockSortWork own_work = {NULL, NULL};  // the caller's, made when first needed
};

static void sort_slot(Slot* slot, BlockSortWork* work) {
    slot->sorted_ok = blocksort_encode2(slot->block, slot->size, slot->stored, work) >= 0;
}

static void worker_loop(BlockSorters* sorters) {
    BlockSortWork work;
    bool have_work = blocksort_work_init(&work).ok();
    std::unique_lock<std::mutex> lock(sorters->mutex);
    for (;;) {
        sorters->work_ready.wait(lock,
                                 [&] { return sorters->stopping || !sorters->waiting.empty(); });
        if (sorters->stopping) break;
        Slot* slot = sorters->waiting.front();
        sorters->waiting.pop_front();
        slot->state = SLOT_SORTING;
        lock.unlock();
        if (have_work) {
            sort_slot(slot, &work);
        } else {
            slot->sorted_ok = false;
        }
        lock.lock();
        slot->state = SLOT_SORTED;
        sorters->block_sorted.notify_all();
    }
    lock.unlock();
    if (have_work) blocksort_work_free(&work);
}

static void free_slots(BlockSorters* sorters) {
    for (Slot& slot : sorters->slots) {
        free(slot.block);
        free(slot.stored);
    }
}

BlockSorters* blocksort_workers_start(unsigned threads) {
    BlockSorters* sorters = new (std::nothrow) BlockSorters;
    if (!sorters) return NULL;
    sorters->threads = threads < 1 ? 1 : threads;
    // Room for every thread to sort one block while the caller codes another
    // and one more waits.
    size_t depth = sorters->threads == 1 ? 1 : 2 * (size_t)sorters->threads;
    sorters->slots.resize(depth);
    bool allocated = true;
    for (Slot& slot : sorters->slots) {
        slot.block = (uint8_t*)malloc(BS_BUF_SIZE);
        slot.stored = (uint8_t*)malloc(BS_HEADER_SIZE + BS_BUF_SIZE);
        slot.state = SLOT_FREE;
        allocated = allocated && slot.block && slot.stored;
    }
    if (!allocated) {
        free_slots(sorters);
        delete sorters;
        return NULL;
    }
    return sorters;
}

void blocksort_workers_stop(BlockSorters* sorters) {
    if (!sorters) return;
    {
        std::lock_guard<std::mutex> lock(sorters->mutex);
        sorters->stopping = true;
    }
    sorters->work_ready.notify_all();
    for (std::thread& worker : sorters->workers) worker.join();
    free_slots(sorters);
    blocksort_work_free(&sorters->own_work);
    delete sorters;
}

bool blocksort_workers_full(const BlockSorters* sorters) {
    return sorters->in_flight == sorters->slots.size();
}

bool blocksort_workers_idle(const BlockSorters* sorters) { return sorters->in_flight == 0; }

static Slot* slot_at(BlockSorters* sorters, size_t from_oldest) {
    return &sorters->slots[(sorters->oldest + from_oldest) % sorters->slots.size()];
}

uint8_t* blocksort_workers_next(BlockSorters* sorters) {
    return slot_at(sorters, sorters->in_flight)->block;
}

// Workers are started with the first full block, since only the last block
// of a stream can be shorter; a thread that cannot be started leaves its
// share to the others and to the caller.
static void start_workers(BlockSorters* sorters) {
    try {
        while (sorters->workers.size() + 1 < sorters->threads)
            sorters->workers.emplace_back(worker_loop, sorters);
    } catch (const std::system_error&) {
    }
}

void blocksort_workers_submit(BlockSorters* sorters, uint32_t size) {
    Slot* slot = slot_at(sorters, sorters->in_flight);
    slot->size = size;
    {
        std::lock_guard<std::mutex> lock(sorters->mutex);
        slot->state = SLOT_WAITING;
        sorters->waiting.push_back(slot);
        sorters->in_flight++;
    }
    if (size == BS_BUF_SIZE && sorters->workers.empty() && sorters->threads > 1)
        start_workers(sorters);
    sorters->work_ready.notify_one();
}

// Sorts a waiting block on the caller's thread; false when none is waiting.
static bool sort_one_here(BlockSorters* sorters, std::unique_lock<std::mutex>* lock) {
    if (sorters->waiting.empty()) return false;
    Slot* slot = sorters->waiting.front();
    sorters->waiting.pop_front();
    slot->state = SLOT_SORTING;
    lock->unlock();
    if (sorters->own_work.doubled || blocksort_work_init(&sorters->own_work).ok()) {
        sort_slot(slot, &sorters->own_work);
    } else {
        slot->sorted_ok = false;
    }
    lock->lock();
    slot->state = SLOT_SORTED;
    sorters->block_sorted.notify_all();
    return true;
}

uint8_t* blocksort_workers_take(BlockSorters* sorters, uint32_t* stored_size) {
    Slot* slot = slot_at(sorters, 0);
    std::unique_lock<std::mutex> lock(sorters->mutex);
    while (slot->state != SLOT_SORTED) {
        if (!sort_one_here(sorters, &lock)) {
            sorters->block_sorted.wait(
                lock, [&] { return slot->state == SLOT_SORTED || !sorters->waiting.empty(); });
        }
    }
    *stored_size = BS_HEADER_SIZE + slot->size;
    return slot->sorted_ok ? slot->stored : NULL;
}

void blocksort_workers_release(BlockSorters* sorters) {
    slot_at(sorters, 0)->state = SLOT_FREE;
    sorters->oldest = (sorters->oldest + 1) % sorters->slots.size();
    sorters->in_flight--;
}

void blocksort_workers_cancel(BlockSorters* sorters) {
    std::unique_lock<std::mutex> lock(sorters->mutex);
    sorters->waiting.clear();
    sorters->block_sorted.wait(lock, [&] {
        for (const Slot& slot : sorters->slots)
            if (slot.state == SLOT_SORTING) return false;
        return true;
    });
    for (Slot& slot : sorters->slots) slot.state = SLOT_FREE;
    sorters->oldest = 0;
    sorters->in_flight = 0;
}
