// A program built against an installed Vastrel, as a user builds one: the component creates
// a record file, stores and reads records along a key, and the engine answers a direct call.
#include <cstdio>
#include <cstring>
#include <string>

#include <vastrel/engine/btrexception.h>
#include <vastrel/table/btr.h>
#include <vastrel/wbtrv32.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: consumer FILE\n");
    return 2;
  }
  try {
    vastrel::table::TBtr t;
    t.SetFileName(argv[1]);
    t.SetRecordSize(8);
    vastrel::keys::TKey& key = t.Keys().Add();
    key.SetPosition(1);
    key.SetLength(4);
    key.SetKeyType(vastrel::keys::ktString);
    t.CreateFile();
    for (const char* text : {"BBBB two", "AAAA one"}) {
      std::memcpy(t.DataBuffer(), text, 8);
      t.Insert();
    }
    t.First();
    const std::string first(reinterpret_cast<const char*>(t.DataBuffer()), 8);
    t.Close();

    uint8_t pos[128] = {0};
    uint8_t version[16] = {0};
    uint32_t length = sizeof version;
    uint8_t key_buffer[255] = {0};
    const int16_t status = BTRCALL(26, pos, version, &length, key_buffer, 255, 0);
    std::printf("first: %s, records: %u, engine version call: %d\n", first.c_str(), t.RecordCount(),
                status);
    return first == "AAAA one" && t.RecordCount() == 2 && status == 0 ? 0 : 1;
  } catch (const vastrel::Btrexception& e) {
    std::fprintf(stderr, "consumer: %s (status %d)\n", e.what(), e.Status());
    return 1;
  }
}
