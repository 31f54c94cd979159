// Symbol visibility for libvastrel.so. Everything is hidden unless marked VASTREL_API.
#pragma once

#define VASTREL_API __attribute__((visibility("default")))
