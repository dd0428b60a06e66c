// Every width and height from 1 to 9, in every kind of TIFF, GIF, PCX, RLE BMP and Targa that the peer
// tools write: the smallest strips, rows and runs, where the fast paths have their tails. Each
// file is compared with the pixels the peer was given, not with a peer's decode: libtiff's (so
// Pillow's) modified-Huffman decoder misreads the last row of some small strips, and Pillow
// cannot read back some of the small PCX files it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <random>

#include "support/corpus.h"
#include "support/peers.h"

namespace pxv_test {
namespace {

// Writes the files of one format into the current folder, each with the PPM of the pixels it
// stands for, and lists "file reference" pairs in cases.txt. One Python run per format.
constexpr const char *kGenerator = R"(
import glob, os, random, subprocess
fmt, rnd, cases = sys.argv[1], random.Random(2026), []
SIZES = [(w, h) for w in range(1, 10) for h in range(1, 10)]
def sh(commands): subprocess.run(' && '.join(commands), shell=True, check=True, stdout=subprocess.DEVNULL)
def picture(mode, w, h, colours=256, step=1):
    im = Image.new(mode, (w, h))
    if mode == 'P':
        im.putpalette([rnd.randrange(0, 256, step) for _ in range(3 * colours)])
        im.putdata([rnd.randrange(colours) for _ in range(w * h)])
    elif mode in ('1', 'L'):
        im.putdata([rnd.randrange(0, 256, 255 if mode == '1' else step) for _ in range(w * h)])
    else:
        im.putdata([tuple(rnd.randrange(256) for _ in mode) for _ in range(w * h)])
    return im
def expect(im, name, ramp16=False):
    rgb = im.convert('RGB')
    if im.mode == 'CMYK':  # this library's conversion, 255 - min(255, C + K); Pillow multiplies
        rgb.putdata([tuple(255 - min(255, p[i] + p[3]) for i in range(3)) for p in im.getdata()])
    if ramp16:  # this library's 4-bit gray ramp is i * 16
        rgb = Image.eval(rgb, lambda v: v // 17 * 16)
    rgb.save(name + '.ppm')
    return name + '.ppm'
def split(files, options, refs):  # tiffcp into one file, tiffsplit into one file a page
    prefix = 'split_'
    sh(['tiffcp %s %s all.tif' % (options, ' '.join(files)), 'tiffsplit all.tif ' + prefix])
    for f, ref in zip(sorted(glob.glob(prefix + '*')), refs):
        cases.append((ref[:-4] + options.replace(' ', '').replace(':', '') + '.tif', ref))
        os.rename(f, cases[-1][0])
if fmt == 'tiff':
    for mode in ('1', 'L', 'P', 'RGB', 'CMYK'):
        plain, refs = [], []
        for w, h in SIZES:
            im = picture(mode, w, h)
            name = '%s_%dx%d' % (mode, w, h)
            refs.append(expect(im, name))
            ccitt = ['tiff_ccitt', 'group3', 'group4'] if mode == '1' else []
            for c, white in [(c, white) for c in [None, 'packbits', 'tiff_lzw'] + ccitt for white in {0, mode == '1'}]:
                f = '%s_%s%s.tif' % (name, c, '_white' if white else '')
                im.save(f, compression=c, **({'tiffinfo': {262: 0}} if white else {}))
                cases.append((f, refs[-1]))
            plain.append(name + '_None.tif')
        # The reader differences CMYK with a predictor byte by byte, by design: no lzw:2 there.
        for v in ['-c lzw -r 1', '-c packbits -r 1'] + {
                '1': ['-c g3:1d:fill', '-c g4 -f lsb2msb'], 'L': ['-c lzw:2'], 'P': ['-c lzw:2'],
                'RGB': ['-c lzw:2', '-p separate', '-p separate -c lzw:2'], 'CMYK': ['-p separate -c lzw']}[mode]:
            split(plain, v, refs)
    # 4-bit palette and gray from ImageMagick; values in steps of 17 survive its 4-bit depth.
    for kind, mode, options in (('pal4', 'P', '-type Palette'), ('gray4', 'L', '-type Grayscale')):
        inputs, refs = [], []
        for w, h in SIZES:
            im, name = picture(mode, w, h, 16, 17), '%s_%dx%d' % (kind, w, h)
            refs.append(expect(im, name, kind == 'gray4'))
            inputs.append(name + '.in.png')
            im.save(inputs[-1])
        sh(['/usr/bin/convert %s %s -depth 4 -compress None %s.tif' % (' '.join(inputs), options, kind)])
        for v in ('-c none', '-c packbits', '-c lzw'):
            split([kind + '.tif'], v, refs)
elif fmt == 'gif':  # Pillow does not interlace images under 16 pixels: netpbm does
    commands = []
    for (w, h), colours in [(s, c) for s in SIZES for c in (2, 16, 256)]:
        im, name = picture('P', w, h, colours), 'gif%d_%dx%d' % (colours, w, h)
        ref = expect(im, name)
        im.save(name + '.gif', optimize=False)
        commands.append('pamtogif -interlace %s > %s_i.gif' % (ref, name))
        cases += [(name + '.gif', ref), (name + '_i.gif', ref)]
    sh(commands)
elif fmt == 'pcx':  # Pillow: 1 and 8 bits; netpbm: 24 bits, 1 bit in 1, 3 or 4 planes, packed 4 bits
    commands = []
    for (w, h), mode in [(s, m) for s in SIZES for m in ('1', 'L', 'P')]:
        im, name = picture(mode, w, h), 'pcx%s_%dx%d' % (mode, w, h)
        im.save(name + '.pcx')
        cases.append((name + '.pcx', expect(im, name)))
    # Pillow's 24-bit files one pixel wide lose bytes. A 1-bit picture is black and white: this
    # library reads a table of a light colour and black as a swapped black and white one.
    for (w, h), (mode, colours, options) in [(s, k) for s in SIZES for k in (
            ('1', 2, ''), ('P', 8, '-planes 3'), ('P', 16, '-planes 4'), ('P', 16, '-packed'), ('RGB', 0, '-24bit'))]:
        im, name = picture(mode, w, h, colours), 'pbm%s%s_%dx%d' % (mode, options.replace(' ', ''), w, h)
        if options == '-packed' and len(set(im.getdata())) <= 4:
            continue  # ppmtopcx packs up to 2 colours into 1 bit and up to 4 into 2, which no DIB holds
        ref = expect(im, name)
        commands.append('ppmtopcx %s %s > %s.pcx' % (options, ref, name))
        cases.append((name + '.pcx', ref))
    sh(commands)
elif fmt == 'tga':  # Pillow: both origins, RLE or not; ImageMagick and netpbm: RLE or not
    commands, refs = [], []
    for (w, h), mode in [(s, m) for s in SIZES for m in ('L', 'P', 'RGB')]:
        im, name = picture(mode, w, h), 'tga%s_%dx%d' % (mode, w, h)
        refs.append(expect(im, name))
        for orientation, c in [(o, c) for o in (1, -1) for c in (None, 'tga_rle')]:
            cases.append(('%s_%d_%s.tga' % (name, orientation, c), refs[-1]))
            im.save(cases[-1][0], compression=c, orientation=orientation)
        for rle in ('', '-norle'):
            cases.append(('%s_pbm%s.tga' % (name, rle), refs[-1]))
            commands.append('ppmtotga %s %s < %s > %s' % ({'L': '-mono', 'P': '-cmap', 'RGB': '-rgb'}[mode], rle, refs[-1], cases[-1][0]))
    # ImageMagick stores rows in the order it holds them and only labels the origin: a
    # bottom-up file needs the picture flipped first.
    for c, orient in (('None', '-orient TopLeft'), ('RLE', '-flip -orient BottomLeft')):
        commands.append('/usr/bin/convert %s %s -compress %s +adjoin im%s_%%03d.tga' % (' '.join(refs), orient, c, c))
    sh(commands)
    cases += [(f, refs[int(f[-7:-4])]) for c in ('None', 'RLE') for f in sorted(glob.glob('im%s_*.tga' % c))]
else:  # RLE8 from ImageMagick (given 256-entry tables, so that it keeps 8 bits); this
       # library's own RLE4 and RLE8 files, which netpbm must read as they were saved
    inputs, refs = [], []
    for w, h in SIZES:
        im, name = picture('P', w, h), 'rle_%dx%d' % (w, h)
        refs.append(expect(im, name))
        inputs.append(name + '.gif')
        im.save(inputs[-1])
    sh(['/usr/bin/convert %s -compress RLE +adjoin BMP3:im_%%03d.bmp' % ' '.join(inputs)])
    cases += zip(sorted(glob.glob('im_*.bmp')), refs)
    ours = sorted(glob.glob('ours_*.bmp'))
    sh(['bmptopnm %s > %s.pnm' % (f, f) for f in ours])
    for f in ours:
        assert Image.open(f + '.pnm').convert('RGB').tobytes() == Image.open(f[:-4] + '.ppm').tobytes(), f
        cases.append((f, f[:-4] + '.ppm'))
open('cases.txt', 'w').write(''.join('%s %s\n' % c for c in cases))
)";

class SmallSizes : public ::testing::TestWithParam<std::string> {};

TEST_P(SmallSizes, LoadAsThePixelsThePeerWasGiven) {
  const std::string format = GetParam(), dir = scratch_path("small_" + format);
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  // Planar TIFFs spool through plane.tmp in the current folder.
  ASSERT_EQ(chdir(dir.c_str()), 0);
  if (format == "bmp") {
    std::mt19937 random(9);
    for (int bits : {4, 8})
      for (int w = 1; w <= 9; ++w)
        for (int h = 1; h <= 9; ++h) {
          PackedDib dib = make_packed_dib(w, h, bits);
          // Few values, so that runs and absolute runs alternate.
          for (int r = 0; r < h; ++r)
            for (int b = 0; b < dib.row_bytes(); ++b) dib.row(r)[b] = std::uint8_t(random() % 3 * 0x11);
          const int handle = IMG_create_handle(dib.bytes.data());
          const std::string name = "ours_" + std::to_string(bits) + "_" + std::to_string(w) + "x" + std::to_string(h);
          write_ppm(name + ".ppm", handle_rgb(handle));
          ASSERT_EQ(IMG_save_bitmap(handle, (name + ".bmp").c_str(), PXV_SAVE_BMP_RLE), 0);
          IMG_delete_bitmap(handle);
        }
  }
  std::string log;
  ASSERT_TRUE(run_pillow(kGenerator, {format}, &log)) << log.substr(log.size() > 3000 ? log.size() - 3000 : 0);
  std::ifstream list("cases.txt");
  int checked = 0;
  for (std::string file, ref; list >> file >> ref; ++checked) {
    Rgb want;
    ASSERT_TRUE(read_pnm(ref, &want)) << ref;
    const int handle = load_page(dir + "/" + file);
    EXPECT_GE(handle, 0) << file;
    if (handle < 0) continue;
    EXPECT_EQ(pixel_difference(handle_rgb(handle), want), "") << file;
    IMG_delete_bitmap(handle);
  }
  EXPECT_GE(checked, 81 * 3);
  std::printf("[ sweep ] %s: %d files\n", format.c_str(), checked);
}

INSTANTIATE_TEST_SUITE_P(Formats, SmallSizes, ::testing::Values("tiff", "gif", "pcx", "bmp", "tga"));

}  // namespace
}  // namespace pxv_test
