// Symbol visibility for libvastrel_pages.so. Everything is hidden unless marked.
#pragma once

#define VASTREL_PAGES_API __attribute__((visibility("default")))
