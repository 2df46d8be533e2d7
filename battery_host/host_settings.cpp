#include "battery_host/host_settings.h"

#include <fstream>
#include <memory>
#include <sstream>

#include <json/reader.h>

namespace {

// JsonCpp's messages are several lines ("* Line 3, Column 5\n  Missing ...\n"); the host
// reports the first error on one line: "Line 3, Column 5: Missing ...".
std::string FirstParseError(const std::string& errors) {
  std::istringstream in(errors);
  std::string where;
  std::string what;
  std::getline(in, where);
  std::getline(in, what);
  auto trim = [](std::string s) {
    const std::size_t b = s.find_first_not_of(" *\t");
    const std::size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
  };
  where = trim(where);
  what = trim(what);
  if (what.empty()) return where;
  return where + ": " + what;
}

bool ReadNumber(const Json::Value& v, const std::string& key, const char* name, float* out,
                std::string* error) {
  if (!v.isNumeric()) {
    *error = "hostThresholds." + key + "." + name + " must be a number";
    return false;
  }
  *out = static_cast<float>(v.asDouble());
  return true;
}

}  // namespace

bool LoadSettingsFile(const std::string& path, Json::Value* settings, std::string* error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    *error = "cannot read settings " + path;
    return false;
  }
  std::ostringstream text;
  text << file.rdbuf();
  const std::string s = text.str();
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  if (!reader->parse(s.data(), s.data() + s.size(), settings, &errors)) {
    *error = "invalid settings " + path + ": " + FirstParseError(errors);
    return false;
  }
  if (!settings->isObject()) {
    *error = "invalid settings " + path + ": the file must hold one JSON object";
    return false;
  }
  return true;
}

bool ParseHostThresholds(const Json::Value& settings, int cells,
                         std::map<std::string, HostLimit>* limits, std::string* error) {
  limits->clear();
  const Json::Value& all = settings["hostThresholds"];
  if (all.isNull()) return true;
  if (!all.isObject()) {
    *error = "hostThresholds must be an object";
    return false;
  }
  HostLimit cell_default;
  bool has_cell_default = false;
  for (const std::string& key : all.getMemberNames()) {
    const Json::Value& entry = all[key];
    if (!entry.isObject()) {
      *error = "hostThresholds." + key + " must be an object";
      return false;
    }
    HostLimit limit;
    if (entry.isMember("low")) {
      if (!ReadNumber(entry["low"], key, "low", &limit.band.low, error)) return false;
      limit.band.has_low = true;
    }
    if (entry.isMember("high")) {
      if (!ReadNumber(entry["high"], key, "high", &limit.band.high, error)) return false;
      limit.band.has_high = true;
    }
    if (entry.isMember("level")) {
      if (!entry["level"].isIntegral() || entry["level"].asInt() < 1) {
        *error = "hostThresholds." + key + ".level must be a positive integer";
        return false;
      }
      limit.level = entry["level"].asInt();
    }
    if (key == "*cells*") {
      cell_default = limit;
      has_cell_default = true;
    } else {
      (*limits)[key] = limit;
    }
  }
  if (has_cell_default) {
    for (int i = 0; i < cells; ++i) {
      limits->emplace("battery_" + std::to_string(i) + "_value", cell_default);
    }
  }
  return true;
}

std::string DefaultSettingsPath() { return BATTERY_HOST_SOURCE_DIR "/settings.example.json"; }
