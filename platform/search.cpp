#include "platform/search.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform::search {

namespace {

const char* find_bytes_portable(const char* from, const char* to, std::span<const char> key) {
  const std::size_t rest = key.size() - 1;
  while (static_cast<std::size_t>(to - from) > rest) {
    const char* first = find_unit(from, to - rest, key[0]);
    if (!first) return nullptr;
    if (std::memcmp(first + 1, key.data() + 1, rest) == 0) return first;
    from = first + 1;
  }
  return nullptr;
}

// Counts the line feeds of [from, to) one by one, for the pieces they end.
const char* count_pieces_portable(const char* from, const char* to, std::size_t piece_bytes,
                                  const char* line, std::int64_t& pieces) {
  while (const char* lf = find_unit(from, to, '\n')) {
    const std::size_t length = static_cast<std::size_t>(lf + 1 - line);
    pieces += 1 + static_cast<std::int64_t>(length > piece_bytes ? (length - 1) / piece_bytes : 0);
    line = from = lf + 1;
  }
  return line;
}

}  // namespace

#if defined(__SSE2__)

// Candidates are the positions where both the keyword's first and last bytes match, 16 at a
// time, so a common first byte alone does not stop the scan; only they are compared whole.
const char* find_bytes(const char* from, const char* to, std::span<const char> key) {
  if (key.empty()) return from;
  const std::size_t k = key.size();
  if (k == 1) return find_unit(from, to, key[0]);
  const std::size_t size = static_cast<std::size_t>(to - from);
  if (size < k) return nullptr;
  const __m128i first = _mm_set1_epi8(key[0]);
  const __m128i last = _mm_set1_epi8(key[k - 1]);
  std::size_t i = 0;
  for (; i + k - 1 + 16 <= size; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i + k - 1));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    while (mask != 0) {
      const char* candidate = from + i + static_cast<unsigned>(__builtin_ctz(mask));
      if (std::memcmp(candidate + 1, key.data() + 1, k - 2) == 0) return candidate;
      mask &= mask - 1;
    }
  }
  return find_bytes_portable(from + i, to, key);
}

// Line feeds are counted 64 bytes at a time without a branch per line; a line is measured
// only when it might be longer than a piece, which the line feed that ends it shows.
const char* count_pieces(const char* from, const char* to, std::size_t piece_bytes,
                         std::int64_t& pieces) {
  const char* line = from;  // the start of the current line's current piece run
  const __m128i lf = _mm_set1_epi8('\n');
  auto mask16 = [&](const char* p) {
    return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), lf))));
  };
  const char* p = from;
  for (; to - p >= 64; p += 64) {
    const std::uint64_t mask =
        mask16(p) | mask16(p + 16) << 16 | mask16(p + 32) << 32 | mask16(p + 48) << 48;
    // Written without a branch on mask, which lines of any usual length make unpredictable.
    const bool any = mask != 0;
    const char* first_end = p + __builtin_ctzll(mask | 1ull << 63) + 1;
    const std::size_t length = static_cast<std::size_t>(first_end - line);
    if (any && length > piece_bytes)
      pieces += static_cast<std::int64_t>((length - 1) / piece_bytes);
    pieces += __builtin_popcountll(mask);
    const char* last_end = p + 64 - __builtin_clzll(mask | 1);
    line = any ? last_end : line;
  }
  line = count_pieces_portable(p, to, piece_bytes, line, pieces);
  const std::size_t whole = static_cast<std::size_t>(to - line) / piece_bytes;
  pieces += static_cast<std::int64_t>(whole);
  return line + whole * piece_bytes;
}

#else

const char* find_bytes(const char* from, const char* to, std::span<const char> key) {
  return key.empty() ? from : find_bytes_portable(from, to, key);
}

const char* count_pieces(const char* from, const char* to, std::size_t piece_bytes,
                         std::int64_t& pieces) {
  const char* line = count_pieces_portable(from, to, piece_bytes, from, pieces);
  const std::size_t whole = static_cast<std::size_t>(to - line) / piece_bytes;
  pieces += static_cast<std::int64_t>(whole);
  return line + whole * piece_bytes;
}

#endif

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
