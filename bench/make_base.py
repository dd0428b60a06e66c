#!/usr/bin/env python3
"""Writes the benchmark's base images from a fixed seed: base.ppm (RGB), base.pgm (gray) and
base.pbm (bilevel), 2048 x 2048 unless a size is given. The picture mixes smooth gradients,
noise and flat areas, so that every codec meets runs, literals and detail."""
import random
import sys

from PIL import Image, ImageDraw


def main(out_dir, size=2048):
    rng = random.Random(20261205)
    im = Image.new("RGB", (size, size))
    px = im.load()
    for y in range(size):
        for x in range(size):
            px[x, y] = ((x * 255) // size, (y * 255) // size, ((x ^ y) & 0xFF))
    draw = ImageDraw.Draw(im)
    for _ in range(400):
        x0, y0 = rng.randrange(size), rng.randrange(size)
        x1, y1 = x0 + rng.randrange(8, size // 6), y0 + rng.randrange(8, size // 6)
        colour = (rng.randrange(256), rng.randrange(256), rng.randrange(256))
        if rng.random() < 0.5:
            draw.rectangle([x0, y0, x1, y1], fill=colour)
        else:
            draw.ellipse([x0, y0, x1, y1], outline=colour, width=3)
    noise = Image.effect_noise((size, size // 8), 40).convert("RGB")
    im.paste(noise, (0, size - size // 8))
    im.save(f"{out_dir}/base.ppm")
    im.convert("L").save(f"{out_dir}/base.pgm")
    im.convert("L").point(lambda v: 255 if v > 128 else 0).convert("1", dither=Image.NONE).save(
        f"{out_dir}/base.pbm")


if __name__ == "__main__":
    main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 2048)
