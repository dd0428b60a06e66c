#!/usr/bin/python3
"""Hostile headers of every format through pxv: the largest sizes each header can state, row sizes
that overflow 32 bits, tables and chains that loop or point far past the file's end. Each run
must end within 10 s (PXV_HOSTILE_SECONDS sets another bound), without a signal or sanitizer report, with the result expected: a refusal
code, or a load within the default block cap and its output. `convert` loads through pxv's own
header callback, `info` through the library's.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time

TIMEOUT = float(os.environ.get('PXV_HOSTILE_SECONDS', '10'))


def le(fmt, *values):
    return struct.pack('<' + fmt, *values)


def be(fmt, *values):
    return struct.pack('>' + fmt, *values)


def bmp(width, height, bits=24, compression=0, offset=54, data=b''):
    info = le('IiiHHIIiiII', 40, width, height, 1, bits, compression, 0, 0, 0, 0, 0)
    return b'BM' + le('IHHI', 54 + len(data), 0, 0, offset) + info + data


def tiff_ifd(width=16, height=16, next_ifd=0, strips=1, rows_per_strip=None, **fields):
    """A directory of an uncompressed 8-bit gray image, its pixels at 128; `fields` (tag name:
    value, or (type, count, value)) replace or add entries, SHORT values in the low bytes."""
    tags = dict(width=(256, 4, 1, width), length=(257, 4, 1, height), bits=(258, 3, 1, 8), compression=(259, 3, 1, 1),
                photometric=(262, 3, 1, 1), strip_offsets=(273, 4, strips, 128 if strips == 1 else 8),
                samples=(277, 3, 1, 1), rows_per_strip=(278, 4, 1, rows_per_strip or height),
                strip_byte_counts=(279, 4, strips, 256 if strips == 1 else 8), planar=(284, 3, 1, 1),
                colour_map=(320, 3, 0, 0))
    for name, value in fields.items():
        tags[name] = (tags[name][0],) + (value if isinstance(value, tuple) else tags[name][1:3] + (value,))
    entries = sorted(e for e in tags.values() if e[2])
    return le('H', len(entries)) + b''.join(le('HHII', *e) for e in entries) + le('I', next_ifd)


def tiff(*ifds, data=bytes(range(256))):
    """Directories at 8 and then every 512 bytes (next-IFD offsets given by the caller), pixels at 128."""
    out = bytearray(b'II*\0' + le('I', 8) + bytes(120) + data)
    for i, ifd in enumerate(ifds):
        at = 8 if i == 0 else 512 * i
        out.extend(bytes(max(0, at + len(ifd) - len(out))))
        out[at:at + len(ifd)] = ifd
    return bytes(out)


def pcx(xmax, ymax, bits=8, planes=1, bytes_per_line=None, data=b''):
    if bytes_per_line is None:
        bytes_per_line = min(0xFFFF, ((xmax + 1) * bits + 7) // 8)
    head = le('BBBBHHHHHH', 0x0A, 5, 1, bits, 0, 0, xmax, ymax, 72, 72) + bytes(48)
    head += le('BBHH', 0, planes, bytes_per_line, 1)
    return head + bytes(128 - len(head)) + data


SMALL_PCX = pcx(7, 7, data=b'\xC8\x05' * 8)  # 8 x 8, each row one run


def dcx(entries, pages_at):
    return le('I', 0x3ADE68B1) + le('I', pages_at) * entries + le('I', 0)


def gif(screen, image, table_bits=8, min_code=8, data=b'', terminated=True):
    head = b'GIF89a' + le('HHBBB', *screen, 0x80 | (table_bits - 1), 0, 0) + bytes(3 << table_bits)
    body = b',' + le('HHHHB', 0, 0, *image, 0) + bytes([min_code]) + data
    return head + body + (b'\0;' if terminated else b'')


def lzw_clears(blocks):
    """Sub-blocks of nothing but 9-bit Clear codes: no pixel, no End-of-Data, ever."""
    codes = sum(256 << (9 * i) for i in range(8)).to_bytes(9, 'little') * (255 * blocks // 9)
    return b''.join(bytes([len(codes[i:i + 255])]) + codes[i:i + 255] for i in range(0, len(codes), 255))


def tga(width, height, depth=24, image_type=2, map_entries=0):
    head = le('BBBHHBHHHHBB', 0, 1 if map_entries else 0, image_type, 0, map_entries, 24 if map_entries else 0,
              0, 0, width, height, depth, 0)
    return head + bytes(3 * map_entries) + bytes(64)


def jpeg(width, height, components=3, scan=False):
    """A frame header without tables; with `scan`, a scan header and no data (every symbol 0)."""
    ids = range(1, components + 1)
    sof = be('BHHB', 8, height, width, components) + b''.join(bytes([i, 0x11, 0]) for i in ids)
    sos = bytes([components]) + b''.join(bytes([i, 0]) for i in ids) + bytes([0, 63, 0])
    return (b'\xFF\xD8\xFF\xC0' + be('H', 2 + len(sof)) + sof +
            (b'\xFF\xDA' + be('H', 2 + len(sos)) + sos if scan else b'') + b'\xFF\xD9')


def pict(width, frame_bottom, vres, left=0):
    """A version-2 picture whose first operation is an 8-bit PackBitsRect (two-entry table)."""
    head = bytes(512) + be('HhhhhH', 0, 0, 0, frame_bottom, 0x7FFF, 0x0011) + b'\x02\xFF'
    head += be('H', 0x0C00) + bytes(24)
    pixmap = be('hhhhHHIIIHHHHIII', 0, left, 0x7FFF, left + width, 0, 0, 0, 72 << 16, vres << 16, 0, 8, 1, 8,
                0, 0, 0)
    table = be('IHH', 0, 0, 1) + bytes(16)
    op = be('HH', 0x0098, 0x8000 | min(width, 0x7FFF)) + pixmap + table + bytes(18)
    return head + op + bytes(64) + be('H', 0x00FF)


def wpg(width, height, depth, extra=b''):
    head = b'\xFFWPC' + le('I', 16) + bytes([1, 0x16, 1, 0]) + bytes(4)
    start = bytes([0x0F, 6, 1, 0, 0, 0, 0, 0])
    bitmap = bytes([0x0B, 0xFF]) + le('H', 10 + 8) + le('HHHHH', width, height, depth, 75, 75) + bytes(8)
    return head + start + bitmap + extra + bytes([0x10, 0])


def wmf(width, height, bits=24, record_words=None):
    dib = le('IiiHHIIiiII', 40, width, height, 1, bits, 0, 0, 0, 0, 0, 0) + bytes(64)
    params = le('IH', 0x00CC0020, 0) + le('8h', 1, 1, 0, 0, 1, 1, 0, 0)
    words = record_words if record_words is not None else (6 + len(params) + len(dib)) // 2
    record = le('IH', words, 0x0F43) + params + dib
    placeable = le('IHhhhhHIH', 0x9AC6CDD7, 0, 0, 0, 100, 100, 96, 0, 0)
    header = le('HHHIHIH', 2, 9, 0x300, 0, 0, 0, 0)
    return placeable + header + record + le('IH', 3, 0)


def eps(tiff_offset, tiff_length, preview=b''):
    return le('IIIIIIIH', 0xC6D3D0C5, 32, 0, 0, 0, tiff_offset, tiff_length, 0xFFFF) + bytes(2) + preview


def convert(expect, page=None, to='bmp'):
    """A convert into a file of type `to` (a gigabyte of zeros costs little compressed)."""
    return 'convert', page, expect, to


def info(expect, page=None, says=''):
    return 'info', page, expect, says


def both(expect):
    return [convert(expect), info(expect)]


OK = 0  # loaded: within the default cap, and the output exists
HUGE = 0x7FFFFFFF
SELF_LOOP = tiff(tiff_ifd(next_ifd=8))
PING_PONG = tiff(tiff_ifd(next_ifd=512), tiff_ifd(17, next_ifd=8))  # told apart by their widths
CASES = [
    # format, case, file, runs (command, page, expected result)
    ('BMP', 'largest 1-bit', bmp(HUGE, HUGE, 1), both(-1)),
    ('BMP', '24-bit row bytes overflow 32 bits', bmp(0x40000001, 1), both(-3)),
    ('BMP', 'top-down height -2^31', bmp(16, -0x80000000), both(-3)),
    ('BMP', 'largest RLE8', bmp(0x7FFFFFF0, HUGE, 8, 1), both(-1)),
    ('BMP', 'RLE8 row bytes overflow', bmp(HUGE, 1, 8, 1, data=b'\0\1'), both(-3)),
    ('BMP', 'RLE8 16384 x 16384, end of bitmap', bmp(0x4000, 0x4000, 8, 1, data=b'\0\1'), [convert(OK)]),
    # Loaded in full (a gigabyte DIB and as long a row buffer), then refused by PCX's 16-bit width.
    ('BMP', 'RLE8 one row of a gigabyte', bmp(0x3FFF0000, 1, 8, 1, data=b'\xFF\7' * 64 + b'\0\1'),
     [convert(-6, to='pcx')]),
    ('BMP', 'pixel offset 0xFFFFFFFF', bmp(16, 16, 24, 0, 0xFFFFFFFF), both(-3)),
    ('TIFF', 'largest dimensions', tiff(tiff_ifd(0xFFFFFFFF, 0xFFFFFFFF)), both(-3)),
    ('TIFF', 'RGB row overflow', tiff(tiff_ifd(0x40000001, 1, samples=3)), both(-3)),
    ('TIFF', 'strip counts of 2^30', tiff(tiff_ifd(strips=1 << 30, rows_per_strip=1)), both(OK)),
    ('TIFF', 'LZW, strip counts of 2^30', tiff(tiff_ifd(strips=1 << 30, rows_per_strip=1, compression=5)),
     both(OK)),
    ('TIFF', 'planar RGB, strip counts of 2^30', tiff(tiff_ifd(strips=1 << 30, rows_per_strip=1, samples=3, planar=2)),
     both(OK)),
    ('TIFF', 'directory of 32767 entries', tiff(le('H', 0x7FFF) + tiff_ifd()[2:]), both(OK)),
    ('TIFF', 'directory of -1 entries', tiff(le('H', 0xFFFF) + tiff_ifd()[2:]), both(-3)),
    ('TIFF', 'colour map of 2^30 entries', tiff(tiff_ifd(photometric=3, colour_map=(3, 1 << 30, 8))), both(OK)),
    ('TIFF', 'directory at 0xFFFFFFFF', b'II*\0' + le('I', 0xFFFFFFFF) + bytes(16), both(-3)),
    ('TIFF', 'self-looping directory', SELF_LOOP,
     [convert(OK), convert(-9, 5), info(OK), info(-9, 1), info(-9, 5), info(-9, 65535)]),
    ('TIFF', 'two directories in a ring', PING_PONG,
     [convert(OK, 1), info(OK, 1, 'width:     17'), info(-9, 2), convert(-9, 5)]),
    ('PCX', 'width 65536', pcx(0xFFFF, 0xFFFF), both(-3)),
    ('PCX', 'largest 24-bit', pcx(0x7FFE, 0x7FFE, planes=3), both(-1)),
    # The library's DIB, rows rounded up to a multiple of 4, passes 1 GiB; the CLI's own DIB is
    # 32 KiB under it and loads: a gigabyte from a 128-byte file.
    ('PCX', 'largest 8-bit', pcx(0x7FFE, 0x7FFE), [info(-1), convert(OK, to='pcx')]),
    ('PCX', 'largest 1-bit', pcx(0x7FFE, 0x7FFE, bits=1), [convert(OK)]),
    ('DCX', '1023 pages at one place', dcx(1023, 4 + 4 * 1024) + SMALL_PCX,
     [convert(OK), convert(OK, 1022), convert(-2, 1023), info(OK, 1022), info(-2, 1023), info(-2, 65535)]),
    ('DCX', 'page past the end', dcx(2, 1 << 30), [convert(-2), info(-2, 1)]),
    ('GIF', 'image far larger than the screen', gif((16, 16), (0xFFFF, 0xFFFF)), both(-1)),
    ('GIF', 'LZW that never ends', gif((64, 64), (64, 64), data=lzw_clears(2000), terminated=False), both(OK)),
    ('GIF', 'screen-sized image, endless LZW', gif((0xFFFF, 0xFFFF), (0xFFFF, 0x1000), data=lzw_clears(200),
                                                   terminated=False), [convert(OK)]),
    ('Targa', 'largest 24-bit', tga(0xFFFF, 0xFFFF), both(-1)),
    ('Targa', 'largest colour-mapped', tga(0xFFFF, 0xFFFF, 8, 1, 256), both(-1)),
    ('Targa', 'largest RLE', tga(0xFFFF, 0xFFFF, 32, 10), both(-1)),
    ('JPEG', '65535 x 65535, no scan', jpeg(0xFFFF, 0xFFFF), both(-3)),
    ('JPEG', '32767 x 32767, no scan', jpeg(0x7FFF, 0x7FFF), both(-3)),
    ('JPEG', '32767 x 32767, empty scan', jpeg(0x7FFF, 0x7FFF, scan=True), both(-1)),
    ('JPEG', 'gray 8192 x 8192, empty scan', jpeg(0x2000, 0x2000, 1, scan=True), [convert(OK)]),
    ('PICT', 'widest band, tallest picture', pict(0x7FFF, 0x7FFF, 0x7FFF), both(-1)),
    ('PICT', 'band 32768 wide', pict(0x8000, 100, 72, left=-0x8000), both(-3)),
    ('WPG', 'largest 24-bit', wpg(0xFFFF, 0xFFFF, 24), both(-1)),
    ('WPG', 'largest 8-bit', wpg(0xFFFF, 0xFFFF, 8), both(-1)),
    ('WPG', 'record of 2 GiB after the bitmap', wpg(16, 16, 8, extra=b'\x11\xFF\xFF\xFF\xFF\xFF'), both(OK)),
    ('WMF', 'largest 1-bit DIB', wmf(HUGE, HUGE, 1), both(-1)),
    ('WMF', '24-bit DIB row overflow', wmf(0x40000001, 1), both(-3)),
    ('WMF', 'record of 0 words', wmf(16, 16, record_words=0), both(-6)),
    ('EPS', 'preview past the end', eps(1 << 20, 256), both(-1)),
    ('EPS', 'preview at 0xFFFFFFFF, 0xFFFFFFFF long', eps(0xFFFFFFFF, 0xFFFFFFFF), both(-1)),
    ('EPS', 'preview of the largest TIFF', eps(32, 0xFFFFFFFF, tiff(tiff_ifd(0xFFFFFFFF, 0xFFFFFFFF))),
     both(-3) + [info(-9, 1)]),
]


def run(pxv, folder, path, command, page, expect, says):
    out = os.path.join(folder, 'out')
    argv = [pxv, command, path] + ([out, '--quiet', '--type', says] if command == 'convert' else [])
    argv += ['--page', str(page)] if page is not None else []
    began = time.monotonic()
    try:
        # In the scratch folder: planar TIFF pages spool their planes to the working folder.
        done = subprocess.run(argv, cwd=folder, capture_output=True, text=True, errors='replace', timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        return 'timeout', time.monotonic() - began, False
    seconds = time.monotonic() - began
    made = os.path.exists(out)
    if made:
        os.remove(out)
    if done.returncode < 0:
        return f'signal {-done.returncode}', seconds, False
    if re.search(r'ERROR: \w+Sanitizer|runtime error', done.stderr):
        sys.stderr.write(done.stderr)
        return 'sanitizer report', seconds, False
    if done.returncode == 0:
        return '0', seconds, expect == OK and (made if command == 'convert' else says in done.stdout)
    found = re.search(r'\(result (-?\d+)\)', done.stderr)
    result = found.group(1) if found else f'exit {done.returncode}'
    return result, seconds, result == str(expect) and not made


def main():
    if len(sys.argv) != 2:
        sys.exit('usage: hostile_headers.py PXV')
    pxv = os.path.abspath(sys.argv[1])
    failures = 0
    with tempfile.TemporaryDirectory(prefix='hostile-') as folder:
        for fmt, case, data, runs in CASES:
            path = os.path.join(folder, 'input')
            with open(path, 'wb') as f:
                f.write(data)
            for command, page, expect, says in runs:
                result, seconds, passed = run(pxv, folder, path, command, page, expect, says)
                failures += not passed
                where = f'{command}' + (f' --page {page}' if page is not None else '')
                print(f'{"ok  " if passed else "FAIL"} {fmt:6} {case:42} {where:20} result {result:>4}'
                      f' (expected {expect}) {seconds:5.2f} s')
    total = sum(len(c[3]) for c in CASES)
    print(f'{total - failures} passed, {failures} failed')
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
