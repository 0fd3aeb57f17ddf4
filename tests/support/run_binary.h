// Running the built program end to end from tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace smf_test {

namespace fs = std::filesystem;

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string name = (fs::temp_directory_path() / "retune-test-XXXXXX").string();
    path_ = mkdtemp(name.data());
    chmod(path_.c_str(), 0777);
  }
  ~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::all, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  // Names in the directory, sorted.
  std::vector<std::string> list() const { return list_of(path_); }
  static std::vector<std::string> list_of(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

// Whether `name` is a command this machine has.
inline bool have_program(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Starts `command` in `cwd`; the child calls `setup` (to arrange its streams
// and environment) just before it becomes the command.
template <typename Setup>
pid_t start_program(std::vector<std::string> command, const std::string& cwd, Setup setup) {
  std::vector<char*> argv;
  for (auto& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    setup();
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Starts `command` in `cwd`, with `stdin_fd` as its standard input when given.
inline pid_t spawn_program(std::vector<std::string> command, const std::string& cwd, int stdin_fd = -1) {
  return start_program(std::move(command), cwd, [&] {
    if (stdin_fd >= 0) dup2(stdin_fd, 0);
  });
}

struct Result {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string stdin_path = "/dev/null";
  std::string stdout_path;  // empty: captured
  std::string cwd;          // empty: a scratch directory of its own
  std::vector<std::string> prefix;  // e.g. a setpriv command in front
  std::vector<std::string> env;     // NAME=value settings added to the environment

  RunOptions& from(std::string path) { stdin_path = std::move(path); return *this; }
  RunOptions& to(std::string path) { stdout_path = std::move(path); return *this; }
  RunOptions& at(std::string dir) { cwd = std::move(dir); return *this; }
  RunOptions& as(std::vector<std::string> command) { prefix = std::move(command); return *this; }
  RunOptions& with_env(std::string setting) { env.push_back(std::move(setting)); return *this; }
};

inline Result run_program(const std::string& program, const std::vector<std::string>& args, RunOptions options = {}) {
  TempDir capture;
  const std::string out_path = options.stdout_path.empty() ? (capture / "out").string() : options.stdout_path;
  const std::string err_path = (capture / "err").string();
  std::vector<std::string> all = options.prefix;
  all.push_back(program);
  all.insert(all.end(), args.begin(), args.end());
  TempDir work;
  const std::string cwd = options.cwd.empty() ? work.path().string() : options.cwd;
  const pid_t pid = start_program(all, cwd, [&] {
    for (auto& setting : options.env) putenv(setting.data());
    int in = open(options.stdin_path.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
  });
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Result r;
  r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  if (options.stdout_path.empty()) r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

// The program with its standard streams on a terminal, by way of util-linux's
// `script`: what the terminal showed in `out`, line ends as written. Status
// 127 when `script` is missing.
inline Result on_terminal(const std::string& program, const std::vector<std::string>& args) {
  std::string command = "'" + program + "'";
  for (const std::string& arg : args) command += " '" + arg + "'";
  Result r = run_program("script", {"-qec", command, "/dev/null"});
  std::erase(r.out, '\r');
  return r;
}

inline bool have_terminals() { return run_program("script", {"-V"}).status == 0; }

}  // namespace smf_test
