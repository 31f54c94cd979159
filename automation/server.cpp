// The class registry: the component's own class Vastrel, and any class a host adds.
#include <map>
#include <string>

#include "automation/runtime.h"
#include "automation/vastrel_impl.h"
#include "automation/vastrel_tlb.h"
#include "platform/locale.h"

namespace vastrel::automation {

namespace {

struct ClassEntry {
  std::string progid;
  ClassFactoryFn make;
};

std::map<CLSID, ClassEntry>& Classes() {
  static std::map<CLSID, ClassEntry> classes = {
      {CLSID_Vastrel, ClassEntry{kVastrelProgID, &CreateVastrel}}};
  return classes;
}

}  // namespace

void RegisterClass(const CLSID& clsid, std::string_view progid, ClassFactoryFn make) {
  Classes()[clsid] = ClassEntry{std::string(progid), make};
}

HRESULT CLSIDFromProgID(std::string_view progid, CLSID* clsid) {
  if (!clsid) return E_POINTER;
  for (const auto& [id, entry] : Classes()) {
    if (platform::Locale::EqualNoCase(entry.progid, progid)) {
      *clsid = id;
      return S_OK;
    }
  }
  return REGDB_E_CLASSNOTREG;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  const auto it = Classes().find(clsid);
  if (it == Classes().end() || !it->second.make) return REGDB_E_CLASSNOTREG;
  return it->second.make(iid, out);
}

}  // namespace vastrel::automation
