#!/usr/bin/env python3
"""Times a peer library doing the same work as a benchmark row; prints the best seconds.

  peer.py pillow-load FILE            Pillow decodes FILE into its own pixel buffer
  peer.py pillow-save FILE OUT FORMAT Pillow encodes the decoded FILE as FORMAT into OUT
  peer.py cmd -- PROGRAM ARGS...      a whole process, best of five runs
"""
import subprocess
import sys
import time

REPEAT = 5


def best(fn, repeat=REPEAT):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


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
    elif kind == "cmd":
        args = argv[argv.index("--") + 1:]
        print(f"{best(lambda: subprocess.run(args, check=True, stdout=subprocess.DEVNULL)):.6f}")
    else:
        sys.exit(f"peer.py: unknown kind {kind}")


if __name__ == "__main__":
    main(sys.argv)
