// Writes the benchmark corpus: a deterministic CR LF log of about 120-byte lines in mixed
// ASCII and CP932, its first part again as byte text and as UTF-16LE behind FF FE.
//   make_corpus DIR SIZE_MIB PART_MIB
// Files: DIR/log.txt, DIR/part.txt (the first PART_MIB of log.txt, whole lines),
// DIR/part16.txt (part.txt in UTF-16LE). Markers, each a word of its own:
//   INFO on about 80% of lines, WARN on about 5%, pid= on every line,
//   RAREKEY on about one line in 500,000, QUARTERMARK once a quarter into the file,
//   LASTLINEMARK only on the last line.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A phrase in CP932 bytes and in UTF-16 units.
struct Phrase {
  const char* cp932;
  const char16_t* utf16;
};

const Phrase phrases[] = {
    {"\x83\x8D\x83\x4F\x83\x43\x83\x93\x90\xAC\x8C\xF7", u"\u30ED\u30B0\u30A4\u30F3\u6210\u529F"},
    {"\x90\xDA\x91\xB1\x82\xF0\x8A\x4A\x8E\x6E", u"\u63A5\u7D9A\u3092\u958B\u59CB"},
    {"\x8F\x88\x97\x9D\x8A\xAE\x97\xB9", u"\u51E6\u7406\u5B8C\u4E86"},
    {"\x83\x5E\x83\x43\x83\x80\x83\x41\x83\x45\x83\x67", u"\u30BF\u30A4\u30E0\u30A2\u30A6\u30C8"},
    {"request served", u"request served"},
    {"cache refreshed", u"cache refreshed"},
    {"user session renewed", u"user session renewed"},
};

std::uint64_t state = 0x9E3779B97F4A7C15ull;
std::uint64_t next() {  // xorshift64*: the same corpus on every machine
  state ^= state >> 12;
  state ^= state << 25;
  state ^= state >> 27;
  return state * 2685821657736338717ull;
}

void append_utf16(std::string& out, const char16_t* s) {
  for (; *s; ++s) {
    out += static_cast<char>(*s & 0xFF);
    out += static_cast<char>(*s >> 8);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_corpus DIR SIZE_MIB PART_MIB\n");
    return 2;
  }
  const std::string dir = argv[1];
  const std::uint64_t size = std::strtoull(argv[2], nullptr, 10) << 20;
  const std::uint64_t part = std::strtoull(argv[3], nullptr, 10) << 20;
  std::FILE* log = std::fopen((dir + "/log.txt").c_str(), "wb");
  std::FILE* part8 = std::fopen((dir + "/part.txt").c_str(), "wb");
  std::FILE* part16 = std::fopen((dir + "/part16.txt").c_str(), "wb");
  if (!log || !part8 || !part16) return 1;
  std::fwrite("\xFF\xFE", 1, 2, part16);

  std::uint64_t written = 0;
  bool quarter_done = false;
  std::string line, wide;
  for (std::uint64_t n = 0; written < size; ++n) {
    const std::uint64_t r = next();
    const unsigned pct = static_cast<unsigned>(r % 100);
    const char* level = pct < 80 ? "INFO " : pct < 85 ? "WARN " : pct < 95 ? "DEBUG" : "TRACE";
    char head[96];
    std::snprintf(head, sizeof head, "2026-12-%02u %02u:%02u:%02u.%03u %s pid=%05u [worker-%02u] ",
                  static_cast<unsigned>(n / 3000000 % 28 + 1),
                  static_cast<unsigned>(n / 100000 % 24), static_cast<unsigned>(n / 1000 % 60),
                  static_cast<unsigned>(n % 60), static_cast<unsigned>(r >> 20) % 1000, level,
                  static_cast<unsigned>(r >> 30) % 99999, static_cast<unsigned>(r >> 40) % 32);
    line = head;
    wide.clear();
    append_utf16(wide, std::u16string(head, head + line.size()).c_str());
    // Phrases until the line is about 120 bytes.
    for (std::uint64_t k = r >> 8; line.size() < 100; k /= 7) {
      const Phrase& p = phrases[k % 7];
      line += p.cp932;
      line += ' ';
      append_utf16(wide, p.utf16);
      append_utf16(wide, u" ");
    }
    const char* marker = "";
    if (r % 500000 == 7) marker = "RAREKEY";
    if (!quarter_done && written >= size / 4) marker = "QUARTERMARK", quarter_done = true;
    if (written + 2 * (line.size() + 16) >= size) marker = "LASTLINEMARK";
    char tail[48];
    std::snprintf(tail, sizeof tail, "%s id=%u\r\n", marker, static_cast<unsigned>(n % 1000000));
    line += tail;
    append_utf16(wide, std::u16string(tail, tail + std::char_traits<char>::length(tail)).c_str());

    std::fwrite(line.data(), 1, line.size(), log);
    if (written < part) {
      std::fwrite(line.data(), 1, line.size(), part8);
      std::fwrite(wide.data(), 1, wide.size(), part16);
    }
    written += line.size();
    if (*marker == 'L') break;
  }
  return std::fclose(log) | std::fclose(part8) | std::fclose(part16);
}
