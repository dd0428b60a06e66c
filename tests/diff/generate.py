# Writes COUNT random valid images with the peer programs into the current folder: Pillow in this
# process, then netpbm, libtiff's tiffcp, libjpeg's cjpeg, giflib's giftool and ImageMagick in one
# shell script (ImageMagick once per variant, many files per call). Each line of cases.txt is
# "format variant file page reference": the reference is the PPM of the pixels the peer was given,
# under this library's documented conversions, or "jpeg" for a lossy file.
# Usage: generate.py SEED COUNT
import random, struct, subprocess, sys
from PIL import Image, ImageChops, ImageFile

ImageFile.MAXBLOCK = 1 << 24  # Pillow's optimised JPEG encoder needs room for the whole file

rnd = random.Random(int(sys.argv[1]))
cases, shell, magick = [], [], {}  # cases: (format, file, page, reference, variant)

def size():  # a third of the images at most 9 x 9, where the strips, runs and rows have their tails
    if rnd.random() < 0.35:
        return rnd.randint(1, 9), rnd.randint(1, 9)
    return tuple(1 + int(299 * rnd.random() ** 2) for _ in 'wh')

def indices(n, count):  # values below n (at most 256): noise, or runs of a random mean length
    n = min(n, 256)
    if rnd.random() < 0.4:
        return rnd.randbytes(count).translate(bytes(i % n for i in range(256)))
    out, mean = [], rnd.choice((2, 5, 20, 80))
    while count > 0:
        k = min(count, rnd.randint(1, 2 * mean))
        out.append(bytes([rnd.randrange(n)]) * k)
        count -= k
    return b''.join(out)

