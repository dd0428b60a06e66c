// The fast TIFF strip decoders beside plain versions written here from the algorithm: the LZW
// decoder (strings kept as 8-byte tails, codes read a word at a time) against a decoder that
// keeps every string whole, on random code streams with Clears at every width, KwKwK codes,
// impossible codes, missing EOIs and truncated data, over one strip or many.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "support/support.h"

namespace {

using pxv_test::Bytes;

// ---- A plain LZW decoder -----------------------------------------------------------------------

// Decodes the strips of an 8-bit gray image the way the reader documents it: codes MSB first,
// 9 to 12 bits, the width growing when the next free code reaches 511, 1023, 2047; a strip ends
// at EOI, at an impossible code, where the file ends, or when the image has all its rows; the
// table and the previous code carry over from strip to strip, the width starts at 9 in each.
std::map<int, Bytes> reference_lzw(const Bytes &file, const std::vector<std::uint32_t> &offsets,
                                   int width, int height) {
  std::map<int, Bytes> rows;
  std::vector<Bytes> table(4096);
  for (int i = 0; i < 256; ++i) table[i] = Bytes{std::uint8_t(i)};
  std::uint32_t n = 258, limit = 512;
  int prev = -1;
  int index = 0;
  for (std::uint32_t offset : offsets) {
    if (index >= height) break;
    std::uint64_t pos = 8 * std::uint64_t{offset};
    const std::uint64_t end = 8 * std::uint64_t{file.size()};
    std::uint32_t bits = 9;
    Bytes pending;
    auto get = [&]() -> long {
      if (pos + bits > end) return -1;
      long code = 0;
      for (std::uint32_t i = 0; i < bits; ++i, ++pos)
        code = (code << 1) | ((file[pos / 8] >> (7 - pos % 8)) & 1);
      return code;
    };
    // Appends a string; answers false when the image is full.
    auto emit = [&](const Bytes &s) {
      pending.insert(pending.end(), s.begin(), s.end());
      while (pending.size() >= std::size_t(width)) {
        if (index >= height) return false;
        rows[index++] = Bytes(pending.begin(), pending.begin() + width);
        pending.erase(pending.begin(), pending.begin() + width);
      }
      return true;
    };
    while (true) {
      long code = get();
      if (code < 0 || code == 257) break;
      if (code == 256 || prev < 0) {
        while (code == 256) {
          bits = 9, limit = 512, n = 258;
          code = get();
        }
        if (code < 0 || code == 257 || code > 256) break;  // only a root can follow
        prev = int(code);
        if (!emit(table[code])) break;
        continue;
      }
      Bytes s;
      if (code < long(n)) {
        s = table[code];
      } else if (code == long(n)) {
        s = table[prev];
        s.push_back(table[prev][0]);
      } else {
        break;  // impossible: the strip ends
      }
      if (n < 4096) {
        Bytes entry = table[prev];
        entry.push_back(s[0]);
        table[n++] = entry;
        if (n == limit - 1 && bits < 12) ++bits, limit *= 2;
      }
      prev = int(code);
      if (!emit(s)) break;
    }
  }
  return rows;
}

// ---- Random code streams ------------------------------------------------------------------------

// Codes packed MSB first at the widths the decoder reads them, chosen from the decoder's state:
// mostly roots and known strings, some KwKwK codes, Clears, and, rarely, an impossible code or an
// EOI. The table state carries from strip to strip as the decoder carries it.
struct code_writer {
  std::mt19937 &rng;
  std::uint32_t n = 258, limit = 512;
  bool started = false;
  std::uint32_t bits = 9;
  Bytes out;
  std::uint64_t acc = 0;
  int acc_bits = 0;

  void put(std::uint32_t code) {
    acc = (acc << bits) | code;
    acc_bits += int(bits);
    while (acc_bits >= 8) {
      out.push_back(std::uint8_t(acc >> (acc_bits - 8)));
      acc_bits -= 8;
    }
  }
  void flush() {
    if (acc_bits > 0) out.push_back(std::uint8_t(acc << (8 - acc_bits)));
    acc_bits = 0;
  }
  int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(rng); }

  // One strip of `count` codes. Answers false when it ended the stream with an impossible code.
  bool strip(int count, bool eoi, int long_strings) {
    bits = 9;  // the decoder starts every strip at 9 bits
    out.clear();
    for (int j = 0; j < count; ++j) {
      const int r = pick(1000);
      if (!started || r < 3) {
        put(256);
        bits = 9, limit = 512, n = 258;
        put(std::uint32_t(pick(256)));
        started = true;
        continue;
      }
      const std::uint32_t top = (1u << bits) - 1;
      if (r < 5 && n < top) {
        put(n + 1 + std::uint32_t(pick(int(top - n))));  // above the next free code
        flush();
        return false;
      }
      std::uint32_t code;
      if (r < 60 && n < 4096) {
        code = n;  // KwKwK
      } else if (r < 60 + long_strings && n > 258) {
        code = n - 1 - std::uint32_t(pick(std::min<int>(int(n) - 258, 64)));  // recent, long
      } else if (r < 600 && n > 258) {
        code = 258 + std::uint32_t(pick(int(n) - 258));
      } else {
        code = std::uint32_t(pick(256));
      }
      put(code);
      if (n < 4096) {
        ++n;
        if (n == limit - 1 && bits < 12) ++bits, limit *= 2;
      }
    }
    if (eoi) put(257);
    flush();
    return true;
  }
};

