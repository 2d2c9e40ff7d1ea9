// The whole writer: run-length coding, block sorting, move-to-front and range
// coding, streamed block by block so that memory stays bounded whatever the
// size of the input.
//
// The range coder can reach an interval narrower than the total of the table
// the next symbol needs; it then widens the interval, which readers without
// that rule refuse. So the writer prefers a stream that needs no widening:
// when the stream of the preferred rescale rule needed it, the other rule is
// tried once, and its stream replaces the first only when it needs none.
#include "codec/compress.h"

#include <stdlib.h>
#include <string.h>

#include <new>

#include "codec/012coding_writer.h"
#include "codec/BlockSorting_workers.h"
#include "codec/BlockSorting_writer.h"
#include "codec/MoveToFront_writer.h"
#include "codec/RunLength_writer.h"

// Where the input comes from: the caller's streams, or memory.
struct Source {
    const CompressStreams* streams;
    const uint8_t* memory;
    uint32_t size;
};

// Where the stored bytes go: the caller's streams, or memory. A stream begins
// at `at` bytes from the start: 0 for the first, right behind the first for
// the trial with the other rule.
struct Sink {
    const CompressStreams* streams;
    std::vector<uint8_t>* memory;
    uint64_t at;
    uint64_t written;  // bytes of the stream being written
};

static Status sink_write(void* context, const uint8_t* data, uint32_t size) {
    Sink* sink = (Sink*)context;
    if (sink->memory) {
        sink->memory->insert(sink->memory->end(), data, data + size);
    } else {
        Status written = sink->streams->write_output(sink->streams->context, data, size);
        if (!written.ok()) return written;
    }
    sink->written += size;
    return STATUS_OK;
}

// Starts a stream `at` bytes from the start; anything from there on goes.
static Status sink_begin(Sink* sink, uint64_t at) {
    sink->at = at;
    sink->written = 0;
    if (sink->memory) {
        sink->memory->resize((size_t)at);
        return STATUS_OK;
    }
    const CompressStreams* s = sink->streams;
    Status sought = s->seek_output(s->context, at);
    return sought.ok() ? s->cut_output(s->context) : sought;
}

// Moves the stream just written to the start and cuts everything behind it.
static Status sink_move_to_start(Sink* sink, uint8_t* buffer, uint32_t buffer_size) {
    uint64_t from = sink->at;
    if (sink->memory) {
        sink->memory->erase(sink->memory->begin(), sink->memory->begin() + (ptrdiff_t)from);
    } else {
        const CompressStreams* s = sink->streams;
        for (uint64_t done = 0; done < sink->written;) {
            uint64_t left = sink->written - done;
            uint32_t n = left < buffer_size ? (uint32_t)left : buffer_size;
            Status moved = s->seek_output(s->context, from + done);
            if (moved.ok()) moved = s->read_output(s->context, buffer, n);
            if (moved.ok()) moved = s->seek_output(s->context, done);
            if (moved.ok()) moved = s->write_output(s->context, buffer, n);
            if (!moved.ok()) return moved;
            done += n;
        }
        Status cut = s->cut_output(s->context);
        if (!cut.ok()) return cut;
    }
    sink->at = 0;
    return STATUS_OK;
}

// Buffers of one compression, allocated once and reused by every pass.
struct Buffers {
    uint8_t* input;         // RLE_BUF_SIZE bytes read from a file
    uint8_t* rle;           // one run-length block, header included
    BlockSorters* sorters;  // the block-sorted blocks on their way to the coder
    RangeEncoder* rc;
};

static void free_buffers(Buffers* b) {
    free(b->input);
    free(b->rle);
    blocksort_workers_stop(b->sorters);
    delete b->rc;
}

static bool alloc_buffers(Buffers* b, unsigned threads) {
    b->input = (uint8_t*)malloc(RLE_BUF_SIZE);
    b->rle = (uint8_t*)malloc(RLE_HEADER_SIZE + RLE_CODED_MAX);
    b->sorters = blocksort_workers_start(threads);
    b->rc = new (std::nothrow) RangeEncoder;
    if (b->input && b->rle && b->sorters && b->rc) return true;
    free_buffers(b);
    return false;
}

