#include "decoder/memory_decoder.h"

#include <string.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "codec/BlockSorting.h"
#include "codec/MoveToFront.h"
#include "codec/RunLength.h"
#include "platform/byte_order.h"

namespace {

// Stored bytes are read in pieces of this size: small enough that the
// buffer stays in cache and its first-use page faults, which stage 1 waits
// on before its first step, are few; a read call per 64 KiB costs nothing
// by comparison.
const uint32_t STORED_READ_SIZE = 0x10000;
// Stage-1 output goes over to the second thread in pieces of PART_SIZE, at
// most PIECES of them in flight (1 MiB). Small pieces keep the second thread
// close behind the first, with each piece still in cache: a block can be
// restored as soon as its last byte is decoded, not only once the piece that
// holds it is full (32 KiB measured best of 8 KiB to 256 KiB). Stage 2 starts
// a fresh table every MTF_BUF_SIZE bytes, which PART_SIZE divides; every
// piece but the last is full, so none straddles a table's start. When all
// pieces are full, stage 1's thread helps with the rest instead of waiting,
// so more pieces would only be more memory to fault in (4 MiB measured no
// faster).
const uint32_t PART_SIZE = 0x8000;
const int PIECES = 32;
// An entry of fewer stored bytes gives stage 1 too little to run far ahead:
// its second thread gets FEW_PIECES, and its buffers grow as its blocks
// need, as on one thread, instead of being taken whole at the start. Most
// such entries are small; the others are damaged or hostile and should cost
// little.
const uint32_t RESERVE_FROM = 0x10000;
const int FEW_PIECES = 8;

struct Piece {
    uint8_t* data;
    uint32_t size;
    bool starts_chunk;  // the first bytes of a stage-2 chunk: a fresh table
};

// How much of each buffer an entry can use. Stage 4's stream is no longer
// than the stage-1 bound, so a small entry takes small buffers for it. A
// block of stage 3 may carry data behind that stream: its buffers are taken
// only as blocks need them, unless the entry reserves them up front.
struct Capacities {
    uint32_t stored;  // the stored bytes read at a time
    uint32_t piece;   // a piece of stage-1 output
    uint32_t block;   // a block-sorted block
    uint32_t runs;    // a run-length block's coded data
    uint32_t output;  // one run-length block's expansion
};

// The most bytes `size` coded bytes of a run-length block expand to: every
// count byte follows four coded bytes of its own and stands for at most 255
// bytes, 254 more than itself.
uint32_t RunsOutputBound(uint32_t size) {
    uint64_t bound = size + (uint64_t)(MAX_LEN - 1) * (size / (RLE_THRESHOLD + 1));
    return bound < RLE_BUF_SIZE ? (uint32_t)bound : RLE_BUF_SIZE;
}

uint32_t AtMost(uint64_t value, uint32_t limit) { return value < limit ? (uint32_t)value : limit; }

Capacities CapacitiesFor(const StoredEntry& entry) {
    uint64_t longest = Stage1OutputBound(entry.originalSize) + 1;
    Capacities c;
    c.stored = AtMost(entry.storedSize < RC_BUF_SIZE_MIN ? RC_BUF_SIZE_MIN : entry.storedSize,
                      STORED_READ_SIZE);
    // A power of two, which divides MTF_BUF_SIZE as PART_SIZE does: a stream
    // with data behind its last block may run past a chunk of stage 2.
    c.piece = 1;
    while (c.piece < AtMost(longest, PART_SIZE)) c.piece *= 2;
    c.block = BS_BUF_SIZE;
    c.runs = AtMost(longest, RLE_IN_BUF_SIZE);
    c.output = AtMost(entry.originalSize, RLE_BUF_SIZE);
    return c;
}

// ---------------------------------------------------------------------------
// Stage 1: the value stream cut into pieces of MTF_BUF_SIZE bytes.

struct Stage1Source {
    Stage1Decoder decoder;
    bool started;
    uint8_t* input;
    bool owns_input;
    uint32_t piece_capacity;
    uint64_t produced;
    uint64_t limit;  // the work bound, until the later stages have decided
    bool stopped;    // the output passed the limit: the later stages must decide
};

// Reads the stored bytes into `input` (c.stored bytes) when given, else into
// a buffer of its own.
Status StartStage1(Stage1Source* s, const StoredEntry& entry, const Capacities& c,
                   Stage1Refill read, void* context, uint8_t* input = NULL) {
    s->started = false;
    s->produced = 0;
    s->limit = Stage1WorkBound(entry.originalSize);
    s->stopped = false;
    s->piece_capacity = c.piece;
    s->owns_input = input == NULL;
    s->input = input ? input : (uint8_t*)AllocZeroedMemory(c.stored);
    if (!s->input) return Failed(CAUSE_NO_MEMORY);
    Status result =
        stage1_start(&s->decoder, entry.odd_rescale ? 1 : 0, read, context, s->input, c.stored);
    s->started = result.ok();
    return result;
}

void StopStage1(Stage1Source* s) {
    if (s->started) stage1_release(&s->decoder);
    if (s->owns_input) FreeZeroedMemory(s->input);
    s->started = false;
    s->input = NULL;
}

// Fills `piece` with the next stage-1 output. *finished once EOF was decoded.
// Stops early, with s->stopped set, once the output passes the limit.
Status NextPiece(Stage1Source* s, Piece* piece, bool* finished) {
    piece->size = 0;
    piece->starts_chunk = s->produced % MTF_BUF_SIZE == 0;
    *finished = false;
    while (piece->size < s->piece_capacity && !*finished) {
        uint32_t produced = 0;
        Status result = stage1_decode(&s->decoder, piece->data + piece->size,
                                      s->piece_capacity - piece->size, &produced, finished);
        piece->size += produced;
        s->produced += produced;
        if (!result.ok()) return result;
        if (s->produced > s->limit) {
            s->stopped = true;
            break;
        }
    }
    return STATUS_OK;
}

// ---------------------------------------------------------------------------
// Stages 2 to 4 over the stage-1 pieces: the block headers of stages 3 and 4
// may fall anywhere in a piece, so each stage gathers its blocks itself.

// Stage 2 for one piece of stage-1 output, in place.
void MoveToFront(MtfState* mtf, const Piece& piece) {
    if (piece.starts_chunk) mtf_start_chunk(mtf);
    mtf_decode_part(mtf, piece.data, piece.data, piece.size);
}

// What the two threads share, under one lock: the pieces going to the
// caller's thread and coming back, stage 2's progress, and the walk under
// way. Stage 1's thread, whenever it waits for an empty piece and once stage
// 1 is over, joins the walk or undoes stage 2 on the pieces waiting, so that
// the caller's thread, when it falls behind, gets help.
struct Shared {
    std::mutex lock;
    std::condition_variable changed;

