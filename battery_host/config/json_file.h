#pragma once

#include <cstddef>
#include <string>

#include <json/value.h>

#include "battery_host/support/input_file.h"

namespace config {

// JSON files the host reads (device settings, the site file): one JSON object each, parsed with
// limits so that no input can take the host down. Nesting deeper than kJsonMaxDepth levels is
// refused before the parser sees it (the parser would recurse once per level); text after the
// object, duplicate member names and a root that is not an object are refused like syntax errors,
// with line and column.

constexpr int kJsonMaxDepth = 64;
constexpr std::size_t kJsonMaxBytes = 4u
                                      << 20;  // 4 MiB: settings of hundreds of signals fit easily

// A parsed file with its text, so that a value found wrong later (out of range, unknown key)
// can be reported at its line and column like a syntax error.
struct JsonDocument {
  std::string what;  // "settings", "site file"
  std::string path;
  std::string text;
  Json::Value root;

  // "Line L, Column C" of where `value` starts in the text; empty for a value not from it.
  std::string Where(const Json::Value& value) const;
  // "invalid settings F: Line L, Column C: message"
  std::string Error(const Json::Value& at, const std::string& message) const;
};

// "Line L, Column C" of a byte offset in `text` (both from 1).
std::string LineColumn(const std::string& text, std::size_t offset);

// On failure returns false with "Line L, Column C: what" (or just "what" without a place).
bool ParseJsonObject(const std::string& text, Json::Value* out, std::string* error);

// Reads `path` (a regular file of at most kJsonMaxBytes) and parses it. Errors are one line naming
// the file: "invalid settings F: Line 2, Column 1: ...", "settings F is a named pipe, ...".
support::FileRead ReadJsonObjectFile(const std::string& path, const char* what, JsonDocument* out,
                                     std::string* error);

}  // namespace config
