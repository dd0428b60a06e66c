// The PCX and DCX readers' runs, colour-table rules, refused layouts and page tables, and what
// the writers put in lines, headers and page tables.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <tuple>

#include "core/bytes.h"
#include "core/formats.h"
#include "formats/pcx.h"
#include "formats/run_scan.h"
#include "platform/testing.h"
#include "support/corpus.h"

namespace pxv_test {
namespace {

// A 128-byte PCX header: version, bits per plane, size, planes, bytes per line, palette info;
// the header colour table is entry i = (i*16, i*8, 255 - i).
Bytes pcx_header(int version, int bits, int width, int height, int planes, int bytes_per_line,
                 int palette_info = 1) {
  Bytes h(128, 0);
  h[0] = 10, h[1] = std::uint8_t(version), h[2] = 1, h[3] = std::uint8_t(bits);
  pxv::put_le16(&h[8], std::uint32_t(width - 1));
  pxv::put_le16(&h[10], std::uint32_t(height - 1));
  for (int i = 0; i < 16; ++i)
    h[16 + 3 * i] = std::uint8_t(i * 16), h[17 + 3 * i] = std::uint8_t(i * 8), h[18 + 3 * i] = std::uint8_t(255 - i);
  h[65] = std::uint8_t(planes);
  pxv::put_le16(&h[66], std::uint32_t(bytes_per_line));
  h[68] = std::uint8_t(palette_info);
  return h;
}

// The 256-colour trailer: entry i = (i, 255 - i, i / 2).
Bytes trailer() {
  Bytes t = {0x0C};
  for (int i = 0; i < 256; ++i) t.insert(t.end(), {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2)});
  return t;
}

TEST(PcxRead, RunsEndAtTheLineAndAtTheData) {
  // C3 07 41: three 07 then 41. Then a run of six 05 on a 4-byte line: its tail is dropped and
  // the next line starts with the byte after the run. A run of 0 writes nothing.
  const Bytes runs = {0xC3, 7, 0x41, 0xC6, 5, 0xC0, 0x99, 1, 2, 0xC2, 0xC0, 3};
  Capture c = capture_load(pcx_header(5, 8, 4, 3, 1, 4) + runs + trailer());
  ASSERT_TRUE(c.result >= 0 && c.row_numbers == (std::vector<int>{0, 1, 2}));
  EXPECT_EQ((std::vector<Bytes>{part(c.rows[0], 0, 4), part(c.rows[1], 0, 4), part(c.rows[2], 0, 4)}),
            (std::vector<Bytes>{{7, 7, 7, 0x41}, {5, 5, 5, 5}, {1, 2, 0xC0, 0xC0}}));
  // Data that ends inside row 1: the rest of the rows read as 0.
  c = capture_load(pcx_header(5, 8, 4, 3, 1, 4) + Bytes{9, 9, 9, 9, 8});
  ASSERT_TRUE(c.result >= 0 && c.row_numbers.size() == 3);
  EXPECT_EQ((Bytes{c.rows[1][0], c.rows[1][1], c.rows[2][3]}), (Bytes{8, 0, 0}));
}

TEST(PcxRead, ColourTableRules) {
  // Two colours: light then black are swapped to black, white with the bits inverted; other pairs
  // are kept (two blacks, and red and black, come from corpus files). Per case: entries 0 and 1 as
  // red, green, blue; the table as stored (blue, green, red, 0); the row.
  const Bytes line = {0xC1, 0xF0, 0x0F};  // 16 pixels: 4 set, 8 clear, 4 set
  for (auto [colours, table, row] :
       {std::tuple{Bytes{255, 255, 255, 0, 0, 0}, Bytes{0, 0, 0, 0, 255, 255, 255, 0}, Bytes{0x0F, 0xF0}},
        {Bytes{10, 20, 30, 40, 50, 60}, Bytes{30, 20, 10, 0, 60, 50, 40, 0}, Bytes{0xF0, 0x0F}}}) {
    Bytes h = pcx_header(5, 1, 16, 1, 1, 2);
    std::copy(colours.begin(), colours.end(), h.begin() + 16);
    Capture c = capture_load(h + line);
    ASSERT_EQ(c.bits(), 1);
    EXPECT_TRUE(part(c.header, 40, 8) == table && part(c.rows[0], 0, 2) == row);
  }
  // (Version 3's default table comes from a corpus file.) Palette information 2 on a 4-bit
  // image: the grey ramp 0, 16, ..., 240.
  Capture c = capture_load(pcx_header(5, 4, 4, 1, 1, 2, 2) + Bytes{0x01, 0x23});
  EXPECT_EQ(Bytes(c.header.begin() + 100, c.header.begin() + 103), (Bytes{240, 240, 240}));
}

TEST(PcxRead, LayoutsAndPages) {
  // (Four 1-bit planes read as 4 bits come from the small-size sweep.) No DIB layout, or lines shorter than the width: refused before the header callback. (Two
  // bits per pixel and two 1-bit planes are refused by corpus files.)
  for (auto [bits, planes, width, line_bytes] :
       {std::array{8, 4, 4, 4}, {1, 1, 17, 2}, {8, 1, 88, 12}, {8, 3, 5, 4}, {8, 1, 4, 0}}) {
    const Capture c = capture_load(pcx_header(5, bits, width, 2, planes, line_bytes) + Bytes(64, 0));
    EXPECT_TRUE(c.result == -3 && c.header_calls == 0) << bits << " bits, " << planes << " planes, width " << width;
  }
  EXPECT_EQ(capture_load(part(pcx_header(5, 8, 4, 1, 1, 4), 0, 127)).result, -2) << "short header";
  // A PCX holds one image: a later page must not turn into a seek to the flagged position word,
  // whatever the stream's position.
  const std::string name = scratch_path("page.pcx");
  write_file(name, Bytes(128, 0) + pcx_header(5, 8, 4, 1, 1, 4) + Bytes{1, 2, 3, 4});
  HFILE f = open_file(name, OF_READ);
  _llseek(f, 128, 0);
  EXPECT_EQ(pxv::open_pcx(0xC0000001u, [](std::uint8_t *, void *, int, int) { return 1; }, nullptr,
                          [](std::uint8_t *, void *) { return 1; }, f),
            PXV_ERR_PAGE);
  _lclose(f);
}

TEST(DcxRead, PageTableCutShort) {
  // A table that runs into the end of the file without its 0 entry. (A page past the last:
  // hostile_headers.py's 1023-page table.)
  const std::string path = scratch_path("cut.dcx");
  write_file(path, Bytes{0xB1, 0x68, 0xDE, 0x3A, 8, 0});
  EXPECT_EQ(load_page(path, 1), -2);
}

TEST(PcxWrite, LinesAndHeaders) {
  for (auto [line, coded] : {std::pair{Bytes(70, 0), Bytes{0xFF, 0x00, 0xC7, 0x00}}, {Bytes{0xC5}, Bytes{0xC1, 0xC5}},
                             {Bytes{0x40}, Bytes{0x40}},
                             {Bytes{1, 1, 2, 0xC0, 0xC0, 3}, Bytes{0xC2, 1, 2, 0xC2, 0xC0, 3}}})
    EXPECT_EQ(encode_row(pxv::save_pcx_raster, line), coded);
  // Bit count, width; then version, bits per plane, planes, line bytes and palette information.
  for (auto [bits, width, version, plane_bits, planes, line_bytes, palette_info] :
       {std::array{1, 9, 2, 1, 1, 2, 1}, {4, 9, 2, 1, 4, 2, 1}, {8, 9, 5, 8, 1, 9, 1}, {24, 5, 3, 8, 3, 5, 0}}) {
    PackedDib dib = make_packed_dib(width, 3, bits);
    draw_test_picture(dib);
    const int h = IMG_create_handle(dib.bytes.data());
    const Bytes p = save_mem(h, PXV_SAVE_PCX);
    IMG_delete_bitmap(h);
    // Bytes 0-3, the last column and row, the resolution fields, planes, line bytes, palette info.
    EXPECT_EQ((std::vector<int>{p[0], p[1], p[2], p[3], p[8], p[10], p[12], p[14], p[65], p[66], p[68]}),
              (std::vector<int>{10, version, 1, plane_bits, width - 1, 2, width, 3, planes, line_bytes, palette_info}))
        << bits;
    // The header table: the 2 or 16 entries of a 1- or 4-bit image as red, green, blue; else zeros.
    Bytes table(48, 0);
    for (int i = 0; bits <= 4 && i < (1 << bits); ++i)
      for (int c = 0; c < 3; ++c) table[std::size_t(3 * i + c)] = dib.bytes[std::size_t(40 + 4 * i + 2 - c)];
    EXPECT_EQ(Bytes(p.begin() + 16, p.begin() + 64), table) << bits;
  }
}

TEST(RunWriters, StretchesAndRunsFoundSixteenAtATimeAsOneByOne) {
  // Lengths about the 16-byte steps; bytes of one value (long runs), a few, or any, about 0xC0.
  // The bytes past the end repeat the last, so that a look past it would find a pair or a run.
  std::mt19937 rng(11);
  for (int n = 1; n <= 90; ++n)
    for (int values : {1, 3, 256}) {
      Bytes p = Bytes(std::size_t(n)), out(std::size_t(n) + 32);
      for (auto &b : p) b = std::uint8_t(0xBE + int(rng() % unsigned(values)));
      p.resize(p.size() + 16, p.back());
      const bool marks = n % 2;
      int plain = 0, run = 1;
      while (plain < n && !(plain + 1 < n && p[plain + 1] == p[plain]) && !(marks && p[plain] >= 0xC0)) ++plain;
      while (run < n && run < 40 && p[std::size_t(run)] == p[0]) ++run;
      EXPECT_EQ(pxv::copy_literal(p.data(), n, marks, out.data()), plain) << n << ", " << values;
      EXPECT_TRUE(std::equal(p.begin(), p.begin() + plain, out.begin()));
      EXPECT_EQ(pxv::run_length(p.data(), n, 40), run) << n << ", " << values;
    }
}

TEST(DcxWrite, PagesTheTableAndTheTemporaryFile) {
  // DCX saving writes "temp.pcx" in the current folder, the test program's scratch folder.
  const int h = picture_handle(20, 10, 8);
  // (Pages appended through the table are read back by ImageMagick in the oracle test.)
  ASSERT_EQ(IMG_save_bitmap(h, "one.dcx", PXV_SAVE_DCX), 0);
  const std::size_t one_page = read_file("one.dcx").size();
  write_file("over.dcx", Bytes(20000, 0x55));
  ASSERT_EQ(IMG_save_bitmap(h, "over.dcx", PXV_SAVE_DCX), 0);
  EXPECT_EQ(read_file("over.dcx").size(), one_page) << "another, longer file is replaced whole";
  // A full table refuses the 101st page and leaves the file as it was.
  for (int i = 1; i < 100; ++i) ASSERT_EQ(IMG_save_bitmap(h, "over.dcx", PXV_SAVE_DCX), 0) << i;
  const Bytes full = read_file("over.dcx");
  EXPECT_NE(pxv::get_le32(&full[400]), 0u);
  EXPECT_TRUE(IMG_save_bitmap(h, "over.dcx", PXV_SAVE_DCX) < 0 && read_file("over.dcx") == full);
  // Failed writes remove the temporary file: the output takes the table but not the page, or the
  // temporary file cannot take the page.
  if (pxv_test::kStandinControls) {
    HFILE out = open_file("cut.dcx", OF_CREATE);
    pxv_platform::cap_file_writes(out, 600);
    EXPECT_EQ(IMG_save_bitmap_fd(h, out, PXV_SAVE_DCX), PXV_ERR_SHORT_WRITE);
    _lclose(out);
    pxv_platform::cap_next_file_writes(100);
    EXPECT_TRUE(!file_exists("temp.pcx") && IMG_save_bitmap(h, "cut2.dcx", PXV_SAVE_DCX) == PXV_ERR_SHORT_WRITE);
    pxv_platform::cap_next_file_writes(-1);
    EXPECT_FALSE(file_exists("temp.pcx"));
  }
  IMG_delete_bitmap(h);
}

}  // namespace
}  // namespace pxv_test