    Piece full[PIECES];
    int full_count = 0, full_first = 0;
    Piece empty[PIECES];
    int empty_count = 0;
    bool producer_done = false;
    bool consumer_busy = false;    // the caller's thread holds a piece
    bool rest_can_matter = false;  // RestCanMatter after the pieces taken so far
    Status producer_result = STATUS_OK;
    std::atomic<bool> consumer_stopped{false};

    // Stage 2 goes piece by piece in the stream's order, each piece on
    // whichever thread is free: the caller's when it takes a piece that
    // stage 1's thread has not moved yet.
    MtfState* mtf = nullptr;
    int moved = 0;        // full pieces, from the first, that hold stage 2's output
    bool moving = false;  // a thread is undoing stage 2 on a piece

    bool closed = false;           // no more walks come
    BlockRestore* walk = nullptr;  // the walk under way, if any
    bool joined = false;           // stage 1's thread walks it too
    void* discard = nullptr;       // memory for stage 1's thread to free
};

bool WalkToJoin(const Shared* s) { return s->walk != nullptr && !s->joined; }

bool PieceToMove(const Shared* s) { return !s->moving && s->moved < s->full_count; }

// On stage 1's thread, with the lock held: undoes stage 2 on the first full
// piece that still needs it. The caller's thread waits for that piece rather
// than take it meanwhile, so its place in the queue stays put.
void MovePiece(Shared* s, std::unique_lock<std::mutex>* hold) {
    const Piece& piece = s->full[(s->full_first + s->moved) % PIECES];
    s->moving = true;
    hold->unlock();
    MoveToFront(s->mtf, piece);
    hold->lock();
    s->moving = false;
    s->moved++;
    s->changed.notify_all();
}

// On stage 1's thread, with the lock held: walks the untaken segments of the
// walk under way.
void JoinWalk(Shared* s, std::unique_lock<std::mutex>* hold) {
    s->joined = true;
    hold->unlock();
    blocksort_restore_walk_some(s->walk);
    hold->lock();
    s->walk = nullptr;
    s->changed.notify_all();
}

// On stage 1's thread once stage 1 is over: joins every walk still to come,
// undoes stage 2 on the pieces still waiting, and frees what it is given.
void HelpToTheEnd(Shared* s) {
    std::unique_lock<std::mutex> hold(s->lock);
    for (;;) {
        s->changed.wait(hold, [s] {
            return WalkToJoin(s) || PieceToMove(s) || s->discard != nullptr || s->closed;
        });
        if (s->discard) {
            void* memory = s->discard;
            s->discard = nullptr;
            hold.unlock();
            FreeZeroedMemory(memory);
            hold.lock();
        } else if (WalkToJoin(s)) {
            JoinWalk(s, &hold);
        } else if (PieceToMove(s)) {
            MovePiece(s, &hold);
        } else {
            return;
        }
    }
}

void OpenWalk(Shared* s, BlockRestore* walk) {
    std::lock_guard<std::mutex> hold(s->lock);
    s->walk = walk;
    s->joined = false;
    s->changed.notify_all();
}

// Once the caller's thread has no segment left: waits for stage 1's thread,
// if it joined, to finish its own.
void FinishWalk(Shared* s) {
    std::unique_lock<std::mutex> hold(s->lock);
    if (!s->joined) {
        s->walk = nullptr;
        return;
    }
    s->changed.wait(hold, [s] { return s->walk == nullptr; });
}

// Freeing a large buffer takes a millisecond; stage 1's thread does it while
// the caller's thread finishes the entry.
void Discard(Shared* s, void* memory) {
    std::unique_lock<std::mutex> hold(s->lock);
    if (s->discard) {
        hold.unlock();
        FreeZeroedMemory(memory);
        return;
    }
    s->discard = memory;
    s->changed.notify_all();
}

void CloseWalks(Shared* s) {
    std::lock_guard<std::mutex> hold(s->lock);
    s->closed = true;
    s->changed.notify_all();
}

struct ChainTail {
    Shared* shared;  // NULL on one thread
    DecodedOutput output;
    void* output_context;
    uint32_t expected;  // the record's originalSize
    uint64_t produced;
    Capacities capacity;

