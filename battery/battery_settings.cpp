// How the host configures, controls and queries the link: settings, control codes, group values.
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>

#include "battery/battery.h"
#include "battery/settings_json.h"
#include "battery/settings_parse.h"

using settings_parse::DoubleToFloat;
using settings_parse::DoubleToInt;
using settings_parse::ParseDouble;
using settings_parse::ParseInt;

namespace {

// No device has more than 32 cells; the group rule never needs an index from 32 up.
constexpr int kMaxCells = 32;

// Every scalar is read through its text form: "1.5" and 1.5 alike, true as "true". An array or
// object throws from asString; that reaches the host with the keys before it applied.
bool ReadText(const Json::Value& app, const char* key, std::string* out) {
  const Json::Value* v = PresentMember(app, key);
  if (v == nullptr) return false;
  *out = v->asString();
  return true;
}

bool ReadInt(const Json::Value& app, const char* key, int* out) {
  std::string text;
  if (!ReadText(app, key, &text)) return false;
  *out = ParseInt(text);
  return true;
}

bool ReadFloat(const Json::Value& app, const char* key, float* out) {
  std::string text;
  if (!ReadText(app, key, &text)) return false;
  *out = DoubleToFloat(ParseDouble(text));
  return true;
}

bool ReadTruncated(const Json::Value& app, const char* key, int* out) {
  std::string text;
  if (!ReadText(app, key, &text)) return false;
  *out = DoubleToInt(ParseDouble(text));
  return true;
}

// Appends the parsed elements of a JSON array that are not in the list yet.
template <typename T, typename Convert>
void MergeList(const Json::Value& app, const char* key, std::vector<T>* list, Convert convert) {
  const Json::Value* v = PresentMember(app, key);
  if (v == nullptr || !v->isArray()) return;
  std::set<T> held(list->begin(), list->end());
  for (Json::ArrayIndex i = 0; i < v->size(); ++i) {
    const T item = convert((*v)[i].asString());
    if (held.insert(item).second) list->push_back(item);
  }
}

}  // namespace

int Battery::InitSetting(const Json::Value& settings) {
  // The host keeps the module's address with bit 7 set; on the bus it is sent without. Every call
  // inverts it again.
  addr_ = static_cast<std::uint8_t>(addr_ ^ 0x80u);

  const Json::Value* found = PresentMember(settings, "appSetting");
  if (found == nullptr || !found->isObject()) return 1;
  const Json::Value& app = *found;

  ReadTruncated(app, "battery_type", &battery_type_);
  ReadTruncated(app, "current_ratio", &current_ratio_);
  ReadFloat(app, "group_a", &group_a_);
  ReadFloat(app, "group_b", &group_b_);
  ReadFloat(app, "battery_adjust", &battery_adjust_);
  ReadInt(app, "version", &version_);
  ReadInt(app, "dir", &dir_);
  ReadInt(app, "r_data_id", &r_data_id_);
  ReadText(app, "r_current_field", &r_current_field_);

  int minutes = 0;
  if (ReadInt(app, "save_interval", &minutes)) {
    const long long seconds = static_cast<long long>(minutes) * 60;
    save_interval_ = (seconds <= 0 || seconds > INT_MAX) ? 28800 : static_cast<int>(seconds);
  }

  // Group rule: a controller watching two halves of one string numbers the second half's cells
  // from 18 in its alarm labels.
  int group = 0;
  int amount = 0;
  if (PresentMember(app, "group_index") != nullptr && PresentMember(app, "amount") != nullptr) {
    ReadInt(app, "group_index", &group);
    ReadInt(app, "amount", &amount);
    if (group == 1 || group == 2) {
      battery_start_ = group == 1 ? 0 : 17;
      const int count = std::min(amount, kMaxCells);
      for (int i = 0; i < count; ++i) active_batteries_.push_back(i);
    }
  }

  MergeList(app, "active_batteries", &active_batteries_,
            [](const std::string& text) { return ParseInt(text); });
  ReadInt(app, "battery_start", &battery_start_);
  // Data ids are unsigned; "-1" names 4294967295, as on the controller.
  MergeList(app, "group_voltage", &group_voltage_ids_,
            [](const std::string& text) { return static_cast<unsigned int>(ParseInt(text)); });

  ReadFloat(app, "t0", &t0_);
  ReadFloat(app, "t31", &t31_);
  return 1;
}

int Battery::DeviceIoControl(int code, const unsigned char* in, int in_len, unsigned char* out,
                             int out_capacity, int& out_len) {
  (void)out;
  (void)out_capacity;
  (void)out_len;
  if (code == kControlSaveInterval) {
    if (in == nullptr || in_len < 2) return -1;
    // Minutes as a 16-bit number in the host's own byte order.
    std::uint16_t minutes = 0;
    std::memcpy(&minutes, in, sizeof minutes);
    save_interval_ = minutes == 0 ? 28800 : static_cast<int>(minutes) * 60;
  }
  return 0;
}

float Battery::Get_Value(unsigned int data_id, const std::string& name) const {
  (void)data_id;
  if (name == "group_voltage") return group_voltage_;
  if (name == "group_current") return group_current_;
  if (name == "temperature") return temperature_;
  throw std::out_of_range("不支持变量");
}