def picture(mode, w, h, colours=256, step=1):  # step 17: levels that survive a 4-bit depth
    levels, colours = bytes(v // step * step for v in range(256)), 2 if mode == '1' else colours
    if mode in ('RGB', 'RGBA', 'CMYK') and (colours > 256 or rnd.random() < 0.5):
        return Image.frombytes(mode, (w, h), rnd.randbytes(w * h * len(mode)))
    if mode in ('RGB', 'RGBA', 'CMYK'):
        return picture('P', w, h, colours).convert(mode)
    data = indices(colours, w * h)
    if mode in ('1', 'L'):  # levels evenly spread: 2 black and white, 16 in steps of 17
        spread = 255 // (colours - 1) if colours <= 256 else 1
        im = Image.frombytes('L', (w, h), data.translate(bytes(min(255, v * spread) for v in range(256))))
        return im.convert('1', dither=Image.Dither.NONE) if mode == '1' else im
    im = Image.frombytes('P', (w, h), data)
    im.putpalette(rnd.randbytes(3 * colours).translate(levels))
    return im

def reference(im, name, ramp16=False):
    if im.mode == 'CMYK':  # this library's conversion: 255 - min(255, C + K) per channel
        c, m, y, k = im.split()
        rgb = Image.merge('RGB', [ImageChops.invert(ImageChops.add(ch, k)) for ch in (c, m, y)])
    else:
        rgb = im.convert('RGB')
    if ramp16:  # this library's 4-bit gray table is i * 16
        rgb = rgb.point(lambda v: v // 17 * 16)
    rgb.save(name + '.ppm')
    return name + '.ppm'

# Each maker draws its options, writes a file (or queues the command that writes it) and
# records the case with the variant's name.
def pil(fmt, modes, ext, options):
    def make(name, w, h):
        mode, opts = rnd.choice(modes), rnd.choice(options)
        im = picture(mode, w, h, rnd.choice((2, 16, 256)))
        im.save(name + ext, **opts)
        cases.append((fmt, name + ext, 0, reference(im, name), 'pillow %s %s' % (mode, opts)))
    return make

def pict_width(w, mode):
    # ImageMagick and ppmtopict give a packed row of more than 200 bytes a 2-byte count where
    # QuickDraw (and this library) expect one past 250; ImageMagick packs rows below 8 bytes,
    # which QuickDraw stores unpacked. Widths where the two differ are moved out of the way.
    lo, hi = (51, 83) if mode == 'RGB' else (201, 250)
    w = max(w, 2 if mode == 'RGB' else 8)
    return w if not lo <= w <= hi else rnd.choice((lo - 1, hi + 1))

def peer(fmt, kinds, command, ext, width=lambda w, mode: w):  # kinds: (mode, colours, option text, source ending or '')
    def make(name, w, h):
        mode, colours, option, source = rnd.choice(kinds)
        w = width(w, mode)
        im = picture(mode, w, h, colours)
        ref = reference(im, name)
        if option == '-packed' and len(Image.open(ref).getcolors(256) or []) <= 4:
            option = '-planes 4'  # ppmtopcx packs up to 4 colours into 1 or 2 bits, which no DIB holds
        if source:
            im.save(name + source)
        shell.append(command.format(o=option, src=name + (source or '.ppm'), out=name + ext))
        cases.append((fmt, name + ext, 0, ref, command.split()[0] + ' ' + option))
    return make

def im(fmt, kinds, ext, pages=False, width=lambda w, mode: w):  # ImageMagick, one call per variant; pages: one multi-page file
    def make(name, w, h):
        mode, colours, step, option = rnd.choice(kinds)
        w = width(w, mode)
        picture_ = picture(mode, w, h, colours, step)
        picture_.save(name + '.png', compress_level=1)
        magick.setdefault((fmt, ext, option, pages), []).append((name + '.png', reference(picture_, name, step == 17 and mode == 'L')))
    return make

def jpeg(name, w, h):
    im = picture(rnd.choice(('L', 'RGB', 'RGB')), w, h, 257)
    q = rnd.randint(5, 95)
    if rnd.random() < 0.5:
        sub = rnd.choice((0, 1, 2))
        im.save(name + '.jpg', quality=q, subsampling=sub, optimize=rnd.random() < 0.5)
        cases.append(('jpeg', name + '.jpg', 0, 'jpeg', 'pillow %s subsampling=%d' % (im.mode, sub)))
        return
    im.save(name + '.pnm')
    sample = '-grayscale' if im.mode == 'L' else '-sample ' + rnd.choice(('1x1', '2x1', '2x2', '1x2', '4x1', '4x2'))
    restart = rnd.choice(('', '', '-restart %d' % rnd.randint(1, 4), '-restart %dB' % rnd.randint(1, 40)))
    shell.append('cjpeg -quality %d %s %s %s -outfile %s.jpg %s.pnm' % (q, sample, restart, rnd.choice(('', '-optimize')), name, name))
    cases.append(('jpeg', name + '.jpg', 0, 'jpeg', 'cjpeg %s %s' % (sample, restart.split(' ')[0])))

def eps(name, w, h):  # a binary EPS header before a TIFF preview; the PostScript is a stub
    mode, c = rnd.choice(('1', 'L', 'P', 'RGB')), rnd.choice((None, 'packbits', 'tiff_lzw'))
    im = picture(mode, w, h)
    im.save(name + '.tif', compression=c)
    tiff, ps = open(name + '.tif', 'rb').read(), b'%%!PS-Adobe-3.0 EPSF-3.0\n%%%%BoundingBox: 0 0 %d %d\n' % (w, h)
    head = struct.pack('<7IH', 0xC6D3D0C5, 30, len(ps), 0, 0, 30 + len(ps), len(tiff), 0xFFFF)
    open(name + '.eps', 'wb').write(head + ps + tiff)
    cases.append(('eps', name + '.eps', 0, reference(im, name), 'tiff preview %s %s' % (mode, c)))

# Group 3 two-dimensional coding is not read (its files decode one-dimensionally): not written.
TIFF_KINDS = [('1', 2, '-c g3:1d:fill', '.tif'), ('1', 2, '-c g3:1d', '.tif'), ('1', 2, '-c g4 -f lsb2msb', '.tif'),
              ('L', 256, '-c lzw:2', '.tif'), ('P', 256, '-c lzw:2', '.tif'), ('RGB', 256, '-c lzw:2', '.tif'),
              ('RGB', 257, '-p separate', '.tif'), ('RGB', 257, '-p separate -c lzw:2', '.tif'),
              ('CMYK', 257, '-p separate -c lzw', '.tif')] + [
              (m, c, '%s -r %d' % (o, r), '.tif') for m, c in (('1', 2), ('L', 16), ('P', 256), ('RGB', 257), ('CMYK', 257))
              for o in ('-c none', '-c lzw', '-c packbits') for r in (1, 3, 64)]
MAKERS = [
    ('bmp', pil('bmp', ('1', 'L', 'P', 'RGB'), '.bmp', [{}])),
    ('bmp', peer('bmp', [('P', 2, '-bpp 1', ''), ('P', 16, '-bpp 4', ''), ('P', 256, '-bpp 8', ''), ('RGB', 257, '-bpp 24', ''),
                         ('P', 16, '-bpp 4 -os2', ''), ('P', 256, '-bpp 8 -os2', '')], 'ppmtobmp {o} {src} > {out}', '.bmp')),
    # ImageMagick keeps 8 bits (and so run-length codes them) for images of more than 16 colours.
    ('bmp', im('bmp', [('P', 256, 1, 'BMP3 -compress RLE')], '.bmp')),
    ('tiff', pil('tiff', ('1', 'L', 'P', 'RGB', 'CMYK'), '.tif', [{}, {'compression': 'packbits'}, {'compression': 'tiff_lzw'}])),
    ('tiff', pil('tiff', ('1',), '.tif', [{'compression': c} for c in ('tiff_ccitt', 'group3', 'group4')] + [{'tiffinfo': {262: 0}}])),
    ('tiff', peer('tiff', TIFF_KINDS, 'tiffcp {o} {src} {out}', '.t.tif')),
    ('tiff', im('tiff', [(m, 16, 17, 'TIFF -type %s -depth 4 -compress %s' % (t, c)) for m, t in (('P', 'Palette'), ('L', 'Grayscale'))
                         for c in ('None', 'RLE', 'LZW')], '.tif', True)),
    ('gif', pil('gif', ('P',), '.gif', [{'optimize': False, 'interlace': False}, {'optimize': False, 'interlace': True}])),
    ('gif', peer('gif', [('P', c, '', '') for c in (2, 16, 256)], 'pamtogif -interlace {src} > {out}', '.gif')),
    ('gif', peer('gif', [('P', c, '', '.p.gif') for c in (2, 16, 256)], 'giftool -i yes < {src} > {out}', '.gif')),
    # Pillow: 1 and 8 bits (its 24-bit files one pixel wide lose bytes). netpbm: 1 bit, 3 or 4
    # planes, packed 4 bits, 24 bits. A 1-bit picture is black and white: this library reads a
    # table of a light colour and black as a swapped black and white one.
    ('pcx', pil('pcx', ('1', 'L', 'P'), '.pcx', [{}])),
    ('pcx', peer('pcx', [('1', 2, '', ''), ('P', 8, '-planes 3', ''), ('P', 16, '-planes 4', ''), ('P', 16, '-packed', ''),
                         ('RGB', 257, '-24bit', '')],
                 'ppmtopcx {o} {src} > {out}', '.pcx')),
    ('dcx', im('dcx', [('RGB', 257, 1, 'DCX'), ('P', 256, 1, 'DCX')], '.dcx', True)),
    ('tga', pil('tga', ('L', 'P', 'RGB', 'RGBA'), '.tga', [{'compression': c, 'orientation': o} for c in (None, 'tga_rle') for o in (1, -1)])),
    ('tga', peer('tga', [('L', 256, '-mono', ''), ('P', 256, '-cmap', ''), ('RGB', 257, '-rgb', ''), ('RGB', 257, '-rgb -norle', '')],
                 'ppmtotga {o} {src} > {out}', '.tga')),
    # ImageMagick stores rows in the order it holds them and only labels the origin.
    ('tga', im('tga', [('RGB', 257, 1, 'TGA -orient TopLeft -compress None'), ('P', 256, 1, 'TGA -flip -orient BottomLeft -compress RLE')], '.tga')),
    ('jpeg', jpeg), ('jpeg', jpeg),
    ('pict', im('pict', [('P', 256, 1, 'PICT'), ('RGB', 257, 1, 'PICT')], '.pct', width=pict_width)),
    ('pict', peer('pict', [('P', 256, '', '')], 'ppmtopict {src} > {out}', '.pct', pict_width)),
    ('eps', eps),
]

for i in range(int(sys.argv[2])):
    fmt, make = MAKERS[rnd.randrange(len(MAKERS))]
    make('%05d_%s' % (i, fmt), *size())
for b, ((fmt, ext, option, pages), items) in enumerate(magick.items()):
    out, (coder, rest) = 'im%d_%s' % (b, fmt), (option + ' ').split(' ', 1)
    inputs = ' '.join(i[0] for i in items)
    if pages:
        shell.append('/usr/bin/convert %s %s %s:%s%s' % (inputs, rest, coder, out, ext))
    else:
        shell.append('/usr/bin/convert %s %s +adjoin %s:%s_%%04d%s' % (inputs, rest, coder, out, ext))
    cases += [(fmt, out + ext if pages else '%s_%04d%s' % (out, p, ext), p if pages else 0, ref, 'magick ' + option)
              for p, (_, ref) in enumerate(items)]
open('peers.sh', 'w').write('set -e\n' + '\n'.join(shell) + '\n')
run = subprocess.run(['bash', 'peers.sh'], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
if run.returncode:
    sys.exit('peers.sh failed:\n' + '\n'.join(l for l in run.stderr.splitlines() if 'colormap' not in l and 'colors' not in l)[-2000:])
# An 8-bit PCX takes its colour table from the last 768 bytes of the stream, and the stream of a
# DCX page is the whole file: every 8-bit page is read under the last page's trailer. The page's
# indices are taken from its run-length lines (ImageMagick's runs end with the line).
for fmt, f, page, ref, _ in cases:
    data = open(f, 'rb').read() if fmt == 'dcx' else b''
    offsets = list(struct.unpack_from('<1023I', data + bytes(4096), 4))
    at = offsets[page] + 128 if data else 0
    if data and data[at - 125] == 8 and data[at - 63] == 1:
        want, line_bytes, pixels = Image.open(ref), data[at - 62] | data[at - 61] << 8, bytearray()
        while len(pixels) < line_bytes * want.height:
            run = data[at] >> 6 == 3
            pixels += data[at + run:at + run + 1] * (data[at] & 63 if run else 1)
            at += 1 + run
        indexed = Image.frombytes('P', (line_bytes, want.height), bytes(pixels)).crop((0, 0) + want.size)
        indexed.putpalette(data[-768:])
        indexed.convert('RGB').save(ref)
open('cases.txt', 'w').write(''.join('%s %s %d %s %s\n' % c for c in cases))
