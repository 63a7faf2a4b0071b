#include "bench/bench_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern char** environ;

namespace bench {
namespace {

double Seconds(const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) / 1e6; }

int OpenPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return int(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// The environment of the child: ours with the extra entries put in place of
// any of the same name.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const auto& x : extra) replaced = replaced || x.compare(0, name.size() + 1, name + "=") == 0;
    if (!replaced) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

}  // namespace

std::int64_t NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int Spawn(const SpawnOptions& o, Child* child) {
  *child = Child{};
  int in[2] = {-1, -1}, out[2] = {-1, -1};
  if (o.stdin_pipe && pipe2(in, O_CLOEXEC) != 0) return errno;
  if (o.stdout_pipe && pipe2(out, O_CLOEXEC) != 0) {
    const int e = errno;
    if (in[0] >= 0) close(in[0]), close(in[1]);
    return e;
  }
  // Everything the child needs is prepared before the fork.
  std::vector<std::string> env = ChildEnvironment(o.env);
  std::vector<char*> envp, argv;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = o.argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  child->start_ns = NowNs();
  const pid_t pid = fork();
  if (pid < 0) return errno;
  if (pid == 0) {
    int fd0 = o.stdin_pipe ? in[0] : open("/dev/null", O_RDONLY);
    int fd1 = o.stdout_pipe ? out[1]
              : !o.stdout_file.empty()
                  ? open(o.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)
                  : open("/dev/null", O_WRONLY);
    if (fd0 < 0 || fd1 < 0 || dup2(fd0, 0) < 0 || dup2(fd1, 1) < 0) _exit(126);
    if (!o.cwd.empty() && chdir(o.cwd.c_str()) != 0) _exit(126);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  child->pid = pid;
  child->pidfd = OpenPidfd(pid);
  if (o.stdin_pipe) {
    close(in[0]);
    child->stdin_fd = in[1];
  }
  if (o.stdout_pipe) {
    close(out[1]);
    child->stdout_fd = out[0];
    fcntl(out[0], F_SETFL, fcntl(out[0], F_GETFL) | O_NONBLOCK);
  }
  return 0;
}

void WaitChild(Child* child, int timeout_ms, ChildEnd* end) {
  *end = ChildEnd{};
  const std::int64_t deadline = NowNs() + std::int64_t(timeout_ms) * 1000000;
  bool exited = false;
  while (!exited) {
    const std::int64_t left_ms = (deadline - NowNs()) / 1000000;
    if (left_ms <= 0) break;
    if (child->pidfd >= 0) {
      pollfd p{child->pidfd, POLLIN, 0};
      const int r = poll(&p, 1, int(left_ms > 1000 ? 1000 : left_ms));
      exited = r > 0;
    } else {
      // Without a pidfd: look every millisecond (leaves the child unreaped).
      siginfo_t info{};
      if (waitid(P_PID, id_t(child->pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
          info.si_pid == child->pid)
        exited = true;
      else
        usleep(1000);
    }
  }
  end->exit_ns = NowNs();
  if (!exited) {
    end->timed_out = true;
    kill(child->pid, SIGKILL);
  }
  int status = 0;
  rusage usage{};
  while (wait4(child->pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  end->wall_s = double(end->exit_ns - child->start_ns) / 1e9;
  end->cpu_s = Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
  end->exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  for (int* fd : {&child->pidfd, &child->stdin_fd, &child->stdout_fd}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

bool ReadUntil(int fd, std::string* acc, const std::string& text, int timeout_ms) {
  const std::int64_t deadline = NowNs() + std::int64_t(timeout_ms) * 1000000;
  while (acc->find(text) == std::string::npos) {
    const std::int64_t left_ms = (deadline - NowNs()) / 1000000;
    if (left_ms <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, int(left_ms)) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) acc->append(buf, std::size_t(n));
    else if (n == 0) return acc->find(text) != std::string::npos;  // end of output
    else if (errno != EAGAIN && errno != EINTR) return false;
  }
  return true;
}

bool WriteWholeFile(const std::string& path, const void* data, std::size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

std::string ReadWholeFile(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return "";
  std::string s;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  std::fclose(f);
  return s;
}

}  // namespace bench
