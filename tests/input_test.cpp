#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <random>
#include <string>

#include "platform/platform.h"
#include "support.h"

namespace {

using platform::input_block_bytes;

std::string random_bytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// Reads the file to its end in blocks, keeping a changing number of bytes (odd ones too) of
// each block in front of the next, and checks every block: the kept bytes first, then the
// file's next bytes. Returns the bytes read.
std::string read_in_blocks(platform::InputFile* file, bool ahead, const std::string& first) {
  std::string read;
  std::span<const char> keep(first);
  for (std::size_t round = 0;; ++round) {
    const std::string kept(keep.begin(), keep.end());
    const platform::InputBlock block = platform::next_block(file, keep);
    EXPECT_GE(block.fresh, 0);
    if (block.fresh < 0) break;
    EXPECT_EQ(std::string(block.data, kept.size()), kept) << round;
    EXPECT_EQ(block.size, kept.size() + static_cast<std::size_t>(block.fresh)) << round;
    if (!ahead) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.data) % 2, 0u) << round;
    }
    read.append(block.data + kept.size(), static_cast<std::size_t>(block.fresh));
    if (block.fresh == 0) break;
    const std::size_t keep_size = std::min(block.size, round * 1237 % 4097);
    keep = {block.data + block.size - keep_size, keep_size};
  }
  return read;
}

TEST(InputBlocks, HandOutTheWholeFileWithTheKeptBytesInFront) {
  for (const bool ahead : {false, true}) {
    for (const std::size_t size :
         {std::size_t{0}, std::size_t{1}, input_block_bytes, input_block_bytes + 1,
          6 * input_block_bytes, 6 * input_block_bytes + 3}) {
      const std::string bytes = random_bytes(size, static_cast<unsigned>(size));
      const std::string path = support::fixture("blocks.bin", bytes);
      platform::InputFile* file = platform::open_input(path.c_str());
      ASSERT_NE(file, nullptr);
      // As linesift does: two bytes read first, then handed back in front of the first block.
      char mark[2];
      const std::ptrdiff_t got = platform::read_input(file, {mark, size < 2 ? size : 2});
      const std::string first(mark, static_cast<std::size_t>(got));
      if (ahead) platform::read_ahead(file, {});
      EXPECT_EQ(first + read_in_blocks(file, ahead, first), bytes) << size << " " << ahead;
      platform::close_input(file);
    }
  }
}

TEST(InputBlocks, AFileThatGrowsWhileReadAheadIsReadToItsNewEnd) {
  const std::string start = random_bytes(5 * input_block_bytes + 100, 1);
  const std::string added = random_bytes(input_block_bytes + 7, 2);
  const std::string path = support::fixture("growing.bin", start);
  platform::InputFile* file = platform::open_input(path.c_str());
  ASSERT_NE(file, nullptr);
  platform::read_ahead(file, {});
  const platform::InputBlock block = platform::next_block(file, {});
  ASSERT_EQ(block.fresh, static_cast<std::ptrdiff_t>(input_block_bytes));
  const std::string head(block.data, block.size);
  std::ofstream(path, std::ios::binary | std::ios::app) << added;
  EXPECT_EQ(head + read_in_blocks(file, true, {}), start + added);
  platform::close_input(file);
}

TEST(InputBlocks, ClosingWhileTheHelperReadsIsSafe) {
  // The helper may be in the middle of a read when the file is closed.
  const std::string path = support::fixture("closed.bin", random_bytes(8 * input_block_bytes, 3));
  for (int round = 0; round < 20; ++round) {
    platform::InputFile* file = platform::open_input(path.c_str());
    ASSERT_NE(file, nullptr);
    platform::read_ahead(file, {});
    EXPECT_EQ(platform::next_block(file, {}).fresh, static_cast<std::ptrdiff_t>(input_block_bytes));
    platform::close_input(file);
  }
}

}  // namespace
