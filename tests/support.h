// Runs the built programs on fixtures in a temporary folder and captures what they write.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace support {

struct Result {
  std::string out;
  std::string err;
  int status;  // the exit status, or 128 + the signal that ended the program
};

struct Options {
  std::vector<std::string> env{};  // NAME=value entries added to the environment
  std::string stdin_path = "/dev/null";
  // Where standard output goes, not read back; a temporary file when empty.
  std::string stdout_path{};
  // The folder the program starts in; the caller's when empty.
  std::string cwd{};
};

// The folder all fixtures of this test run live in, made on first use.
const std::string& temp_dir();
std::string fixture(const std::string& name, const std::string& bytes);
std::string read_file(const std::string& path);
// Waits up to timeout_ms for a file that another process writes; empty when none came.
std::string wait_for_file(const std::string& path, int timeout_ms = 10000);

// The programs under test. LINESIFT and HITJUMP in the environment name other builds,
// and TEST_RUNNER (such as "wine") a program that runs them.
std::string linesift_path();
std::string hitjump_path();
bool windows_build();
// Lines as a text stream writes them: on the Windows build, read CR LF and LF both go out as
// CR LF.
std::string text(std::string lines);
// Bytes as a text stream writes them: on the Windows build each LF goes out as CR LF.
std::string as_written(const std::string& bytes);

pid_t start(const std::string& program, const std::vector<std::string>& args,
            const Options& options);
// Waits for the program and collects its output. The result's status is -1 when it had not
// ended after timeout_ms.
Result finish(pid_t pid, int timeout_ms = 60000);
Result run(const std::string& program, const std::vector<std::string>& args,
           const Options& options = {});

}  // namespace support
