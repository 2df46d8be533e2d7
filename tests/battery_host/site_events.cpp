#include "tests/battery_host/site_events.h"

#include <fstream>
#include <map>

#include <gtest/gtest.h>

namespace site_events {

using host_run::FromHex;

namespace {

unsigned char Sum254(const Bytes& b, std::size_t from, std::size_t n) {
  unsigned sum = 0;
  for (std::size_t i = from; i < from + n; ++i) sum += b[i];
  return static_cast<unsigned char>((sum % 256) % 254);
}

}  // namespace

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::vector<Json::Value> Of(const std::vector<Json::Value>& events, unsigned int data_id,
                            const std::string& kind) {
  std::vector<Json::Value> out;
  for (const Json::Value& e : events) {
    if (e["data_id"].asUInt() == data_id && e["event"].asString() == kind) out.push_back(e);
  }
  return out;
}

std::vector<Bytes> History(const std::vector<Json::Value>& events, unsigned int data_id) {
  std::vector<Bytes> out;
  for (const Json::Value& e : Of(events, data_id, "history")) {
    out.push_back(FromHex(e["record"].asString()));
  }
  return out;
}

std::vector<RoundReplies> RepliesOf(const std::vector<Json::Value>& events, unsigned int data_id,
                                    unsigned char address, bool late_replies_allowed) {
  std::vector<RoundReplies> rounds;
  std::map<int, Bytes> received;
  int step = 0;
  auto frame = [&](int command, std::size_t len) {
    const Bytes& r = received[command];
    std::size_t start = 0;
    while (start < r.size() && r[start] != 0xED) ++start;
    EXPECT_GE(r.size() - start, len) << "device " << data_id << " command " << command;
    Bytes f(len, 0);
    if (r.size() - start >= len) f.assign(r.begin() + long(start), r.begin() + long(start + len));
    EXPECT_EQ(f[1], address);
    EXPECT_EQ(f[len - 1], Sum254(f, 1, len - 2));
    return f;
  };
  auto raw = [](const Bytes& f) { return static_cast<unsigned int>((f[2] << 8) | f[3]); };
  for (const Json::Value& e : events) {
    if (e["data_id"].asUInt() != data_id) continue;
    const std::string kind = e["event"].asString();
    if (kind == "tx") {
      step = FromHex(e["bytes"].asString()).at(3);
      received[step].clear();
    } else if (kind == "rx" && step != 0) {
      if (e.isMember("outside_turn")) {
        EXPECT_TRUE(late_replies_allowed) << "a reply came after the device's turn";
        continue;  // given to no device
      }
      const Bytes b = FromHex(e["bytes"].asString());
      received[step].insert(received[step].end(), b.begin(), b.end());
    } else if (kind == "send") {
      RoundReplies r;
      r.cells = frame(0xA1, 67);
      r.group = raw(frame(0xA2, 5));
      r.current = raw(frame(0xA3, 5));
      r.temperature = raw(frame(0xA4, 5));
      rounds.push_back(r);
      step = 0;
    }
  }
  return rounds;
}

float Cell(const RoundReplies& r, int i) {
  float v = static_cast<float>((r.cells[2 + 2 * i] << 8) | r.cells[3 + 2 * i]) / 100.0f;
  return v < 9.0f || v > 15.0f ? 0.0f : v;
}
float GroupVoltage(const RoundReplies& r) { return static_cast<float>(r.group) / 10.0f; }
float SensorCurrent(const RoundReplies& r) {
  return ((static_cast<float>(r.current) / 10.0f) / 125.0f - 2.0f) * 50.0f;
}
float Temperature(const RoundReplies& r, float previous) {
  const float t = static_cast<float>(r.temperature) / 100.0f;
  return t > 0.0f && t <= 100.0f ? t : previous;
}

void ExpectTurnsNeverOverlap(const std::vector<Json::Value>& events,
                             const std::set<unsigned int>& line) {
  std::set<unsigned int> waiting;
  for (const Json::Value& e : events) {
    const std::string kind = e["event"].asString();
    const unsigned int id = e["data_id"].asUInt();
    if (line.count(id) == 0) continue;
    if (kind == "tx") {
      for (unsigned int other : waiting) {
        EXPECT_EQ(other, id) << "device " << id << " sent while device " << other
                             << " had its turn: " << e["time"].asString();
      }
      waiting.insert(id);
    } else if (kind == "turn") {
      waiting.erase(id);
    }
  }
}

}  // namespace site_events