// State of one pass over the input.
struct Pass {
    Buffers* buf;
    MtfEncoder mtf;
    uint8_t* block;       // the block being filled, or NULL
    uint32_t block_fill;  // run-length bytes in it
    bool stop_when_widened;
    bool widened;  // stopped at the first widening, as asked
    const char* error;
    const CompressOptions* options;
};

// Ends a pass with `status` and the words for it.
static Status pass_failed(Pass* pass, Status status, const char* error) {
    pass->error = error;
    return status;
}

// Whether the pass goes on after `status`: no failure, and no widening that
// was to stop it.
static bool pass_goes_on(const Pass* pass, Status status) { return status.ok() && !pass->widened; }

// Move-to-front codes and range codes the oldest sorted block, in place.
static Status code_oldest_block(Pass* pass) {
    Buffers* b = pass->buf;
    uint32_t stored_size = 0;
    uint8_t* stored = blocksort_workers_take(b->sorters, &stored_size);
    if (!stored) {
        blocksort_workers_release(b->sorters);
        return pass_failed(pass, Failed(CAUSE_NO_MEMORY), "block sorting failed");
    }
    mtf_encode_stream(&pass->mtf, stored, stored, stored_size);
    uint32_t coded = 0;
    Status coding = rc_encode_bytes(b->rc, stored, stored_size, &coded);
    blocksort_workers_release(b->sorters);
    if (!coding.ok()) return pass_failed(pass, coding, "cannot write the stored bytes");
    if (pass->stop_when_widened && b->rc->widened_steps > 0) pass->widened = true;
    return STATUS_OK;
}

// Hands the block being filled to the sorters.
static void submit_block(Pass* pass) {
    blocksort_workers_submit(pass->buf->sorters, pass->block_fill);
    pass->block = NULL;
    pass->block_fill = 0;
}

// Appends run-length bytes to the block being filled and hands over every
// full block; the coder takes sorted blocks whenever no room is left.
static Status push_rle(Pass* pass, const uint8_t* data, uint32_t size) {
    Buffers* b = pass->buf;
    while (size > 0) {
        if (!pass->block) {
            while (blocksort_workers_full(b->sorters)) {
                Status coded = code_oldest_block(pass);
                if (!pass_goes_on(pass, coded)) return coded;
            }
            pass->block = blocksort_workers_next(b->sorters);
        }
        uint32_t room = BS_BUF_SIZE - pass->block_fill;
        uint32_t n = size < room ? size : room;
        memcpy(pass->block + pass->block_fill, data, n);
        pass->block_fill += n;
        data += n;
        size -= n;
        if (pass->block_fill == BS_BUF_SIZE) submit_block(pass);
    }
    return STATUS_OK;
}

// Codes the whole input once with rescale rule `fNewType` into the sink's
// current stream. With `stop_when_widened` the pass ends, with
// pass->widened set, at the first block whose coding needed the widening.
static Status run_pass(const Source* source, Sink* sink, Buffers* b, int fNewType,
                       bool stop_when_widened, Pass* pass) {
    pass->buf = b;
    pass->block = NULL;
    pass->block_fill = 0;
    pass->stop_when_widened = stop_when_widened;
    pass->widened = false;
    pass->error = NULL;
    mtf_encode_start(&pass->mtf);

    if (source->memory == NULL) {
        Status rewound = source->streams->rewind_input(source->streams->context);
        if (!rewound.ok()) return pass_failed(pass, rewound, "cannot position the input");
    }
    Status started = rc_encode_start(b->rc, fNewType, sink_write, sink);
    if (!started.ok()) {
        rc_encode_release(b->rc);
        return pass_failed(pass, started, "out of memory");
    }

    Status result = STATUS_OK;
    for (uint32_t offset = 0; offset < source->size && pass_goes_on(pass, result);) {
        uint32_t left = source->size - offset;
        uint32_t n = left < RLE_BUF_SIZE ? left : RLE_BUF_SIZE;
        const uint8_t* input;
        if (source->memory) {
            input = source->memory + offset;
        } else {
            result = source->streams->read_input(source->streams->context, b->input, n);
            if (!result.ok()) {
                pass_failed(pass, result,
                            "cannot read the input (it ended before its stated size)");
                break;
            }
            input = b->input;
        }
        uint32_t coded = rle_encode2(input, b->rle + RLE_HEADER_SIZE, n);
        rle_put_header(b->rle, coded);
        result = push_rle(pass, b->rle, RLE_HEADER_SIZE + coded);
        offset += n;
        const CompressOptions* options = pass->options;
        if (pass_goes_on(pass, result) && options->progress &&
            !options->progress(options->progress_context, offset)) {
            result = pass_failed(pass, Failed(CAUSE_CANCELLED), "cancelled");
        }
    }
    if (pass_goes_on(pass, result) && pass->block_fill > 0) submit_block(pass);
    while (pass_goes_on(pass, result) && !blocksort_workers_idle(b->sorters))
        result = code_oldest_block(pass);
    blocksort_workers_cancel(b->sorters);
    if (pass_goes_on(pass, result)) {
        result = rc_encode_finish(b->rc);
        if (!result.ok())
            pass_failed(pass, result, "cannot write the stored bytes");
        else if (stop_when_widened && b->rc->widened_steps > 0)
            pass->widened = true;
    }
    rc_encode_release(b->rc);
    return result;
}

