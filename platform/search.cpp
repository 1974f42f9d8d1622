#include "platform/search.h"

#include <algorithm>
#include <array>
#include <string_view>

#if defined(__SSE2__)
#include <immintrin.h>
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

// A rough rank of how common a byte is in log text, higher for more common: blanks,
// digits, lower-case letters and the bytes of Japanese text above all, then the upper-case
// letters of level names and the usual punctuation, then the rest.
constexpr unsigned char commonness(unsigned char b) {
  constexpr std::string_view usual_capitals = "EIATONSRCDGU";
  constexpr std::string_view usual_punctuation = "\r\n\t-:.=/[]()_,'\"";
  if (b == ' ' || (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || b >= 0x80) return 3;
  const char c = static_cast<char>(b);
  if (usual_capitals.find(c) != std::string_view::npos ||
      usual_punctuation.find(c) != std::string_view::npos)
    return 2;
  if (b >= 'A' && b <= 'Z') return 1;
  return 0;
}

constexpr std::array<unsigned char, 256> byte_ranks = [] {
  std::array<unsigned char, 256> ranks{};
  for (unsigned b = 0; b < 256; ++b) ranks[b] = commonness(static_cast<unsigned char>(b));
  return ranks;
}();

std::size_t rarest_index(std::span<const char> key) {
  std::size_t rarest = 0;
  for (std::size_t i = 1; i < key.size(); ++i)
    if (byte_ranks[static_cast<unsigned char>(key[i])] <
        byte_ranks[static_cast<unsigned char>(key[rarest])])
      rarest = i;
  return rarest;
}

// Tries the positions where the keyword's rarest byte matches, found with memchr. Gives up
// when they come thicker than one in 256 bytes, the byte being common in this text after
// all; from is then where the search is to go on. At the end of the range, from is to.
const char* find_rare(const char*& from, const char* to, std::span<const char> key) {
  const std::size_t k = key.size();
  const std::size_t rare = rarest_index(key);
  const char* const begin = from;
  std::size_t misses = 0;
  while (static_cast<std::size_t>(to - from) >= k) {
    const char* found = find_unit(from + rare, to - (k - 1 - rare), key[rare]);
    if (!found) break;
    const char* candidate = found - rare;
    if (std::memcmp(candidate, key.data(), k) == 0) return candidate;
    from = candidate + 1;
    if (++misses > 16 && static_cast<std::size_t>(from - begin) < misses * 256) return nullptr;
  }
  from = to;
  return nullptr;
}

}  // namespace

#if defined(__SSE2__)

namespace {

// Compares the candidates of one vector step: bit i of mask stands for at + i, where the
// keyword's first and last bytes both match.
inline const char* check_candidates(const char* at, std::uint32_t mask, std::span<const char> key) {
  while (mask != 0) {
    const char* candidate = at + __builtin_ctz(mask);
    if (std::memcmp(candidate + 1, key.data() + 1, key.size() - 2) == 0) return candidate;
    mask &= mask - 1;
  }
  return nullptr;
}

// The vector loops test every start position from `from` on whose step lies inside
// [from, to); they leave `from` at the first position not yet tested.
const char* find_sse2(const char*& from, const char* to, std::span<const char> key) {
  const std::size_t tail = key.size() - 1;
  const __m128i first = _mm_set1_epi8(key[0]);
  const __m128i last = _mm_set1_epi8(key[tail]);
  for (; to - from >= static_cast<std::ptrdiff_t>(tail + 16); from += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + tail));
    const auto mask = static_cast<std::uint32_t>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
    if (mask != 0)
      if (const char* hit = check_candidates(from, mask, key)) return hit;
  }
  return nullptr;
}

#if defined(__x86_64__) || defined(__i386__)
#define LOGTOOLS_HAVE_AVX2 1

__attribute__((target("avx2"))) inline __m256i candidates_avx2(const char* at, std::size_t tail,
                                                               __m256i first, __m256i last) {
  const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
  const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + tail));
  return _mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, last));
}

// Two 32-byte steps at a time: one test decides that 64 positions hold no candidate.
__attribute__((target("avx2"))) const char* find_avx2(const char*& from, const char* to,
                                                      std::span<const char> key) {
  const std::size_t tail = key.size() - 1;
  const __m256i first = _mm256_set1_epi8(key[0]);
  const __m256i last = _mm256_set1_epi8(key[tail]);
  for (; to - from >= static_cast<std::ptrdiff_t>(tail + 64); from += 64) {
    const __m256i low = candidates_avx2(from, tail, first, last);
    const __m256i high = candidates_avx2(from + 32, tail, first, last);
    if (_mm256_testz_si256(_mm256_or_si256(low, high), _mm256_or_si256(low, high))) continue;
    const auto low_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(low));
    if (const char* hit = check_candidates(from, low_mask, key)) return hit;
    const auto high_mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(high));
    if (const char* hit = check_candidates(from + 32, high_mask, key)) return hit;
  }
  return nullptr;
}

