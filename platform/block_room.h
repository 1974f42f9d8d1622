// The buffer behind next_block, shared by the backends.
#pragma once

#include <span>

#include "platform/platform.h"

namespace platform {

// Room for the kept bytes, then a block's fresh bytes, then slack for the byte a caller may
// write after them. Fresh bytes land on a page boundary.
struct BlockRoom {
  static constexpr std::size_t fresh_offset = input_keep_bytes;
  alignas(4096) char bytes[input_keep_bytes + input_block_bytes + 4096];
};

// Moves keep into room to begin `front` bytes (at least keep's size, at most
// input_keep_bytes) before fresh_offset, and returns where it begins.
char* keep_in_front(BlockRoom& room, std::span<const char> keep, std::size_t front);

// The next block of file read with read_input into room, keep in front of it.
InputBlock read_block(InputFile* file, BlockRoom& room, std::span<const char> keep);

}  // namespace platform
