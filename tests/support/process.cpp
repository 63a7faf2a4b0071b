#include "tests/support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

double Seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

struct Spawned {
  pid_t pid = -1;
  int in = -1;   // our end of the child's stdin, or -1
  int out = -1;  // our end of the child's stdout
  int err = -1;  // our end of the child's stderr
};

Spawned Spawn(const std::vector<std::string>& argv, const ProcessOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe failed");
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) env_strings.emplace_back(*e);
  for (const auto& extra : options.env) {
    const auto eq = extra.find('=');
    const std::string name = extra.substr(0, eq + 1);
    std::erase_if(env_strings, [&](const std::string& s) { return s.rfind(name, 0) == 0; });
    env_strings.push_back(extra);
  }
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& s : argv_copy) args.push_back(s.data());
  args.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  Spawned s;
  s.pid = pid;
  s.in = in_pipe[1];
  s.out = out_pipe[0];
  s.err = err_pipe[0];
  return s;
}

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // the child closed its input
    }
    done += size_t(n);
  }
}

// Reaps pid, killing it at the deadline. Fills the status fields of result.
void Reap(pid_t pid, Clock::time_point deadline, ProcessResult* result) {
  int status = 0;
  rusage usage{};
  for (;;) {
    const pid_t r = wait4(pid, &status, WNOHANG, &usage);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return;
    if (Clock::now() >= deadline && !result->timed_out) {
      result->timed_out = true;
      kill(pid, SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  result->cpu_s = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  if (WIFEXITED(status)) {
    result->exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result->signal = WTERMSIG(status);
    result->exit_code = -1;
  }
}

// Drains fd into *sink (under mu) until end of file.
void Drain(int fd, std::string* sink, std::mutex* mu) {
  char buf[65536];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(*mu);
    sink->append(buf, size_t(n));
  }
  close(fd);
}

}  // namespace

std::string BinPath(const std::string& name) { return std::string(BIN_DIR) + "/" + name; }

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string templ = std::string(base && *base ? base : "/tmp") + "/tctest-XXXXXX";
  if (!mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return lstat(path.c_str(), &st) == 0;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), std::streamsize(bytes.size()));
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  WriteFile(path, std::string(bytes.begin(), bytes.end()));
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
  Process p(argv, options);
  return p.Wait(options.timeout_ms);
}

struct Process::Impl {
  std::mutex mu;
  std::string out, err;
  std::thread out_reader, err_reader;
  int in = -1;
  bool reaped = false;
  ProcessResult result;
  Clock::time_point start;
};

Process::Process(const std::vector<std::string>& argv, const ProcessOptions& options)
    : impl_(new Impl) {
  impl_->start = Clock::now();
  Spawned s = Spawn(argv, options);
  pid_ = s.pid;
  if (options.stdin_open) {
    impl_->in = s.in;
    if (!options.stdin_data.empty()) WriteAll(s.in, options.stdin_data);
  } else {
    WriteAll(s.in, options.stdin_data);
    close(s.in);
  }
  impl_->out_reader = std::thread(Drain, s.out, &impl_->out, &impl_->mu);
  impl_->err_reader = std::thread(Drain, s.err, &impl_->err, &impl_->mu);
}

Process::~Process() {
  if (!impl_->reaped) {
    kill(pid_, SIGKILL);
    Wait(10000);
  }
  delete impl_;
}

void Process::WriteStdin(const std::string& data) {
  if (impl_->in >= 0) WriteAll(impl_->in, data);
}

void Process::CloseStdin() {
  if (impl_->in >= 0) close(impl_->in);
  impl_->in = -1;
}

std::string Process::Output() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->out;
}

bool Process::WaitForOutput(const std::string& text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (Clock::now() < deadline) {
    if (Output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return Output().find(text) != std::string::npos;
}

void Process::Signal(int sig) {
  if (!impl_->reaped) kill(pid_, sig);
}

ProcessResult Process::Wait(int timeout_ms) {
  if (impl_->reaped) return impl_->result;
  ProcessResult& r = impl_->result;
  Reap(pid_, Clock::now() + std::chrono::milliseconds(timeout_ms), &r);
  r.wall_s = std::chrono::duration<double>(Clock::now() - impl_->start).count();
  CloseStdin();
  if (impl_->out_reader.joinable()) impl_->out_reader.join();
  if (impl_->err_reader.joinable()) impl_->err_reader.join();
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    r.out = impl_->out;
    r.err = impl_->err;
  }
  impl_->reaped = true;
  return r;
}

}  // namespace testsupport