// A little-endian 8-bit gray TIFF with LZW strips.
struct built {
  Bytes file;
  std::vector<std::uint32_t> offsets;
};

built lzw_tiff(int width, int height, int rows_per_strip, const std::vector<Bytes> &strips) {
  built b;
  b.file = {'I', 'I', 42, 0, 0, 0, 0, 0};
  auto put32 = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b.file[at + i] = std::uint8_t(v >> (8 * i));
  };
  for (const Bytes &s : strips) {
    b.offsets.push_back(std::uint32_t(b.file.size()));
    b.file.insert(b.file.end(), s.begin(), s.end());
  }
  const std::uint32_t array = std::uint32_t(b.file.size());
  b.file.resize(b.file.size() + 4 * strips.size());
  for (std::size_t i = 0; i < strips.size(); ++i) put32(array + 4 * i, b.offsets[i]);
  const std::uint32_t n = std::uint32_t(strips.size());
  // Tag, type, count, value (little-endian, so a SHORT's value sits in the low bytes).
  const std::uint32_t entries[][4] = {
      {256, 4, 1, std::uint32_t(width)}, {257, 4, 1, std::uint32_t(height)}, {258, 3, 1, 8},
      {259, 3, 1, 5}, {262, 3, 1, 1}, {273, 4, n, n == 1 ? b.offsets[0] : array},
      {278, 4, 1, std::uint32_t(rows_per_strip)}};
  const std::size_t ifd = b.file.size();
  put32(4, std::uint32_t(ifd));
  b.file.resize(ifd + 2 + 12 * 7 + 4, 0);
  b.file[ifd] = 7;
  for (std::size_t i = 0; i < 7; ++i) {
    const std::size_t at = ifd + 2 + 12 * i;
    put32(at, entries[i][0] | entries[i][1] << 16);
    put32(at + 4, entries[i][2]);
    put32(at + 8, entries[i][3]);
  }
  return b;
}

int capture_header(unsigned char *, void *) { return 1; }
int capture_row(unsigned char *row, void *priv, int index, int bytes) {
  auto *rows = static_cast<std::map<int, Bytes> *>(priv);
  (*rows)[index].assign(row, row + bytes);  // trimmed to the width by the caller
  return 0;
}

std::map<int, Bytes> library_lzw(const Bytes &file, int width) {
  const std::string path = pxv_test::scratch_path("kernels.tif");
  pxv_test::write_file(path, file);
  std::map<int, Bytes> rows;
  OFSTRUCT of;
  HFILE f = OpenFile(path.c_str(), &of, OF_READ);
  IMGLOW_decompress_bitmap(f, 0, 0, capture_row, &rows, capture_header);
  _lclose(f);
  for (auto &[index, row] : rows) row.resize(std::size_t(width));
  return rows;
}

TEST(TiffKernels, LzwMatchesThePlainDecoderOnRandomStreams) {
  std::mt19937 rng(20240611);
  int compared_rows = 0;
  for (int trial = 0; trial < 300; ++trial) {
    const int width = 1 + int(rng() % 64);
    const int height = 1 + int(rng() % 80);
    const int rps = 1 + int(rng() % std::uint32_t(height));
    const int strips = (height + rps - 1) / rps;
    code_writer w{rng};
    std::vector<Bytes> data;
    // Some trials run long enough to fill the table and go on at 12 bits.
    const int codes_per_strip = (trial % 5 == 0) ? 5000 : 1 + int(rng() % 400);
    const int long_strings = int(rng() % 200);
    for (int s = 0; s < strips; ++s) {
      w.strip(codes_per_strip, rng() % 8 != 0, long_strings);
      Bytes strip = w.out;
      // Now and then the strip's data stops short (the decoder reads on into what follows).
      if (rng() % 10 == 0 && !strip.empty()) strip.resize(rng() % strip.size());
      data.push_back(strip);
    }
    const built b = lzw_tiff(width, height, rps, data);
    const auto want = reference_lzw(b.file, b.offsets, width, height);
    const auto got = library_lzw(b.file, width);
    ASSERT_EQ(got.size(), want.size()) << "trial " << trial;
    for (const auto &[index, row] : want) {
      ASSERT_TRUE(got.count(index)) << "trial " << trial << " row " << index;
      ASSERT_EQ(got.at(index), row) << "trial " << trial << " row " << index;
    }
    compared_rows += int(want.size());
  }
  EXPECT_GT(compared_rows, 3000);
}

TEST(TiffKernels, LzwTruncatedAtEveryByteMatchesThePlainDecoder) {
  // One long strip with long strings, cut after each of its last 40 bytes: the decoder reads on
  // into the offsets and the directory that follow it.
  std::mt19937 rng(7);
  code_writer w{rng};
  w.strip(3000, true, 400);
  const Bytes full = w.out;
  for (std::size_t cut = full.size() - 40; cut <= full.size(); ++cut) {
    const Bytes strip(full.begin(), full.begin() + std::ptrdiff_t(cut));
    const built b = lzw_tiff(37, 4000, 4000, {strip});
    ASSERT_EQ(library_lzw(b.file, 37), reference_lzw(b.file, b.offsets, 37, 4000)) << cut;
  }
}

}  // namespace