    MtfState mtf;  // on two threads advanced by either, one at a time

    uint8_t sort_header[BS_HEADER_SIZE];
    uint32_t sort_header_fill;
    uint32_t sort_top, sort_size;
    uint32_t sort_fill;     // bytes of the block so far
    BlockRanks ranks;       // of the block's last column, as far as it has come
    uint32_t* index_table;  // the ranked last column, and the walk's scratch
    uint8_t* sort_output;
    uint32_t block_room;  // the largest block the two hold
    bool sorting_done;

    // The restored block's bytes that stage 4 has not taken yet.
    const uint8_t* sorted_next;
    uint32_t sorted_left;

    uint8_t runs_header[RLE_HEADER_SIZE];
    uint32_t runs_header_fill;
    uint32_t runs_size, runs_fill;
    uint8_t* runs_block;  // the coded data of one block
    uint8_t* runs_output;
    uint32_t runs_room;    // the most coded bytes runs_block holds
    uint32_t output_room;  // the bytes runs_output holds
    bool runs_done;

    // Stage 4 pauses after every block that gave output, until its reader
    // took it (`held` in the meantime): the chain then goes on only at the
    // reader's pace.
    bool pause_after_output;
    bool held;
};

// Stage 3's buffers, grown to hold a block of `size` bytes (at most the
// capacity, which the caller has checked). Their contents need not survive.
bool RoomForBlock(ChainTail* t, uint32_t size) {
    if (size <= t->block_room) return true;
    FreeZeroedMemory(t->index_table);
    FreeZeroedMemory(t->sort_output);
    t->index_table = (uint32_t*)AllocZeroedMemory(sizeof(uint32_t) * blocksort_work_words(size));
    t->sort_output = (uint8_t*)AllocZeroedMemory(size);
    bool ok = t->index_table && t->sort_output;
    t->block_room = ok ? size : 0;
    return ok;
}

// Stage 4's buffers, grown for a block of `size` coded bytes.
bool RoomForRuns(ChainTail* t, uint32_t size) {
    if (size > t->runs_room) {
        FreeZeroedMemory(t->runs_block);
        t->runs_block = (uint8_t*)AllocZeroedMemory(size);
        t->runs_room = t->runs_block ? size : 0;
        if (!t->runs_block) return false;
    }
    uint32_t output = AtMost(RunsOutputBound(size), t->capacity.output);
    if (output > t->output_room) {
        FreeZeroedMemory(t->runs_output);
        t->runs_output = (uint8_t*)AllocZeroedMemory(output);
        t->output_room = t->runs_output ? output : 0;
        if (!t->runs_output) return false;
    }
    return true;
}

// With `reserve`, every buffer is taken at its capacity now; otherwise the
// buffers of stages 3 and 4 come as blocks need them.
bool AllocTail(ChainTail* t, bool reserve) {
    const Capacities& c = t->capacity;
    return !reserve || (RoomForBlock(t, c.block) && RoomForRuns(t, c.runs));
}

void FreeTail(ChainTail* t) {
    FreeZeroedMemory(t->index_table);
    FreeZeroedMemory(t->sort_output);
    FreeZeroedMemory(t->runs_block);
    FreeZeroedMemory(t->runs_output);
}

// Writes a zero into every page of the buffer, which holds zeros already.
void TouchPages(void* buffer, size_t size) {
    volatile uint8_t* bytes = (volatile uint8_t*)buffer;
    for (size_t at = 0; at < size; at += 4096) bytes[at] = 0;
}

// Copies up to what `want` still lacks from the front of the input.
uint32_t Gather(uint8_t* to, uint32_t* fill, uint32_t want, const uint8_t** data, uint32_t* size) {
    uint32_t n = want - *fill;
    if (n > *size) n = *size;
    memcpy(to + *fill, *data, n);
    *fill += n;
    *data += n;
    *size -= n;
    return n;
}

// Stage 4: expands every complete run-length block of the input, or with
// pause_after_output up to the first that gives output.
Status TakeRuns(ChainTail* t, const uint8_t** input, uint32_t* input_size) {
    const uint8_t* data = *input;
    uint32_t size = *input_size;
    Status result = STATUS_OK;
    while (size > 0 && !t->runs_done && !t->held) {
        if (t->runs_header_fill < RLE_HEADER_SIZE) {
            Gather(t->runs_header, &t->runs_header_fill, RLE_HEADER_SIZE, &data, &size);
            if (t->runs_header_fill < RLE_HEADER_SIZE) break;
            t->runs_size = rle_read_header(t->runs_header);
            // A block longer than the entry's bound cannot come from a sound stream.
            if (!rle_block_size_ok(t->runs_size) || t->runs_size > t->capacity.runs)
                return Failed(CAUSE_DAMAGED);
            if (!RoomForRuns(t, t->runs_size)) return Failed(CAUSE_NO_MEMORY);
            t->runs_fill = 0;
        }
        Gather(t->runs_block, &t->runs_fill, t->runs_size, &data, &size);
        if (t->runs_fill < t->runs_size) break;
        // More than the record announces cannot be the entry: the expansion
        // stops before it passes what is left of it.
        uint64_t left = t->expected - t->produced;
        int32_t after = rle_decode_within(t->runs_block, t->runs_output, t->runs_size,
                                          RLE_THRESHOLD, AtMost(left, t->output_room));
        if (after < 0) {
            result = Failed(CAUSE_DAMAGED);
            break;
        }
        if (after > 0) {
            result = t->output(t->output_context, t->runs_output, (uint32_t)after);
            if (!result.ok()) break;
        }
        t->produced += (uint32_t)after;
        t->runs_header_fill = 0;
        // Only a full block is followed by another.
        if ((uint32_t)after != RLE_BUF_SIZE) t->runs_done = true;
        if (after > 0 && t->pause_after_output) t->held = true;
    }
    *input = data;
    *input_size = size;
    return result;
}

// Hands the restored block's bytes to stage 4, as far as it takes them.
Status PassSorted(ChainTail* t) {
    if (t->sorted_left == 0) return STATUS_OK;
    Status result = TakeRuns(t, &t->sorted_next, &t->sorted_left);
    // What follows stage 4's last block is ignored, as the work-file chain does.
    if (t->runs_done) t->sorted_left = 0;
    return result;
}

// Restores the ranked block into sort_output, with stage 1's thread as soon
// as it is free.
void RestoreBlock(ChainTail* t) {
    if (t->shared && t->sort_size >= BS_SEGMENTED_WALK_MIN) {
        BlockRestore walk;
        blocksort_restore_begin(&walk, &t->ranks, t->sort_top, t->index_table);
        OpenWalk(t->shared, &walk);
        blocksort_restore_walk_some(&walk);
        FinishWalk(t->shared);
        blocksort_restore_end(&walk, t->sort_output);
        return;
    }
    blocksort_restore_ranked(&t->ranks, t->sort_output, t->sort_top, t->index_table);
}

// Stage 3: restores every complete block-sorted block of the input and hands
// it to stage 4. Once the stream's last block is done, later bytes are
// ignored, as the work-file chain does. Once stage 4 has ended, blocks are no
// longer restored: only their headers still count. When stage 4 holds output
// for its reader, this stops with *input and *input_size at what is left.
Status TakeSorted(ChainTail* t, const uint8_t** input, uint32_t* input_size) {
    const uint8_t*& data = *input;
    uint32_t& size = *input_size;
    for (;;) {
        Status result = PassSorted(t);
        if (!result.ok() || t->held) return result;
        if (size == 0 || t->sorting_done) return STATUS_OK;
        if (t->sort_header_fill < BS_HEADER_SIZE) {
            Gather(t->sort_header, &t->sort_header_fill, BS_HEADER_SIZE, &data, &size);
            if (t->sort_header_fill < BS_HEADER_SIZE) return STATUS_OK;
            blocksort_read_header(t->sort_header, &t->sort_top, &t->sort_size);
            // An empty block ends the stream; it carries nothing to restore.
            if (t->sort_size == 0) {
                t->sorting_done = true;
                return STATUS_OK;
            }
            if (!blocksort_block_ok(t->sort_top, t->sort_size) || t->sort_size > t->capacity.block)
                return Failed(CAUSE_DAMAGED);
            t->sort_fill = 0;
            if (!t->runs_done) {
                if (!RoomForBlock(t, t->sort_size)) return Failed(CAUSE_NO_MEMORY);
                blocksort_rank_start(&t->ranks);
            }
        }
        // The block is ranked as it comes: once its last byte is in, only
        // the walk is left.
        uint32_t n = t->sort_size - t->sort_fill;
        if (n > size) n = size;
        if (!t->runs_done) blocksort_rank_part(&t->ranks, data, n, t->index_table);
        t->sort_fill += n;
        data += n;
        size -= n;
        if (t->sort_fill < t->sort_size) return STATUS_OK;
        // A short block is the stream's last.
        bool last = t->sort_size != BS_BUF_SIZE;
        if (!t->runs_done) {
            RestoreBlock(t);
            // The walk's table is not needed again after the last block.
            if (last && t->shared) {
                Discard(t->shared, t->index_table);
                t->index_table = NULL;
                t->block_room = 0;
            }
            t->sorted_next = t->sort_output;
            t->sorted_left = t->sort_size;
        }
        t->sort_header_fill = 0;
        if (last) t->sorting_done = true;
    }
}

// The end of the stage-1 output: the stages must end cleanly, at a block
// boundary, and the entry must be complete.
Status FinishTail(const ChainTail* t) {
    if (!t->sorting_done && t->sort_header_fill != 0) return Failed(CAUSE_DAMAGED);
    if (!t->runs_done && t->runs_header_fill != 0) return Failed(CAUSE_DAMAGED);
    return t->produced == t->expected ? STATUS_OK : Failed(CAUSE_DAMAGED);
}

// Once stage 1 has passed the work bound, the later stages have decided the
// entry. The rest of the stream still matters only when they found it sound:
// stage 3 ended and left stage 4 a sound end, or stage 4 ended on its short
// block with the whole entry. Then a reader that kept all of stage 1's output
// would go on to the stream's end, and so does stage 1 here, while stage 3
// only follows its block headers.
bool RestCanMatter(const ChainTail* t) {
    if (t->sorting_done) return FinishTail(t).ok();
    return t->runs_done && t->produced == t->expected;
}

// Whether the later stages have refused the entry already, whatever follows:
// stage 3 or stage 4 ended without the whole entry. Stage 1 need not go on,
// bound or no bound.
bool AlreadyRefused(const ChainTail* t) {
    if (t->sorting_done) return !FinishTail(t).ok();
    return t->runs_done && t->produced != t->expected;
}

// ---------------------------------------------------------------------------
// The two threads: full pieces one way, empty ones back.

void ProduceAll(Stage1Source* source, Shared* s) {
    Status result = STATUS_OK;
    bool finished = false;
    while (!finished && result.ok() && !s->consumer_stopped.load()) {
        Piece piece;
        {
            std::unique_lock<std::mutex> hold(s->lock);
            for (;;) {
                s->changed.wait(hold, [s] {
                    return s->empty_count > 0 || s->consumer_stopped.load() || WalkToJoin(s) ||
                           PieceToMove(s);
                });
                if (s->empty_count > 0 || s->consumer_stopped.load()) break;
                if (WalkToJoin(s))
                    JoinWalk(s, &hold);
                else
                    MovePiece(s, &hold);
            }
            if (s->consumer_stopped.load()) break;
            piece = s->empty[--s->empty_count];
        }
        result = NextPiece(source, &piece, &finished);
        std::unique_lock<std::mutex> hold(s->lock);
        s->full[(s->full_first + s->full_count) % PIECES] = piece;
        s->full_count++;
        s->changed.notify_all();
        if (source->stopped && result.ok()) {
            // The later stages decide once they have taken every piece.
            s->changed.wait(hold, [s] {
                return (s->full_count == 0 && !s->consumer_busy) || s->consumer_stopped.load();
            });
            if (!s->consumer_stopped.load() && !s->rest_can_matter) result = Failed(CAUSE_DAMAGED);
            source->stopped = false;
            source->limit = UINT64_MAX;
        }
    }
    // The pieces back already are not needed again: they are freed here,
    // while the caller's thread finishes the entry; it frees the others.
    Piece spare[PIECES];
    int spare_count;
    {
        std::lock_guard<std::mutex> hold(s->lock);
        s->producer_result = result;
        s->producer_done = true;
        spare_count = s->empty_count;
        memcpy(spare, s->empty, sizeof(Piece) * spare_count);
        s->empty_count = 0;
        s->changed.notify_all();
    }
    for (int i = 0; i < spare_count; i++) FreeZeroedMemory(spare[i].data);
}

// Stage 1 starts with the pieces there are; the caller's thread makes the
// others, up to `wanted`, while stage 1 decodes its first piece, so that
// their first-use page faults, which in a virtual machine cost microseconds
// each, do not delay it. One that cannot be had is left out: fewer pieces
// are in flight.
void AddPieces(Shared* s, Piece* pieces, int* piece_count, int wanted, uint32_t size) {
    while (*piece_count < wanted) {
        Piece piece = {(uint8_t*)AllocZeroedMemory(size), 0, false};
        if (!piece.data) return;
        TouchPages(piece.data, size);
        pieces[(*piece_count)++] = piece;
        std::lock_guard<std::mutex> hold(s->lock);
        s->empty[s->empty_count++] = piece;
        s->changed.notify_all();
    }
}

// Two threads: stage 1 runs ahead while the caller's thread does the rest;
// stage 1's thread helps with it whenever it waits, and once stage 1 is over.
Status RunTwoThreads(Stage1Source* source, ChainTail* tail, Piece* pieces, int* piece_count,
                     int wanted) {
    Shared shared;
    shared.mtf = &tail->mtf;
    for (int i = 0; i < *piece_count; i++) shared.empty[shared.empty_count++] = pieces[i];
    std::thread producer;
    try {
        producer = std::thread([source, &shared] {
            ProduceAll(source, &shared);
            HelpToTheEnd(&shared);
        });
    } catch (const std::system_error&) {
        return Failed(CAUSE_NO_MEMORY);
    }
    tail->shared = &shared;
    AddPieces(&shared, pieces, piece_count, wanted, tail->capacity.piece);
    Status tail_result = STATUS_OK;
    for (;;) {
        Piece piece;
        bool have = false, moved = false;
        {
            std::unique_lock<std::mutex> hold(shared.lock);
            // The first piece is taken unless stage 1's thread is moving it.
            shared.changed.wait(hold, [&shared] {
                return (shared.full_count > 0 && (shared.moved > 0 || !shared.moving)) ||
                       (shared.full_count == 0 && shared.producer_done);
            });
            if (shared.full_count > 0) {
                piece = shared.full[shared.full_first];
                shared.full_first = (shared.full_first + 1) % PIECES;
                shared.full_count--;
                shared.consumer_busy = true;
                have = true;
                moved = shared.moved > 0;
                if (moved)
                    shared.moved--;
                else
                    shared.moving = true;
            }
        }
        if (!have) break;
        if (!moved) {
            // In the stream's order even when the rest of the piece is skipped.
            MoveToFront(&tail->mtf, piece);
            std::lock_guard<std::mutex> hold(shared.lock);
            shared.moving = false;
            shared.changed.notify_all();
        }
        // The pieces before a stage-1 failure are taken like the rest; the
        // failure then decides the verdict, as it does in the work-file chain.
        const uint8_t* data = piece.data;
        uint32_t size = piece.size;
        if (tail_result.ok()) tail_result = TakeSorted(tail, &data, &size);
        if (tail_result.ok() && AlreadyRefused(tail)) tail_result = Failed(CAUSE_DAMAGED);
        bool rest_can_matter = tail_result.ok() && RestCanMatter(tail);
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.empty[shared.empty_count++] = piece;
        shared.consumer_busy = false;
        shared.rest_can_matter = rest_can_matter;
        if (!tail_result.ok()) shared.consumer_stopped = true;
        shared.changed.notify_all();
    }
    CloseWalks(&shared);
    producer.join();
    tail->shared = NULL;
    // Every piece is back, or was freed by stage 1's thread.
    for (int i = 0; i < shared.empty_count; i++) FreeZeroedMemory(shared.empty[i].data);
    *piece_count = 0;
    // Stage 1's verdict comes first, as in the work-file chain; a producer
    // that was stopped early ended without one.
    if (!shared.producer_result.ok()) return shared.producer_result;
    if (!tail_result.ok()) return tail_result;
    return FinishTail(tail);
}

}  // namespace


