#pragma once

#include <cstring>

#include <json/value.h>

// A settings member counts as present when it exists and is not null: the configuration tool
// writes null for a field the operator cleared. Anything that is not an object has no members.
inline const Json::Value* PresentMember(const Json::Value& object, const char* key) {
  if (!object.isObject()) return nullptr;
  const Json::Value* v = object.find(key, key + std::strlen(key));
  return (v == nullptr || v->isNull()) ? nullptr : v;
}
