#include "mkde/codec/filespec.h"
