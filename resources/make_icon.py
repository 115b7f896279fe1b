#!/usr/bin/env python3
"""Writes quento.ico: a download arrow over a chip, 48/32/16 px, each in 4, 8 and 24 bits.
With --png DIR it writes the same picture as quento-N.png for the Linux window and desktop
instead, N from 16 to 256, smoothed, so the icon stays crisp at any scale factor.

Run again only when the picture changes; the .ico and the PNGs are kept in the tree so that a
build needs no image tools.
"""
import os
import struct
import sys
import zlib

# The 16 colours every 4-bit icon is drawn with (the classic VGA set).
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def pixel(x, y, n):
    """Colour (r, g, b) or None (transparent) at pixel x, y of an n-by-n image."""
    u, v = (x + 0.5) / n, (y + 0.5) / n
    # Chip body with pins left and right.
    if 0.16 <= u <= 0.84 and 0.30 <= v <= 0.92:
        if u < 0.22 or u > 0.78 or v < 0.36 or v > 0.86:
            return (0, 0, 128)
        shade = int(40 * v)
        body = (0, 128 - shade // 2, 128 + shade)
        # Arrow shaft and head, white, pointing down into the chip.
        if 0.43 <= u <= 0.57 and 0.08 <= v <= 0.62:
            return (255, 255, 255)
        if 0.50 <= v <= 0.78 and abs(u - 0.5) <= (0.78 - v) * 1.1:
            return (255, 255, 255)
        return body
    if (0.06 <= u < 0.16 or 0.84 < u <= 0.94) and 0.38 <= v <= 0.86:
        if int(v * n) % max(2, n // 8) < max(1, n // 16):
            return (192, 192, 192)
        return None
    if 0.43 <= u <= 0.57 and 0.08 <= v <= 0.30:
        return (255, 255, 0)
    if 0.18 <= v <= 0.30 and abs(u - 0.5) <= (0.30 - v) * 1.3 + 0.07 and v > 0.22:
        return (255, 255, 0)
    return None


def nearest(colour, palette):
    return min(range(len(palette)),
               key=lambda i: sum((a - b) ** 2 for a, b in zip(colour, palette[i])))


def image(n, bpp):
    rows = [[pixel(x, y, n) for x in range(n)] for y in range(n)]
    palette = VGA if bpp <= 8 else []
    if bpp == 8:
        palette = VGA + [(0, 0, 0)] * 240
    header = struct.pack('<IiiHHIIiiII', 40, n, 2 * n, 1, bpp, 0, 0, 0, 0,
                         len(palette), 0)
    colours = b''.join(struct.pack('<BBBB', b, g, r, 0) for r, g, b in palette)
    xor = bytearray()
    stride = ((n * bpp + 31) // 32) * 4
    for y in reversed(range(n)):
        row = bytearray()
        if bpp == 24:
            for c in rows[y]:
                r, g, b = c or (0, 0, 0)
                row += bytes((b, g, r))
        else:
            idx = [nearest(c or (0, 0, 0), VGA) for c in rows[y]]
            if bpp == 8:
                row += bytes(idx)
            else:
                for i in range(0, n, 2):
                    row.append((idx[i] << 4) | (idx[i + 1] if i + 1 < n else 0))
        xor += row + bytes(stride - len(row))
    mask = bytearray()
    mstride = ((n + 31) // 32) * 4
    for y in reversed(range(n)):
        bits = bytearray(mstride)
        for x, c in enumerate(rows[y]):
            if c is None:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + colours + bytes(xor) + bytes(mask)


def main(out):
    entries = [(n, bpp) for n in (48, 32, 16) for bpp in (4, 8, 24)]
    images = [image(n, bpp) for n, bpp in entries]
    data = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for (n, bpp), img in zip(entries, images):
        colours = 16 if bpp == 4 else 0
        data += struct.pack('<BBBBHHII', n, n, colours, 0, 1, bpp, len(img), offset)
        offset += len(img)
    with open(out, 'wb') as f:
        f.write(data + b''.join(images))


def png(n, path, samples=4):
    """An RGBA PNG of n by n pixels, each the average of samples x samples points."""
    big = n * samples
    raw = bytearray()
    for y in range(n):
        raw.append(0)  # no filter
        for x in range(n):
            r = g = b = a = 0
            for sy in range(samples):
                for sx in range(samples):
                    c = pixel(x * samples + sx, y * samples + sy, big)
                    if c is not None:
                        r, g, b, a = r + c[0], g + c[1], b + c[2], a + 1
            count = samples * samples
            raw += bytes((r // a, g // a, b // a, 255 * a // count) if a else (0, 0, 0, 0))

    def chunk(kind, data):
        return (struct.pack('>I', len(data)) + kind + data +
                struct.pack('>I', zlib.crc32(kind + data) & 0xFFFFFFFF))

    with open(path, 'wb') as f:
        f.write(b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', struct.pack('>IIBBBBB', n, n, 8, 6, 0, 0, 0)) +
                chunk(b'IDAT', zlib.compress(bytes(raw), 9)) + chunk(b'IEND', b''))


if __name__ == '__main__':
    if len(sys.argv) > 2 and sys.argv[1] == '--png':
        for size in (16, 24, 32, 48, 64, 128, 256):
            png(size, os.path.join(sys.argv[2], 'quento-%d.png' % size))
    else:
        main(sys.argv[1] if len(sys.argv) > 1 else 'quento.ico')
