// The example host: a small parts list kept in a record file of the embedded engine.
//
//   vastrel-example [FILE]
//   vastrel-example --version | --help
//
// Opens FILE (default: parts.dat in a "vastrel-example" folder of the system's temporary
// folder), creating it with one key on the part number when it does not exist, stores a
// few parts in a new file, then reads every record in part-number order and prints it.
// Exits 0 on success, 1 on an engine error, 2 when no engine library can be loaded.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "binding/btrexception.h"
#include "binding/engine.h"
#include "platform/locale.h"
#include "table/btr.h"

namespace {

using vastrel::Btrexception;
using vastrel::table::TBtr;

constexpr uint16_t kRecordSize = 32;
constexpr int kEndOfFile = 9;

// Part number (5 characters, the key), a blank, the description; a zero byte ends the text.
constexpr const char* kParts[] = {
    "P0300 Hex nut M6, zinc", "P0100 Hex bolt M6 x 20", "P0500 Spring washer 6 mm",
    "P0200 Hex bolt M8 x 30", "P0400 Flat washer 6 mm",
};

std::string DefaultFile() {
  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = ".";
  dir /= "vastrel-example";
  std::filesystem::create_directories(dir, ec);
  return (dir / "parts.dat").string();
}

// The component's messages are single-byte text and an engine message carries a carriage
// return before the file name; on a terminal (UTF-8) it reads "Can't Create Error (25): FILE".
std::string Printable(const std::string& message) {
  std::string out = vastrel::platform::SingleByteToUtf8(message);
  if (auto cr = out.find('\r'); cr != std::string::npos) out.replace(cr, 1, ": ");
  return out;
}

// What most often lies behind a file that cannot be opened or made: a folder that is not
// there. Empty otherwise.
std::string Hint(const Btrexception& e, const std::string& file) {
  constexpr int kFileNotFound = 12, kCannotCreate = 25;
  if (e.Status() != kFileNotFound && e.Status() != kCannotCreate) return "";
  std::filesystem::path folder = std::filesystem::path(file).parent_path();
  if (folder.empty()) folder = ".";
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return "";
  return "\n  the folder " + folder.string() + " does not exist";
}

void DescribeFile(TBtr& table) {
  table.SetRecordSize(kRecordSize);
  table.SetPageSize(4096);
  vastrel::keys::TKey& part_number = table.Keys().Add();
  part_number.SetPosition(1);
  part_number.SetLength(5);
  part_number.SetKeyType(vastrel::keys::ktString);
}

int Run(const std::string& file) {
  TBtr table;
  table.SetFileName(vastrel::platform::FileNameFromPath(file));
  DescribeFile(table);
  bool created = false;
  table.SetAutoCreate(true);
  table.OnAutoCreate = [&created](TBtr&) { created = true; };
  table.Open();

  std::printf("record file: %s (%s)\n", file.c_str(), created ? "created now" : "already there");
  if (created) {
    for (const char* part : kParts) {
      // A record is the whole buffer: clear what the previous part left after its text.
      std::fill_n(table.DataBuffer(), table.DataBufferLength(), uint8_t{0});
      table.SetDataBufferText(part);
      table.Insert();
    }
    std::printf("stored %zu parts\n", std::size(kParts));
  }
  std::printf("engine version %s, %u records, in part-number order:\n", table.Version().c_str(),
              table.RecordCount());
  try {
    for (table.First();; table.Next()) std::printf("  %s\n", table.DataBufferText().c_str());
  } catch (const Btrexception& e) {
    if (e.Status() != kEndOfFile) throw;
  }
  table.Close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--version") {
    std::printf("vastrel-example %s\n", VASTREL_VERSION);
    return 0;
  }
  if (argc > 1 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
    std::printf(
        "Usage: vastrel-example [FILE]\n"
        "Keeps a small parts list in the record file FILE (default: parts.dat in a\n"
        "vastrel-example folder of the temporary folder): creates it with a key on the part\n"
        "number and a few parts when it is missing, then prints every part in part-number order.\n"
        "\n"
        "  --help     this help\n"
        "  --version  the version\n"
        "\n"
        "Exit codes: 0 done, 1 an engine error, 2 no engine library could be loaded.\n");
    return 0;
  }
  // scripts/run passes an empty argument when it was given none.
  const std::string file = argc > 1 && argv[1][0] != '\0' ? argv[1] : DefaultFile();
  try {
    return Run(file);
  } catch (const Btrexception& e) {
    if (e.Status() == vastrel::engine::kStatusEngineMissing) {
      const auto state = vastrel::engine::CurrentEngineState();
      const std::string why =
          !state.load_error.empty() ? state.load_error : "the library lacks BTRCALL or BTRCALLID";
      std::fprintf(stderr,
                   "vastrel-example: no record engine (%s); VASTREL_ENGINE names another engine "
                   "library\n%s\n",
                   why.c_str(), Printable(e.what()).c_str());
      return 2;
    }
    std::fprintf(stderr, "vastrel-example: %s%s\n", Printable(e.what()).c_str(),
                 Hint(e, file).c_str());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vastrel-example: %s\n", Printable(e.what()).c_str());
    return 1;
  }
}
