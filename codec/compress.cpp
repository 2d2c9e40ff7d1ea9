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

static bool sink_write(void* context, const uint8_t* data, uint32_t size) {
    Sink* sink = (Sink*)context;
    if (sink->memory) {
        sink->memory->insert(sink->memory->end(), data, data + size);
    } else if (!sink->streams->write_output(sink->streams->context, data, size)) {
        return false;
    }
    sink->written += size;
    return true;
}

// Starts a stream `at` bytes from the start; anything from there on goes.
static bool sink_begin(Sink* sink, uint64_t at) {
    sink->at = at;
    sink->written = 0;
    if (sink->memory) {
        sink->memory->resize((size_t)at);
        return true;
    }
    const CompressStreams* s = sink->streams;
    return s->seek_output(s->context, at) && s->cut_output(s->context);
}

// Moves the stream just written to the start and cuts everything behind it.
static bool sink_move_to_start(Sink* sink, uint8_t* buffer, uint32_t buffer_size) {
    uint64_t from = sink->at;
    if (sink->memory) {
        sink->memory->erase(sink->memory->begin(), sink->memory->begin() + (ptrdiff_t)from);
    } else {
        const CompressStreams* s = sink->streams;
        for (uint64_t done = 0; done < sink->written;) {
            uint64_t left = sink->written - done;
            uint32_t n = left < buffer_size ? (uint32_t)left : buffer_size;
            if (!s->seek_output(s->context, from + done) ||
                !s->read_output(s->context, buffer, n) || !s->seek_output(s->context, done) ||
                !s->write_output(s->context, buffer, n))
                return false;
            done += n;
        }
        if (!s->cut_output(s->context)) return false;
    }
    sink->at = 0;
    return true;
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

enum PassResult {
    PASS_DONE,
    PASS_WIDENED,  // stopped at the first widening, as asked
    PASS_FAILED,
};

// State of one pass over the input.
struct Pass {
    Buffers* buf;
    MtfEncoder mtf;
    uint8_t* block;       // the block being filled, or NULL
    uint32_t block_fill;  // run-length bytes in it
    bool stop_when_widened;
    const char* error;
    Cause cause;  // why the pass failed
    const CompressOptions* options;
};

// Ends a pass with `cause` and the words for it.
static PassResult pass_failed(Pass* pass, Cause cause, const char* error) {
    pass->cause = cause;
    pass->error = error;
    return PASS_FAILED;
}

// Move-to-front codes and range codes the oldest sorted block, in place.
static PassResult code_oldest_block(Pass* pass) {
    Buffers* b = pass->buf;
    uint32_t stored_size = 0;
    uint8_t* stored = blocksort_workers_take(b->sorters, &stored_size);
    if (!stored) {
        blocksort_workers_release(b->sorters);
        return pass_failed(pass, CAUSE_NO_MEMORY, "block sorting failed");
    }
    mtf_encode_stream(&pass->mtf, stored, stored, stored_size);
    uint32_t coded = 0;
    RcEncodeResult result = rc_encode_bytes(b->rc, stored, stored_size, &coded);
    blocksort_workers_release(b->sorters);
    if (result == RC_NO_MEMORY) return pass_failed(pass, CAUSE_NO_MEMORY, "out of memory");
    if (result != RC_ENCODED)
        return pass_failed(pass, CAUSE_WRITE_FAILED, "cannot write the stored bytes");
    if (pass->stop_when_widened && b->rc->widened_steps > 0) return PASS_WIDENED;
    return PASS_DONE;
}

// Hands the block being filled to the sorters.
static void submit_block(Pass* pass) {
    blocksort_workers_submit(pass->buf->sorters, pass->block_fill);
    pass->block = NULL;
    pass->block_fill = 0;
}

// Appends run-length bytes to the block being filled and hands over every
// full block; the coder takes sorted blocks whenever no room is left.
static PassResult push_rle(Pass* pass, const uint8_t* data, uint32_t size) {
    Buffers* b = pass->buf;
    while (size > 0) {
        if (!pass->block) {
            while (blocksort_workers_full(b->sorters)) {
                PassResult result = code_oldest_block(pass);
                if (result != PASS_DONE) return result;
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
    return PASS_DONE;
}

// Codes the whole input once with rescale rule `fNewType` into the sink's
// current stream. With `stop_when_widened` the pass ends at the first block
// whose coding needed the widening.
static PassResult run_pass(const Source* source, Sink* sink, Buffers* b, int fNewType,
                           bool stop_when_widened, Pass* pass) {
    pass->buf = b;
    pass->block = NULL;
    pass->block_fill = 0;
    pass->stop_when_widened = stop_when_widened;
    pass->error = NULL;
    mtf_encode_start(&pass->mtf);

    if (source->memory == NULL && !source->streams->rewind_input(source->streams->context))
        return pass_failed(pass, CAUSE_READ_FAILED, "cannot position the input");
    if (!rc_encode_start(b->rc, fNewType, sink_write, sink)) {
        rc_encode_release(b->rc);
        return pass_failed(pass, CAUSE_NO_MEMORY, "out of memory");
    }

    PassResult result = PASS_DONE;
    for (uint32_t offset = 0; offset < source->size && result == PASS_DONE;) {
        uint32_t left = source->size - offset;
        uint32_t n = left < RLE_BUF_SIZE ? left : RLE_BUF_SIZE;
        const uint8_t* input;
        if (source->memory) {
            input = source->memory + offset;
        } else {
            if (!source->streams->read_input(source->streams->context, b->input, n)) {
                result = pass_failed(pass, CAUSE_READ_FAILED,
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
        if (result == PASS_DONE && options->progress &&
            !options->progress(options->progress_context, offset)) {
            result = pass_failed(pass, CAUSE_CANCELLED, "cancelled");
        }
    }
    if (result == PASS_DONE && pass->block_fill > 0) submit_block(pass);
    while (result == PASS_DONE && !blocksort_workers_idle(b->sorters))
        result = code_oldest_block(pass);
    blocksort_workers_cancel(b->sorters);
    if (result == PASS_DONE) {
        if (rc_encode_finish(b->rc) != RC_ENCODED) {
            result = pass_failed(pass, CAUSE_WRITE_FAILED, "cannot write the stored bytes");
        } else if (stop_when_widened && b->rc->widened_steps > 0) {
            result = PASS_WIDENED;
        }
    }
    rc_encode_release(b->rc);
    return result;
}

// A failed result: `cause` and the words for it.
static CompressResult compress_failed(const CompressOptions& options, Cause cause,
                                      const char* error) {
    CompressResult failed = {cause, options.prefer_odd_rescale, 0, 0, error, 0};
    return failed;
}

static CompressResult compress_from(const Source* source, Sink* sink,
                                    const CompressOptions& options) {
    bool preferred = options.prefer_odd_rescale;
    CompressResult result = {CAUSE_OK, preferred, 0, 0, NULL, 0};
    Buffers buffers;
    if (!alloc_buffers(&buffers, options.threads))
        return compress_failed(options, CAUSE_NO_MEMORY, "out of memory");
    Pass pass;
    pass.options = &options;
    pass.cause = CAUSE_OK;
    if (!sink_begin(sink, 0)) {
        result = compress_failed(options, CAUSE_WRITE_FAILED, "cannot position the output");
    } else if (run_pass(source, sink, &buffers, preferred, false, &pass) != PASS_DONE) {
        result = compress_failed(options, pass.cause, pass.error);
    } else {
        result.widened_steps = buffers.rc->widened_steps;
        result.stored_size = sink->written;
    }
    if (result.cause == CAUSE_OK && result.widened_steps > 0 &&
        source->size <= options.retry_limit) {
        uint64_t first_size = sink->written;
        if (!sink_begin(sink, first_size)) {
            result = compress_failed(options, CAUSE_WRITE_FAILED, "cannot position the output");
        } else {
            PassResult trial = run_pass(source, sink, &buffers, !preferred, true, &pass);
            if (trial == PASS_FAILED) {
                result = compress_failed(options, pass.cause, pass.error);
            } else if (trial == PASS_DONE) {
                if (!sink_move_to_start(sink, buffers.input, RLE_BUF_SIZE)) {
                    result = compress_failed(options, CAUSE_WRITE_FAILED,
                                             "cannot move the stored bytes in the output");
                } else {
                    result.odd_rescale = !preferred;
                    result.widened_steps = 0;
                    result.stored_size = sink->written;
                }
            } else if (!sink_begin(sink, first_size)) {
                result = compress_failed(options, CAUSE_WRITE_FAILED,
                                         "cannot cut the output after a trial");
            }
        }
    }
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
        return compress_failed(options, CAUSE_TOO_LARGE, "input of 4 GiB or more");
    }
    static const uint8_t nothing = 0;
    Source source = {NULL, data ? data : &nothing, (uint32_t)size};
    Sink sink = {NULL, stored, 0, 0};
    return compress_from(&source, &sink, options);
}
