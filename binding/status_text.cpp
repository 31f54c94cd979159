// The fixed English texts of engine statuses. The texts, including their spelling, are
// what hosts have always shown and matched against; keep them byte for byte.
#include <algorithm>
#include <array>
#include <iterator>

#include "binding/engine.h"

namespace vastrel::engine {
namespace {

struct StatusEntry {
  StatusCode status;
  const char* text;
};

// Sorted by status for a binary search.
constexpr StatusEntry kStatusTexts[] = {
    {-9999, "WBTRV32.DLL Not Found"},
    {0, "No Error"},
    {1, "Invalid Function"},
    {2, "IO Error"},
    {3, "File Not Open"},
    {4, "Key Not Found"},
    {5, "Duplicate Key Value"},
    {6, "Invalid Key Number"},
    {7, "Different Key Number"},
    {8, "Position Not Set"},
    {9, "End Of File"},
    {10, "Modifiable Key Value"},
    {11, "Invalid File Name"},
    {12, "File Not Found"},
    {13, "Extended File Error"},
    {14, "Pre-Image Open Error"},
    {15, "Pre-Image IO Error"},
    {16, "Expansion Error"},
    {17, "Close Error"},
    {18, "Disk Full"},
    {19, "Unrecoverable_Error"},
    {20, "Record Manager Inactive"},
    {21, "KeyBuffer Too Short"},
    {22, "Data Length Error"},
    {23, "Position Block Length"},
    {24, "Page Size Error"},
    {25, "Can't Create Error"},
    {26, "Number Of Keys"},
    {27, "Invalid Key Position"},
    {28, "Invalid Record Length"},
    {29, "Invalid Key Length"},
    {30, "Not A Valid File"},
    {31, "File Already Extended"},
    {32, "Extend IO Error"},
    {34, "Invalid Extension Name"},
    {35, "Directory Error"},
    {36, "Transaction Error"},
    {37, "Transaction is Active"},
    {38, "Transaction File IO Error"},
    {39, "End Transaction Error"},
    {40, "Transaction Maximum Files"},
    {41, "Operation Not Allowed"},
    {42, "Incomplete Accel Access"},
    {43, "Invalid Record Address"},
    {44, "Null KeyPath"},
    {45, "Inconsistent Key Flags"},
    {46, "Access Denied"},
    {47, "Maximum Open Files"},
    {48, "Invalid Alt Sequence Def"},
    {49, "Key Type Error"},
    {50, "Owner Already Set"},
    {51, "Invalid Owner"},
    {52, "Error Writing Cache"},
    {53, "Invalid Interface"},
    {54, "Variable Page Error"},
    {55, "Auto Increment Error"},
    {56, "Incomplete Index"},
    {57, "Expanded Memory Error"},
    {58, "Compression Buffer Too Short"},
    {59, "File Already Exists"},
    {60, "Reject Count Reached"},
    {61, "Small Ex Get Buffer Error"},
    {62, "Invalid Get Expression"},
    {63, "Invalid Ext Insert Buffer"},
    {64, "Optimize Limit Reached"},
    {65, "Invalid Extractor"},
    {66, "Too Many databases"},
    {67, "RIDDF Cannot Open"},
    {68, "RI Cascade too Deep"},
    {69, "RI Cascade Error"},
    {71, "RI Violation"},
    {72, "RI File cannot open"},
    {73, "RI Out OF Synch"},
    {74, "End Changed to Abort"},
    {76, "RI Conflict"},
    {77, "Can't loop in server"},
    {78, "Dead Lock"},
    {79, "Programming Error"},
    {80, "Conflict Error"},
    {81, "Lock Error"},
    {82, "Lost Position"},
    {83, "Read Outside Transaction"},
    {84, "Record In Use"},
    {85, "File In Use"},
    {86, "File Table Full"},
    {87, "No handles Available"},
    {88, "Incompatible mode error"},
    {90, "Device Table Full"},
    {91, "Server Error"},
    {92, "Transaction Table Full"},
    {93, "Incompatible Lock type"},
    {94, "Permission Error"},
    {95, "Session No Longer Valid"},
    {96, "Communications Error"},
    {97, "Data Message Too Small"},
    {98, "Internal Transaction Error"},
    {100, "No Chache Buffer Available"},
    {101, "No Memory Available"},
    {102, "No Stack Available"},
    {103, "Chunck Offet too Long"},
    {104, "Locale Error"},
    {105, "Cannot Create With Bat"},
    {106, "Chunk Cannot Get Next"},
    {107, "Chunk Incompatible File"},
    {1001, "Lock Parm Out Of Range"},
    {1002, "Memory Allocation Error"},
    {1003, "Memory Paramater Too Small"},
    {1004, "Page Size Out Of Range"},
    {1005, "Invalid Pre-Image Parameter"},
    {1006, "Pre-Image buffer parameter out of range"},
    {1007, "Files Parameter Out Of range"},
    {1008, "Invalid Init Parameter"},
    {1009, "Invalid Transaction parameter"},
    {1010, "Error Acc Transaction Control File"},
    {1011, "Compression Buffer Parameter out of Range"},
    {1013, "Task List Full"},
    {1014, "Stop Warning"},
    {1016, "Already Initialised"},
    {2001, "Insufficient Allocated Memory"},
    {2002, "Invalid Option"},
    {2003, "No Local Access Allowed"},
    {2004, "SPX Not Installed"},
    {2005, "Incorrect SPX Version"},
    {2006, "No Available SPX Connection"},
    {2007, "Invalid Ptr Parm"},
};

constexpr bool SortedByStatus() {
  for (size_t i = 1; i < std::size(kStatusTexts); ++i) {
    if (kStatusTexts[i - 1].status >= kStatusTexts[i].status) return false;
  }
  return true;
}
static_assert(SortedByStatus(), "the status table must stay sorted for the binary search");

}  // namespace

const char* StatusText(StatusCode status) {
  const auto* end = std::end(kStatusTexts);
  const auto* it =
      std::lower_bound(std::begin(kStatusTexts), end, status,
                       [](const StatusEntry& e, StatusCode s) { return e.status < s; });
  if (it != end && it->status == status) return it->text;
  return "Unknown Btrieve Error";
}

}  // namespace vastrel::engine
