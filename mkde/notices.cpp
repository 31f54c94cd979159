#include "mkde/notices.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>

#include "enginecore/include/wbtrv32.h"

namespace mkde {

namespace {

constexpr size_t kKept = 16;

struct Notices {
  std::mutex mutex;
  std::deque<std::string> pending;
  std::set<std::string> seen;  // at most kKept texts: a text is noted once
};

Notices& All() {
  static Notices* notices = new Notices;  // outlives every static destructor
  return *notices;
}

}  // namespace

void Notice(const std::string& text) {
  Notices& n = All();
  std::lock_guard<std::mutex> hold(n.mutex);
  if (n.seen.size() >= kKept || !n.seen.insert(text).second) return;
  n.pending.push_back(text);
}

}  // namespace mkde

extern "C" int32_t BTRNOTICES(char* buf, uint32_t len) {
  mkde::Notices& n = mkde::All();
  std::lock_guard<std::mutex> hold(n.mutex);
  if (buf && len > 0) buf[0] = '\0';
  int32_t copied = 0;
  size_t used = 0;
  while (buf && !n.pending.empty()) {
    const std::string& text = n.pending.front();
    // The text, its line end, and the closing NUL.
    if (used + text.size() + 2 > len) break;
    std::memcpy(buf + used, text.data(), text.size());
    used += text.size();
    buf[used++] = '\n';
    buf[used] = '\0';
    n.pending.pop_front();
    ++copied;
  }
  return copied;
}
