// Fuzz target for late binding on the control: a control made by CreateVastrel, with a
// stand-in engine made of the input behind it (a description, a record, statuses), takes
// up to 16 calls of IDispatch::Invoke, each by DISPID or by a name looked up through
// GetIDsOfNames, with the input's flags and arguments: VARIANTs of every kind the platform
// layer knows, by value and by reference (also a reference to a VARIANT that is a reference
// itself), arrays it does not support, kinds that do not exist, named arguments, and
// objects (the control itself, or one an earlier call answered).
//
// Must hold: Invoke answers an HRESULT and never reads or writes past an argument; a
// failing call leaves EXCEPINFO with its message or nothing; everything is freed (the
// arguments by the caller, the results and by-reference cells after the call).
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "automation/runtime.h"
#include "automation/vastrel_impl.h"
#include "automation/vastrel_tlb.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/stand_in_engine.h"
#include "platform/oleauto.h"

namespace {

using namespace vastrel;
using namespace vastrel::automation;

void Check(bool ok) {
  if (!ok) std::abort();
}

using fuzz_support::Input;

// The kinds an argument takes: those the platform layer knows, then arrays and bogus ones.
constexpr VARTYPE kKinds[] = {VT_EMPTY,   VT_NULL, VT_I2,   VT_I4,       VT_R4,    VT_R8,
                              VT_CY,      VT_DATE, VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL,
                              VT_UNKNOWN, VT_I1,   VT_UI1,  VT_UI2,      VT_UI4,   VT_I8,
                              VT_UI8,     VT_INT,  VT_UINT};
constexpr size_t kKindCount = sizeof kKinds / sizeof kKinds[0];

// Everything a run's arguments own or point at, freed after the call.
struct Arena {
  std::deque<VARIANT> cells;  // targets of by-reference arguments (stable addresses)
  std::vector<ComPtr<IDispatch>> objects;
  IDispatch* control = nullptr;
  long dummy_array[4] = {};

