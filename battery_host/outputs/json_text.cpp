#include "battery_host/outputs/json_text.h"

#include <time.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>

#include <json/writer.h>

#include "battery_host/outputs/float_text.h"

namespace outputs {

std::string HexText(const unsigned char* data, std::size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * len);
  for (std::size_t i = 0; i < len; ++i) {
    out += kDigits[data[i] >> 4];
    out += kDigits[data[i] & 0x0F];
  }
  return out;
}

// The double nearest the float's shortest text: written with nine significant digits (JsonLine()),
// it prints as exactly that text, since the text has at most nine.
Json::Value JsonFloatValue(float value) {
  if (!std::isfinite(value)) return Json::Value(Json::nullValue);
  return Json::Value(std::strtod(FloatText(value).c_str(), nullptr));
}

std::string JsonFloatText(float value) {
  if (!std::isfinite(value)) return "null";
  return FloatText(value);
}

std::string JsonTimeText(WallClock::time_point at) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch());
  const time_t seconds = static_cast<time_t>(ms.count() / 1000);
  const int millis = static_cast<int>(ms.count() % 1000);
  struct tm utc {};
  gmtime_r(&seconds, &utc);
  char buf[80];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, millis);
  return buf;
}

namespace {

std::unique_ptr<Json::StreamWriter> MakeWriter() {
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "";
  builder["commentStyle"] = "None";
  builder["emitUTF8"] = true;
  builder["precision"] = 9;
  builder["precisionType"] = "significant";
  return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
}

}  // namespace

std::string JsonLine(const Json::Value& object) {
  // One writer per thread: the events file and the publishers write from their own threads.
  thread_local const std::unique_ptr<Json::StreamWriter> writer = MakeWriter();
  std::ostringstream out;
  writer->write(object, &out);
  return out.str();
}

}  // namespace outputs
