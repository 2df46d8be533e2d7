#include "tests/battery_host/host_run_support.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <termios.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>
#include <json/reader.h>

extern char** environ;

namespace host_run {

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/battery_host_run_XXXXXX";
  const char* made = mkdtemp(tmpl);
  path_ = made != nullptr ? made : "/tmp";
}

ScratchDir::~ScratchDir() {
  if (path_ != "/tmp") std::system(("rm -rf '" + path_ + "'").c_str());
}

int Spawn(const std::vector<std::string>& args, const ScratchDir& dir) {
  std::vector<std::string> all = {BATTERY_HOST_EXE};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, dir.File("stdout.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, dir.File("stderr.txt").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(rc, 0) << std::strerror(rc);
  return rc == 0 ? pid : -1;
}

Result Wait(int pid, const ScratchDir& dir) {
  Result r;
  if (pid <= 0) return r;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = ReadFile(dir.File("stdout.txt"));
  r.err = ReadFile(dir.File("stderr.txt"));
  return r;
}

Pty::Pty() {
  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(master, 0) << std::strerror(errno);
  grantpt(master);
  unlockpt(master);
  slave_path = ptsname(master);
  termios tio{};
  tcgetattr(master, &tio);
  cfmakeraw(&tio);
  tcsetattr(master, TCSANOW, &tio);
  slave = open(slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  EXPECT_GE(slave, 0) << slave_path << ": " << std::strerror(errno);
}

void Pty::Unplug() {
  if (slave >= 0) close(slave);
  if (master >= 0) close(master);
  slave = master = -1;
}

int PidFd(int pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

void ServeModule(int exit_fd, const std::function<int()>& master,
                 const std::function<bool(const simulator::Reply&, int)>& after) {
  simulator::Config config;
  config.current_encoding = simulator::CurrentEncoding::kSensor;
  simulator::Module module(config);
  int temperatures = 0;
  for (;;) {
    const int fd = master();
    pollfd fds[2] = {{exit_fd, POLLIN, 0}, {fd, POLLIN, 0}};
    ASSERT_GT(poll(fds, 2, 60000), 0) << "neither a request nor the host's end within 60 s";
    if (fds[0].revents & POLLIN) return;  // the host has ended
    unsigned char buf[256];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) continue;
    for (const simulator::Reply& reply : module.Receive(buf, static_cast<std::size_t>(n))) {
      for (const simulator::Bytes& chunk : reply.chunks) {
        ASSERT_EQ(write(fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
      }
      if (reply.command == simulator::kCmdTemperature) ++temperatures;
      if (!after(reply, temperatures)) return;
      if (master() != fd) break;  // the line was swapped: the rest went to the old one
    }
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<Json::Value> ReadEvents(const std::string& path) {
  std::vector<Json::Value> events;
  std::istringstream in(ReadFile(path));
  std::string line;
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  while (std::getline(in, line)) {
    Json::Value v;
    std::string errors;
    EXPECT_TRUE(reader->parse(line.data(), line.data() + line.size(), &v, &errors))
        << line << ": " << errors;
    events.push_back(v);
  }
  return events;
}

simulator::Bytes FromHex(const std::string& hex) {
  simulator::Bytes b;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    b.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return b;
}

std::vector<simulator::Bytes> Records(const std::vector<Json::Value>& events,
                                      const std::string& kind) {
  std::vector<simulator::Bytes> records;
  for (const Json::Value& e : events) {
    if (e["event"].asString() == kind) records.push_back(FromHex(e["record"].asString()));
  }
  return records;
}

std::uint32_t U32At(const simulator::Bytes& r, std::size_t at) {
  return static_cast<std::uint32_t>(r[at]) | (static_cast<std::uint32_t>(r[at + 1]) << 8) |
         (static_cast<std::uint32_t>(r[at + 2]) << 16) |
         (static_cast<std::uint32_t>(r[at + 3]) << 24);
}

float FloatAt(const simulator::Bytes& r, std::size_t at) {
  const std::uint32_t bits = U32At(r, at);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

namespace {

constexpr unsigned char kAddress = 0x01;

unsigned char Sum254(const unsigned char* p, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += p[i];
  return static_cast<unsigned char>((sum % 256) % 254);
}

// The reply as the device collects it: from the first 0xED after the request, `len` bytes.
simulator::Bytes Frame(const simulator::Bytes& received, std::size_t len) {
  std::size_t start = 0;
  while (start < received.size() && received[start] != 0xED) ++start;
  if (received.size() - start < len) {
    ADD_FAILURE() << "a completed round without a whole reply: " << received.size() - start
                  << " bytes";
    return simulator::Bytes(len, 0);
  }
  simulator::Bytes f(received.begin() + static_cast<long>(start),
                     received.begin() + static_cast<long>(start + len));
  EXPECT_EQ(f[1], kAddress);
  EXPECT_EQ(f[len - 1], Sum254(&f[1], len - 2)) << "accepted reply with a bad checksum";
  return f;
}

float Raw(const simulator::Bytes& f, std::size_t at) {
  return static_cast<float>(static_cast<unsigned>((f[at] << 8) | f[at + 1]));
}

}  // namespace

// The example settings: 12 V blocks (cells raw/100, window 9..15 V), version 1 (group raw/10),
// current from the sensor formula, temperature raw/100 kept only within (0, 100].
std::vector<Measured> MeasuredRounds(const std::vector<Json::Value>& events, float temperature) {
  std::vector<Measured> rounds;
  std::map<int, simulator::Bytes>
      received;  // per request code, the bytes read since its latest sending
  int step = 0;
  for (const Json::Value& e : events) {
    const std::string kind = e["event"].asString();
    if (kind == "tx") {
      const simulator::Bytes frame = FromHex(e["bytes"].asString());
      step = frame.at(3);
      received[step].clear();
    } else if (kind == "rx" && step != 0) {
      const simulator::Bytes b = FromHex(e["bytes"].asString());
      received[step].insert(received[step].end(), b.begin(), b.end());
    } else if (kind == "send") {
      Measured m;
      const simulator::Bytes cells = Frame(received[0xA1], 67);
      float sum = 0.0f;
      for (int i = 0; i < 20; ++i) {
        float v = Raw(cells, 2 + 2 * i) / 100.0f;
        if (v < 9.0f || v > 15.0f) v = 0.0f;
        m.cells[i] = v;
        sum += v;
      }
      m.group_voltage = Raw(Frame(received[0xA2], 5), 2) / 10.0f;
      if (m.group_voltage < 40.0f) m.group_voltage = sum;
      m.group_current = ((Raw(Frame(received[0xA3], 5), 2) / 10.0f) / 125.0f - 2.0f) * 50.0f;
      const float t = Raw(Frame(received[0xA4], 5), 2) / 100.0f;
      if (t > 0.0f && t <= 100.0f) temperature = t;
      m.temperature = temperature;
      rounds.push_back(m);
      step = 0;
    }
  }
  return rounds;
}

}  // namespace host_run
