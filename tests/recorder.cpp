// The command that hitjump starts in the Windows end-to-end tests: writes its arguments,
// each in brackets, to record.out beside itself, through a temporary name so that a reader
// never sees half of it.
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  std::string dir = argv[0];
  const std::size_t cut = dir.find_last_of("\\/");
  dir.resize(cut == std::string::npos ? 0 : cut + 1);
  const std::string temporary = dir + "record.tmp";
  std::FILE* out = std::fopen(temporary.c_str(), "wb");
  if (!out) return 1;
  for (int i = 1; i < argc; ++i) std::fprintf(out, "[%s]", argv[i]);
  std::fclose(out);
  return std::rename(temporary.c_str(), (dir + "record.out").c_str()) == 0 ? 0 : 1;
}
