#pragma once

// What the MQTT tests need around the output: a Mosquitto broker of their own on a loopback
// port, a subscriber that records what arrives, the notices the output gives, and host events
// with records built byte by byte.

#include <sys/types.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <json/value.h>

#include "battery_host/outputs/output.h"

struct mosquitto;
struct mosquitto_message;

namespace mqtt_test {

using std::chrono::milliseconds;

// A scratch directory, removed with its files afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A loopback TCP port that nothing listened on a moment ago.
int FreePort();

// Runs a command through the shell; returns its exit status.
int Shell(const std::string& command);

// /usr/sbin/mosquitto with a generated configuration: a listener on 127.0.0.1:port, no
// persistence (a restart forgets retained messages), optional password file and TLS listener.
class TestBroker {
 public:
  struct Config {
    std::string password_file;  // made with mosquitto_passwd; empty: anonymous
    int tls_port = 0;           // 0: no TLS listener
    std::string ca_file, cert_file, key_file;
    std::string extra;  // more configuration, appended (a bridge section)
  };
  TestBroker(const ScratchDir& dir, Config config);
  explicit TestBroker(const ScratchDir& dir) : TestBroker(dir, Config{}) {}
  ~TestBroker();

  // Starts the broker and waits (bounded) until its port accepts connections.
  bool Start();
  // SIGTERM and wait for the process.
  void Stop();
  int port() const { return port_; }
  std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
  std::string Log() const;

 private:
  const ScratchDir& dir_;
  Config config_;
  int port_;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic;
  std::string payload;
  bool retain = false;
};

// A libmosquitto client on its own network thread, subscribed to a topic filter from the
// moment it connects; records every message in order.
class Subscriber {
 public:
  Subscriber(int port, const std::string& filter);
  ~Subscriber();
  bool connected(milliseconds wait);

  // Waits (bounded) until `done` holds for the messages so far; returns whether it did.
  bool WaitFor(const std::function<bool(const std::vector<Received>&)>& done, milliseconds wait);
  // Waits for a message on `topic` whose payload is `payload` (any payload when empty).
  bool WaitForMessage(const std::string& topic, const std::string& payload, milliseconds wait);
  std::vector<Received> messages();
  // The last message on `topic`, or an empty one.
  Received Last(const std::string& topic);

 private:
  static void OnConnect(struct mosquitto*, void*, int);
  static void OnMessage(struct mosquitto*, void*, const struct mosquitto_message*);
  struct mosquitto* mosq_ = nullptr;
  std::string filter_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool subscribed_ = false;
  std::vector<Received> messages_;
};

// The output's notices.
class NoticeLog {
 public:
  outputs::NoticeFn Fn();
  bool WaitFor(const std::string& part, milliseconds wait);
  std::vector<std::string> lines();
  int Count(const std::string& part);

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

// A string's values, the way a round writes them into the 152-byte record.
struct RecordValues {
  std::uint32_t id = 1;
  std::array<float, 32> cells{};
  float group_voltage = 0.0f;
  float group_current = 0.0f;
  float temperature = 0.0f;
  std::array<std::uint8_t, 7> stamp{};
};
std::vector<unsigned char> BuildRecord(const RecordValues& v);
// Year 2026, month, day, hour, minute, second in the host's 7-byte form.
std::array<std::uint8_t, 7> Stamp(int month, int day, int hour, int minute, int second);

outputs::HostEvent History(const RecordValues& v);
outputs::HostEvent TurnEnd(unsigned data_id, bool stalled);
outputs::HostEvent Alarm(unsigned data_id, const std::string& key, const std::string& label,
                         float value, float limit, bool raised);
outputs::DeviceInfo Device(unsigned data_id, int cells, int battery_start = 0);

Json::Value ParseJson(const std::string& text, bool* ok = nullptr);

}  // namespace mqtt_test
