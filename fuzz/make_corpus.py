#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target from the fixed vectors.

Stage-1 and chain inputs start with the options byte that the drivers read:
bit 0 the odd rescale rule, bits 1-2 the stage-1 buffer size (4, 5, 7, 4096);
for the chain bit 3 announces one byte too many, for the stage-1 memory target
bit 3 turns the narrow-interval rule off and bits 4-5 pick the piece size.
Payload inputs are whole files: entry records, behind a minimal PE header or
from the first byte on.
Run from anywhere; writes these seeds into fuzz/corpus/ and leaves the other
files there (inputs merged by fuzzing campaigns, payloads made by the writer).
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")

def h(text):
    return bytes.fromhex(text)

EMPTY = h("FF EA AA 7B 00")
FIVE = h("45 7E DE F5 97 E0 AC 00")
ZEROS_ODD = h("0A D0 B5 78 FA 00")
ZEROS_PLAIN = h("0A D0 BA C7 54 00")
STORED = h("38 23 6B C4 65 88 27 35 88 00 09 3C 3D 24 F7 B8 46 F0 AB 86 EC 00")
STAGE1_OUT = h("00 00 03 00 00 14 12 00 61 07 02 01 72 00 00 22 65 04 04 65 00 00 00 00 65 01")
STAGE2_OUT = h("00 00 03 00 00 14 11 00 61 04 61 61 72 61 61 20 64 00 72 63 61 61 61 61 62 62")
STAGE3_OUT = h("11 00 00 61 62 72 61 63 61 64 61 62 72 61 20 61 61 61 61 04")

def bs_block(top, data):
    return top.to_bytes(3, "big") + len(data).to_bytes(3, "big") + data

def rle_block(coded):
    return len(coded).to_bytes(3, "little") + coded

def record(name, stored=b"", original=0, attributes=0x20, stored_size=None):
    name = name.encode("cp932")
    size = len(stored) if stored_size is None else stored_size
    times = struct.pack("<QQQ", 126000000000000000, 126000000000000001, 126000000000000002)
    return (bytes([len(name)]) + name + times + struct.pack("<HII", attributes, original, size)
            + stored)

def pe_header(payload_start):
    """"MZ", "PE" at 0x40, one section whose raw data ends at payload_start."""
    header = bytearray(payload_start)
    header[0:2] = b"MZ"
    header[0x3C:0x3E] = (0x40).to_bytes(2, "little")
    header[0x40:0x44] = b"PE\0\0"
    header[0x46] = 1
    # SizeOfRawData and PointerToRawData of the section header at 0x40 + 248.
    header[0x148:0x150] = struct.pack("<II", 0x20, payload_start - 0x20)
    return bytes(header)

CHAIN_RECORDS = (record("image\\", attributes=0x10)
                 + record("image\\arrowdown.ico", STORED, 20, 0x2020)
                 + record("empty.txt"))

corpus = {
    "stage1": {
        "empty_plain_buf4": b"\x00" + EMPTY,
        "empty_odd_buf5": b"\x03" + EMPTY,
        "five_values_plain_buf7": b"\x04" + FIVE,
        "five_values_odd_buf4096": b"\x07" + FIVE,
        "zeros_odd": b"\x01" + ZEROS_ODD,
        "zeros_plain": b"\x02" + ZEROS_PLAIN,
        "zeros_odd_as_plain": b"\x00" + ZEROS_ODD,
        "chain_plain": b"\x00" + STORED,
        "chain_odd": b"\x05" + STORED,
    },
    "stage2": {
        "exchange_rule": bytes([98, 1, 0, 1, 1]),
        "second_place": bytes([2, 0, 3, 3, 3]),
        "first_index_one": bytes([1, 1]),
        "chain": STAGE1_OUT,
    },
    "stage3": {
        "banana": bs_block(3, b"nnbaaa"),
        "one_byte": bs_block(0, b"Z"),
        "chain": STAGE2_OUT,
        "short_block_then_more": bs_block(3, b"nnbaaa") + bs_block(0, b"zz"),
        "top_past_end": bs_block(6, b"nnbaaa"),
        "empty_block": bs_block(0, b""),
    },
    "stage4": {
        "count_two": rle_block(h("41 41 41 41 02 42")),
        "three_equal": rle_block(h("41 41 41 42")),
        "count_zero": rle_block(h("41 41 41 41 00 41")),
        "count_max": rle_block(h("41 41 41 41 FF")),
        "chain": STAGE3_OUT,
        "missing_count": rle_block(h("41 41 41 41")),
    },
    "chain": {
        "chain_plain": b"\x00" + STORED,
        "chain_odd_buf5": b"\x03" + STORED,
        "five_values": b"\x01" + FIVE,
        "zeros_odd": b"\x01" + ZEROS_ODD,
        "announced_one_too_many": b"\x08" + STORED,
    },
    "payload": {
        "behind_pe_header": pe_header(0x180) + CHAIN_RECORDS,
        "records_only": CHAIN_RECORDS,
        "trail_byte_names": record("表\\", attributes=0x10) + record("表\\ソ", STORED, 20)
                            + record("予定表"),
        "parent_folder": record("..\\up.txt", STORED, 20),
        "device_name": record("sub\\CON.txt"),
        "folder_with_stored_bytes": record("dir\\", b"abc", 0, 0x10),
        "stored_past_the_end": record("a.txt", STORED, 20, stored_size=23),
    },
}
corpus["stage1_memory"] = dict(corpus["stage1"])
corpus["stage1_memory"].update({
    "chain_rule_off_piece1": b"\x08" + STORED,
    "five_values_piece3": b"\x11" + FIVE,
    "zeros_odd_piece100": b"\x21" + ZEROS_ODD,
})
corpus["stage2_memory"] = dict(corpus["stage2"])
corpus["chain_memory"] = dict(corpus["chain"])
corpus["stage3_memory"] = dict(corpus["stage3"])
corpus["stage3_memory"].update({
    "repeated_pattern": bs_block(0, b"b" * 40 + b"a" * 40),
    "single_byte_value": bs_block(99, b"q" * 100),
    "text": bs_block(17, b"ttttssseeeehhhhh  rrrooaaaiinnnnpp"),
})
corpus["stage4_memory"] = dict(corpus["stage4"])
corpus["stage4_memory"].update({
    "runs_and_singles": rle_block(h("41 41 41 41 07 42 43 44 45 46 47 48 49 4A 4A 4A 4B 4B 4B 4B 00 4C")),
})

for target, files in corpus.items():
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
print("corpus written to", ROOT)
