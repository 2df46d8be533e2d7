#pragma once

#include <string>
#include <vector>

namespace support {

// For messages that name a mistyped key: the candidate a person most likely meant.

// Insertions, deletions and substitutions that turn a into b (Levenshtein).
std::size_t EditDistance(const std::string& a, const std::string& b);

// The candidate with the fewest edits from name (the first of equals); empty without candidates.
std::string FewestEdits(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace support
