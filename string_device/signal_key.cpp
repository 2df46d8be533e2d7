#include "string_device/signal_key.h"

#include <climits>
#include <cstring>
#include <string>

#include <boost/lexical_cast.hpp>

namespace {

constexpr char kPrefix[] = "battery_";
constexpr char kSuffix[] = "_value";
constexpr std::size_t kPrefixLen = sizeof kPrefix - 1;
constexpr std::size_t kSuffixLen = sizeof kSuffix - 1;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool FindCellIndex(const std::string& name, int* index) {
  // "_" is not a digit, so a digit run can only be followed by "_value" when taken whole: no
  // backtracking is needed, and the first prefix that is followed by digits and "_value" is the
  // leftmost occurrence.
  for (std::size_t at = name.find(kPrefix); at != std::string::npos;
       at = name.find(kPrefix, at + 1)) {
    const std::size_t first = at + kPrefixLen;
    std::size_t end = first;
    while (end < name.size() && IsDigit(name[end])) ++end;
    if (end == first || name.compare(end, kSuffixLen, kSuffix) != 0) continue;

    long long value = 0;
    for (std::size_t i = first; i < end; ++i) {
      value = value * 10 + (name[i] - '0');
      if (value > INT_MAX) return false;  // the leftmost occurrence decides, even out of range
    }
    *index = static_cast<int>(value);
    return true;
  }
  return false;
}

namespace signal_key {

const FixedTexts& Fixed() {
  static const FixedTexts texts = [] {
    FixedTexts t;
    for (int i = 0; i < kMaxCells; ++i) t.cell_keys[i] = CellKey(i);
    return t;
  }();
  return texts;
}

std::string CellKey(int i) { return kPrefix + boost::lexical_cast<std::string>(i) + kSuffix; }

std::string CellLabel(long long number) {
  return "第" + boost::lexical_cast<std::string>(number) + "节电池";
}

}  // namespace signal_key
