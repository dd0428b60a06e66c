// Injected failures on real loads, saves and operations: every allocation (and for the device
// calls every GDI object creation) failing in turn, and every writer's output cut short. Each
// must end with its documented code, leave the images that already exist intact, and leave no
// work block behind.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "core/image.h"
#include "core/img_util.h"
#include "devices.h"
#include "platform/testing.h"
#include "support.h"

namespace {

using pxv_test::Capture;
using pxv_test::read_handle;

// Runs `call` with the n-th allocation, or GDI object creation, failing for n = 1, 2, ... until
// the failure is no longer reached, and then expects 0. No run may leave a work block behind;
// `failed(n, rc)` checks what each failed run answered and left.
void fail_in_turn(const std::function<int()> &call, const std::function<void(unsigned, int)> &failed, bool gdi = false) {
  for (unsigned n = 1; n < 200; ++n) {
    const std::uint64_t start = pxv_platform::allocation_count();
    gdi ? pxv_platform::fail_gdi_creation(n) : pxv_platform::fail_allocation(n);
    const int rc = call();
    pxv_platform::fail_allocation(0), pxv_platform::fail_gdi_creation(0);
    EXPECT_EQ(pxv::img_work_blocks_in_use(), 0) << (gdi ? "GDI object " : "allocation ") << n;
    // GDI creations are not counted: a call that succeeds has gone past the failing one.
    if (gdi ? rc >= 0 : pxv_platform::allocation_count() - start < n) {
      EXPECT_EQ(rc, 0) << "with no failure reached";
      return;
    }
    failed(n, rc);
  }
  ADD_FAILURE() << "still failing at the 200th";
}

struct Format {
  int type, bits;
};

// Every type a writer has landed for, at a bit count it takes.
const Format kFormats[] = {{PXV_SAVE_BMP, 8},      {PXV_SAVE_BMP_RLE, 4},      {PXV_SAVE_BMP_RLE, 8},
                            {PXV_SAVE_TIFF, 24},    {PXV_SAVE_TIFF_LZW, 8},     {PXV_SAVE_TIFF_G4, 1},
                            {PXV_SAVE_TIFF_HUFFMAN, 1}, {PXV_SAVE_TIFF_G3, 1}, {PXV_SAVE_GIF, 8},
                            {PXV_SAVE_PCX, 8},      {PXV_SAVE_PCX, 24},         {PXV_SAVE_DCX, 4},
                            {PXV_SAVE_JPEG, 24},    {PXV_SAVE_PICT, 8},         {PXV_SAVE_PICT, 24},
                            {PXV_SAVE_TGA, 8},      {PXV_SAVE_TGA, 24},         {PXV_SAVE_EPS, 4},
                            {PXV_SAVE_EPS, 24},     {PXV_SAVE_WPG, 1},          {PXV_SAVE_WPG, 8},
                            {PXV_SAVE_WMF, 4},      {PXV_SAVE_WMF, 24}};

class Faults : public ::testing::TestWithParam<Format> {
 protected:
  void TearDown() override { pxv_test::delete_all_handles(); }
};

// The types whose files this library loads back: all but EPS, written without a binary header.
class LoadFaults : public Faults {};

TEST_P(LoadFaults, EveryAllocationOfALoadFailingInTurn) {
  const Format f = GetParam();
  const int source = pxv_test::picture_handle(37, 23, f.bits);
  const std::string file = pxv_test::scratch_path("fault_" + std::to_string(f.type) + ".img");
  std::remove(file.c_str());
  ASSERT_EQ(IMG_save_bitmap(source, file.c_str(), f.type), 0);
  const Capture before = read_handle(source);
  // Two documented degradations succeed: the GIF reader answers its header callback's result
  // when its decoding buffers cannot be had, and the TIFF reader keeps the default table of a
  // palette image when its colour map buffer cannot be had.
  const bool degrades = f.type == PXV_SAVE_GIF || (f.type == PXV_SAVE_TIFF_LZW && f.bits == 8);
  fail_in_turn(
      [&] {
        const int loaded = IMG_decompress_bitmap(file.c_str());
        return loaded < 0 ? loaded : IMG_delete_bitmap(loaded);
      },
      [&](unsigned n, int rc) {
        EXPECT_TRUE(rc == PXV_ERR_NO_MEMORY || (degrades && rc == 0)) << "allocation " << n << ": " << rc;
        ASSERT_TRUE(read_handle(source) == before) << "allocation " << n;
      });
}

TEST_P(Faults, EveryWriterReportsAShortWrite) {
  const Format f = GetParam();
  int source = pxv_test::picture_handle(37, 23, f.bits);
  std::string file = pxv_test::scratch_path("short_" + std::to_string(f.type) + ".img");
  std::remove(file.c_str());
  ASSERT_EQ(IMG_save_bitmap(source, file.c_str(), f.type), 0);
  const long size = static_cast<long>(pxv_test::read_file(file).size());
  // Cuts in the first headers, in a BMP's info header (30), in a GIF's image descriptor behind
  // a full table (785), halfway, and in the last write (a trailer, table or end code).
  for (long cap : {0L, 1L, 13L, 30L, 785L, size / 2, size - 1}) {
    if (cap >= size) continue;
    std::remove(file.c_str());
    std::remove("temp.pcx");
    pxv_platform::cap_next_file_writes(cap);
    int rc = IMG_save_bitmap(source, file.c_str(), f.type);
    pxv_platform::cap_next_file_writes(-1);
    // The JPEG and EPS writers do not check their writes, and the RLE writer not that of its
    // closing end-of-bitmap code: all report success, as documented.
    const bool unchecked = f.type == PXV_SAVE_JPEG || f.type == PXV_SAVE_EPS || (f.type == PXV_SAVE_BMP_RLE && cap >= size - 2);
    EXPECT_EQ(rc, unchecked ? 0 : PXV_ERR_SHORT_WRITE)
        << "type " << f.type << " cut at " << cap << " of " << size;
    EXPECT_EQ(pxv::img_work_blocks_in_use(), 0);
  }
}

TEST_P(Faults, EveryAllocationOfASaveFailingInTurn) {
  const Format f = GetParam();
  // The RLE BMP, PCX, DCX and GIF writers report some lost buffers as a short write.
  const bool as_short_write =
      f.type == PXV_SAVE_BMP_RLE || f.type == PXV_SAVE_PCX || f.type == PXV_SAVE_DCX || f.type == PXV_SAVE_GIF;
  const int source = pxv_test::picture_handle(37, 23, f.bits);
  const Capture before = read_handle(source);
  const std::string file = pxv_test::scratch_path("alloc_" + std::to_string(f.type) + ".img");
  fail_in_turn(
      [&] {
        std::remove(file.c_str());
        return IMG_save_bitmap(source, file.c_str(), f.type);
      },
      [&](unsigned n, int rc) {
        EXPECT_EQ(rc, as_short_write && rc == PXV_ERR_SHORT_WRITE ? rc : PXV_ERR_NO_MEMORY) << "allocation " << n;
      });
  EXPECT_TRUE(read_handle(source) == before);
}

std::string name(const ::testing::TestParamInfo<Format> &info) {
  return "type" + std::to_string(info.param.type) + "_" + std::to_string(info.param.bits) + "bit";
}

INSTANTIATE_TEST_SUITE_P(Formats, Faults, ::testing::ValuesIn(kFormats), name);
std::vector<Format> loadable() {
  std::vector<Format> all(std::begin(kFormats), std::end(kFormats));
  std::erase_if(all, [](const Format &f) { return f.type == PXV_SAVE_EPS; });
  return all;
}
INSTANTIATE_TEST_SUITE_P(Formats, LoadFaults, ::testing::ValuesIn(loadable()), name);

// Adding a page with its writes cut at every byte in turn, then every allocation failing in turn:
// the file stays byte for byte as it was, but for a cut inside the 4-byte link written last (a
// full disk never cuts it, as it overwrites bytes the file has), until the save succeeds.
class AppendFaults : public Faults {};

TEST_P(AppendFaults, AFailedAppendLeavesTheFileAsItWas) {
  const Format f = GetParam();
  const int source = pxv_test::picture_handle(13, 7, f.bits);
  const std::string file = pxv_test::scratch_path("append_" + std::to_string(f.type) + ".img");
  std::remove(file.c_str());
  const int first = IMG_save_bitmap(source, file.c_str(), f.type);
  const pxv_test::Bytes one_page = pxv_test::read_file(file);
  ASSERT_TRUE(first == 0 && IMG_save_bitmap(source, file.c_str(), f.type) == 0);
  const pxv_test::Bytes two_pages = pxv_test::read_file(file);
  auto append = [&] {
    pxv_test::write_file(file, one_page);
    return IMG_save_bitmap(source, file.c_str(), f.type);
  };
  std::int64_t cap = 0, changed = -1;
  for (; cap < 4096; ++cap) {
    pxv_platform::cap_next_file_writes(cap);
    const int rc = append();
    pxv_platform::cap_next_file_writes(-1);
    if (rc == 0) break;
    EXPECT_EQ(rc, PXV_ERR_SHORT_WRITE) << "cut at " << cap;
    if (changed < 0 && pxv_test::read_file(file) != one_page) changed = cap;
  }
  EXPECT_TRUE(changed < 0 || changed >= cap - 3) << "a cut at " << changed << " changed the file";
  EXPECT_EQ(pxv_test::read_file(file), two_pages);
  fail_in_turn(append, [&](unsigned n, int failed) {
    ASSERT_TRUE(failed < 0 && pxv_test::read_file(file) == one_page) << "allocation " << n << ": " << failed;
  });
  EXPECT_EQ(pxv_test::read_file(file), two_pages);
}

const Format kAppending[] = {{PXV_SAVE_TIFF, 24}, {PXV_SAVE_TIFF_HUFFMAN, 1}, {PXV_SAVE_TIFF_G3, 1},
                             {PXV_SAVE_TIFF_G4, 1}, {PXV_SAVE_DCX, 4}};
INSTANTIATE_TEST_SUITE_P(Formats, AppendFaults, ::testing::ValuesIn(kAppending), name);

using OperationFaults = pxv_test::HandleTest;

// The colour and processing operations take every block before their first row: each
// allocation failing in turn answers -1 and leaves the DIB, the record, the crop rectangle and
// the count of blocks as they were, except that a quarter turn whose mirror fails after the
// transposition stays transposed, as documented.
TEST_F(OperationFaults, EveryAllocationOfAnOperationFailingInTurn) {
  static const PALETTEENTRY host[256] = {};
  struct Op {
    const char *name;
    int bits;
    std::function<int(int)> run;
    bool mirrors_after_transposing = false;
  };
  const Op ops[] = {
      {"mediancut", 24, [](int h) { return IMG_mediancut_color(h, nullptr, 0); }}, {"popularity", 24, [](int h) { return IMG_popularity_color(h, nullptr, 0); }},
      {"gray", 24, [](int h) { return IMG_color_gray(h, nullptr, 0); }}, {"map", 24, [](int h) { return IMG_map_to_palette(h, host); }},
      {"bayer mono", 24, [](int h) { return IMG_bayer_mono(h, nullptr, 0); }}, {"halftone", 24, [](int h) { return IMG_halftone_mono(h, nullptr, 0); }},
      {"diffusion mono", 24, [](int h) { return IMG_diffusion_mono(h, nullptr, 0); }}, {"bayer colour", 24, [](int h) { return IMG_bayer_color(h, nullptr, 0); }},
      {"diffusion colour", 24, [](int h) { return IMG_diffusion_color(h, nullptr, 0); }}, {"dither to palette", 24, [](int h) { return IMG_dither_to_palette(h, host); }},
      {"rotate 90", 4, [](int h) { return IMG_rotate_bitmap(h, 90, nullptr, 0); }, true}, {"rotate 270", 1, [](int h) { return IMG_rotate_bitmap(h, 270, nullptr, 0); }, true},
      {"rotate 180", 24, [](int h) { return IMG_rotate_bitmap(h, 180, nullptr, 0); }}, {"resize", 8, [](int h) { return IMG_resize_bitmap(h, 29, 3, nullptr, 0); }},
      {"set_lut", 8, [](int h) { return IMG_set_lut(h, 20, 3, nullptr, 0); }}, {"sharpen", 24, [](int h) { return IMG_sharpen_bitmap(h, 64); }},
      {"flip x", 4, [](int h) { return IMG_flip_bitmapx(h, nullptr, 0); }}, {"flip y", 24, [](int h) { return IMG_flip_bitmapy(h, nullptr, 0); }},
      {"invert", 8, [](int h) { return IMG_invert_bitmap(h, nullptr, 0); }},
      {"24 to 8", 24, IMG_24_to_8}};
  auto picture = [](int bits) {
    const int h = pxv_test::picture_handle(13, 7, bits);
    IMG_set_croprect(h, 1, 2, 3, 4);
    return h;
  };
  auto state = [](int h) { return std::tuple(read_handle(h), pxv_test::crop_rect(h), pxv::live_image(h)->row_bytes); };
  for (const Op &op : ops) {
    SCOPED_TRACE(op.name);
    int h = picture(op.bits);
    const auto before = state(h);
    const pxv::image_object record = *pxv::live_image(h);
    // What a mirror's failure leaves: the transposition, and how many allocations it makes.
    const int transposed = picture(op.bits);
    const std::uint64_t start = pxv_platform::allocation_count();
    ASSERT_EQ(IMG_rotate_bitmap(transposed, 0, nullptr, 0), 0);
    const std::uint64_t transposing = pxv_platform::allocation_count() - start;
    const auto turned = state(transposed);
    const std::size_t blocks = pxv_platform::live_blocks();
    fail_in_turn([&] { return op.run(h); }, [&](unsigned n, int rc) {
      EXPECT_TRUE(rc == PXV_ERR_NO_MEMORY && pxv_platform::live_blocks() == blocks) << "allocation " << n;
      const bool left_transposed = op.mirrors_after_transposing && n > transposing;
      const pxv::image_object *now = pxv::live_image(h);
      EXPECT_TRUE(now->dib == nullptr && now->saved_palette == record.saved_palette && (left_transposed || now->dib_handle == record.dib_handle));
      ASSERT_TRUE(state(h) == (left_transposed ? turned : before)) << "allocation " << n;
      if (left_transposed) {  // back to the start for the next allocation
        IMG_delete_bitmap(h);
        ASSERT_EQ(picture(op.bits), h);
      }
    });
    IMG_delete_bitmap(transposed);
    IMG_delete_bitmap(h);
  }
}

// The file variants write nothing when a block cannot be had and report a cut write; in place,
// a failure before the first row leaves the file as it was.
TEST_F(OperationFaults, TheFileVariantsFailCleanly) {
  static const PALETTEENTRY host[16] = {};
  const std::string in = pxv_test::save_bmp(pxv_test::picture_handle(13, 7, 24), "variant_in.bmp");
  const std::string out = pxv_test::scratch_path("variant_out.bmp");
  const pxv_test::Bytes source = pxv_test::read_file(in);
  struct Variant {
    pxv_test::FileOp op;
    bool in_place;
    unsigned allocations;  // before anything is written
  };
  const Variant variants[] = {
      {[](HFILE i, HFILE o) { return IMG_flip_bitmap_fd(i, o, 1, 1); }, false, 2}, {IMG_24_to_8_fd, false, 2},
      {[](HFILE i, HFILE o) { return IMG_resize_bitmap_fd(i, o, 20, 9); }, false, 2},
      {[](HFILE i, HFILE o) { return IMG_dither_to_palette_fd(i, o, host); }, false, 3},
      {[](HFILE i, HFILE) { return IMG_set_lut_fd(i, 10, 10); }, true, 1}, {[](HFILE i, HFILE) { return IMG_GammaCorrection(i, 2.0f); }, true, 1}};
  for (std::size_t k = 0; k < std::size(variants); ++k) {
    const Variant &v = variants[k];
    auto run = [&](unsigned fail_at, std::int64_t cap) {
      pxv_test::write_file(in, source);
      HFILE fin = pxv_test::open_file(in, v.in_place ? OF_READWRITE : OF_READ);
      if (v.in_place && cap >= 0) pxv_platform::cap_file_writes(fin, std::uint64_t(cap));
      pxv_platform::cap_next_file_writes(v.in_place ? -1 : cap);
      HFILE fout = pxv_test::open_file(out, OF_CREATE);
      pxv_platform::cap_next_file_writes(-1);
      pxv_platform::fail_allocation(fail_at);
      const int rc = v.op(fin, fout);
      pxv_platform::fail_allocation(0);
      _lclose(fin);
      _lclose(fout);
      EXPECT_EQ(pxv::img_work_blocks_in_use(), 0);
      return rc;
    };
    for (unsigned n = 1; n <= v.allocations; ++n) {
      EXPECT_EQ(run(n, -1), PXV_ERR_NO_MEMORY) << k << ", allocation " << n;
      EXPECT_TRUE(pxv_test::read_file(out).empty() && pxv_test::read_file(in) == source);
    }
    // In the file header, in the info header, in the dithered file's table, in its first row
    // and in its last.
    for (std::int64_t cap : {0, 13, 60, 120, 118 + 6 * 8 + 3})
      EXPECT_EQ(run(0, cap), PXV_ERR_SHORT_WRITE) << k << " cut at " << cap;
    EXPECT_EQ(run(0, -1), 0) << k;
  }
}

// Display, print and device-bitmap calls, and the clipboard writer, with every allocation, then
// every GDI object creation, failing in turn until the call succeeds: each failure answers -1
// and leaves the image, the handle table, the memory blocks and the GDI objects as they were.
class OutputFaults : public pxv_test::HandleTest {
 protected:
  static int live_slots() {
    int n = 0;
    for (int h = 0; h < pxv::next_dib_handle; ++h) n += pxv::dis[h] != nullptr;
    return n;
  }
  static void sweep(const std::string &what, int image, const std::function<int()> &call) {
    const Capture before = read_handle(image);
    std::size_t blocks = 0, objects = 0;
    int slots = 0;
    const auto counted = [&] {
      blocks = pxv_platform::live_blocks(), objects = pxv_platform::live_gdi_objects(), slots = live_slots();
      return call();
    };
    for (bool gdi : {false, true})
      fail_in_turn(counted, [&](unsigned n, int rc) {
        SCOPED_TRACE(what + (gdi ? ": GDI object " : ": allocation ") + std::to_string(n));
        EXPECT_TRUE(rc == PXV_ERR_NO_MEMORY && pxv_platform::live_blocks() == blocks && pxv_platform::live_gdi_objects() == objects &&
                    live_slots() == slots);
      }, gdi);
    EXPECT_TRUE(read_handle(image) == before) << what;
  }
};

TEST_F(OutputFaults, DisplayPrintAndDeviceBitmaps) {
  const int image = pxv_test::picture_handle(37, 23, 24);
  for (int depth : {24, 8, 4}) {
    pxv_test::Screen screen(60, 40, depth);
    const std::string at = " at depth " + std::to_string(depth);
    sweep("display" + at, image, [&] { return IMG_display_bitmap(image, screen.dc, 3, 2, 50, 30); });
    sweep("device bitmap" + at, image, [&] {
      HBITMAP bitmap = IMG_dib_to_ddb(image, 20, 10);
      return PXV_DDB_FAILED(bitmap) ? int(reinterpret_cast<std::intptr_t>(bitmap)) : (DeleteObject(bitmap), 0);
    });
    HBITMAP bitmap = IMG_dib_to_ddb(image, 20, 10);
    sweep("handle from a device bitmap" + at, image, [&] {
      const int copy = IMG_create_handle_ddb(bitmap, nullptr);
      return copy < 0 ? copy : IMG_delete_bitmap(copy);
    });
    DeleteObject(bitmap);
  }
  for (int colors : {2, 1 << 24}) {
    pxv_test::Printer printer(300, 200, 300, colors);
    sweep("print", image, [&] { return IMG_print_bitmap(image, printer.dc, 5, 5, 250, 180); });
    sweep("fast print", image, [&] { return IMG_print_bitmap_fast(image, printer.dc, 5, 5, 25, 18); });
  }
}

// The entry points that make a handle from memory, a file handle or a host's block, save to
// memory or to a file handle, build palettes or draw device bitmaps: the same sweep. A failed
// handle-making call keeps its slot (and the DIB it was filling), as a failed load does; deleting
// it must give every block back.
TEST_F(OutputFaults, HandlesMemoryAndFileHandles) {
  const int image = pxv_test::picture_handle(37, 23, 8);
  const pxv_test::Bytes file = pxv_test::read_file(pxv_test::save_bmp(image, "entry_faults.bmp"));
  const pxv_test::PackedDib packed = pxv_test::make_packed_dib(37, 23, 8);
  const int first_free = pxv::next_dib_handle;
  const auto made = [&](int handle) {
    if (handle >= 0) return IMG_delete_bitmap(handle);
    for (int h = pxv::next_dib_handle - 1; h >= first_free; --h) IMG_delete_bitmap(h);
    return handle;
  };
  sweep("create handle", image, [&] { return made(IMG_create_handle(packed.bytes.data())); });
  sweep("create handle without a copy", image, [&] {
    HGLOBAL block = pxv_test::global_copy(packed.bytes);
    const int handle = block == nullptr ? PXV_ERR_NO_MEMORY : IMG_create_handle_nocopy(block);
    if (handle < 0 && block != nullptr) GlobalFree(block);  // a refused block stays the host's
    return made(handle);
  });
  sweep("load from memory", image, [&] { return made(IMG_decompress_bitmap_mem(file.data(), 0)); });
  const std::string path = pxv_test::scratch_path("entry_faults.bmp");
  sweep("load from a file handle", image, [&] {
    const HFILE f = pxv_test::open_file(path, OF_READ);
    const int rc = made(IMG_decompress_bitmap_fd(f, 0, 0));
    _lclose(f);
    return rc;
  });
  std::vector<std::uint8_t> memory(1 << 16);
  for (int type : {PXV_SAVE_BMP, PXV_SAVE_TIFF_LZW, PXV_SAVE_PICT, PXV_SAVE_JPEG})
    sweep("save to memory, type " + std::to_string(type), image, [&] {
      const int rc = IMG_save_bitmap_mem(image, memory.data(), type);
      return rc < 0 ? rc : 0;
    });
  const std::string out = pxv_test::scratch_path("entry_faults_out.tif");
  sweep("save to a file handle", image, [&] {
    const HFILE f = pxv_test::open_file(out, OF_CREATE);
    const int rc = IMG_save_bitmap_fd(image, f, PXV_SAVE_TIFF_LZW);
    _lclose(f);
    return rc;
  });
  pxv_test::Screen screen(60, 40, 8);
  sweep("palette", image, [&] {
    const int rc = IMG_bitmap_palette(image, screen.dc);
    return rc < 0 ? rc : 0;
  });
  HBITMAP bitmap = IMG_dib_to_ddb(image, 20, 10);
  sweep("device bitmap drawn", image, [&] { return IMG_display_ddb(bitmap, screen.dc, 1, 1); });
  DeleteObject(bitmap);
}

// The clipboard writer takes its blocks and the screen's context before it creates the file:
// each failing in turn makes no file and leaves the clipboard closed.
TEST_F(OutputFaults, ClipboardWrites) {
  const int image = pxv_test::picture_handle(37, 23, 8);
  const std::string file = pxv_test::scratch_path("clipboard_fault.bmp");
  const auto save = [&] {
    std::remove(file.c_str());
    const int rc = IMG_save_clipboard(file.c_str(), nullptr);
    EXPECT_TRUE(OpenClipboard(nullptr));
    CloseClipboard();
    EXPECT_EQ(pxv_test::file_exists(file), rc == 1);
    return rc == 1 ? 0 : rc;
  };
  pxv_test::Screen screen(60, 40, 8);
  pxv_test::set_clipboard({{CF_DIB, pxv_test::global_copy(pxv_test::make_packed_dib(37, 23, 8).bytes)}});
  sweep("clipboard DIB", image, save);
  pxv_test::set_clipboard({{CF_BITMAP, IMG_dib_to_ddb(image, 20, 10)}});
  sweep("clipboard bitmap", image, save);
  pxv_test::set_clipboard({});
}

}  // namespace
