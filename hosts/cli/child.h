// Work in child processes: a read of a damaged page may end a process (the system answers a
// read of a page that the file no longer holds with SIGBUS), and that must become a report of
// the tool, never its crash.
#pragma once

#include <cstdint>
#include <functional>

namespace vastrel::cli {

// Runs work in a child process; `heard` receives each 32-bit word the child sends through
// `Send` while it runs. Answers the child's exit code, or minus the signal that ended it. A
// failure the work raises is reported by the child (ReportFailure) and is its exit code 1.
int InChild(const std::function<int()>& work, const std::function<void(uint32_t)>& heard = nullptr);

// Sends the parent one word, from inside InChild's work; nothing outside a child.
void Send(uint32_t word);

}  // namespace vastrel::cli
