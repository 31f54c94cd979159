// The crash test's writer and compactor: the processes the test runs and kills.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crash {

// Keys of the writer's records run from 1 to this.
inline constexpr int32_t kIdRange = 4000;

// The writer: random transactions over the test's files in DIR, reported over the pipe FD
// ('T' before End Transaction, 'A' once it answered 0) until killed. Its arguments are the
// folder, the seed, the iteration, the pipe and the open mode, as the test passes them.
[[noreturn]] void RunWriter(const std::vector<std::string>& args);

// Compacts a random file, again and again, until killed. Exit 3 (a message on stderr): a
// status no compact beside a writer may answer.
[[noreturn]] void RunCompactor(const std::string& dir, uint64_t seed);

}  // namespace crash
