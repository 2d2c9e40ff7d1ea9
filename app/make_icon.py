#!/usr/bin/env python3
# Writes icon.ico: one 32 x 32 image, 24 bits per pixel, with its AND mask.
# The picture: a closed carton on a transparent ground, with a downward arrow
# on its face, for "unpack here".
import struct
import sys

SIZE = 32


def pixel(x, y):
    """Colour (r, g, b) of the pixel at column x, row y (row 0 on top), or
    None where the icon is transparent."""
    # The carton: lid from row 5 to 10, body from row 10 to 28.
    if 4 <= x <= 27 and 5 <= y <= 28:
        edge = x in (4, 27) or y in (5, 10, 28)
        if edge:
            return (0x5A, 0x3A, 0x1C)
        if y < 10:
            return (0xE8, 0xB8, 0x70)  # lid, lighter
        # The arrow: a shaft over a triangular head, centred on column 15.5.
        if 14 <= x <= 17 and 12 <= y <= 19:
            return (0x1C, 0x5C, 0xB8)
        if 20 <= y <= 25 and abs(x - 15.5) <= 25 - y + 0.5:
            return (0x1C, 0x5C, 0xB8)
        return (0xD0, 0x98, 0x50)  # body
    return None


def main(path):
    colour_rows = []
    mask_rows = []
    # Rows are stored bottom-up; each row is padded to a multiple of 4 bytes.
    for y in reversed(range(SIZE)):
        row = bytearray()
        mask = 0
        for x in range(SIZE):
            value = pixel(x, y)
            if value is None:
                row += b"\x00\x00\x00"
                mask |= 1 << (SIZE - 1 - x)
            else:
                r, g, b = value
                row += bytes((b, g, r))
        colour_rows.append(bytes(row))
        mask_rows.append(struct.pack(">I", mask))
    colours = b"".join(colour_rows)
    masks = b"".join(mask_rows)
    # The height of an icon's bitmap counts the colour image and the mask.
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, 2 * SIZE, 1, 24, 0,
                         len(colours) + len(masks), 0, 0, 0, 0)
    image = header + colours + masks
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 24, len(image), 6 + 16)
    with open(path, "wb") as out:
        out.write(directory + entry + image)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "icon.ico")
