#include "battery_host/config/site_name.h"

namespace config {

bool CheckSiteName(const std::string& name, const std::string& label, std::string* error) {
  const std::string head = label + " '" + name + "': ";
  if (name.size() > 64) {
    *error = label + ": a site name of " + std::to_string(name.size()) + " bytes; at most 64";
    return false;
  }
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7f) {
      *error = label + ": the site name holds a control character";
      return false;
    }
  }
  if (name.find_first_of("/+#") != std::string::npos) {
    *error = head + "a site name is one topic level: no '/', '+' or '#'";
    return false;
  }
  if (!name.empty() && name[0] == '$') {
    *error = head + "topics starting with '$' belong to the broker";
    return false;
  }
  return true;
}

}  // namespace config
