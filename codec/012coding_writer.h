// Stage 1 writer: the carry-less range encoder over the same value model as
// the reader (class 0/1/2 in a context of three classes, exponent, mantissa),
// with the same tables, the same arithmetic, both normalisations and the
// narrow-interval widening; it emits the top byte of `low` wherever the reader
// takes a byte in.
#pragma once

#include <stdint.h>

#include "codec/012coding.h"

// Receives the encoder's output in pieces; a failure stops the encoder, which
// then answers it.
typedef Status (*ByteSinkFunction)(void* context, const uint8_t* data, uint32_t size);

const uint32_t RC_OUT_BUF_SIZE = 0x10000;

struct RangeEncoder {
    uint32_t range;
    uint32_t low;
    int c0, c00, c000;
    int fNewType;
    ModelSet models;
    uint64_t values;         // values coded so far, EOF not counted
    uint32_t widened_steps;  // steps that needed the narrow-interval widening
    ByteSinkFunction sink;
    void* sink_context;
    Status sink_status;  // the first failure of the sink, if any
    uint32_t out_fill;
    uint8_t out[RC_OUT_BUF_SIZE];
};

// Prepares a stream with fresh tables; CAUSE_NO_MEMORY when the tables cannot
// be had.
Status rc_encode_start(RangeEncoder* rc, int fNewType, ByteSinkFunction sink, void* context);
void rc_encode_release(RangeEncoder* rc);

// One encode step of symbol c with `table`, the mirror of RC_DECODE,
// widening a too narrow interval first.
void rc_encode_symbol(RangeEncoder* rc, Frequency* table, int c);

// Codes `size` bytes as values; *coded receives how many were coded before
// a failure of the sink stopped it, which is then the answer.
Status rc_encode_bytes(RangeEncoder* rc, const uint8_t* data, uint32_t size, uint32_t* coded);

// Codes EOF and the four bytes of the final `low`, and hands everything left
// to the sink. The tables stay allocated until rc_encode_release.
Status rc_encode_finish(RangeEncoder* rc);
