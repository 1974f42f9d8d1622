// Literal searches over a block of byte text or UTF-16 units. Every function takes a
// half-open range [from, to) and answers a position in it, or nullptr.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace platform::search {

// The first occurrence of key's bytes in [from, to). An empty key is found at from.
const char* find_bytes(const char* from, const char* to, std::span<const char> key);

// The search that find_bytes goes on with where the keyword's rarest byte turns out common:
// the first occurrence of key (two bytes or more) in [from, to).
const char* find_pairs(const char* from, const char* to, std::span<const char> key);

// Lines cut into pieces of at most piece_bytes: from is a piece start. Adds to pieces the
// pieces that end before to, and returns the start of the piece that holds to.
const char* count_pieces(const char* from, const char* to, std::size_t piece_bytes,
                         std::int64_t& pieces);

inline const char* find_unit(const char* from, const char* to, char unit) {
  return static_cast<const char*>(std::memchr(from, unit, static_cast<std::size_t>(to - from)));
}

const char* rfind_unit(const char* from, const char* to, char unit);

inline const char16_t* find_unit(const char16_t* from, const char16_t* to, char16_t unit) {
  for (; from < to; ++from)
    if (*from == unit) return from;
  return nullptr;
}

inline const char16_t* rfind_unit(const char16_t* from, const char16_t* to, char16_t unit) {
  while (to > from)
    if (*--to == unit) return to;
  return nullptr;
}

// Lines cut into pieces of at most piece_units, [begin, end) starting at a piece start: the
// end of its complete pieces, those that end in a line feed or are piece_units long. What
// follows is a piece still being read.
template <class Unit>
const Unit* complete_pieces_end(const Unit* begin, const Unit* end, std::size_t piece_units) {
  const Unit* lf = rfind_unit(begin, end, Unit{'\n'});
  const Unit* tail = lf ? lf + 1 : begin;
  return tail + static_cast<std::size_t>(end - tail) / piece_units * piece_units;
}

inline const char* find_key(const char* from, const char* to, std::span<const char> key) {
  return find_bytes(from, to, key);
}

// Searches the units' bytes and keeps only hits that begin a unit, so a keyword never
// matches across two units.
const char16_t* find_key(const char16_t* from, const char16_t* to, std::span<const char16_t> key);

// find_key where no occurrence begins in [clear_begin, clear_end), which is not searched.
template <class Unit>
const Unit* find_key_around(const Unit* from, const Unit* to, std::span<const Unit> key,
                            const Unit* clear_begin, const Unit* clear_end) {
  if (from < clear_begin) {
    // Occurrences that begin before the clear range may end inside it.
    const Unit* end = clear_begin + key.size() - (key.empty() ? 0 : 1);
    if (const Unit* hit = find_key(from, end < to ? end : to, key)) return hit;
  }
  if (from < clear_end) from = clear_end;
  return from < to ? find_key(from, to, key) : nullptr;
}

}  // namespace platform::search
