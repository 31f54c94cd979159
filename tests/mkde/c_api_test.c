/* Loads the engine library by path, as a caller in C would, and runs one file through it:
 * create, open, insert, read back, statistics, close. Exits 0 when every answer is right. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "enginecore/include/wbtrv32.h"

static int failures = 0;

#define EXPECT(cond)                                                     \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

static void put16(unsigned char* p, unsigned v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s path/to/libwbtrv32.so\n", argv[0]);
    return 2;
  }
  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 1;
  }
  BTRCALL_FN call = (BTRCALL_FN)dlsym(lib, "BTRCALL");
  BTRCALLID_FN call_id = (BTRCALLID_FN)dlsym(lib, "BTRCALLID");
  EXPECT(call != NULL);
  EXPECT(call_id != NULL);
  /* The notices (an engine that has them is told by a third argument): none in a process
   * that met nothing, and the buffer still a string. */
  BTRNOTICES_FN notices = (BTRNOTICES_FN)dlsym(lib, "BTRNOTICES");
  EXPECT(notices != NULL || argc < 3 || strcmp(argv[2], "notices") != 0);
  if (notices) {
    char text[4] = "x";
    EXPECT(notices(text, sizeof text) == 0 && text[0] == '\0');
  }
  /* Nothing of the engine's insides is reachable. */
  EXPECT(dlsym(lib, "_ZN4mkde6Engine3GetEv") == NULL);
  if (!call || !call_id) return 1;

  char dir[] = "/tmp/mkde-c-XXXXXX";
  if (!mkdtemp(dir)) return 1;
  char path[256];
  snprintf(path, sizeof path, "%s/c.dat", dir);

  /* A file of 8-byte records with one unique 4-byte integer key at position 1. */
  unsigned char create[32];
  memset(create, 0, sizeof create);
  put16(create + 0, 8);
  put16(create + 2, 4096);
  put16(create + 4, 1);
  put16(create + 16, 1);
  put16(create + 18, 4);
  put16(create + 20, 0x0100);
  create[26] = 1; /* integer */
  unsigned char pos[BTR_POS_BLOCK_SIZE];
  memset(pos, 0, sizeof pos);
  char key[255];
  uint32_t len = sizeof create;
  memset(key, 0, sizeof key);
  strcpy(key, path);
  EXPECT(call(BTR_CREATE, pos, create, &len, key, sizeof key, 0) == BTR_OK);
  len = sizeof create;
  EXPECT(call(BTR_CREATE, pos, create, &len, key, sizeof key, -1) == BTR_FILE_EXISTS);

  char owner[101];
  memset(owner, 0, sizeof owner);
  len = sizeof owner;
  EXPECT(call(BTR_OPEN, pos, owner, &len, key, sizeof key, 0) == BTR_OK);

  unsigned char rec[8];
  for (int i = 3; i >= 1; --i) {
    memset(rec, 0, sizeof rec);
    rec[0] = (unsigned char)i;
    memcpy(rec + 4, "rec", 3);
    len = sizeof rec;
    EXPECT(call(BTR_INSERT, pos, rec, &len, key, sizeof key, 0) == BTR_OK);
  }
  len = sizeof rec;
  EXPECT(call(BTR_GET_FIRST, pos, rec, &len, key, sizeof key, 0) == BTR_OK);
  EXPECT(len == 8 && rec[0] == 1 && key[0] == 1);
  len = sizeof rec;
  EXPECT(call(BTR_GET_NEXT, pos, rec, &len, key, sizeof key, 0) == BTR_OK);
  EXPECT(rec[0] == 2);

  unsigned char stat[16 + 16 + 265];
  len = sizeof stat;
  EXPECT(call(BTR_STAT, pos, stat, &len, key, sizeof key, 0) == BTR_OK);
  EXPECT(stat[6] == 3 && stat[0] == 8);

  /* Another client cannot use this client's block. */
  unsigned char client[16] = {0};
  memcpy(client + 12, "C1", 2);
  len = sizeof rec;
  EXPECT(call_id(BTR_GET_FIRST, pos, rec, &len, key, sizeof key, 0, client) == BTR_FILE_NOT_OPEN);

  unsigned char version[5];
  len = sizeof version;
  EXPECT(call(BTR_VERSION, NULL, version, &len, NULL, 0, 0) == BTR_OK);
  EXPECT(len == 5 && version[4] == 'L');

  len = 0;
  EXPECT(call(BTR_CLOSE, pos, NULL, &len, NULL, 0, 0) == BTR_OK);
  EXPECT(call(BTR_CLOSE, pos, NULL, &len, NULL, 0, 0) == BTR_FILE_NOT_OPEN);
  EXPECT(call(BTR_STOP, pos, NULL, NULL, NULL, 0, 0) == BTR_OK);

  char cmd[300];
  snprintf(cmd, sizeof cmd, "rm -rf '%s'", dir);
  if (system(cmd) != 0) fprintf(stderr, "could not remove %s\n", dir);
  dlclose(lib);
  if (failures) fprintf(stderr, "%d failures\n", failures);
  return failures ? 1 : 0;
}
