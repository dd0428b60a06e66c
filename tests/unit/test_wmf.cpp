// The metafile reader's walk, header checks and RLE records; the written file's placeable header.
#include <gtest/gtest.h>

#include <array>

#include "core/bytes.h"
#include "core/dib.h"
#include "core/formats.h"
#include "core/img_util.h"
#include "support.h"

namespace pxv_test {
namespace {

// A metafile without placeable header: the records given, then a StretchDIB of a 16-entry gray
// DIB and the end record.
Bytes metafile(int width, int height, int bits, std::uint32_t compression, const Bytes &data,
               std::uint32_t size = 40, std::uint32_t clr_used = 16, const Bytes &before = {}) {
  Bytes f(18, 0);
  f.insert(f.end(), before.begin(), before.end());
  Bytes dib(22 + 40, 0);
  pxv::fill_dib_header(&dib[22], width, height, bits, 0);
  pxv::put_le32(&dib[22 + pxv::kBiSize], size);
  pxv::put_le32(&dib[22 + pxv::kBiCompression], compression);
  pxv::put_le32(&dib[22 + pxv::kBiClrUsed], clr_used);
  for (std::uint8_t i = 0; i < 16; ++i) dib.insert(dib.end(), {i, i, i, 0});
  dib.insert(dib.end(), data.begin(), data.end());
  dib.resize((dib.size() + 1) / 2 * 2);
  const std::size_t words = 3 + dib.size() / 2;
  f.insert(f.end(), {std::uint8_t(words), std::uint8_t(words >> 8), 0, 0, 0x43, 0x0F});  // StretchDIB
  f.insert(f.end(), dib.begin(), dib.end());
  f.insert(f.end(), {3, 0, 0, 0, 0, 0});  // the end record
  pxv::put_le32(&f[6], std::uint32_t(f.size() / 2));
  return f;
}

int read_wmf(const Bytes &file, Capture *c, std::uint32_t position = 0) { return read_memory(pxv::open_wmf, file, c, position); }

TEST(WmfReader, WalkAndHeaderChecks) {
  const Bytes rows(8, 0x11);
  const Bytes bitblt = {8, 0, 0, 0, 0x22, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Capture c;
  EXPECT_TRUE(read_wmf(metafile(3, 2, 4, 0, rows, 40, 16, bitblt), &c) == 1 && c.row_numbers == (std::vector<int>{1, 0})) << "BitBlt passed over";
  EXPECT_EQ(read_wmf(metafile(3, 2, 4, 0, rows), &c, 0xC0000001u), PXV_ERR_PAGE);
  // Header size, height, RLE8 at 4 bits, more colours than 4 bits hold: refused before the
  // header callback.
  for (auto [height, compression, size, used] : {std::array{2u, 0u, 12u, 16u}, {0xFFFFFFFFu, 0u, 40u, 16u},
                                                  {2u, 1u, 40u, 16u}, {2u, 0u, 40u, 17u}}) {
    Capture refused;
    EXPECT_TRUE(read_wmf(metafile(3, int(height), 4, compression, rows, size, used), &refused) == PXV_ERR_DATA && refused.header_calls == 0);
  }
}

TEST(WmfReader, RleDeltasFullRowsAndRunsAfterAbsoluteRuns) {
  // RLE8: a delta moves five columns on the same row; the run that then fills the row delivers
  // it, and the end of line after it is skipped, so the end of bitmap adds nothing.
  Capture c8;
  ASSERT_EQ(read_wmf(metafile(10, 2, 8, 1, {3, 7, 0, 2, 5, 0, 2, 9, 0, 0, 0, 1}), &c8), 1);
  EXPECT_TRUE(c8.row_numbers == std::vector<int>{1} && c8.rows[1] == (Bytes{7, 7, 7, 0, 0, 0, 0, 0, 9, 9, 0, 0}));
  // RLE4: a row filled exactly, then 00 00 skipped; after an absolute run, 00 02 66 is two
  // pixels of 6, not a delta.
  Capture c4;
  ASSERT_EQ(read_wmf(metafile(5, 2, 4, 2, {5, 0x12, 0, 0, 0, 3, 0x34, 0x50, 0, 2, 0x66, 0, 1}), &c4), 1);
  EXPECT_TRUE(c4.row_numbers == (std::vector<int>{1, 0}) && c4.rows == (std::vector<Bytes>{{0x34, 0x56, 0x60, 0}, {0x12, 0x12, 0x10, 0}}));
}

// (Every bit count is read back by this library and libwmf in the written-files oracle test.)
TEST(WmfWriter, PlaceableHeaderChecksum) {
  const Bytes f = save_mem(picture_handle(47, 33, 8), PXV_SAVE_WMF);
  std::uint32_t checksum = 0;
  for (int i = 0; i < 20; i += 2) checksum ^= pxv::get_le16(&f[std::size_t(i)]);
  EXPECT_TRUE(pxv::get_le16(&f[20]) == checksum && pxv::get_le32(&f[0]) == 0x9AC6CDD7u);
  delete_all_handles();
}

}  // namespace
}  // namespace pxv_test
