#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

#include "battery/settings_json.h"

// The link's settings: the "appSetting" keys of a device's settings, read the way the device
// reads them. The device reads them into its own members through InitSetting; the host reads the
// same keys with the same reader before it starts (which peers a device asks, the save interval,
// the cell numbering, which keys are the device's at all), so that the two never differ.
//
// Every scalar is read through its JSON text form (asString: "1.5" and 1.5 alike, true as
// "true") and parsed as atoi/atof would on the controller; an array or object where a scalar
// belongs throws from asString, with the keys before it already stored. A key that is absent (or
// null) leaves its target as it was. Lists are merged without duplicates, never cleared.
namespace link_settings {

// Values a device starts with before its settings are read.
constexpr int kDefaultSaveInterval = 28800;  // seconds: 8 hours
constexpr float kDefaultGroupA = 1.0f;
constexpr int kDefaultVersion = 1;

// The control code that sets the save interval while the device runs, and the interval it
// gives: a 16-bit number of minutes, 0 meaning the default.
constexpr int kControlSaveInterval = 100;
constexpr int ControlSaveInterval(std::uint16_t minutes) {
  return minutes == 0 ? kDefaultSaveInterval : static_cast<int>(minutes) * 60;
}

// A controller that watches the two halves of one string through two modules numbers the second
// half's cells on from 17 in its alarm labels ("group_index" 2).
constexpr int kSecondGroupStart = 17;

// The keys in the order they are read. "group_index" and "amount" only act together;
// "active_batteries" and "group_voltage" are lists whose elements are read one by one.
extern const char* const kKeys[17];
bool IsListKey(const char* key);

// Where each value goes.
struct Targets {
  int* battery_type;
  int* current_ratio;
  float* group_a;
  float* group_b;
  float* battery_adjust;
  int* version;
  int* dir;
  int* r_data_id;
  std::string* r_current_field;
  int* save_interval;
  int* battery_start;
  std::vector<int>* active_batteries;
  std::vector<unsigned int>* group_voltage_ids;
  float* t0;
  float* t31;
};

// What is being read: the key, and the element of a list (-1 for a scalar). Left at the value
// whose conversion threw.
struct Position {
  const char* key = nullptr;
  int element = -1;
};

// Reads the "appSetting" object of a device's settings; without one (or when it is not an
// object) nothing is read.
void Read(const Json::Value& settings, const Targets& to, Position* at = nullptr);

// The alarm settings, read before the link's keys. "b_mode" chooses how the device's alarms are
// named; in mode 3 the alarm engine of the operator's network management names each signal
// itself, and every object member of "thresholdSetting" gives the signal's "SignalName" and its
// identity, "NMAlarmID;ID;SignalNumber;" (an absent field left empty), each through its text form.
constexpr int kDefaultAlarmMode = 1;
constexpr int kNamedSignalsMode = 3;
constexpr const char* kSignalNameKey = "SignalName";
inline constexpr const char* kSignalIdentityKeys[] = {"NMAlarmID", "ID", "SignalNumber"};

// Reads "b_mode" (asString + atoi) into `*mode` when an "appSetting" object holds it; true then.
bool ReadAlarmMode(const Json::Value& settings, int* mode, Position* at = nullptr);

// A mode-3 signal's identity; `missing(field)` hears of each absent field, in order. `at->key`
// is left at the field being read (a value that throws from asString).
template <typename Missing>
std::string SignalIdentity(const Json::Value& signal, Missing missing, Position* at = nullptr) {
  std::string identity;
  for (const char* field : kSignalIdentityKeys) {
    if (const Json::Value* v = PresentMember(signal, field)) {
      if (at != nullptr) at->key = field;
      identity += v->asString();
    } else {
      missing(field);
    }
    identity += ";";
  }
  return identity;
}

// The settings as values of their own, for a reader that is not the device.
struct Values {
  int battery_type = 0;
  int current_ratio = 0;
  float group_a = kDefaultGroupA;
  float group_b = 0.0f;
  float battery_adjust = 0.0f;
  int version = kDefaultVersion;
  int dir = 0;
  int r_data_id = 0;
  std::string r_current_field;
  int save_interval = kDefaultSaveInterval;
  int battery_start = 0;
  std::vector<int> active_batteries;
  std::vector<unsigned int> group_voltage_ids;
  float t0 = 0.0f;
  float t31 = 0.0f;

  Targets Each();
};

// A device's whole settings object, read as a new device reads it. A value the device cannot
// read ends the reading there: what came before it is kept and `*at` (if given) names it.
// True when every key was read.
bool ReadDeviceSettings(const Json::Value& settings, Values* values, Position* at = nullptr);

// The current is taken from a peer device's named value only without the sensor formula and
// with both a peer and a field named.
inline bool TakesPeerCurrent(int current_ratio, int r_data_id, const std::string& field) {
  return current_ratio == 0 && r_data_id != 0 && !field.empty();
}

}  // namespace link_settings
