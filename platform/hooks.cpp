#include "platform/hooks.h"

#include <utility>

namespace vastrel::platform {
namespace {
std::function<void()>& MessageLoopHook() {
  static std::function<void()> hook;
  return hook;
}
std::function<void(bool)>& BusyHook() {
  static std::function<void(bool)> hook;
  return hook;
}
}  // namespace

void SetMessageLoopHook(std::function<void()> hook) { MessageLoopHook() = std::move(hook); }

void ProcessMessagesOnce() {
  if (auto& hook = MessageLoopHook()) hook();
}

void SetBusyCursorHook(std::function<void(bool)> hook) { BusyHook() = std::move(hook); }

BusyCursor::BusyCursor() {
  if (auto& hook = BusyHook()) hook(true);
}

BusyCursor::~BusyCursor() {
  // A hook that throws must not escape a destructor that may run during unwinding.
  try {
    if (auto& hook = BusyHook()) hook(false);
  } catch (...) {
  }
}

}  // namespace vastrel::platform
