// The TIFF writers' byte layouts, and what they do with a file that is there already.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/image.h"
#include "formats/ccitt_changes.h"
#include "support.h"

using namespace pxv;
using pxv_test::Bytes;

namespace {

struct Entry {
  std::uint32_t count, value;
};

// The directory at `at` of a written (little-endian) file, by tag.
std::map<int, Entry> directory(const Bytes &f, std::uint32_t at, std::vector<int> *order = nullptr) {
  std::map<int, Entry> out;
  for (int i = 0; i < get_le16(&f[at]); ++i) {
    const std::uint8_t *e = &f[at + 2 + 12 * i];
    out[get_le16(e)] = {get_le32(e + 4), get_le32(e + 8)};
    if (order != nullptr) order->push_back(get_le16(e));
  }
  return out;
}

// A handle of the test picture (all white when asked); 1-bit images get a black-and-white table.
int make_image(int width, int height, int bits, bool white = false, int x_pels = 0, int y_pels = 0) {
  auto dib = pxv_test::make_packed_dib(width, height, bits);
  pxv_test::draw_test_picture(dib);
  if (white)
    for (int r = 0; r < height; ++r) std::memset(dib.row(r), 0xFF, std::size_t(dib.row_bytes()));
  if (bits == 1) std::memcpy(&dib.bytes[40], "\0\0\0\0\xFF\xFF\xFF", 8);
  put_le32(&dib.bytes[kBiXPelsPerMeter], std::uint32_t(x_pels));
  put_le32(&dib.bytes[kBiYPelsPerMeter], std::uint32_t(y_pels));
  return IMG_create_handle(dib.bytes.data());
}

// Saves to a fresh file and returns the bytes written.
Bytes save(int width, int height, int bits, int type, bool white = false, int x_pels = 0, int y_pels = 0) {
  const int h = make_image(width, height, bits, white, x_pels, y_pels);
  const std::string name = pxv_test::scratch_path("unit.tif");
  std::remove(name.c_str());
  EXPECT_EQ(IMG_save_bitmap(h, name.c_str(), type), 0);
  IMG_delete_bitmap(h);
  return pxv_test::read_file(name);
}

TEST(TiffWriterLayout, DirectoryAndTheDataBehindIt) {
  const Bytes f = save(5, 3, 24, PXV_SAVE_TIFF);
  ASSERT_TRUE(f.size() > 8 && Bytes(f.begin(), f.begin() + 8) == (Bytes{'I', 'I', 42, 0, 8, 0, 0, 0}));
  std::vector<int> order;
  auto d = directory(f, 8, &order);
  EXPECT_EQ(order, (std::vector<int>{254, 256, 257, 258, 259, 262, 266, 273, 274, 277, 278, 279, 282, 283, 284, 296, 306, 315}));
  const std::uint32_t D = 8 + 2 + 12 * 18 + 4;  // behind the directory and its zero link
  EXPECT_EQ(get_le32(&f[D - 4]), 0u);
  // Resolution 0 gives 640/9 by 480/7; then BitsPerSample 8, 8, 8; the date; the name in 200 bytes.
  EXPECT_EQ(Bytes(&f[D], &f[D + 22]), (Bytes{0x80, 2, 0, 0, 9, 0, 0, 0, 0xE0, 1, 0, 0, 7, 0, 0, 0, 8, 0, 8, 0, 8, 0}));
  EXPECT_EQ((std::vector<std::uint32_t>{d[258].count, d[258].value, d[306].value, d[306].count, d[315].value,
                                        d[315].count, d[262].value, d[277].value, d[273].value, d[279].value}),
            (std::vector<std::uint32_t>{3, D + 16, D + 22, std::uint32_t(std::strlen(img_date)), D + 62,
                                        std::uint32_t(std::strlen(img_name)), 2, 3, D + 262, 45}));
  // The pixels end the file.
  EXPECT_TRUE(std::string(reinterpret_cast<const char *>(&f[D + 22])) == img_date && f.size() == D + 262 + 45);
  // Resolutions from the DIB's pixels per metre, here 300 and 200.
  const Bytes p = save(4, 2, 24, PXV_SAVE_TIFF, false, 300, 200);
  EXPECT_EQ(Bytes(&p[D], &p[D + 12]), (Bytes{44, 1, 0, 0, 1, 0, 0, 0, 200, 0, 0, 0}));
}

TEST(TiffWriterLayout, FacsimileCodeStreams) {
  // Type, width and height of an all-white page; the strip's first bytes; byte count (patched to
  // the coded size), width and FillOrder written.
  for (auto [type, width, height, start, count, written_width, fill_order] : {
           // White make-up 1728 (010011011), white 0 (00110101), padded to a byte.
           std::tuple{PXV_SAVE_TIFF_HUFFMAN, 1728, 1, Bytes{0x4D, 0x9A, 0x80}, 3u, 1728u, 1u},
           // Extended make-up 2560 (000000011111), make-up 384 (00110111), white 56 (01011001).
           {PXV_SAVE_TIFF_HUFFMAN, 3000, 1, Bytes{0x01, 0xF3, 0x75, 0x90}, 4u, 3000u, 1u},
           // Group 3 pages are 1728 wide and start with an EOL: 16 zero bits, then 0000000000000001
           // bit-reversed (FillOrder 2). Each row: white 1728 + white 0 (17 bits), fill and EOL.
           {PXV_SAVE_TIFF_G3, 200, 2, Bytes{0, 0, 0, 0x80}, 4u + 4 + 2 + 4, 1728u, 2u}}) {
    const Bytes f = save(width, height, 1, type, true);
    auto d = directory(f, 8);
    EXPECT_EQ(Bytes(&f[d[273].value], &f[d[273].value + start.size()]), start) << width;
    EXPECT_EQ((std::vector<std::uint32_t>{d[279].value, d[256].value, d[266].value}), (std::vector<std::uint32_t>{count, written_width, fill_order})) << width;
  }
}

TEST(TiffWriterLayout, LzwStripsAndTheirArrays) {
  // Rows of 9000 bytes: one row a strip. The byte counts follow the offsets, and the strips follow
  // both, back to back, to the end of the file.
  const Bytes f = save(3000, 5, 24, PXV_SAVE_TIFF_LZW);
  auto d = directory(f, 8);
  ASSERT_EQ((std::vector<std::uint32_t>{d[273].count, d[279].count, d[278].value, d[279].value - d[273].value}),
            (std::vector<std::uint32_t>{5, 5, 1, 20}));
  std::uint32_t at = d[273].value + 40;
  for (int k = 0; k < 5; at += get_le32(&f[d[279].value + 4 * k++]))
    EXPECT_EQ(get_le32(&f[d[273].value + 4 * k]), at) << k;
  EXPECT_EQ(at, f.size());
}

// Plain LZW as both writers define it, with a std::map for the string table: codes from
// `min_width` bits, the width growing when code 2^width (TIFF: 2^width - 1) has been assigned, and
// a Clear once code 4080 (TIFF: 4079) has. Packed least (GIF) or most (TIFF) significant bit first.
Bytes plain_lzw(const Bytes &in, int min_width, bool gif) {
  const int clear = 1 << (min_width - 1);
  std::vector<int> bits;
  auto put = [&](int code, int width) { for (int k = 0; k < width; ++k) bits.push_back(code >> (gif ? k : width - 1 - k) & 1); };
  std::map<std::pair<int, int>, int> table;
  int width = min_width, next = clear + 2, prefix = in[0];
  put(clear, width);
  for (std::size_t i = 1; i < in.size(); ++i) {
    if (auto found = table.find({prefix, in[i]}); found != table.end()) {
      prefix = found->second;
    } else {
      put(prefix, width), table[{prefix, in[i]}] = next++, prefix = in[i];
      if (next == (width == 12 ? 4080 : 1 << width) + (gif ? 1 : 0) && width++ == 12)
        put(clear, 12), table.clear(), width = min_width, next = clear + 2;
    }
  }
  put(prefix, width), put(clear + 1, width);
  Bytes out((bits.size() + 7) / 8);
  for (std::size_t i = 0; i < bits.size(); ++i) out[i / 8] |= std::uint8_t(bits[i] << (gif ? i % 8 : 7 - i % 8));
  return out;
}

TEST(LzwWriters, CodesOfAPlainEncoder) {
  // Noise over 200 values clears the table several times; short runs make long strings.
  std::mt19937 rng(5);
  for (auto [w, h, bits, type, runs] : {std::tuple{97, 100, 8, PXV_SAVE_TIFF_LZW, false}, {33, 100, 24, PXV_SAVE_TIFF_LZW, true},
                                        {400, 300, 8, PXV_SAVE_GIF, false}, {301, 200, 4, PXV_SAVE_GIF, true}}) {
    pxv_test::PackedDib dib = pxv_test::make_packed_dib(w, h, bits);
    for (int y = 0, value = 0; y < h; ++y)
      for (int i = 0; i < dib.row_bytes(); ++i) dib.row(y)[i] = std::uint8_t(runs ? (rng() % 4 ? value : value = int(rng())) : rng() % 200);
    // The coded bytes: rows top down, pixels in byte order (GIF: one a byte; TIFF: red first).
    Bytes in;
    for (int y = h - 1; y >= 0; --y)
      for (int x = 0; x < (bits == 24 ? 3 * w : bits == 4 && type == PXV_SAVE_GIF ? w : w * bits / 8); ++x)
        in.push_back(bits == 24 ? dib.row(y)[x + 2 - 2 * (x % 3)] : bits == 4 ? dib.row(y)[x / 2] >> (x % 2 ? 0 : 4) & 15 : dib.row(y)[x]);
    const int handle = IMG_create_handle(dib.bytes.data());
    const Bytes f = pxv_test::save_mem(handle, type, in.size() * 2 + 4096);
    IMG_delete_bitmap(handle);
    Bytes coded;
    if (type == PXV_SAVE_TIFF_LZW) {  // one strip: at most 10000 bytes
      auto d = directory(f, 8);
      coded = Bytes(&f[d[273].value], &f[d[273].value + d[279].value]);
    }
    // GIF sub-blocks hold 253 or 254 bytes: whole bytes go out once 253 are there, behind a code.
    for (std::size_t p = 13 + (3u << bits) + 11; type == PXV_SAVE_GIF && f[p] != 0; p += 1 + f[p]) {
      EXPECT_TRUE(f[p] == 253 || f[p] == 254 || f[p + 1 + f[p]] == 0) << int(f[p]);
      coded.insert(coded.end(), &f[p + 1], &f[p + 1 + f[p]]);
    }
    EXPECT_EQ(coded, plain_lzw(in, type == PXV_SAVE_GIF ? bits + 1 : 9, type == PXV_SAVE_GIF)) << w << "x" << h << "x" << bits;
  }
}

TEST(FacsimileWriters, ChangesFoundWordAtATimeAsPixelByPixel) {
  // Rows that change at no pixel to every pixel, at widths about the 64-pixel words, with random
  // bits past the width. The pixel before a row is white (a set bit).
  std::mt19937 rng(9);
  for (int width : {1, 8, 63, 64, 65, 127, 200, 1728})
    for (unsigned percent_changing : {0, 1, 10, 50, 100}) {
      Bytes row((width + 63) / 64 * 8);
      std::vector<std::int32_t> plain, fast(std::size_t(width) + 4);
      for (int x = 0, white = 1, before = 1; x < int(row.size()) * 8; ++x, before = white) {
        white = x < width ? white ^ (rng() % 100 < percent_changing) : rng() % 2;
        row[std::size_t(x / 8)] |= std::uint8_t(white << (7 - x % 8));
        if (x < width && white != before) plain.push_back(x);
      }
      plain.insert(plain.end(), 3, width);
      fast.resize(std::size_t(pxv::find_changes(row.data(), width, fast.data())) + 3);
      EXPECT_EQ(fast, plain) << width << ", " << percent_changing;
    }
}

TEST(TiffWriters, FilesThereAlready) {
  // A chain that loops, a directory past the end, and an "II" file too short for its header:
  // nowhere to append.
  const int gray = make_image(40, 40, 8), bw = make_image(40, 40, 1);
  const std::string name = pxv_test::scratch_path("there.tif");
  for (auto [file, handle, type, result] :
       {std::tuple{Bytes{'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 8, 0, 0, 0}, gray, PXV_SAVE_TIFF, PXV_ERR_DATA},
        {Bytes{'I', 'I', 42, 0, 0xF0, 0xFF, 0, 0}, gray, PXV_SAVE_TIFF, PXV_ERR_DATA},
        {Bytes{'I', 'I', 42}, gray, PXV_SAVE_TIFF, PXV_ERR_NO_MEMORY},
        {Bytes{'I', 'I', 42}, bw, PXV_SAVE_TIFF_G4, PXV_ERR_SHORT_WRITE}}) {
    pxv_test::write_file(name, file);
    EXPECT_EQ(IMG_save_bitmap(handle, name.c_str(), type), result) << type << ", " << file.size();
  }
  // A file that is not a little-endian TIFF is written over whole: the facsimile writers patch
  // their byte count at the end, and the file must still end where their codes end.
  for (int type : {PXV_SAVE_TIFF, PXV_SAVE_TIFF_HUFFMAN, PXV_SAVE_TIFF_G3, PXV_SAVE_TIFF_G4}) {
    Bytes big(5000, 0x55);
    big[0] = big[1] = 'M';
    pxv_test::write_file(name, big);
    ASSERT_EQ(IMG_save_bitmap(bw, name.c_str(), type), 0) << type;
    const Bytes f = pxv_test::read_file(name);
    ASSERT_EQ(f[0], 'I');
    auto d = directory(f, get_le32(&f[4]));
    EXPECT_EQ(f.size(), d[273].value + d[279].value) << type << ": no stale tail";
  }
  IMG_delete_bitmap(gray);
  IMG_delete_bitmap(bw);
}

}  // namespace
