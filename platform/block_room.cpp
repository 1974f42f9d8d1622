#include "platform/block_room.h"

#include <cstdlib>
#include <cstring>

namespace platform {

char* keep_in_front(BlockRoom& room, std::span<const char> keep, std::size_t front) {
  // A caller's fault; never write outside the room.
  if (front > input_keep_bytes || keep.size() > front) std::abort();
  char* start = room.bytes + BlockRoom::fresh_offset - front;
  // keep may lie in this very room, where the previous block was. An empty keep may have
  // no address at all, which memmove must not be given.
  if (!keep.empty()) std::memmove(start, keep.data(), keep.size());
  return start;
}

InputBlock read_block(InputFile* file, BlockRoom& room, std::span<const char> keep) {
  // The block starts at an even address; the fresh bytes follow keep wherever that ends.
  const std::size_t front = keep.size() + keep.size() % 2;
  char* start = keep_in_front(room, keep, front);
  const std::ptrdiff_t got = read_input(file, {start + keep.size(), input_block_bytes});
  return {start, keep.size() + (got > 0 ? static_cast<std::size_t>(got) : 0), got};
}

}  // namespace platform
