// The tool's progress bar.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

namespace vastrel::cli {

// A bar with the share done on standard error, redrawn in place, only when that is a
// terminal; nothing when it is piped.
class Progress {
 public:
  Progress(const char* doing, uint64_t total) : doing_(doing), total_(total), shown_(isatty(2)) {}
  ~Progress() { Clear(); }
  // Whether the bar is drawn at all, for callers whose measure of progress costs a call.
  bool Shown() const { return shown_; }
  void Update(uint64_t done) {
    if (!shown_ || total_ == 0) return;
    const int percent = static_cast<int>(std::min<uint64_t>(done * 100 / total_, 100));
    if (percent == last_) return;
    last_ = percent;
    constexpr int kWidth = 30;
    const int filled = percent * kWidth / 100;
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", doing_, filled, "##############################",
                 kWidth - filled, "", percent);
    std::fflush(stderr);
  }
  void Clear() {
    if (shown_ && last_ >= 0) std::fprintf(stderr, "\r\033[K");
    last_ = -1;
  }

 private:
  const char* doing_;
  uint64_t total_;
  bool shown_;
  int last_ = -1;
};

}  // namespace vastrel::cli
