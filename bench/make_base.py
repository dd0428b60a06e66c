#!/usr/bin/env python3
"""Writes the benchmark's base images from a fixed seed: base.ppm (RGB), base.pgm (gray) and
base.pbm (bilevel), 2048 x 2048 unless a size is given. The picture mixes smooth gradients,
noise and flat areas, so that every codec meets runs, literals and detail.

  make_base.py DIR [SIZE]        the base images into DIR
  make_base.py --fax OUT.pbm     an A4 page at 300 dpi (2480 x 3508) of typed lines, as a fax
                                 machine scans a letter: ImageMagick sets the text
  make_base.py --batch DIR N BASE  N photos of 320 x 240 cut from BASE (a PPM) at random places,
                                 as JPEG files DIR/0000.jpg ... (Pillow's libjpeg, quality 85)
"""
import os
import random
import subprocess
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


WORDS = ("the of and to in is that for it as was with be by on not this are or from at which "
         "but have an they you were there had one all can their been has more if will would who "
         "no so what up out about into than them only some could these may other invoice total "
         "amount due payment received account number").split()


def fax_page(out):
    rng = random.Random(20261207)
    lines = []
    for _ in range(62):
        line = ""
        while len(line) < 70:
            line += rng.choice(WORDS) + " "
        lines.append(line.strip())
    # Ten-point type at 300 dpi, thresholded to black and white as a scanner does.
    subprocess.run(["/usr/bin/convert", "-size", "2480x3508", "xc:white", "-pointsize", "42",
                    "-fill", "black", "-annotate", "+150+200", "\n".join(lines),
                    "-threshold", "50%", "-monochrome", out], check=True)


def batch(out_dir, count, base):
    rng = random.Random(count)
    os.makedirs(out_dir, exist_ok=True)
    with Image.open(base) as im:
        for i in range(count):
            x, y = rng.randrange(im.width - 320), rng.randrange(im.height - 240)
            im.crop((x, y, x + 320, y + 240)).save(f"{out_dir}/{i:04d}.jpg", quality=85)


if __name__ == "__main__":
    if sys.argv[1] == "--fax":
        fax_page(sys.argv[2])
    elif sys.argv[1] == "--batch":
        batch(sys.argv[2], int(sys.argv[3]), sys.argv[4])
    else:
        main(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 2048)
