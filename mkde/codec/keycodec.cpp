#include "mkde/codec/keycodec.h"
