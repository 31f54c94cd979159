// Host hooks: the places where a host program's user interface can run inside a call of
// the component. None is installed by default, so the component runs headless; a Qt host
// installs event processing and an override cursor.
//
// Threading: the component is single-threaded per control; hooks are process-wide and are
// meant to be installed once at host start-up.
#pragma once

#include <functional>

#include "platform/export.h"

namespace vastrel::platform {

// Lets the host's message loop process its pending messages once. The engine warm-up
// turns it 101 times inside the first engine call.
VASTREL_API void SetMessageLoopHook(std::function<void()> hook);
VASTREL_API void ProcessMessagesOnce();

// Shows the busy cursor while long record operations run. The hook receives true when
// the busy cursor goes up and false when the previous cursor comes back.
VASTREL_API void SetBusyCursorHook(std::function<void(bool busy)> hook);

// RAII: the busy cursor for the life of the object, restored also when an exception
// leaves the scope.
class VASTREL_API BusyCursor {
 public:
  BusyCursor();
  ~BusyCursor();
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;
};

}  // namespace vastrel::platform