Status ReadMemoryBytes(void* context, uint8_t* buffer, uint32_t room, uint32_t* got) {
    MemoryBytesReader* reader = (MemoryBytesReader*)context;
    *got = room < reader->left ? room : reader->left;
    memcpy(buffer, reader->next, *got);
    reader->next += *got;
    reader->left -= *got;
    return STATUS_OK;
}

namespace {

// A tail with no buffers yet, for the entry's bytes to `output`.
void StartTail(ChainTail* t, const StoredEntry& entry, const Capacities& capacity,
               DecodedOutput output, void* output_context) {
    memset(t, 0, sizeof *t);
    t->output = output;
    t->output_context = output_context;
    t->expected = entry.originalSize;
    t->capacity = capacity;
}

// A buffer of at least `size` bytes in *buffer, zero-filled when new.
bool GrowBuffer(uint8_t** buffer, uint32_t* room, uint32_t size) {
    if (size <= *room) return true;
    FreeZeroedMemory(*buffer);
    *buffer = (uint8_t*)AllocZeroedMemory(size);
    *room = *buffer ? size : 0;
    return *buffer != NULL;
}

}  // namespace

void FreeDecoderBuffers(DecoderBuffers* b) {
    FreeZeroedMemory(b->stored);
    FreeZeroedMemory(b->piece);
    ChainTail tail;
    memset(&tail, 0, sizeof tail);
    tail.index_table = b->index_table;
    tail.sort_output = b->sort_output;
    tail.runs_block = b->runs_block;
    tail.runs_output = b->runs_output;
    FreeTail(&tail);
    memset(b, 0, sizeof *b);
}

