// The real file system, ending the process when the engine reaches one named moment of its
// work (a commit's steps, an owner change).
#pragma once

#include <signal.h>

#include <cstring>

#include "mkde/fs.h"

namespace crash {

class KillAt : public mkde::FileSystem {
 public:
  explicit KillAt(const char* moment) : moment_(moment) {}
  void Reached(const char* moment) override {
    if (std::strcmp(moment, moment_) == 0) raise(SIGKILL);
  }

 private:
  const char* moment_;
};

}  // namespace crash
