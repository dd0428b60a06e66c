// The PCX and DCX reader and writer on hand-built files: runs and their ends, colour tables and
// the inverted 2-colour rule, plane layouts, refusals, DCX pages, and what the writers put in
// headers, lines, trailers and page tables.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "core/bytes.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "formats/pcx.h"
#include "platform/testing.h"
#include "support/gifpcx_support.h"
#include "support/support.h"

namespace pxv_test {
namespace {

int header_ignored(std::uint8_t *, void *) { return 1; }
int raster_ignored(std::uint8_t *, void *, int, int) { return 1; }

// A 128-byte PCX header: version, bits per plane, size, planes, bytes per line, palette info;
// the header colour table is entry i = (i*16, i*8, 255 - i).
Bytes pcx_header(int version, int bits, int width, int height, int planes, int bytes_per_line,
                 int palette_info = 1) {
  Bytes h(128, 0);
  h[0] = 10;
  h[1] = std::uint8_t(version);
  h[2] = 1;
  h[3] = std::uint8_t(bits);
  pxv::put_le16(&h[8], std::uint32_t(width - 1));
  pxv::put_le16(&h[10], std::uint32_t(height - 1));
  for (int i = 0; i < 16; ++i) {
    h[16 + 3 * i] = std::uint8_t(i * 16);
    h[17 + 3 * i] = std::uint8_t(i * 8);
    h[18 + 3 * i] = std::uint8_t(255 - i);
  }
  h[65] = std::uint8_t(planes);
  pxv::put_le16(&h[66], std::uint32_t(bytes_per_line));
  h[68] = std::uint8_t(palette_info);
  return h;
}

Bytes concat(Bytes a, const Bytes &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The 256-colour trailer: entry i = (i, 255 - i, i / 2).
Bytes trailer() {
  Bytes t = {0x0C};
  for (int i = 0; i < 256; ++i) t.insert(t.end(), {std::uint8_t(i), std::uint8_t(255 - i), std::uint8_t(i / 2)});
  return t;
}

TEST(PcxRead, RunsAndTheirEndAtTheLine) {
  // C3 07 41: three 07 then 41. Then a run of six 05 on a 4-byte line: its tail is dropped and
  // the next line starts with the byte after the run. A run of 0 writes nothing.
  Bytes data = {0xC3, 0x07, 0x41, 0xC6, 0x05, 0xC0, 0x99, 0x01, 0x02, 0xC2, 0xC0, 0x03};
  Capture c = capture_load(concat(concat(pcx_header(5, 8, 4, 3, 1, 4), data), trailer()));
  ASSERT_GE(c.result, 0);
  ASSERT_EQ(c.bits(), 8);
  EXPECT_EQ(c.row_numbers, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(Bytes(c.rows[0].begin(), c.rows[0].begin() + 4), (Bytes{7, 7, 7, 0x41}));
  EXPECT_EQ(Bytes(c.rows[1].begin(), c.rows[1].begin() + 4), (Bytes{5, 5, 5, 5}));
  EXPECT_EQ(Bytes(c.rows[2].begin(), c.rows[2].begin() + 4), (Bytes{1, 2, 0xC0, 0xC0}));
  // The table comes from the last 768 bytes: entry 200 = (200, 55, 100) stored blue first.
  EXPECT_EQ(Bytes(c.header.begin() + 40 + 800, c.header.begin() + 40 + 803), (Bytes{100, 55, 200}));
}

TEST(PcxRead, TwoColourTables) {
  const Bytes line = {0xC1, 0xF0, 0x0F};  // 16 pixels: 4 set, 8 clear, 4 set
  struct Case {
    Bytes colours;  // entries 0 and 1, red green blue
    bool inverted;
    Bytes table;  // as stored: blue green red 0, twice
  };
  const Case cases[] = {
      {{255, 255, 255, 0, 0, 0}, true, {0, 0, 0, 0, 255, 255, 255, 0}},    // light, black: swapped
      {{0, 0, 0, 0, 0, 0}, false, {0, 0, 0, 0, 255, 255, 255, 0}},        // both black
      {{255, 0, 0, 0, 0, 0}, false, {0, 0, 255, 0, 0, 0, 0, 0}},          // red, black: kept
      {{10, 20, 30, 40, 50, 60}, false, {30, 20, 10, 0, 60, 50, 40, 0}},  // as given
  };
  for (const Case &k : cases) {
    Bytes h = pcx_header(5, 1, 16, 1, 1, 2);
    std::copy(k.colours.begin(), k.colours.end(), h.begin() + 16);
    Capture c = capture_load(concat(h, line));
    ASSERT_GE(c.result, 0);
    EXPECT_EQ(c.bits(), 1);
    EXPECT_EQ(Bytes(c.header.begin() + 40, c.header.begin() + 48), k.table);
    EXPECT_EQ(c.rows[0][0], k.inverted ? 0x0F : 0xF0);
    EXPECT_EQ(c.rows[0][1], k.inverted ? 0xF0 : 0x0F);
  }
}

TEST(PcxRead, DefaultAndGreyTables) {
  // Version 3 with one 8-bit plane: the 16 colours of level 128, entries 16 up left at 0.
  Capture c = capture_load(concat(concat(pcx_header(3, 8, 4, 1, 1, 4), {1, 2, 3, 4}), trailer()));
  ASSERT_GE(c.result, 0);
  EXPECT_EQ(Bytes(c.header.begin() + 40 + 4 * 1, c.header.begin() + 40 + 4 * 2), (Bytes{0, 0, 128, 0}));
  EXPECT_EQ(Bytes(c.header.begin() + 40 + 4 * 12, c.header.begin() + 40 + 4 * 13), (Bytes{255, 0, 0, 0}));
  EXPECT_EQ(c.header[40 + 4 * 100 + 1], 0);
  // Palette information 2 on a 4-bit image: the grey ramp 0, 16, ..., 240.
  c = capture_load(concat(pcx_header(5, 4, 4, 1, 1, 2, 2), {0x01, 0x23}));
  ASSERT_GE(c.result, 0);
  EXPECT_EQ(c.header[40 + 4 * 15], 240);
  EXPECT_EQ(c.header[40 + 4 * 15 + 2], 240);
}

TEST(PcxRead, PlanesMergeIntoFourBitPixels) {
  // 8 pixels; plane k has bit k of pixel x for the pixel values 0..7 (three planes) and 0..15
  // with a fourth plane; planes of 4 bits in a four-plane header read as 1-bit planes.
  for (auto [planes, bits] : {std::pair{3, 1}, {4, 1}, {4, 4}}) {
    SCOPED_TRACE(std::to_string(planes) + " planes of " + std::to_string(bits));
    const int values[8] = {0, 1, 2, 3, 4, 5, 6, 7 + (planes == 4 ? 8 : 0)};
    Bytes data;
    for (int k = 0; k < planes; ++k) {
      std::uint8_t b = 0;
      for (int x = 0; x < 8; ++x)
        if (values[x] & (1 << k)) b |= std::uint8_t(0x80 >> x);
      data.insert(data.end(), {b, 0x00});  // two bytes per plane line: padding behind
    }
    Capture c = capture_load(concat(pcx_header(5, bits, 8, 1, planes, 2), data));
    ASSERT_GE(c.result, 0);
    ASSERT_EQ(c.bits(), 4);
    for (int x = 0; x < 8; ++x) EXPECT_EQ(c.index(x, 0), values[x]) << x;
  }
}

TEST(PcxRead, LayoutsWithoutADibAndShortLinesAreRefused) {
  struct Case {
    int bits, planes, width, bytes_per_line;
  };
  for (const Case &k : {Case{2, 1, 8, 2}, Case{1, 2, 8, 1}, Case{8, 4, 4, 4}, Case{1, 1, 17, 2},
                        Case{8, 1, 88, 12}, Case{8, 3, 5, 4}, Case{8, 1, 4, 0}}) {
    Capture c = capture_load(concat(pcx_header(5, k.bits, k.width, 2, k.planes, k.bytes_per_line), Bytes(64, 0)));
    EXPECT_EQ(c.result, -3) << k.bits << " bits, " << k.planes << " planes";
    EXPECT_EQ(c.header_calls, 0);
  }
  Bytes short_header = pcx_header(5, 8, 4, 1, 1, 4);
  short_header.pop_back();
  EXPECT_EQ(load_bytes_as_file(short_header), -2);
}

// A PCX holds one image: asking it for a later page must not turn into a seek to the flagged
// position word, whatever the stream's position.
TEST(PcxRead, PageRequestsAreRefused) {
  const std::string name = scratch_path("page.pcx");
  Bytes file = concat(Bytes(128, 0), concat(pcx_header(5, 8, 4, 1, 1, 4), {1, 2, 3, 4}));
  write_file(name, file);
  OFSTRUCT of;
  HFILE f = OpenFile(name.c_str(), &of, OF_READ);
  ASSERT_NE(f, HFILE_ERROR);
  _llseek(f, 128, 0);
  EXPECT_EQ(pxv::open_pcx(0xC0000001u, raster_ignored, nullptr, header_ignored, f),
            PXV_ERR_PAGE);
  _lclose(f);
}

TEST(PcxRead, TruncatedDataGivesZeroRows) {
  Capture c = capture_load(concat(pcx_header(5, 8, 4, 3, 1, 4), {9, 9, 9, 9, 8}));
  ASSERT_GE(c.result, 0);
  EXPECT_EQ(c.row_numbers.size(), 3u);
  EXPECT_EQ(c.rows[1][0], 8);
  EXPECT_EQ(c.rows[1][1], 0);
  EXPECT_EQ(c.rows[2][3], 0);
}

TEST(PcxRead, MemoryLoadTakesTheTableFromTheStart) {
  // On the memory stream the seek from the end lands at the start: the 768 table bytes are the
  // header and the data. The file is padded so that reading them stays inside the block.
  Bytes file = concat(concat(pcx_header(5, 8, 4, 1, 1, 4), {5, 6, 7, 8}), trailer());
  file.resize(2048, 0);
  const int h = IMG_decompress_bitmap_mem(file.data(), 0);
  ASSERT_GE(h, 0);
  HandleDib d = read_handle(h);
  // Entry 0 = bytes 0..2 of the file (10, 5, 1) as red, green, blue.
  EXPECT_EQ(Bytes(d.header.begin() + 40, d.header.begin() + 43), (Bytes{1, 5, 10}));
  IMG_delete_bitmap(h);
}

Bytes dcx_with_pages(const std::vector<Bytes> &pages, bool end_entry = true) {
  Bytes f = {0xB1, 0x68, 0xDE, 0x3A};
  std::uint32_t at = 4 + 4 * std::uint32_t(pages.size() + (end_entry ? 1 : 0));
  for (const Bytes &p : pages) {
    f.insert(f.end(), {std::uint8_t(at), std::uint8_t(at >> 8), std::uint8_t(at >> 16), std::uint8_t(at >> 24)});
    at += std::uint32_t(p.size());
  }
  if (end_entry) f.insert(f.end(), {0, 0, 0, 0});
  for (const Bytes &p : pages) f = concat(f, p);
  return f;
}

TEST(DcxRead, PagesFromTheOffsetTable) {
  Bytes page0 = concat(pcx_header(5, 8, 3, 1, 3, 3), Bytes(9, 0x40));
  Bytes page1 = concat(pcx_header(5, 8, 2, 2, 3, 2), Bytes(12, 0x80));
  const std::string path = scratch_path("two.dcx");
  write_file(path, dcx_with_pages({page0, page1}));
  int h = load_page(path, 1);
  ASSERT_GE(h, 0);
  HandleDib d = read_handle(h);
  EXPECT_EQ(d.width, 2);
  EXPECT_EQ(d.height, 2);
  EXPECT_EQ(d.rows[0][0], 0x80);
  IMG_delete_bitmap(h);
  EXPECT_EQ(load_page(path, 2), -2);
  // A table that runs into the end of the file without its 0 entry.
  write_file(path, Bytes{0xB1, 0x68, 0xDE, 0x3A, 8, 0});
  EXPECT_EQ(load_page(path, 1), -2);
  // A wrong DCX value (the reader called directly: detection would not pick it).
  write_file(path, concat(Bytes{0xB1, 0x68, 0xDE, 0x3B}, dcx_with_pages({page0})));
  OFSTRUCT of;
  HFILE f = OpenFile(path.c_str(), &of, OF_READ);
  Capture unused;
  EXPECT_EQ(pxv::open_dcx(0, nullptr, &unused, nullptr, f), -3);
  _lclose(f);
}

TEST(PcxWrite, LineCoding) {
  const std::string path = scratch_path("raster.bin");
  auto coded = [&](const Bytes &line) {
    OFSTRUCT of;
    HFILE f = OpenFile(path.c_str(), &of, OF_CREATE);
    EXPECT_EQ(pxv::save_pcx_raster(f, line.data(), int(line.size())), 0);
    _lclose(f);
    return read_file(path);
  };
  EXPECT_EQ(coded(Bytes(70, 0)), (Bytes{0xFF, 0x00, 0xC7, 0x00}));
  EXPECT_EQ(coded({0xC5}), (Bytes{0xC1, 0xC5}));
  EXPECT_EQ(coded({0x40}), (Bytes{0x40}));
  EXPECT_EQ(coded({1, 1, 2, 0xC0, 0xC0, 3}), (Bytes{0xC2, 1, 2, 0xC2, 0xC0, 3}));
  // A short write gives -10.
  OFSTRUCT of;
  HFILE f = OpenFile(path.c_str(), &of, OF_CREATE);
  pxv_platform::cap_file_writes(f, 1);
  const Bytes line = {1, 2, 3};
  EXPECT_EQ(pxv::save_pcx_raster(f, line.data(), 3), -10);
  _lclose(f);
}

Bytes save_mem(int handle, int type) {
  Bytes out(1 << 20, 0);
  EXPECT_EQ(IMG_save_bitmap_mem(handle, out.data(), type), 0);
  return out;
}

TEST(PcxWrite, HeaderByBitCount) {
  struct Case {
    int bits, width, version, bits_per_plane, planes, bytes_per_line, palette_info;
  };
  for (const Case &k : {Case{1, 9, 2, 1, 1, 2, 1}, Case{4, 9, 2, 1, 4, 2, 1}, Case{8, 9, 5, 8, 1, 9, 1},
                        Case{24, 5, 3, 8, 3, 5, 0}}) {
    SCOPED_TRACE(k.bits);
    PackedDib dib = make_packed_dib(k.width, 3, k.bits);
    draw_test_picture(dib);
    const int h = IMG_create_handle(dib.bytes.data());
    Bytes p = save_mem(h, PXV_SAVE_PCX);
    IMG_delete_bitmap(h);
    // Bytes 0-3, the last column and row, the resolution fields, planes, line bytes, palette info.
    EXPECT_EQ((Bytes{p[0], p[1], p[2], p[3], p[8], p[10], p[12], p[14], p[65], p[66], p[68]}),
              (Bytes{10, std::uint8_t(k.version), 1, std::uint8_t(k.bits_per_plane), std::uint8_t(k.width - 1),
                     2, std::uint8_t(k.width), 3, std::uint8_t(k.planes), std::uint8_t(k.bytes_per_line),
                     std::uint8_t(k.palette_info)}));
    if (k.bits == 1) {
      EXPECT_EQ(p[16 + 3], dib.bytes[40 + 4 + 2]);  // entry 1 red
      EXPECT_EQ(Bytes(p.begin() + 22, p.begin() + 64), Bytes(42, 0));
    } else if (k.bits == 4) {
      EXPECT_EQ(p[16 + 3 * 15 + 2], dib.bytes[40 + 4 * 15]);  // entry 15 blue
    } else {
      EXPECT_EQ(Bytes(p.begin() + 16, p.begin() + 64), Bytes(48, 0));
    }
  }
}

// Pixels of written files are checked by Pillow and ImageMagick reading them back.
TEST(PcxWrite, EightBitTrailer) {
  PackedDib dib = make_packed_dib(47, 33, 8);
  draw_test_picture(dib);
  const int h = IMG_create_handle(dib.bytes.data());
  const std::string path = scratch_path("trailer.pcx");
  ASSERT_EQ(IMG_save_bitmap(h, path.c_str(), PXV_SAVE_PCX), 0);
  IMG_delete_bitmap(h);
  const Bytes file = read_file(path);
  ASSERT_GT(file.size(), 769u);
  EXPECT_EQ(file[file.size() - 769], 0x0C);
  EXPECT_EQ(file[file.size() - 768 + 3 * 5], dib.bytes[40 + 4 * 5 + 2]);
}

// DCX saving writes "temp.pcx" in the current directory: each test works in its own folder.
class DcxWrite : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = getcwd(nullptr, 0);
    dir_ = scratch_path("dcx-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    ASSERT_TRUE(run("mkdir -p '" + dir_ + "'"));
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  void TearDown() override {
    EXPECT_EQ(chdir(old_), 0);
    free(old_);
  }
  char *old_ = nullptr;
  std::string dir_;
};

std::uint32_t le32(const Bytes &b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}

TEST_F(DcxWrite, PagesAppendThroughTheTable) {
  PackedDib dib = make_packed_dib(20, 10, 8);
  draw_test_picture(dib);
  const int h = IMG_create_handle(dib.bytes.data());
  ASSERT_EQ(IMG_save_bitmap(h, "pages.dcx", -1), 0);
  Bytes f = read_file("pages.dcx");
  EXPECT_EQ(le32(f, 0), 0x3ADE68B1u);
  EXPECT_EQ(le32(f, 4), 404u);
  EXPECT_EQ(le32(f, 8), 0u);
  EXPECT_EQ(f[404], 10);
  const std::size_t first_length = f.size();
  EXPECT_FALSE(file_exists("temp.pcx"));
  ASSERT_EQ(IMG_save_bitmap(h, "pages.dcx", PXV_SAVE_DCX), 0);
  ASSERT_EQ(IMG_save_bitmap(h, "pages.dcx", PXV_SAVE_DCX), 0);
  f = read_file("pages.dcx");
  EXPECT_EQ(le32(f, 8), first_length);
  EXPECT_EQ(le32(f, 12), first_length + (first_length - 404));
  EXPECT_EQ(le32(f, 16), 0u);  // the pages' pixels are checked by ImageMagick
  IMG_delete_bitmap(h);
}

TEST_F(DcxWrite, AnotherLongerFileIsReplacedWhole) {
  PackedDib dib = make_packed_dib(20, 10, 8);
  draw_test_picture(dib);
  const int h = IMG_create_handle(dib.bytes.data());
  ASSERT_EQ(IMG_save_bitmap(h, "alone.dcx", PXV_SAVE_DCX), 0);
  const std::size_t one_page = read_file("alone.dcx").size();
  write_file("over.dcx", Bytes(20000, 0x55));
  ASSERT_EQ(IMG_save_bitmap(h, "over.dcx", PXV_SAVE_DCX), 0);
  EXPECT_EQ(read_file("over.dcx").size(), one_page) << "no stale tail behind the first page";
  ASSERT_EQ(IMG_save_bitmap(h, "over.dcx", PXV_SAVE_DCX), 0);
  EXPECT_EQ(le32(read_file("over.dcx"), 8), one_page);
  IMG_delete_bitmap(h);
}

TEST_F(DcxWrite, AFullTableRefusesThe101stPage) {
  PackedDib dib = make_packed_dib(8, 2, 1);
  const int h = IMG_create_handle(dib.bytes.data());
  for (int i = 0; i < 100; ++i) ASSERT_EQ(IMG_save_bitmap(h, "full.dcx", PXV_SAVE_DCX), 0) << i;
  const Bytes before = read_file("full.dcx");
  EXPECT_NE(le32(before, 400), 0u);
  EXPECT_LT(IMG_save_bitmap(h, "full.dcx", PXV_SAVE_DCX), 0);
  EXPECT_EQ(read_file("full.dcx"), before);
  EXPECT_FALSE(file_exists("temp.pcx"));
  IMG_delete_bitmap(h);
}

TEST_F(DcxWrite, FailuresRemoveTheTemporaryFile) {
  PackedDib dib = make_packed_dib(64, 64, 24);
  draw_test_picture(dib);
  const int h = IMG_create_handle(dib.bytes.data());
  // The output accepts 600 bytes: the table goes in, the page does not.
  pxv_platform::cap_next_file_writes(-1);
  OFSTRUCT of;
  HFILE out = OpenFile("cut.dcx", &of, OF_CREATE);
  pxv_platform::cap_file_writes(out, 600);
  EXPECT_EQ(IMG_save_bitmap_fd(h, out, PXV_SAVE_DCX), -10);
  _lclose(out);
  EXPECT_FALSE(file_exists("temp.pcx"));
  // The temporary file itself cannot take the page.
  pxv_platform::cap_next_file_writes(100);
  EXPECT_EQ(IMG_save_bitmap(h, "cut2.dcx", PXV_SAVE_DCX), -10);
  pxv_platform::cap_next_file_writes(-1);
  EXPECT_FALSE(file_exists("temp.pcx"));
  IMG_delete_bitmap(h);
}

}  // namespace
}  // namespace pxv_test
