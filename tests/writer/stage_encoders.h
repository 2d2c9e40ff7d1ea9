// Each writing stage alone over a whole buffer, for tests that check a stage
// against fixed vectors or against its decoder.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "codec/012coding_writer.h"

// The whole stage in memory: codes `size` bytes into `stream`. When given,
// *widened_steps receives how many steps needed the narrow-interval widening.
Status coding012_encode_buffer(const uint8_t* data, uint32_t size, int fNewType,
                               std::vector<uint8_t>* stream, uint32_t* widened_steps);

// The whole stage in memory: `data` cut into blocks of BS_BUF_SIZE (the last
// one shorter, none empty), each stored with its header. False when memory
// cannot be had or a sort failed.
bool blocksort_encode_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* stream);

// The whole stage in memory: every RLE_BUF_SIZE bytes of `data` as one block
// with its header.
void rle_encode_buffer(const uint8_t* data, size_t size, std::vector<uint8_t>* stream);
