#include "platform/search.h"

namespace platform::search {

const char* find_bytes(const char* from, const char* to, std::span<const char> key) {
  if (key.empty()) return from;
  const std::size_t rest = key.size() - 1;
  while (static_cast<std::size_t>(to - from) > rest) {
    const char* first = find_unit(from, to - rest, key[0]);
    if (!first) return nullptr;
    if (std::memcmp(first + 1, key.data() + 1, rest) == 0) return first;
    from = first + 1;
  }
  return nullptr;
}

const char* rfind_unit(const char* from, const char* to, char unit) {
  while (to > from)
    if (*--to == unit) return to;
  return nullptr;
}

const char16_t* find_key(const char16_t* from, const char16_t* to, std::span<const char16_t> key) {
  const char* base = reinterpret_cast<const char*>(from);
  const char* end = reinterpret_cast<const char*>(to);
  const std::span<const char> key_bytes(reinterpret_cast<const char*>(key.data()),
                                        key.size_bytes());
  for (const char* hit = find_bytes(base, end, key_bytes); hit;
       hit = find_bytes(hit + 1, end, key_bytes)) {
    const std::size_t offset = static_cast<std::size_t>(hit - base);
    if (offset % 2 == 0) return from + offset / 2;
  }
  return nullptr;
}

}  // namespace platform::search
