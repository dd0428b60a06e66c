// IMG_save_clipboard: the clipboard's DIB written as it stands (or widened to 24 bits), its
// device bitmap read through GDI with the system palette as table, and the refusals that leave
// no file. Pillow and ImageMagick read what is written.
#include <gtest/gtest.h>

#include <tuple>

#include "core/bytes.h"
#include "devices.h"
#include "peers.h"

namespace {

using pxv_test::Bytes;
using pxv_test::operator+;
using pxv_test::Rgb;

class Clipboard : public pxv_test::HandleTest {
 protected:
  std::string out = pxv_test::scratch_path("clip.bmp");
  void SetUp() override { std::remove(out.c_str()); }
  void TearDown() override { pxv_test::set_clipboard({}), HandleTest::TearDown(); }
  // Saves the clipboard to `out`; the file as written, empty when there is none.
  Bytes save(int expected = 1) {
    EXPECT_EQ(IMG_save_clipboard(out.c_str(), nullptr), expected);
    EXPECT_TRUE(OpenClipboard(nullptr)) << "left open";
    CloseClipboard();
    return pxv_test::read_file(out);
  }
  // Pillow's and ImageMagick's reading of `out`, which must agree with `expected`.
  void expect_peers_read(const Rgb &expected) {
    for (const std::string &peer : {pxv_test::kPillow, std::string("/usr/bin/convert {in} -depth 8 ppm:{out}")}) {
      Rgb got;
      ASSERT_TRUE(pxv_test::peer_decode(peer, out, &got)) << peer;
      EXPECT_TRUE(got == expected) << peer;
    }
  }
};

TEST_F(Clipboard, ThePackedDibIsPreferredAndWrittenAsItStands) {
  pxv_test::PackedDib dib = pxv_test::make_packed_dib(37, 5, 8, 16);
  pxv_test::draw_test_picture(dib);
  pxv_test::set_clipboard({{CF_BITMAP, CreateBitmap(3, 3, 1, 24, nullptr)}, {CF_DIB, pxv_test::global_copy(dib.bytes)}});
  EXPECT_EQ(save(), pxv_test::bmp_file_header(118 + 5 * 40, 118) + dib.bytes);  // 16 entries: bits at 54 + 64

  // A 124-byte header is written as the 40-byte one it starts with.
  pxv_test::PackedDib small = pxv_test::make_packed_dib(9, 4, 4);
  pxv_test::draw_test_picture(small);
  Bytes v5 = small.bytes;
  v5.insert(v5.begin() + 40, 84, 0x5A);
  pxv::put_le32(v5.data(), 124);
  pxv_test::set_clipboard({{CF_DIB, pxv_test::global_copy(v5)}});
  EXPECT_EQ(save(), pxv_test::bmp_file_header(118 + 4 * 8, 118) + small.bytes);
}

// 16- and 32-bit BMPs as ImageMagick (124-byte headers, bit fields) and Pillow (40 bytes, BI_RGB)
// write them, and the bit fields behind a 40-byte header, become 24-bit files of the same
// colours: each channel scaled to 0..255 as Pillow scales it.
TEST_F(Clipboard, DirectColourDibsBecomeTwentyFourBits) {
  const std::string ppm = pxv_test::scratch_path("direct.ppm");
  pxv_test::write_ppm(ppm, pxv_test::handle_rgb(pxv_test::picture_handle(33, 7, 24)));
  std::vector<std::string> sources;
  for (std::string subtype : {"RGB565 -alpha off", "RGB555 -alpha off", "ARGB8888 -alpha set"}) {
    sources.push_back(pxv_test::scratch_path("im_" + subtype.substr(0, subtype.find(' ')) + ".bmp"));
    ASSERT_TRUE(pxv_test::run_peer("/usr/bin/convert {in} -define bmp:subtype=" + subtype + " {out}", ppm, sources.back()));
  }
  sources.push_back(pxv_test::scratch_path("pillow32.bmp"));
  ASSERT_TRUE(pxv_test::run_pillow("Image.open(sys.argv[1]).convert('RGBA').save(sys.argv[2])", {ppm, sources.back()}));
  std::vector<Bytes> dibs;
  for (const std::string &file : sources) {
    const Bytes bytes = pxv_test::read_file(file);
    dibs.emplace_back(bytes.begin() + 14, bytes.end());
    ASSERT_TRUE(pxv::get_le16(bytes.data() + 28) % 16 == 0) << file << " is not 16 or 32 bits";
  }
  // The first one again with its masks behind a 40-byte header.
  Bytes short_header(dibs[0].begin(), dibs[0].begin() + 52);
  short_header.insert(short_header.end(), dibs[0].begin() + 124, dibs[0].end());
  pxv::put_le32(short_header.data(), 40);
  dibs.push_back(short_header);
  sources.push_back(sources[0]);
  std::vector<Rgb> originals;
  ASSERT_TRUE(pxv_test::peer_decode_all(pxv_test::kPillow, sources, &originals));
  for (std::size_t i = 0; i < dibs.size(); ++i) {
    pxv_test::set_clipboard({{CF_DIB, pxv_test::global_copy(dibs[i])}});
    const Bytes written = save();
    ASSERT_TRUE(written.size() == 54 + 7 * 100 && pxv::get_le16(written.data() + 28) == 24) << sources[i];
    expect_peers_read(originals[i]);
  }
}

TEST_F(Clipboard, DeviceBitmapsTakeTheSystemPaletteAsTheirTable) {
  // 24 bits: no table, the bitmap's own pixels. 8 bits on the palette screen: the 256 system
  // entries, which the bitmap's indices mean.
  const int picture = pxv_test::picture_handle(21, 9, 24);
  for (int depth : {24, 8}) {
    pxv_test::Screen screen(30, 20, depth);
    HBITMAP ddb = IMG_dib_to_ddb(picture, 21, 9);
    const Rgb shown = pxv_test::bitmap_pixels(screen.dc, ddb, 21, 9);
    pxv_test::set_clipboard({{CF_BITMAP, ddb}});
    EXPECT_EQ(pxv::get_le32(save().data() + 10), depth == 24 ? 54u : 54u + 1024);
    expect_peers_read(shown);
  }
  // 1 and 4 bits on the screen left at 8 bits get the first 2 or 16 system entries, whatever the bitmap showed: white
  // (1) comes out as entry 1, dark red; VGA bright red (9) as entry 9, sky blue.
  const std::uint8_t ones[2] = {0xC0, 0}, nines[2] = {0x99, 0};
  for (auto [bits, row, colour] : {std::tuple{1, ones, 0x800000u}, std::tuple{4, nines, 0xA6CAF0u}}) {
    pxv_test::set_clipboard({{CF_BITMAP, CreateBitmap(2, 1, 1, bits, row)}});
    save();
    Rgb got;
    EXPECT_TRUE(pxv_test::peer_decode(pxv_test::kPillow, out, &got) && pxv_test::rgb_at(got, 1, 0) == colour) << bits;
  }
  // Without a system palette the table stays black.
  PxvSetScreen(1024, 768, 24);
  pxv_test::set_clipboard({{CF_BITMAP, CreateBitmap(2, 1, 1, 1, ones)}});
  EXPECT_EQ(pxv_test::part(save(), 54, 8), Bytes(8, 0));
}

TEST_F(Clipboard, RefusalsMakeNoFileAndCloseTheClipboard) {
  EXPECT_TRUE(save(PXV_ERR_GDI).empty()) << "neither format";
  pxv_test::PackedDib dib = pxv_test::make_packed_dib(6, 3, 8);
  pxv_test::set_clipboard({{CF_DIB, pxv_test::global_copy(dib.bytes)}});
  HWND other = PxvCreateWindow(10, 10);
  ASSERT_TRUE(OpenClipboard(other));
  EXPECT_TRUE(IMG_save_clipboard(out.c_str(), nullptr) == PXV_ERR_GDI && !pxv_test::file_exists(out)) << "open for another window";
  CloseClipboard();
  PxvDestroyWindow(other);

  // RLE8, top-down, no width, an OS/2 header, more colours than 8 bits hold, 2 bits; the last row
  // cut short; not even a header.
  for (auto [at, size, value] : {std::tuple{16, 4, 1u}, {8, 4, std::uint32_t(-3)}, {4, 4, 0u}, {0, 4, 12u}, {32, 4, 257u}, {14, 2, 2u},
                                 {-1, 0, 0u}, {-2, 0, 0u}}) {
    Bytes bytes = at >= 0 ? pxv_test::with_field(dib.bytes, std::size_t(at), size, value) : dib.bytes;
    bytes.resize(at == -1 ? bytes.size() - 1 : at == -2 ? 39 : bytes.size());
    pxv_test::set_clipboard({{CF_DIB, pxv_test::global_copy(bytes)}});
    EXPECT_TRUE(save(PXV_ERR_GDI).empty()) << at;
  }
  pxv_test::set_clipboard({{CF_DIB, pxv_test::global_copy(dib.bytes)}});
  EXPECT_TRUE(IMG_save_clipboard(pxv_test::scratch_path("no/such/folder.bmp").c_str(), nullptr) == PXV_ERR_NO_MEMORY && OpenClipboard(nullptr)) << "closed again";
  CloseClipboard();
}

}  // namespace