// A failed result: `status` and the words for it.
static CompressResult compress_failed(const CompressOptions& options, Status status,
                                      const char* error) {
    CompressResult failed = {status, options.prefer_odd_rescale, 0, 0, error};
    return failed;
}

// The trial with the other rule, behind the first stream: kept, and moved to
// the start, only when it needs no widening; otherwise cut off again.
static void try_other_rule(const Source* source, Sink* sink, Buffers* b, Pass* pass,
                           const CompressOptions& options, CompressResult* result) {
    uint64_t first_size = sink->written;
    Status status = sink_begin(sink, first_size);
    if (!status.ok()) {
        *result = compress_failed(options, status, "cannot position the output");
        return;
    }
    status = run_pass(source, sink, b, !options.prefer_odd_rescale, true, pass);
    if (!status.ok()) {
        *result = compress_failed(options, status, pass->error);
    } else if (pass->widened) {
        status = sink_begin(sink, first_size);
        if (!status.ok())
            *result = compress_failed(options, status, "cannot cut the output after a trial");
    } else {
        status = sink_move_to_start(sink, b->input, RLE_BUF_SIZE);
        if (!status.ok()) {
            *result =
                compress_failed(options, status, "cannot move the stored bytes in the output");
        } else {
            result->odd_rescale = !options.prefer_odd_rescale;
            result->widened_steps = 0;
            result->stored_size = sink->written;
        }
    }
}

static CompressResult compress_from(const Source* source, Sink* sink,
                                    const CompressOptions& options) {
    CompressResult result = {STATUS_OK, options.prefer_odd_rescale, 0, 0, NULL};
    Buffers buffers;
    if (!alloc_buffers(&buffers, options.threads))
        return compress_failed(options, Failed(CAUSE_NO_MEMORY), "out of memory");
    Pass pass;
    pass.options = &options;
    Status status = sink_begin(sink, 0);
    if (!status.ok()) {
        result = compress_failed(options, status, "cannot position the output");
    } else {
        status = run_pass(source, sink, &buffers, options.prefer_odd_rescale, false, &pass);
        if (!status.ok()) {
            result = compress_failed(options, status, pass.error);
        } else {
            result.widened_steps = buffers.rc->widened_steps;
            result.stored_size = sink->written;
        }
    }
    if (result.status.ok() && result.widened_steps > 0 && source->size <= options.retry_limit)
        try_other_rule(source, sink, &buffers, &pass, options, &result);
    free_buffers(&buffers);
    return result;
}

CompressResult compress_streams(uint32_t original_size, const CompressStreams& streams,
                                const CompressOptions& options) {
    Source source = {&streams, NULL, original_size};
    Sink sink = {&streams, NULL, 0, 0};
    return compress_from(&source, &sink, options);
}

CompressResult compress_buffer(const uint8_t* data, size_t size, const CompressOptions& options,
                               std::vector<uint8_t>* stored) {
    if (size > 0xFFFFFFFFu) {
        return compress_failed(options, Failed(CAUSE_TOO_LARGE), "input of 4 GiB or more");
    }
    static const uint8_t nothing = 0;
    Source source = {NULL, data ? data : &nothing, (uint32_t)size};
    Sink sink = {NULL, stored, 0, 0};
    return compress_from(&source, &sink, options);
}