// ---------------------------------------------------------------------------
// One thread, at the pace of whoever takes the output: a piece of stage 1,
// then the rest on it, in turn, up to the next run-length block that gives
// output.

struct PullDecoder {
    Stage1Source source;
    ChainTail tail;
    Piece piece;
    const uint8_t* piece_next;  // of the piece, what stage 3 has not taken
    uint32_t piece_left;
    bool stage1_finished;
    const uint8_t* output;  // what the last run-length block gave
    uint32_t output_size;
    bool ended;  // the verdict is known
    Status verdict;
    DecoderBuffers own;  // the buffers of a decoder that StartPullDecoder made
};

namespace {

Status HoldOutput(void* context, const uint8_t* data, uint32_t size) {
    PullDecoder* d = (PullDecoder*)context;
    d->output = data;
    d->output_size = size;
    return STATUS_OK;
}

// Prepares `d`, zero-filled, for the entry, with the buffers `b` lent to it;
// StopPull gives them back, grown, in every case.
Status StartPull(PullDecoder* d, const StoredEntry& entry, Stage1Refill read_stored,
                 void* read_context, DecoderBuffers* b) {
    Capacities capacity = CapacitiesFor(entry);
    // The tail grows the buffers of stages 3 and 4 as its blocks need, from
    // what earlier entries left.
    ChainTail& tail = d->tail;
    StartTail(&tail, entry, capacity, HoldOutput, d);
    tail.index_table = b->index_table;
    tail.sort_output = b->sort_output;
    tail.block_room = b->block_room;
    tail.runs_block = b->runs_block;
    tail.runs_room = b->runs_room;
    tail.runs_output = b->runs_output;
    tail.output_room = b->output_room;
    tail.pause_after_output = true;
    if (!GrowBuffer(&b->stored, &b->stored_room, capacity.stored) ||
        !GrowBuffer(&b->piece, &b->piece_room, capacity.piece))
        return Failed(CAUSE_NO_MEMORY);
    d->piece.data = b->piece;
    return StartStage1(&d->source, entry, capacity, read_stored, read_context, b->stored);
}

void StopPull(PullDecoder* d, DecoderBuffers* b) {
    StopStage1(&d->source);
    b->index_table = d->tail.index_table;
    b->sort_output = d->tail.sort_output;
    b->block_room = d->tail.block_room;
    b->runs_block = d->tail.runs_block;
    b->runs_room = d->tail.runs_room;
    b->runs_output = d->tail.runs_output;
    b->output_room = d->tail.output_room;
}

Status PullNext(PullDecoder* d, const uint8_t** data, uint32_t* size) {
    *size = 0;
    if (d->ended) return d->verdict;
    // The bytes handed out last time have been taken.
    d->tail.held = false;
    d->output_size = 0;
    Status result = STATUS_OK;
    while (result.ok() && !d->tail.held) {
        if (d->piece_left > 0 || d->tail.sorted_left > 0) {
            result = TakeSorted(&d->tail, &d->piece_next, &d->piece_left);
            // Unless stage 4 paused, stage 3 took the piece or ignores the rest.
            if (!d->tail.held) {
                d->piece_left = 0;
                if (result.ok() && AlreadyRefused(&d->tail)) result = Failed(CAUSE_DAMAGED);
            }
        } else if (d->source.stopped) {
            // Stage 1 passed its work bound with the piece just taken.
            if (!RestCanMatter(&d->tail)) result = Failed(CAUSE_DAMAGED);
            d->source.stopped = false;
            d->source.limit = UINT64_MAX;
        } else if (!d->stage1_finished) {
            result = NextPiece(&d->source, &d->piece, &d->stage1_finished);
            if (!result.ok()) break;
            MoveToFront(&d->tail.mtf, d->piece);
            d->piece_next = d->piece.data;
            d->piece_left = d->piece.size;
        } else {
            result = FinishTail(&d->tail);
            break;
        }
    }
    if (!result.ok() || !d->tail.held) {
        d->ended = true;
        d->verdict = result;
        return result;
    }
    *data = d->output;
    *size = d->output_size;
    return STATUS_OK;
}

// The whole entry on the caller's thread, into `output`.
Status RunOneThread(PullDecoder* d, DecodedOutput output, void* output_context) {
    for (;;) {
        const uint8_t* data = NULL;
        uint32_t size = 0;
        Status result = PullNext(d, &data, &size);
        if (!result.ok() || size == 0) return result;
        result = output(output_context, data, size);
        if (!result.ok()) return result;
    }
}

uint32_t WidenedSteps(const Stage1Source& source) {
    return source.started ? source.decoder.rc.widened_steps : 0;
}

}  // namespace

