#pragma once

namespace support {

// A trouble is said once when it begins, not at every occurrence, and once more when it is over,
// so that the person sees both ends of it and nothing in between:
//
//   if (falling_behind.Begin()) notice("... falling behind");
//   ...
//   if (falling_behind.Over()) notice("... caught up");
class SaidOnce {
 public:
  // True when the trouble was not being told: say it now.
  bool Begin() {
    if (said_) return false;
    said_ = true;
    return true;
  }
  // True when the trouble had been told: say that it is over.
  bool Over() {
    if (!said_) return false;
    said_ = false;
    return true;
  }
  bool said() const { return said_; }

 private:
  bool said_ = false;
};

}  // namespace support
