#include "battery_host/config/json_file.h"

#include <memory>
#include <sstream>

#include <json/reader.h>

namespace config {

namespace {

// Where the first bracket beyond the depth limit stands, counting only brackets outside strings
// and comments (the reader accepts // and /* */ comments). Returns false if there is none.
bool FindTooDeep(const std::string& text, int max_depth, int* line, int* column) {
  int depth = 0;
  int l = 1;
  int c = 0;
  enum { kCode, kString, kEscape, kLineComment, kBlockComment } state = kCode;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch == '\n') {
      ++l;
      c = 0;
    } else {
      ++c;
    }
    switch (state) {
      case kCode:
        if (ch == '"') {
          state = kString;
        } else if (ch == '/' && i + 1 < text.size() && text[i + 1] == '/') {
          state = kLineComment;
        } else if (ch == '/' && i + 1 < text.size() && text[i + 1] == '*') {
          state = kBlockComment;
          ++i;
          ++c;
        } else if (ch == '[' || ch == '{') {
          if (++depth > max_depth) {
            *line = l;
            *column = c;
            return true;
          }
        } else if (ch == ']' || ch == '}') {
          if (depth > 0) --depth;
        }
        break;
      case kString:
        if (ch == '\\')
          state = kEscape;
        else if (ch == '"')
          state = kCode;
        break;
      case kEscape:
        state = kString;
        break;
      case kLineComment:
        if (ch == '\n') state = kCode;
        break;
      case kBlockComment:
        if (ch == '*' && i + 1 < text.size() && text[i + 1] == '/') {
          state = kCode;
          ++i;
          ++c;
        }
        break;
    }
  }
  return false;
}

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

}  // namespace

bool ParseJsonObject(const std::string& text, Json::Value* out, std::string* error) {
  int line = 0;
  int column = 0;
  if (FindTooDeep(text, kJsonMaxDepth, &line, &column)) {
    *error = "Line " + std::to_string(line) + ", Column " + std::to_string(column) +
             ": nested deeper than " + std::to_string(kJsonMaxDepth) + " levels";
    return false;
  }
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["strictRoot"] = true;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  builder["allowSpecialFloats"] = false;
  // The scan above already bounds the depth; the reader's own limit is a second fence.
  builder["stackLimit"] = kJsonMaxDepth + 8;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string errors;
  Json::Value value;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors)) {
      // The reader quotes keys ("Duplicate key: '...'"), control characters and all.
      *error = support::Printable(FirstParseError(errors));
      return false;
    }
  } catch (const Json::Exception& e) {
    *error = support::Printable(e.what());
    return false;
  }
  if (!value.isObject()) {
    *error = "the file must hold one JSON object";
    return false;
  }
  *out = std::move(value);
  return true;
}

std::string LineColumn(const std::string& text, std::size_t offset) {
  int line = 1;
  int column = 1;
  for (std::size_t i = 0; i < offset && i < text.size(); ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return "Line " + std::to_string(line) + ", Column " + std::to_string(column);
}

std::string JsonDocument::Where(const Json::Value& value) const {
  const std::ptrdiff_t start = value.getOffsetStart();
  if (start <= 0 && value.getOffsetLimit() <= 0) return std::string();
  return LineColumn(text, static_cast<std::size_t>(start));
}

std::string JsonDocument::Error(const Json::Value& at, const std::string& message) const {
  const std::string where = Where(at);
  // Key names and file names from the text are in the message: it must stay one line.
  return support::Printable("invalid " + what + " " + path + ": " +
                            (where.empty() ? "" : where + ": ") + message);
}

support::FileRead ReadJsonObjectFile(const std::string& path, const char* what, JsonDocument* out,
                                     std::string* error) {
  JsonDocument doc;
  doc.what = what;
  doc.path = path;
  const support::FileRead r = support::ReadRegularFile(path, what, kJsonMaxBytes, &doc.text, error);
  if (r != support::FileRead::kOk) return r;
  std::string why;
  if (!ParseJsonObject(doc.text, &doc.root, &why)) {
    *error = support::Printable(std::string("invalid ") + what + " " + path + ": " + why);
    return support::FileRead::kRefused;
  }
  *out = std::move(doc);
  return support::FileRead::kOk;
}

}  // namespace config
