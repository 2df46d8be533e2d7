#include "battery/link_settings.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <set>

#include "battery/settings_json.h"
#include "battery/settings_parse.h"

namespace link_settings {

const char* const kKeys[17] = {"battery_type",
                               "current_ratio",
                               "group_a",
                               "group_b",
                               "battery_adjust",
                               "version",
                               "dir",
                               "r_data_id",
                               "r_current_field",
                               "save_interval",
                               "group_index",
                               "amount",
                               "active_batteries",
                               "battery_start",
                               "group_voltage",
                               "t0",
                               "t31"};

bool IsListKey(const char* key) {
  return std::strcmp(key, "active_batteries") == 0 || std::strcmp(key, "group_voltage") == 0;
}

namespace {

using settings_parse::DoubleToFloat;
using settings_parse::DoubleToInt;
using settings_parse::ParseDouble;
using settings_parse::ParseInt;

// No device has more than 32 cells; the group rule never needs an index from 32 up.
constexpr int kMaxCells = 32;

class Reader {
 public:
  Reader(const Json::Value& app, Position* at) : app_(app), at_(at) {}

  bool Text(const char* key, std::string* out) {
    const Json::Value* v = PresentMember(app_, key);
    if (v == nullptr) return false;
    Mark(key, -1);
    *out = v->asString();
    return true;
  }

  bool Int(const char* key, int* out) {
    std::string text;
    if (!Text(key, &text)) return false;
    *out = ParseInt(text);
    return true;
  }

  void Float(const char* key, float* out) {
    std::string text;
    if (Text(key, &text)) *out = DoubleToFloat(ParseDouble(text));
  }

  void Truncated(const char* key, int* out) {
    std::string text;
    if (Text(key, &text)) *out = DoubleToInt(ParseDouble(text));
  }

  // Appends the parsed elements of a JSON array that are not in the list yet.
  template <typename T, typename Convert>
  void Merge(const char* key, std::vector<T>* list, Convert convert) {
    const Json::Value* v = PresentMember(app_, key);
    if (v == nullptr || !v->isArray()) return;
    std::set<T> held(list->begin(), list->end());
    for (Json::ArrayIndex i = 0; i < v->size(); ++i) {
      Mark(key, static_cast<int>(i));
      const T item = convert((*v)[i].asString());
      if (held.insert(item).second) list->push_back(item);
    }
  }

  bool Has(const char* key) const { return PresentMember(app_, key) != nullptr; }

 private:
  void Mark(const char* key, int element) {
    if (at_ == nullptr) return;
    at_->key = key;
    at_->element = element;
  }

  const Json::Value& app_;
  Position* at_;
};

}  // namespace

void Read(const Json::Value& settings, const Targets& to, Position* at) {
  const Json::Value* found = PresentMember(settings, "appSetting");
  if (found == nullptr || !found->isObject()) return;
  Reader r(*found, at);

  r.Truncated("battery_type", to.battery_type);
  r.Truncated("current_ratio", to.current_ratio);
  r.Float("group_a", to.group_a);
  r.Float("group_b", to.group_b);
  r.Float("battery_adjust", to.battery_adjust);
  r.Int("version", to.version);
  r.Int("dir", to.dir);
  r.Int("r_data_id", to.r_data_id);
  r.Text("r_current_field", to.r_current_field);

  int minutes = 0;
  if (r.Int("save_interval", &minutes)) {
    const long long seconds = static_cast<long long>(minutes) * 60;
    *to.save_interval =
        (seconds <= 0 || seconds > INT_MAX) ? kDefaultSaveInterval : static_cast<int>(seconds);
  }

  // Group rule: both halves of a string check the same cell indexes; only the label numbering
  // of the second half starts further on.
  if (r.Has("group_index") && r.Has("amount")) {
    int group = 0;
    int amount = 0;
    r.Int("group_index", &group);
    r.Int("amount", &amount);
    if (group == 1 || group == 2) {
      *to.battery_start = group == 1 ? 0 : kSecondGroupStart;
      const int count = std::min(amount, kMaxCells);
      for (int i = 0; i < count; ++i) to.active_batteries->push_back(i);
    }
  }

  r.Merge("active_batteries", to.active_batteries,
          [](const std::string& text) { return ParseInt(text); });
  r.Int("battery_start", to.battery_start);
  // Data ids are unsigned; "-1" names 4294967295, as on the controller.
  r.Merge("group_voltage", to.group_voltage_ids,
          [](const std::string& text) { return static_cast<unsigned int>(ParseInt(text)); });

  r.Float("t0", to.t0);
  r.Float("t31", to.t31);
}

bool ReadAlarmMode(const Json::Value& settings, int* mode, Position* at) {
  const Json::Value* app = PresentMember(settings, "appSetting");
  const Json::Value* v = app != nullptr ? PresentMember(*app, "b_mode") : nullptr;
  if (v == nullptr) return false;
  if (at != nullptr) *at = Position{"b_mode", -1};
  *mode = ParseInt(v->asString());
  return true;
}

Targets Values::Each() {
  return Targets{&battery_type,
                 &current_ratio,
                 &group_a,
                 &group_b,
                 &battery_adjust,
                 &version,
                 &dir,
                 &r_data_id,
                 &r_current_field,
                 &save_interval,
                 &battery_start,
                 &active_batteries,
                 &group_voltage_ids,
                 &t0,
                 &t31};
}

bool ReadDeviceSettings(const Json::Value& settings, Values* values, Position* at) {
  try {
    Read(settings, values->Each(), at);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace link_settings