__attribute__((target("avx2"))) std::size_t count_line_feeds_avx2(const char* p, std::size_t size) {
  const __m256i lf = _mm256_set1_epi8('\n');
  __m256i counts = _mm256_setzero_si256();
  for (std::size_t i = 0; i < size; i += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    counts = _mm256_sub_epi8(counts, _mm256_cmpeq_epi8(bytes, lf));  // a match is -1
  }
  const __m256i sums = _mm256_sad_epu8(counts, _mm256_setzero_si256());
  return static_cast<std::size_t>(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                                  _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3));
}

bool detect_avx2() {
  __builtin_cpu_init();  // this runs before main, maybe before the CPU model is read
  return __builtin_cpu_supports("avx2");
}

const bool have_avx2 = detect_avx2();
#endif

}  // namespace

// Candidates are the positions where both the keyword's first and last bytes match, 16 or
// 32 at a time, so a common first byte alone does not stop the scan; only they are
// compared whole.
const char* find_pairs(const char* from, const char* to, std::span<const char> key) {
#if defined(LOGTOOLS_HAVE_AVX2)
  if (have_avx2)
    if (const char* hit = find_avx2(from, to, key)) return hit;
#endif
  if (const char* hit = find_sse2(from, to, key)) return hit;
  return find_bytes_portable(from, to, key);
}

namespace {

// The line feeds in [p, p + size), size a multiple of 64 and at most 4080 (a lane's byte
// counter would overflow past 255 steps).
std::size_t count_line_feeds(const char* p, std::size_t size) {
#if defined(LOGTOOLS_HAVE_AVX2)
  if (have_avx2) return count_line_feeds_avx2(p, size);
#endif
  const __m128i lf = _mm_set1_epi8('\n');
  __m128i counts = _mm_setzero_si128();
  for (std::size_t i = 0; i < size; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    counts = _mm_sub_epi8(counts, _mm_cmpeq_epi8(bytes, lf));  // a match is -1
  }
  alignas(16) std::uint64_t sums[2];
  _mm_store_si128(reinterpret_cast<__m128i*>(sums), _mm_sad_epu8(counts, _mm_setzero_si128()));
  return static_cast<std::size_t>(sums[0] + sums[1]);
}

}  // namespace

#else

const char* find_pairs(const char* from, const char* to, std::span<const char> key) {
  return find_bytes_portable(from, to, key);
}

namespace {

std::size_t count_line_feeds(const char* p, std::size_t size) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < size; ++i) count += p[i] == '\n' ? 1 : 0;
  return count;
}

}  // namespace

#endif

// The file is walked in chunks of at most half a piece: when a chunk and the one before it
// both hold a line feed, every line that ends in the chunk is one piece, and only the line
// feeds need counting. A line is measured only after a chunk without a line feed.
const char* count_pieces(const char* from, const char* to, std::size_t piece_bytes,
                         std::int64_t& pieces) {
  const std::size_t chunk = std::min<std::size_t>((piece_bytes + 1) / 2 / 64 * 64, 2048);
  const char* line = from;         // the start of the current piece run, unless ended_in is set
  const char* ended_in = nullptr;  // the last chunk, if it held a line feed
  const char* p = from;
  for (; chunk > 0 && static_cast<std::size_t>(to - p) >= chunk; p += chunk) {
    const std::size_t feeds = count_line_feeds(p, chunk);
    if (feeds == 0) {
      if (ended_in) line = rfind_unit(ended_in, ended_in + chunk, '\n') + 1;
      ended_in = nullptr;
      continue;
    }
    if (!ended_in) {
      const std::size_t length = static_cast<std::size_t>(find_unit(p, p + chunk, '\n') + 1 - line);
      if (length > piece_bytes) pieces += static_cast<std::int64_t>((length - 1) / piece_bytes);
    }
    pieces += static_cast<std::int64_t>(feeds);
    ended_in = p;
  }
  if (ended_in) line = rfind_unit(ended_in, ended_in + chunk, '\n') + 1;
  line = count_pieces_portable(p, to, piece_bytes, line, pieces);
  const std::size_t whole = static_cast<std::size_t>(to - line) / piece_bytes;
  pieces += static_cast<std::int64_t>(whole);
  return line + whole * piece_bytes;
}

const char* find_bytes(const char* from, const char* to, std::span<const char> key) {
  if (key.empty()) return from;
  if (to - from < static_cast<std::ptrdiff_t>(key.size())) return nullptr;
  if (key.size() == 1) return find_unit(from, to, key[0]);
  if (const char* hit = find_rare(from, to, key)) return hit;
  return find_pairs(from, to, key);
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