PullDecoder* StartPullDecoder(const StoredEntry& entry, Stage1Refill read_stored,
                              void* read_context, Status* result) {
    PullDecoder* d = (PullDecoder*)AllocHeapMemory(sizeof(PullDecoder));
    if (!d) {
        *result = Failed(CAUSE_NO_MEMORY);
        return NULL;
    }
    *result = StartPull(d, entry, read_stored, read_context, &d->own);
    if (!result->ok()) {
        StopPullDecoder(d);
        return NULL;
    }
    return d;
}

Status PullDecoded(PullDecoder* decoder, const uint8_t** data, uint32_t* size) {
    return PullNext(decoder, data, size);
}

uint32_t PulledWidenedSteps(const PullDecoder* decoder) { return WidenedSteps(decoder->source); }

void StopPullDecoder(PullDecoder* decoder) {
    if (!decoder) return;
    StopPull(decoder, &decoder->own);
    FreeDecoderBuffers(&decoder->own);
    FreeHeapMemory(decoder);
}

Status DecodeInMemoryReusing(const StoredEntry& entry, Stage1Refill read_stored, void* read_context,
                             DecodedOutput output, void* output_context, DecoderBuffers* b,
                             uint32_t* widened_steps) {
    PullDecoder pull;
    memset(&pull, 0, sizeof pull);
    Status result = StartPull(&pull, entry, read_stored, read_context, b);
    if (result.ok()) result = RunOneThread(&pull, output, output_context);
    if (widened_steps) *widened_steps = WidenedSteps(pull.source);
    StopPull(&pull, b);
    return result;
}

