// The JPEG writer: baseline sequential JFIF 1.00 with the standard Huffman tables. 24-bit images
// and 8-bit images with a colour palette become three-component files (luma sampled 2 x 1,
// chroma 1 x 1); 8-bit images whose palette is all gray become one-component files. The colour
// transform is the library's own (not JFIF's YCbCr) and pairs with the reader.
#include <array>
#include <cstring>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "formats/jpeg_common.h"
#include "formats/jpeg_encode.h"

namespace pxv {

namespace {

constexpr int kFlushBytes = 4000;
// The most one component of one MCU can add to the output: two blocks of 64 codes, each at most
// a 16-bit code and 16 value bits, every byte possibly followed by a stuffed 0, plus the 32-bit
// word the bits held over from before may complete. With what is pending below the flush
// threshold, this bounds the bit writer's buffer.
constexpr int kMaxComponentBytes = 2 * 64 * 4 * 2 + 4;
constexpr int kOutputBytes = kFlushBytes + kMaxComponentBytes;
constexpr int kMaxLevel = 100;

// ITU-T T.81 Annex K Table K.1: luminance quantisation, natural (row-major) order.
constexpr std::array<std::uint8_t, 64> kTableK1 = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};

// ITU-T T.81 Annex K Table K.2: chrominance quantisation, natural order.
constexpr std::array<std::uint8_t, 64> kTableK2 = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// The Huffman tables as a DHT segment carries them: 16 code counts (lengths 1 to 16), then the
// symbols.
// ITU-T T.81 Annex K Table K.3: DC luminance.
constexpr std::uint8_t std_huffdc0[28] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0,
                                      0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
// ITU-T T.81 Annex K Table K.4: DC chrominance.
constexpr std::uint8_t std_huffdc1[28] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0,
                                      0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
// ITU-T T.81 Annex K Table K.5: AC luminance.
constexpr std::uint8_t std_huffac0[178] = {
    0,    2,    1,    3,    3,    2,    4,    3,    5,    5,    4,    4,    0,    0,    1,    0x7d,
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07,
    0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52, 0xd1, 0xf0,
    0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25, 0x26, 0x27, 0x28,
    0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49,
    0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69,
    0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89,
    0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7,
    0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5,
    0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2,
    0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa};
// ITU-T T.81 Annex K Table K.6: AC chrominance.
constexpr std::uint8_t std_huffac1[178] = {
    0,    2,    1,    2,    4,    4,    3,    4,    7,    5,    4,    4,    0,    1,    2,    0x77,
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71,
    0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33, 0x52, 0xf0,
    0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18, 0x19, 0x1a, 0x26,
    0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,
    0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68,
    0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
    0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5,
    0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3,
    0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda,
    0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8,
    0xf9, 0xfa};

struct jpg_component {
  std::int16_t pred;
  std::int8_t *strip;  // 8 rows of `stride` samples
  int stride;
  const jpeg_quantiser *quant;
  std::int16_t h;
  std::int16_t v;
  const jpeg_huff_code *dc_table;
  const jpeg_huff_code *ac_table;
};

// The writer's state.
struct jpeg_encoder {
  // Kept from one save to the next on purpose: IMGLOW_set_comp_quality sets the quantisation
  // tables (natural order) for every later save; Annex K until its first call.
  std::array<std::uint8_t, 64> luma_quant = kTableK1;
  std::array<std::uint8_t, 64> chroma_quant = kTableK2;
  // Cleared at the start of every save.
  struct {
    jpg_component component[3];  // Y, Cb, Cr, each with its strip of 8 sample rows
    jpeg_quantiser luma, chroma;  // the tables of this save
    jpeg_bit_writer out;
  } call;
};
jpeg_encoder jpgenc;

// The bit writer by its short name.
constexpr jpeg_bit_writer &bits_out = jpgenc.call.out;

// Canonical code assignment (T.81 Annex C) from a table's code counts and symbols.
void build_codes(jpeg_huff_code *table, int entries, const std::uint8_t *counts_and_symbols) {
  std::memset(table, 0, sizeof(jpeg_huff_code) * static_cast<std::size_t>(entries));
  std::uint32_t code = 0;
  int next = 16;
  for (int l = 1; l <= 16; ++l) {
    for (int i = 0; i < counts_and_symbols[l - 1]; ++i) {
      const int symbol = counts_and_symbols[next++];
      if (symbol < entries) table[symbol] = {static_cast<std::uint8_t>(l), static_cast<std::uint16_t>(code)};
      ++code;
    }
    code <<= 1;
  }
}

// The codes of the four standard tables, built once.
struct huff_codes {
  jpeg_huff_code dc0[16], dc1[16], ac0[256], ac1[256];
  huff_codes() {
    build_codes(dc0, 16, std_huffdc0);
    build_codes(dc1, 16, std_huffdc1);
    build_codes(ac0, 256, std_huffac0);
    build_codes(ac1, 256, std_huffac1);
  }
};
const huff_codes codes;

// 1 for a colour image, 0 for an 8-bit one whose palette is all gray. Only the entries the
// header carries are looked at (entries it does not carry are taken as black).
int jpeg_is_color(const std::uint8_t *header) {
  if (dib_bit_count(header) == 24) return 1;
  const int entries = static_cast<int>(Palette_Size(header) / 4);
  const int limit = entries < (1 << dib_bit_count(header)) ? entries : (1 << dib_bit_count(header));
  for (int i = 0; i < limit; ++i) {
    const std::uint8_t *e = header + kDibHeaderBytes + 4 * i;
    if (e[0] != e[1] || e[1] != e[2]) return 1;
  }
  return 0;
}

// Fetches an 8-bit row behind its own expansion and spreads it through the colour table into
// blue, green, red triples; writing never overtakes an index not yet read.
void jpeg_get_raster(const std::uint8_t *palette, std::uint8_t *dest, int row, int width,
                     PXV_FETCH_PROC fetch, void *priv) {
  std::uint8_t *indices = dest + 2 * width;
  fetch(priv, indices, row, size_for_long(width, 8));
  for (int i = 0; i < width; ++i) {
    const std::uint8_t *e = palette + 4 * indices[i];
    dest[3 * i] = e[0];
    dest[3 * i + 1] = e[1];
    dest[3 * i + 2] = e[2];
  }
}

void put_segment_header(std::uint8_t *&p, std::uint8_t marker, int length) {
  *p++ = 0xFF;
  *p++ = marker;
  put_be16(p, static_cast<std::uint32_t>(length));
  p += 2;
}

// The header segments, SOI to SOS.
void jpeg_write_header(int stream, const std::uint8_t *header, int components) {
  std::uint8_t bytes[700];
  std::uint8_t *p = bytes;
  *p++ = 0xFF;
  *p++ = 0xD8;
  // JFIF APP0: version 1.00, 96 x 96 dots per inch, no thumbnail.
  put_segment_header(p, 0xE0, 16);
  const std::uint8_t app0[14] = {'J', 'F', 'I', 'F', 0, 1, 0, 1, 0, 96, 0, 96, 0, 0};
  std::memcpy(p, app0, sizeof app0);
  p += sizeof app0;
  put_segment_header(p, 0xDB, 132);
  *p++ = 0x00;
  for (int k = 0; k < 64; ++k) *p++ = jpgenc.luma_quant[zig_zag[k]];
  *p++ = 0x01;
  for (int k = 0; k < 64; ++k) *p++ = jpgenc.chroma_quant[zig_zag[k]];
  put_segment_header(p, 0xC0, components == 3 ? 17 : 11);
  *p++ = 8;
  put_be16(p, static_cast<std::uint32_t>(dib_height(header)) & 0xFFFF);
  put_be16(p + 2, static_cast<std::uint32_t>(dib_width(header)) & 0xFFFF);
  p += 4;
  *p++ = static_cast<std::uint8_t>(components);
  if (components == 3) {
    const std::uint8_t frame_components[9] = {1, 0x21, 0, 2, 0x11, 1, 3, 0x11, 1};
    std::memcpy(p, frame_components, sizeof frame_components);
    p += sizeof frame_components;
  } else {
    const std::uint8_t frame_component[3] = {1, 0x11, 0};
    std::memcpy(p, frame_component, sizeof frame_component);
    p += sizeof frame_component;
  }
  struct dht {
    std::uint8_t id;
    const std::uint8_t *counts_and_symbols;
    int bytes;
  };
  const dht tables[4] = {
      {0x00, std_huffdc0, 28}, {0x10, std_huffac0, 178}, {0x01, std_huffdc1, 28}, {0x11, std_huffac1, 178}};
  for (int t = 0; t < (components == 3 ? 4 : 2); ++t) {
    put_segment_header(p, 0xC4, tables[t].bytes + 3);
    *p++ = tables[t].id;
    std::memcpy(p, tables[t].counts_and_symbols, static_cast<std::size_t>(tables[t].bytes));
    p += tables[t].bytes;
  }
  if (components == 3) {
    put_segment_header(p, 0xDA, 12);
    const std::uint8_t scan[10] = {3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0};
    std::memcpy(p, scan, sizeof scan);
    p += sizeof scan;
  } else {
    put_segment_header(p, 0xDA, 8);
    const std::uint8_t scan[6] = {1, 1, 0x00, 0, 63, 0};
    std::memcpy(p, scan, sizeof scan);
    p += sizeof scan;
  }
  img_write_mem(stream, bytes, static_cast<std::uint32_t>(p - bytes));
}

// Fills the three component records; the caller gives them their strips.
void jpg_set_save_component_params(int components) {
  jpg_component *c = jpgenc.call.component;
  jpeg_quantiser_init(jpgenc.call.luma, jpgenc.luma_quant.data());
  jpeg_quantiser_init(jpgenc.call.chroma, jpgenc.chroma_quant.data());
  const auto luma_h = static_cast<std::int16_t>(components == 3 ? 2 : 1);
  c[0] = {0, nullptr, 0, &jpgenc.call.luma, luma_h, 1, codes.dc0, codes.ac0};
  c[1] = {0, nullptr, 0, &jpgenc.call.chroma, 1, 1, codes.dc1, codes.ac1};
  c[2] = {0, nullptr, 0, &jpgenc.call.chroma, 1, 1, codes.dc1, codes.ac1};
}

// Writes the pending bytes in blocks of kFlushBytes while at least that many are pending.
void flush_full_blocks(int stream) {
  while (bits_out.length >= kFlushBytes) {
    img_write_mem(stream, bits_out.bytes, kFlushBytes);
    bits_out.length -= kFlushBytes;
    std::memmove(bits_out.bytes, bits_out.bytes + kFlushBytes, static_cast<std::size_t>(bits_out.length));
  }
}

}  // namespace

