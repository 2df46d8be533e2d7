#include "tests/battery_host/host_safety_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

extern char** environ;

namespace host_safety {

namespace {

bool g_subreaper = false;
std::vector<pid_t> g_sessions;  // hosts started in a session of their own, not yet checked

}  // namespace

int SpawnHost(const std::vector<std::string>& args, const ScratchDir& dir,
              const SpawnOptions& options) {
  std::vector<std::string> all = {BATTERY_HOST_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  // Everything the child needs is opened before fork: after it only async-signal-safe calls.
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const int out = options.stdout_fd >= 0 ? -1
                                         : open(dir.File("stdout.txt").c_str(),
                                                O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err =
      open(dir.File("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int stdout_fd = options.stdout_fd >= 0 ? options.stdout_fd : out;
  EXPECT_TRUE(in >= 0 && stdout_fd >= 0 && err >= 0);
  const bool own_session = !g_subreaper;
  const pid_t pid = fork();
  if (pid == 0) {
    if (own_session) setsid();
    // dup2 clears close-on-exec on the copies; a source that already is 0, 1 or 2 cannot occur
    // (the test holds its own standard streams).
    if (dup2(in, 0) < 0 || dup2(stdout_fd, 1) < 0 || dup2(err, 2) < 0) _exit(126);
    if (options.fsize_limit >= 0) {
      rlimit limit{};
      getrlimit(RLIMIT_FSIZE, &limit);
      limit.rlim_cur = static_cast<rlim_t>(options.fsize_limit);  // the soft limit only
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    if (options.nofile_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(options.nofile_limit),
                         static_cast<rlim_t>(options.nofile_limit)};
      if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(126);
    }
    if (options.uid >= 0 && geteuid() == 0) {
      if (setgid(static_cast<gid_t>(options.uid)) != 0 ||
          setuid(static_cast<uid_t>(options.uid)) != 0) {
        _exit(126);
      }
    }
    if (options.pending_signal > 0) {
      // Blocked and raised: it stays pending across exec, as one sent in the host's first
      // instructions would be.
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, options.pending_signal);
      sigprocmask(SIG_BLOCK, &one, nullptr);
      raise(options.pending_signal);
    }
    execve(argv[0], argv.data(), environ);
    _exit(127);
  }
  EXPECT_GT(pid, 0) << std::strerror(errno);
  if (pid > 0 && own_session) g_sessions.push_back(pid);
  for (int fd : {in, out, err}) {
    if (fd >= 0) close(fd);
  }
  return pid > 0 ? pid : -1;
}

host_run::Result WaitBounded(int pid, const ScratchDir& dir, int timeout_ms) {
  host_run::Result r;
  if (pid <= 0) return r;
  const int fd = PidFd(pid);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  pollfd p{fd, POLLIN, 0};
  int ready = 0;
  do {
    ready = poll(&p, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (fd >= 0) close(fd);
  if (ready <= 0) {
    ADD_FAILURE() << "battery-host still running after " << timeout_ms << " ms; killed";
    kill(pid, SIGKILL);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = host_run::ReadFile(dir.File("stdout.txt"));
  r.err = host_run::ReadFile(dir.File("stderr.txt"));
  return r;
}

void BecomeSubreaper() {
  static const int error = prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0 ? 0 : errno;
  g_subreaper = error == 0;
  if (error == EINVAL) {
    static bool told = false;
    if (!told) {
      told = true;
      std::fprintf(stderr,
                   "note: no child subreaper here (prctl: %s, as under qemu-user); the hosts "
                   "run in sessions of their own and what they leave is looked for there\n",
                   std::strerror(error));
    }
    return;
  }
  ASSERT_EQ(error, 0) << std::strerror(error);
}

namespace {

// The live children of every thread of this process.
std::vector<pid_t> LiveChildren() {
  std::vector<pid_t> pids;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return pids;
  while (const dirent* t = readdir(tasks)) {
    if (t->d_name[0] == '.') continue;
    std::ifstream in(std::string("/proc/self/task/") + t->d_name + "/children");
    pid_t pid = 0;
    while (in >> pid) pids.push_back(pid);
  }
  closedir(tasks);
  return pids;
}

// Processes of the session `sid` (field 6 of /proc/PID/stat).
std::vector<pid_t> InSession(pid_t sid) {
  std::vector<pid_t> pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (const dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    const std::string stat = host_run::ReadFile("/proc/" + std::string(e->d_name) + "/stat");
    const std::size_t paren = stat.rfind(')');  // the command name may hold spaces
    if (paren == std::string::npos) continue;
    std::istringstream fields(stat.substr(paren + 1));
    std::string state;
    long ppid = 0;
    long pgrp = 0;
    long session = 0;
    if (fields >> state >> ppid >> pgrp >> session && session == sid) pids.push_back(pid);
  }
  closedir(proc);
  return pids;
}

}  // namespace

bool NoChildLeft(std::string* found) {
  found->clear();
  std::vector<pid_t> sessions;
  sessions.swap(g_sessions);
  for (pid_t sid : sessions) {
    for (pid_t pid : InSession(sid)) {
      *found += (found->empty() ? "" : ", ") + std::string("process ") + std::to_string(pid) +
                " in the session of host " + std::to_string(sid);
      kill(pid, SIGKILL);
    }
  }
  int status = 0;
  const pid_t first = waitpid(-1, &status, WNOHANG);
  if (first < 0 && errno == ECHILD) return found->empty();
  if (first > 0) {
    *found +=
        (found->empty() ? "" : ", ") + std::string("an exited child ") + std::to_string(first);
  }
  for (pid_t pid : LiveChildren()) {
    *found += (found->empty() ? "" : ", ") + std::string("a running child ") + std::to_string(pid);
    kill(pid, SIGKILL);
  }
  while (waitpid(-1, &status, 0) > 0 || errno == EINTR) {
  }
  if (found->empty()) *found = "waitpid(-1, WNOHANG) returned " + std::to_string(first);
  return false;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::size_t Count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++n;
  }
  return n;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path << ": " << std::strerror(errno);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    ASSERT_GT(n, 0) << path << ": " << std::strerror(errno);
    done += static_cast<std::size_t>(n);
  }
  close(fd);
}

bool WaitForFile(const std::string& path, int host_pid_fd,
                 const std::function<bool(const std::string&)>& done, int timeout_ms) {
  // The folder is watched, so that the file may be created after the watch.
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  EXPECT_GE(watch, 0) << std::strerror(errno);
  EXPECT_GE(inotify_add_watch(watch, folder.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO), 0)
      << folder << ": " << std::strerror(errno);
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  bool held = false;
  for (;;) {
    if (done(host_run::ReadFile(path))) {
      held = true;
      break;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fds[2] = {{watch, POLLIN, 0}, {host_pid_fd, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      held = done(host_run::ReadFile(path));  // what it wrote before it ended
      break;
    }
    char buf[4096];
    while (read(watch, buf, sizeof buf) > 0) {
    }
  }
  close(watch);
  return held;
}

std::size_t FillUntilFull(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  const std::string chunk(4096, 'x');
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = write(fd, chunk.data(), chunk.size());
    if (n > 0) {
      total += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    // EAGAIN: full. A smaller write might still fit a few bytes; single bytes until none does.
    if (write(fd, "x", 1) == 1) {
      ++total;
      continue;
    }
    break;
  }
  fcntl(fd, F_SETFL, flags);
  return total;
}

}  // namespace host_safety
