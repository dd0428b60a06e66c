#!/usr/bin/env python3
"""Times a peer library doing the same work as a benchmark row; prints the best seconds.

  peer.py pillow-load FILE            Pillow decodes FILE into its own pixel buffer
  peer.py pillow-save FILE OUT FORMAT Pillow encodes the decoded FILE as FORMAT into OUT
  peer.py pillow-op FILE KIND         Pillow reduces the colours of the decoded FILE: gray, 332,
                                      popular, remap, mono, color16 (as bench/rows/color.tsv
                                      says), or color16-file (decode, reduce and save as BMP);
                                      or processes it as decoded: rotate90, rotate180, flip-x,
                                      flip-y, resize-double, resize-half, set-lut, invert,
                                      sharpen, to8 (as bench/rows/process.tsv says)
  peer.py pillow-paint FILE KIND      Pillow resamples the decoded FILE as pxvlib10 paints it:
                                      print300 (nearest to 2480 x 3508, then 1 bit), screen24
                                      (nearest to 1920 x 1080), screen8 (then the 3-3-2 colours),
                                      screen4 (then the 16 VGA colours, dithered)
  peer.py mogrify DIR OUT TYPE N      ImageMagick's mogrify converting DIR/*.jpg into OUT as
                                      TYPE, the files shared out among N processes of one
                                      thread each, run at once (as pxv convert -j N works)
  peer.py cmd -- PROGRAM ARGS...      a whole process, the best of five runs or more
"""
import glob
import os
import subprocess
import sys
import time

REPEAT = 5
# At least REPEAT runs, and on until half a second has gone by, as bench/pxvbench.cpp times
# pxvlib10: a row of a millisecond needs hundreds of runs before its best time settles.
MIN_TIMED_SECONDS = 0.5