int save_jpg_file(int stream, std::uint8_t *header, PXV_FETCH_PROC fetch, void *priv) {
  jpgenc.call = {};
  const int bits = dib_bit_count(header);
  // 1- and 4-bit images are refused, as are 16- and 32-bit ones, which have neither 24-bit rows
  // nor a colour table to expand through.
  if (bits != 8 && bits != 24) return kUnsupported;
  const int width = dib_width(header), height = dib_height(header);
  const int components = (bits == 8 && jpeg_is_color(header) == 0) ? 1 : 3;
  const int stride = size_for_long(width, components == 1 ? 8 : 24);
  const bool expand = bits == 8 && components == 3;
  // The palette as 256 entries; entries the header does not carry are black.
  std::uint8_t palette[1024] = {};
  if (bits == 8) {
    std::uint32_t table = Palette_Size(header);
    if (table > sizeof palette) table = sizeof palette;
    std::memcpy(palette, header + kDibHeaderBytes, table);
  }

  jpeg_write_header(stream, header, components);
  const int mcu_width = components == 3 ? 16 : 8;
  const int padded = (width + mcu_width - 1) / mcu_width * mcu_width;
  const std::size_t buffer_bytes = static_cast<std::size_t>(8) * 3 * static_cast<std::size_t>(padded) + 100;
  auto *buffer = static_cast<std::uint8_t *>(img_fmalloc(buffer_bytes));
  if (buffer == nullptr) return kNoMemory;
  // Columns past the image's width read whatever the buffer holds there: keep it defined.
  std::memset(buffer, 0, buffer_bytes);
  jpg_set_save_component_params(components);
  jpg_component *const c3 = jpgenc.call.component;  // Y, Cb, Cr
  // Chroma is kept only where the 2:1 pick takes it, so the chroma strips are half as wide.
  c3[0].stride = padded;
  c3[1].stride = c3[2].stride = components == 3 ? padded / 2 : 0;
  for (int i = 0; i < components; ++i) {
    const auto strip_bytes = static_cast<std::size_t>(8) * static_cast<std::size_t>(c3[i].stride);
    c3[i].strip = static_cast<std::int8_t *>(img_fmalloc(strip_bytes));
    if (c3[i].strip == nullptr) return kNoMemory;
  }
  bits_out.bytes = static_cast<std::uint8_t *>(img_fmalloc(kOutputBytes));
  if (bits_out.bytes == nullptr) return kNoMemory;

  alignas(16) std::int16_t quantised[64];
  for (int next = height - 1; next >= 0;) {
    for (int b = 0; b < 8; ++b) {
      if (next < 0) break;  // rows below the image keep the previous MCU row's content
      std::uint8_t *dest = buffer + static_cast<std::size_t>(b) * static_cast<std::size_t>(stride);
      if (expand)
        jpeg_get_raster(palette, dest, next, width, fetch, priv);
      else
        fetch(priv, dest, next, stride);
      --next;
    }
    // Each row is read `padded` pixels wide from its start, into the rows after it and the
    // buffer's zeroed tail where the padding runs past the row's own bytes.
    for (int b = 0; b < 8; ++b) {
      const std::uint8_t *row = buffer + static_cast<std::size_t>(b) * static_cast<std::size_t>(stride);
      if (components == 3)
        jpeg_colour_row(row, c3[0].strip + b * c3[0].stride, c3[1].strip + b * c3[1].stride,
                        c3[2].strip + b * c3[2].stride, padded);
      else
        jpeg_gray_row(row, c3[0].strip + b * c3[0].stride, padded);
    }
    for (int m = 0; m < padded; m += mcu_width) {
      for (int ci = 0; ci < components; ++ci) {
        jpg_component &c = c3[ci];
        const int column = ci == 0 ? m : m / 2;
        for (int bh = 0; bh < c.h; ++bh) {
          jpeg_dct_quantise(c.strip + column + 8 * bh, c.stride, *c.quant, quantised);
          jpeg_code_block(bits_out, c.pred, quantised, c.dc_table, c.ac_table);
        }
        flush_full_blocks(stream);
      }
    }
  }
  // The last pending bits go out as one 16-bit unit padded with 0-bits.
  jpeg_flush_bits(bits_out);
  flush_full_blocks(stream);
  img_write_mem(stream, bits_out.bytes, static_cast<std::uint32_t>(bits_out.length));
  const std::uint8_t eoi[2] = {0xFF, 0xD9};
  img_write_mem(stream, eoi, sizeof eoi);
  return kOk;
}

}  // namespace pxv

extern "C" int PXVAPI IMGLOW_set_comp_quality(int level) {
  // Negative levels would make entries of 0 or less, which quantisation cannot divide by: they
  // are taken as level 0, the finest.
  int q = level < 0 ? 0 : (level > pxv::kMaxLevel ? pxv::kMaxLevel : level);
  const int qc = 2 * q > pxv::kMaxLevel ? pxv::kMaxLevel : 2 * q;
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j) {
      const int luma = (i + j + 1) * q + 1, chroma = (i + j + 1) * qc + 1;
      pxv::jpgenc.luma_quant[i * 8 + j] = static_cast<std::uint8_t>(luma > 255 ? 255 : luma);
      pxv::jpgenc.chroma_quant[i * 8 + j] = static_cast<std::uint8_t>(chroma > 255 ? 255 : chroma);
    }
  return 0;
}
