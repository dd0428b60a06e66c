// The CCITT run-length code words of ITU-T T.4 and the mode codes of ITU-T T.6, as (code, bits)
// pairs, codes right-aligned: the one copy, from which the facsimile encoder writes its codes and
// the decoder builds its lookups.
#pragma once

#include <array>
#include <cstdint>

namespace pxv::ccitt {

struct code_word {
  std::uint16_t code;
  std::uint8_t bits;
};

// ITU-T T.4 Table 2: terminating codes, white runs 0 to 63.
inline constexpr std::array<code_word, 64> kWhiteTerminating = {{
    {0x35, 8}, {0x07, 6}, {0x07, 4}, {0x08, 4}, {0x0B, 4}, {0x0C, 4}, {0x0E, 4}, {0x0F, 4},
    {0x13, 5}, {0x14, 5}, {0x07, 5}, {0x08, 5}, {0x08, 6}, {0x03, 6}, {0x34, 6}, {0x35, 6},
    {0x2A, 6}, {0x2B, 6}, {0x27, 7}, {0x0C, 7}, {0x08, 7}, {0x17, 7}, {0x03, 7}, {0x04, 7},
    {0x28, 7}, {0x2B, 7}, {0x13, 7}, {0x24, 7}, {0x18, 7}, {0x02, 8}, {0x03, 8}, {0x1A, 8},
    {0x1B, 8}, {0x12, 8}, {0x13, 8}, {0x14, 8}, {0x15, 8}, {0x16, 8}, {0x17, 8}, {0x28, 8},
    {0x29, 8}, {0x2A, 8}, {0x2B, 8}, {0x2C, 8}, {0x2D, 8}, {0x04, 8}, {0x05, 8}, {0x0A, 8},
    {0x0B, 8}, {0x52, 8}, {0x53, 8}, {0x54, 8}, {0x55, 8}, {0x24, 8}, {0x25, 8}, {0x58, 8},
    {0x59, 8}, {0x5A, 8}, {0x5B, 8}, {0x4A, 8}, {0x4B, 8}, {0x32, 8}, {0x33, 8}, {0x34, 8},
}};

// ITU-T T.4 Table 2: terminating codes, black runs 0 to 63.
inline constexpr std::array<code_word, 64> kBlackTerminating = {{
    {0x37, 10}, {0x02, 3},  {0x03, 2},  {0x02, 2},  {0x03, 3},  {0x03, 4},  {0x02, 4},
    {0x03, 5},  {0x05, 6},  {0x04, 6},  {0x04, 7},  {0x05, 7},  {0x07, 7},  {0x04, 8},
    {0x07, 8},  {0x18, 9},  {0x17, 10}, {0x18, 10}, {0x08, 10}, {0x67, 11}, {0x68, 11},
    {0x6C, 11}, {0x37, 11}, {0x28, 11}, {0x17, 11}, {0x18, 11}, {0xCA, 12}, {0xCB, 12},
    {0xCC, 12}, {0xCD, 12}, {0x68, 12}, {0x69, 12}, {0x6A, 12}, {0x6B, 12}, {0xD2, 12},
    {0xD3, 12}, {0xD4, 12}, {0xD5, 12}, {0xD6, 12}, {0xD7, 12}, {0x6C, 12}, {0x6D, 12},
    {0xDA, 12}, {0xDB, 12}, {0x54, 12}, {0x55, 12}, {0x56, 12}, {0x57, 12}, {0x64, 12},
    {0x65, 12}, {0x52, 12}, {0x53, 12}, {0x24, 12}, {0x37, 12}, {0x38, 12}, {0x27, 12},
    {0x28, 12}, {0x58, 12}, {0x59, 12}, {0x2B, 12}, {0x2C, 12}, {0x5A, 12}, {0x66, 12},
    {0x67, 12},
}};

// ITU-T T.4 Table 3: make-up codes, white runs 64 to 1728 in steps of 64.
inline constexpr std::array<code_word, 27> kWhiteMakeUp = {{
    {0x1B, 5}, {0x12, 5}, {0x17, 6}, {0x37, 7}, {0x36, 8}, {0x37, 8}, {0x64, 8},
    {0x65, 8}, {0x68, 8}, {0x67, 8}, {0xCC, 9}, {0xCD, 9}, {0xD2, 9}, {0xD3, 9},
    {0xD4, 9}, {0xD5, 9}, {0xD6, 9}, {0xD7, 9}, {0xD8, 9}, {0xD9, 9}, {0xDA, 9},
    {0xDB, 9}, {0x98, 9}, {0x99, 9}, {0x9A, 9}, {0x18, 6}, {0x9B, 9},
}};

// ITU-T T.4 Table 3: make-up codes, black runs 64 to 1728 in steps of 64.
inline constexpr std::array<code_word, 27> kBlackMakeUp = {{
    {0x0F, 10}, {0xC8, 12}, {0xC9, 12}, {0x5B, 12}, {0x33, 12}, {0x34, 12}, {0x35, 12},
    {0x6C, 13}, {0x6D, 13}, {0x4A, 13}, {0x4B, 13}, {0x4C, 13}, {0x4D, 13}, {0x72, 13},
    {0x73, 13}, {0x74, 13}, {0x75, 13}, {0x76, 13}, {0x77, 13}, {0x52, 13}, {0x53, 13},
    {0x54, 13}, {0x55, 13}, {0x5A, 13}, {0x5B, 13}, {0x64, 13}, {0x65, 13},
}};

// ITU-T T.4 Table 3 (extended): make-up codes for both colours, runs 1792 to 2560.
inline constexpr std::array<code_word, 13> kExtendedMakeUp = {{
    {0x08, 11}, {0x0C, 11}, {0x0D, 11}, {0x12, 12}, {0x13, 12}, {0x14, 12}, {0x15, 12},
    {0x16, 12}, {0x17, 12}, {0x1C, 12}, {0x1D, 12}, {0x1E, 12}, {0x1F, 12},
}};

// ITU-T T.4 4.1.2: end of line.
inline constexpr code_word kEndOfLine = {0x001, 12};

// ITU-T T.6 Table 1: two-dimensional mode codes.
inline constexpr code_word kPass = {0x1, 4};
inline constexpr code_word kHorizontal = {0x1, 3};
inline constexpr code_word kVertical0 = {0x1, 1};
inline constexpr code_word kVerticalRight[3] = {{0x3, 3}, {0x3, 6}, {0x3, 7}};
inline constexpr code_word kVerticalLeft[3] = {{0x2, 3}, {0x2, 6}, {0x2, 7}};

// The longest make-up code stands for 2560 pixels.
inline constexpr int kMaxMakeUp = 2560;

// The code word for a run length that has one: 0 to 63, or a multiple of 64 up to 2560.
constexpr code_word run_code(int run, bool black) {
  if (run < 64) return black ? kBlackTerminating[run] : kWhiteTerminating[run];
  if (run <= 1728) return black ? kBlackMakeUp[run / 64 - 1] : kWhiteMakeUp[run / 64 - 1];
  return kExtendedMakeUp[run / 64 - 28];
}

// Each byte with its bits in reverse order, for FillOrder 2, where the first bit of the code
// stream is each byte's least significant.
inline constexpr std::array<std::uint8_t, 256> kBitReversed = [] {
  std::array<std::uint8_t, 256> t{};
  for (int b = 0; b < 256; ++b)
    for (int k = 0; k < 8; ++k)
      if (b & (1 << k)) t[b] = static_cast<std::uint8_t>(t[b] | 0x80 >> k);
  return t;
}();

}  // namespace pxv::ccitt
