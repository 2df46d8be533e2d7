#include "tests/mqtt/mqtt_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include <json/json.h>

#include "battery/byte_order.h"

namespace mqtt_test {

ScratchDir::ScratchDir() {
  char tmpl[] = "/tmp/mqtt_test_XXXXXX";
  path_ = mkdtemp(tmpl);
}

ScratchDir::~ScratchDir() { Shell("rm -rf '" + path_ + "'"); }

int Shell(const std::string& command) { return std::system(command.c_str()); }

int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

namespace {

bool PortAccepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return ok;
}

}  // namespace

TestBroker::TestBroker(const ScratchDir& dir, Config config)
    : dir_(dir), config_(std::move(config)), port_(FreePort()) {}

TestBroker::~TestBroker() { Stop(); }

bool TestBroker::Start() {
  const std::string conf = dir_.File("mosquitto.conf");
  {
    std::ofstream out(conf);
    // Run as root (the test user here), the broker would switch to the mosquitto user, which
    // may not write into the scratch directory or read the password file.
    if (geteuid() == 0) out << "user root\n";
    out << "persistence false\n"
        << "log_dest file " << dir_.File("mosquitto.log") << "\n"
        << "log_type all\n"
        << "per_listener_settings false\n"
        << "listener " << port_ << " 127.0.0.1\n";
    if (config_.password_file.empty()) {
      out << "allow_anonymous true\n";
    } else {
      out << "allow_anonymous false\n"
          << "password_file " << config_.password_file << "\n";
    }
    if (config_.tls_port) {
      out << "listener " << config_.tls_port << " 127.0.0.1\n"
          << "cafile " << config_.ca_file << "\n"
          << "certfile " << config_.cert_file << "\n"
          << "keyfile " << config_.key_file << "\n";
    }
    out << config_.extra;
  }
  pid_ = fork();
  if (pid_ == 0) {
    // Its start-up warnings (running as root) go with its log, not into the test's output.
    const int err = open(dir_.File("mosquitto.stderr").c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (err >= 0) dup2(err, STDERR_FILENO);
    execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    if (PortAccepts(port_) && (!config_.tls_port || PortAccepts(config_.tls_port))) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return false;
    }
    std::this_thread::sleep_for(milliseconds(10));  // a process starting: nothing to await
  }
  return false;
}

void TestBroker::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::string TestBroker::Log() const {
  std::ifstream in(dir_.File("mosquitto.log"));
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

Subscriber::Subscriber(int port, const std::string& filter) : filter_(filter) {
  mosquitto_lib_init();
  mosq_ = mosquitto_new(nullptr, true, this);
  mosquitto_connect_callback_set(mosq_, &Subscriber::OnConnect);
  mosquitto_message_callback_set(mosq_, &Subscriber::OnMessage);
  mosquitto_connect_async(mosq_, "127.0.0.1", port, 30);
  mosquitto_loop_start(mosq_);
}

Subscriber::~Subscriber() {
  mosquitto_disconnect(mosq_);
  mosquitto_loop_stop(mosq_, false);
  mosquitto_destroy(mosq_);
}

void Subscriber::OnConnect(struct mosquitto* mosq, void* self, int rc) {
  auto* s = static_cast<Subscriber*>(self);
  if (rc != 0) return;
  mosquitto_subscribe(mosq, nullptr, s->filter_.c_str(), 1);
  std::lock_guard<std::mutex> lock(s->mutex_);
  s->subscribed_ = true;
  s->changed_.notify_all();
}

void Subscriber::OnMessage(struct mosquitto*, void* self, const struct mosquitto_message* m) {
  auto* s = static_cast<Subscriber*>(self);
  std::lock_guard<std::mutex> lock(s->mutex_);
  s->messages_.push_back(
      {m->topic,
       std::string(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen)),
       m->retain});
  s->changed_.notify_all();
}

bool Subscriber::connected(milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, wait, [this] { return subscribed_; });
}

bool Subscriber::WaitFor(const std::function<bool(const std::vector<Received>&)>& done,
                         milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, wait, [&] { return done(messages_); });
}

bool Subscriber::WaitForMessage(const std::string& topic, const std::string& payload,
                                milliseconds wait) {
  return WaitFor(
      [&](const std::vector<Received>& all) {
        for (const Received& r : all) {
          if (r.topic == topic && (payload.empty() || r.payload == payload)) return true;
        }
        return false;
      },
      wait);
}

std::vector<Received> Subscriber::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

Received Subscriber::Last(const std::string& topic) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = messages_.rbegin(); it != messages_.rend(); ++it) {
    if (it->topic == topic) return *it;
  }
  return {};
}

outputs::NoticeFn NoticeLog::Fn() {
  return [this](const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
    changed_.notify_all();
  };
}

bool NoticeLog::WaitFor(const std::string& part, milliseconds wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, wait, [&] {
    for (const std::string& l : lines_) {
      if (l.find(part) != std::string::npos) return true;
    }
    return false;
  });
}

std::vector<std::string> NoticeLog::lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

int NoticeLog::Count(const std::string& part) {
  int n = 0;
  for (const std::string& l : lines()) n += l.find(part) != std::string::npos;
  return n;
}

std::vector<unsigned char> BuildRecord(const RecordValues& v) {
  std::vector<unsigned char> r(152, 0);
  byte_order::WriteLe32(&r[0], v.id);
  for (std::size_t i = 0; i < 32; ++i) byte_order::WriteLeFloat(&r[4 + 4 * i], v.cells[i]);
  byte_order::WriteLeFloat(&r[132], v.group_voltage);
  byte_order::WriteLeFloat(&r[136], v.group_current);
  r[140] = 0;
  byte_order::WriteLeFloat(&r[141], v.temperature);  // the unaligned one
  for (std::size_t i = 0; i < 7; ++i) r[145 + i] = v.stamp[i];
  return r;
}

std::array<std::uint8_t, 7> Stamp(int month, int day, int hour, int minute, int second) {
  return {0xEA,
          0x07,  // 2026, little-endian
          static_cast<std::uint8_t>(month),
          static_cast<std::uint8_t>(day),
          static_cast<std::uint8_t>(hour),
          static_cast<std::uint8_t>(minute),
          static_cast<std::uint8_t>(second)};
}

outputs::HostEvent History(const RecordValues& v) {
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kHistory;
  e.data_id = v.id;
  e.bytes = BuildRecord(v);
  return e;
}

outputs::HostEvent TurnEnd(unsigned data_id, bool stalled) {
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kTurnEnd;
  e.data_id = data_id;
  e.status.stalled = stalled;
  return e;
}

outputs::HostEvent Alarm(unsigned data_id, const std::string& key, const std::string& label,
                         float value, float limit, bool raised) {
  outputs::HostEvent e;
  e.kind = outputs::EventKind::kAlarm;
  e.data_id = data_id;
  e.rule.key = key;
  e.rule.label = label;
  e.rule.value = value;
  e.rule.limit = limit;
  e.rule.alarm = raised;
  e.raised = raised;
  return e;
}

outputs::DeviceInfo Device(unsigned data_id, int cells, int battery_start) {
  outputs::DeviceInfo d;
  d.data_id = data_id;
  d.type = "ondrell_20";
  d.cells = cells;
  d.battery_start = battery_start;
  return d;
}

Json::Value ParseJson(const std::string& text, bool* ok) {
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  const bool parsed = reader->parse(text.data(), text.data() + text.size(), &value, &errors);
  if (ok) *ok = parsed;
  return value;
}

}  // namespace mqtt_test
