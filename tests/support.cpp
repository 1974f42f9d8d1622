#include "support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace support {

namespace {

std::string env_or(const char* name, const std::string& fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

struct Outputs {
  std::string out_path;
  std::string err_path;
};

std::map<pid_t, Outputs> running;
int run_count = 0;

}  // namespace

const std::string& temp_dir() {
  static const std::string dir = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "logtools-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
  }();
  return dir;
}

std::string fixture(const std::string& name, const std::string& bytes) {
  const std::string path = temp_dir() + "/" + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::string wait_for_file(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 20) {
    if (access(path.c_str(), F_OK) == 0) return read_file(path);
    timespec tick{0, 20 * 1000000L};
    nanosleep(&tick, nullptr);
  }
  return "";
}

std::string linesift_path() {
  return env_or("LINESIFT", LINESIFT_BUILT);
}
std::string hitjump_path() {
  return env_or("HITJUMP", HITJUMP_BUILT);
}
bool windows_build() {
  return linesift_path().ends_with(".exe");
}

std::string as_written(const std::string& bytes) {
  if (!windows_build()) return bytes;
  std::string crlf;
  for (char c : bytes) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  return crlf;
}

std::string text(std::string lines) {
  if (!windows_build()) return lines;
  for (std::size_t at = 0; (at = lines.find("\r\n", at)) != std::string::npos;) lines.erase(at, 1);
  return as_written(lines);
}

pid_t start(const std::string& program, const std::vector<std::string>& args,
            const Options& options) {
  std::vector<std::string> argv;
  const std::string runner = env_or("TEST_RUNNER", "");
  if (!runner.empty()) argv.push_back(runner);
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());

  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  env.insert(env.end(), options.env.begin(), options.env.end());

  std::vector<char*> argp, envp;
  for (std::string& a : argv) argp.push_back(a.data());
  for (std::string& e : env) envp.push_back(e.data());
  argp.push_back(nullptr);
  envp.push_back(nullptr);

  const std::string stem = temp_dir() + "/run" + std::to_string(++run_count);
  Outputs outputs{options.stdout_path.empty() ? stem + ".out" : options.stdout_path, stem + ".err"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, options.stdin_path.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outputs.out_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, outputs.err_path.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
  running[pid] = outputs;
  return pid;
}

Result finish(pid_t pid, int timeout_ms) {
  int wstatus = 0;
  pid_t done = 0;
  for (int waited = 0; (done = waitpid(pid, &wstatus, WNOHANG)) == 0 && waited < timeout_ms;
       waited += 10) {
    timespec tick{0, 10 * 1000000L};
    nanosleep(&tick, nullptr);
  }
  Result result{};
  if (done == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &wstatus, 0);
    result.status = -1;
  } else {
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  }
  const Outputs outputs = running[pid];
  running.erase(pid);
  // Standard output sent elsewhere by the caller (such as /dev/full, or a pipe the caller
  // reads) is not read back.
  if (outputs.out_path.starts_with(temp_dir()) &&
      std::filesystem::is_regular_file(outputs.out_path))
    result.out = read_file(outputs.out_path);
  result.err = read_file(outputs.err_path);
  return result;
}

Result run(const std::string& program, const std::vector<std::string>& args,
           const Options& options) {
  return finish(start(program, args, options));
}

}  // namespace support