def best(fn, repeat=REPEAT):
    times = []
    started = time.perf_counter()
    while len(times) < repeat or (len(times) < 100000
                                  and time.perf_counter() - started < MIN_TIMED_SECONDS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def colour_palette(colours):
    """A palette image holding `colours`, padded with the last, for quantize(palette=...)."""
    from PIL import Image
    pal = Image.new("P", (1, 1))
    flat = [c for rgb in colours for c in rgb]
    pal.putpalette(flat + flat[-3:] * (256 - len(colours)))
    return pal


def reduce_with_pillow(im, kind):
    """The work of one colour operation of pxvlib10, done by Pillow; returns it to be timed."""
    from PIL import Image
    p332 = colour_palette([((i >> 5) * 255 // 7, ((i >> 2) & 7) * 255 // 7, (i & 3) * 85)
                           for i in range(256)])
    p16 = colour_palette([tuple((128 if i < 8 else 255) if i & bit else 0 for bit in (1, 2, 4))
                          for i in range(16)])
    fs, none = Image.Dither.FLOYDSTEINBERG, Image.Dither.NONE
    table = {
        "gray": lambda: im.convert("L"),
        "332": lambda: im.quantize(palette=p332, dither=fs),
        "popular": lambda: im.quantize(256, dither=none),
        "remap": lambda: im.quantize(palette=p332, dither=none),
        "mono": lambda: im.convert("1"),
        "color16": lambda: im.quantize(palette=p16, dither=fs),
    }
    if kind not in table:
        sys.exit(f"peer.py: unknown colour operation {kind}")
    return table[kind]


def process_with_pillow(im, kind):
    """The work of one processing operation of pxvlib10, done by Pillow; returns it to be timed."""
    from PIL import Image, ImageFilter, ImageOps
    t = Image.Transpose
    # The contrast 40, brightness -10 table of IMG_set_lut, once per channel.
    lut = [min(255, max(0, ((336 * v) >> 8) - 40 - 20)) for v in range(256)] * len(im.getbands())
    p332 = colour_palette([((i >> 5) * 255 // 7, ((i >> 2) & 7) * 255 // 7, (i & 3) * 85)
                           for i in range(256)])
    w, h = im.size
    table = {
        "rotate90": lambda: im.transpose(t.ROTATE_270),  # Pillow turns counter-clockwise
        "rotate180": lambda: im.transpose(t.ROTATE_180),
        "flip-x": lambda: im.transpose(t.FLIP_LEFT_RIGHT),
        "flip-y": lambda: im.transpose(t.FLIP_TOP_BOTTOM),
        "resize-double": lambda: im.resize((2 * w, 2 * h), Image.Resampling.NEAREST),
        "resize-half": lambda: im.resize((w // 2, h // 2), Image.Resampling.NEAREST),
        "set-lut": lambda: im.point(lut),
        "invert": lambda: ImageOps.invert(im),
        "sharpen": lambda: im.filter(ImageFilter.SHARPEN),
        "to8": lambda: im.quantize(palette=p332, dither=Image.Dither.NONE),
    }
    return table.get(kind)


def paint_with_pillow(im, kind):
    """The work of one paint of pxvlib10, done by Pillow; returns it as a function to time."""
    from PIL import Image

    if kind == "print300":
        return lambda: im.resize((2480, 3508), Image.NEAREST).convert("1")
    if kind == "screen24":
        return lambda: im.resize((1920, 1080), Image.NEAREST)
    if kind == "screen8":
        p332 = colour_palette([((i >> 5) * 255 // 7, ((i >> 2) & 7) * 255 // 7, (i & 3) * 85)
                              for i in range(256)])
        return lambda: im.resize((1920, 1080), Image.NEAREST).quantize(
            palette=p332, dither=Image.Dither.NONE)
    if kind == "screen4":
        vga = colour_palette([(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128),
                             (128, 0, 128), (0, 128, 128), (192, 192, 192), (128, 128, 128),
                             (255, 0, 0), (0, 255, 0), (255, 255, 0), (0, 0, 255), (255, 0, 255),
                             (0, 255, 255), (255, 255, 255)])
        return lambda: im.resize((1920, 1080), Image.NEAREST).quantize(palette=vga)
    sys.exit(f"peer.py: unknown paint {kind}")


def main(argv):
    kind = argv[1]
    if kind == "pillow-load":
        from PIL import Image

        # Opened by name, Pillow maps an uncompressed file (an 8-bit BMP, say) instead of reading
        # it, and its "load" then reads nothing. Handed an open file it has no name to map, so
        # it reads and decodes the pixels into a buffer of its own, as pxvlib10 builds its DIB.
        def load():
            with open(argv[2], "rb") as f, Image.open(f) as im:
                im.load()
                assert getattr(im, "map", None) is None
        print(f"{best(load):.6f}")
    elif kind == "pillow-save":
        from PIL import Image
        im = Image.open(argv[2])
        im.load()
        print(f"{best(lambda: im.save(argv[3], argv[4])):.6f}")
    elif kind == "pillow-op" and argv[3] == "color16-file":
        from PIL import Image

        def file_to_file():
            with Image.open(argv[2]) as im:
                reduce_with_pillow(im.convert("RGB"), "color16")().save(argv[2] + ".pillow.bmp")
        print(f"{best(file_to_file):.6f}")
    elif kind == "pillow-op":
        from PIL import Image
        im = Image.open(argv[2])
        im.load()
        # Processing keeps the image as decoded (8-bit and bilevel rows stay so); colour
        # reduction starts from RGB, as pxvlib10's operations read every depth as colours.
        work = process_with_pillow(im, argv[3]) or reduce_with_pillow(im.convert("RGB"), argv[3])
        print(f"{best(work):.6f}")
    elif kind == "pillow-paint":
        from PIL import Image
        im = Image.open(argv[2]).convert("RGB")
        im.load()
        print(f"{best(paint_with_pillow(im, argv[3])):.6f}")
    elif kind == "mogrify":
        files = sorted(glob.glob(os.path.join(argv[2], "*.jpg")))
        out, fmt, n = argv[3], argv[4], int(argv[5])
        os.makedirs(out, exist_ok=True)

        def convert_all():
            procs = [subprocess.Popen(["/usr/bin/mogrify", "-limit", "thread", "1", "-path", out,
                                       "-format", fmt] + files[i::n]) for i in range(n)]
            if any(p.wait() != 0 for p in procs):
                sys.exit("peer.py: mogrify failed")
        print(f"{best(convert_all):.6f}")
    elif kind == "cmd":
        args = argv[argv.index("--") + 1:]
        print(f"{best(lambda: subprocess.run(args, check=True, stdout=subprocess.DEVNULL)):.6f}")
    else:
        sys.exit(f"peer.py: unknown kind {kind}")


if __name__ == "__main__":
    main(sys.argv)