Status DecodeInMemory(const StoredEntry& entry, Stage1Refill read_stored, void* read_context,
                      DecodedOutput output, void* output_context, bool two_threads,
                      uint32_t* widened_steps) {
    if (!two_threads || entry.originalSize < TWO_THREADS_FROM) {
        DecoderBuffers buffers;
        memset(&buffers, 0, sizeof buffers);
        Status result = DecodeInMemoryReusing(entry, read_stored, read_context, output,
                                              output_context, &buffers, widened_steps);
        FreeDecoderBuffers(&buffers);
        return result;
    }
    const bool reserve = entry.storedSize >= RESERVE_FROM;
    Capacities capacity = CapacitiesFor(entry);
    ChainTail tail;
    StartTail(&tail, entry, capacity, output, output_context);
    Piece pieces[PIECES] = {};
    int piece_count = FEW_PIECES;
    const int wanted_pieces = reserve ? PIECES : piece_count;
    Stage1Source source = {};

    Status result = AllocTail(&tail, reserve) ? STATUS_OK : Failed(CAUSE_NO_MEMORY);
    for (int i = 0; i < piece_count && result.ok(); i++) {
        pieces[i].data = (uint8_t*)AllocZeroedMemory(capacity.piece);
        if (!pieces[i].data) result = Failed(CAUSE_NO_MEMORY);
    }
    if (result.ok()) result = StartStage1(&source, entry, capacity, read_stored, read_context);
    if (result.ok()) result = RunTwoThreads(&source, &tail, pieces, &piece_count, wanted_pieces);
    if (widened_steps) *widened_steps = WidenedSteps(source);
    StopStage1(&source);
    for (int i = 0; i < piece_count; i++) FreeZeroedMemory(pieces[i].data);
    FreeTail(&tail);
    return result;
}
