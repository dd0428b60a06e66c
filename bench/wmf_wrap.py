#!/usr/bin/env python3
"""Wraps the DIB of an uncompressed BMP file in a placeable metafile of one StretchDIB record.

  wmf_wrap.py IN.bmp OUT.wmf
"""
import struct
import sys
from functools import reduce

dib = open(sys.argv[1], "rb").read()[14:]
width, height = struct.unpack("<ii", dib[4:12])
words = (28 + len(dib)) // 2
placeable = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, 0, 0, width, height, 1000, 0)
checksum = reduce(lambda c, i: c ^ struct.unpack("<H", placeable[i:i + 2])[0], range(0, 20, 2), 0)
with open(sys.argv[2], "wb") as out:
    out.write(placeable + struct.pack("<H", checksum))
    out.write(struct.pack("<HHHIHIH", 1, 9, 0x300, 9 + words + 3, 1, words, 0))
    out.write(struct.pack("<IHIH8h", words, 0x0F43, 0xCC0020, 0, height, width, 0, 0, height, width, 0, 0))
    out.write(dib + struct.pack("<IH", 3, 0))