  VARIANT& Cell() {
    cells.emplace_back();
    VariantInit(&cells.back());
    return cells.back();
  }
  IDispatch* Object(uint8_t which) {
    if (which % 4 == 0 || objects.empty()) return which % 2 ? control : nullptr;
    return objects[which % objects.size()].get();
  }
  ~Arena() {
    for (VARIANT& v : cells) {
      if (FAILED(VariantClear(&v))) v.vt = VT_EMPTY;
    }
  }
};

// Fills v (VariantInit'ed) with a value of a known kind, owning what it holds.
void Value(Input& in, Arena& a, VARTYPE kind, VARIANT* v) {
  v->vt = kind;
  switch (kind) {
    case VT_BSTR: {
      const std::string_view text = in.Take(in.Byte() % 64);
      v->bstrVal = (text.empty() && in.Byte() % 2) ? nullptr : SysAllocString(text);
      break;
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: {
      IDispatch* obj = a.Object(in.Byte());
      if (obj) obj->AddRef();
      if (kind == VT_DISPATCH)
        v->pdispVal = obj;
      else
        v->punkVal = obj;
      break;
    }
    case VT_ERROR:
      v->scode = in.Byte() % 2 ? DISP_E_PARAMNOTFOUND : static_cast<SCODE>(in.Bits(4));
      break;
    case VT_BOOL:
      v->boolVal = static_cast<VARIANT_BOOL>(in.Word());
      break;
    case VT_R4: {
      const uint32_t bits = static_cast<uint32_t>(in.Bits(4));
      std::memcpy(&v->fltVal, &bits, 4);
      break;
    }
    case VT_R8:
    case VT_DATE: {
      const uint64_t bits = in.Bits(8);
      std::memcpy(&v->dblVal, &bits, 8);
      break;
    }
    default:
      v->ullVal = in.Bits(8);
      break;
  }
}

// One argument; depth bounds references to references.
void Argument(Input& in, Arena& a, VARIANT* v, int depth) {
  VariantInit(v);
  const uint8_t form = in.Byte();
  const VARTYPE kind = kKinds[in.Byte() % kKindCount];
  switch (form % 8) {
    case 0:
    case 1:
    case 2:  // by value
      Value(in, a, kind, v);
      return;
    case 3:
    case 4: {  // by reference to a cell of the same kind
      VARIANT& cell = a.Cell();
      Value(in, a, kind, &cell);
      v->vt = static_cast<VARTYPE>(kind | VT_BYREF);
      v->byref = &cell.llVal;
      return;
    }
    case 5: {  // by reference to a VARIANT, itself perhaps a reference
      VARIANT& cell = a.Cell();
      if (depth < 3)
        Argument(in, a, &cell, depth + 1);
      else
        Value(in, a, kind, &cell);
      v->vt = VT_BYREF | VT_VARIANT;
      v->pvarVal = &cell;
      return;
    }
    case 6:  // an array, which the platform layer does not support
      v->vt = static_cast<VARTYPE>(VT_ARRAY | kind | (form & 0x80 ? VT_BYREF : 0));
      v->byref = a.dummy_array;
      return;
    default:  // a kind that does not exist
      v->vt = static_cast<VARTYPE>(in.Word());
      if (v->vt & VT_BYREF) {
        v->byref = &a.Cell().llVal;
      } else {
        // Bits for a number; a kind that holds a pointer holds none.
        const VARTYPE base = v->vt & VT_TYPEMASK;
        const bool pointer = base == VT_BSTR || base == VT_DISPATCH || base == VT_UNKNOWN;
        v->ullVal = pointer ? 0 : in.Bits(8);
      }
      return;
  }
}

// Frees an argument the caller owns; a kind the runtime refuses is let go as it is.
void Free(VARIANT* v) {
  if (FAILED(VariantClear(v))) v->vt = VT_EMPTY;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz_stand_in::Install();
  Input in(data, size);
  {
    const std::string_view create = in.Take(in.Byte());
    const std::string_view record = in.Take(in.Word() % 4096);
    const std::string_view statuses = in.Take(in.Byte() % 16);
    fuzz_stand_in::Reset(create, record, statuses);
  }
  IDispatch* control = nullptr;
  Check(SUCCEEDED(CreateVastrel(IID_IDispatch, reinterpret_cast<void**>(&control))));
  const InterfaceDesc& desc = IVastrel::Desc();
  {
    Arena arena;
    arena.control = control;
    for (int call = 0; call < 16 && !in.empty(); ++call) {
      const uint8_t how = in.Byte();
      DISPID id;
      if (how & 1) {  // by name: a member's, in any case, or the input's; parameter names
        std::vector<std::string> names;
        const uint8_t pick = in.Byte();
        if (pick < desc.members.size()) {
          std::string name = desc.members[pick].name;
          if (how & 2)
            for (char& c : name) c = static_cast<char>(c ^ 0x20 * (std::isalpha(c) != 0));
          names.push_back(name);
        } else {
          names.emplace_back(in.Take(in.Byte() % 32));
        }
        for (uint8_t n = in.Byte() % 4; n > 0; --n) names.emplace_back(in.Take(in.Byte() % 16));
        std::vector<const char*> pointers;
        for (const std::string& n : names) pointers.push_back(n.c_str());
        std::vector<DISPID> ids(names.size(), 12345);
        const HRESULT hr = control->GetIDsOfNames(
            IID_NULL, pointers.data(), static_cast<uint32_t>(pointers.size()), 0, ids.data());
        Check(SUCCEEDED(hr) || hr == DISP_E_UNKNOWNNAME);
        for (DISPID i : ids) Check(i != 12345);
        id = ids[0];
      } else {
        const uint8_t pick = in.Byte();
        id = pick < desc.members.size() ? desc.members[pick].id : static_cast<DISPID>(in.Bits(4));
      }
      const uint16_t flags = (how >> 2) & 0xF ? (how >> 2) & 0xF : DISPATCH_METHOD;

      const uint32_t argc = in.Byte() % 6;
      const uint32_t named = argc ? in.Byte() % (argc + 1) : 0;
      std::vector<VARIANT> args(argc);
      std::vector<DISPID> named_ids(named);
      for (VARIANT& v : args) Argument(in, arena, &v, 0);
      for (DISPID& n : named_ids) {
        const uint8_t b = in.Byte();
        n = b >= 0xF0 ? DISPID_PROPERTYPUT : static_cast<DISPID>(b % 8) - 1;
      }
      DISPPARAMS params;
      params.rgvarg = args.empty() ? nullptr : args.data();
      params.cArgs = argc;
      params.rgdispidNamedArgs = named_ids.empty() ? nullptr : named_ids.data();
      params.cNamedArgs = named;

      const uint8_t outs = in.Byte();
      Variant result;
      EXCEPINFO excep;
      uint32_t arg_err = 0xFFFFFFFF;
      const HRESULT hr = control->Invoke(
          id, IID_NULL, 0, flags, (outs & 1) ? nullptr : &params, (outs & 2) ? nullptr : &result,
          (outs & 4) ? nullptr : &excep, (outs & 8) ? nullptr : &arg_err);
      if (hr == DISP_E_TYPEMISMATCH || hr == DISP_E_OVERFLOW) {
        Check(arg_err == 0xFFFFFFFF || arg_err < argc);
      }
      if (hr != DISP_E_EXCEPTION) {
        Check(excep.bstrDescription == nullptr && excep.bstrSource == nullptr);
      }
      ClearExcepInfo(&excep);
      // An object answered is kept for later calls' arguments.
      if (SUCCEEDED(hr) && result.vt == VT_DISPATCH && result.pdispVal && arena.objects.size() < 8)
        arena.objects.push_back(ComPtr<IDispatch>(result.pdispVal));
      for (VARIANT& v : args) Free(&v);
    }
  }
  control->Release();
  return 0;
}
