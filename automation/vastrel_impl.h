// VastrelImpl: TVastrel, the control. It owns one table (TBtr) for its whole life and
// answers IVastrel by converting the automation arguments and forwarding to the table; it
// keeps only the three current collection objects and the connection to the host's event
// sink besides.
//
// Errors: every member runs inside Guarded(): an exception of the table (Btrexception or
// the general Exception) becomes a failed HRESULT with the error's message as error info
// (and in EXCEPINFO through Invoke). No exception leaves a member.
//
// Events: the table's notifications raise OnRecChanged, OnAutoCreate and
// StreamingProgress on the connected IVastrelEvents sink, synchronously, inside the table
// operation that causes them.
//
// Lifetime: the automation objects handed out (collections, items, accessors) may outlive
// the control; once it is destroyed they fail with kControlGone and never touch the
// freed table. Used on the thread that created it.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "automation/comlib.h"
#include "automation/dispatch.h"
#include "automation/runtime.h"
#include "automation/vastrel_tlb.h"
#include "platform/export.h"
#include "table/btr.h"

namespace vastrel::automation {

class VASTREL_API TVastrel final : public DispatchImpl<IVastrel>, public IConnectionPointContainer {
  VASTREL_REFCOUNTED
 public:
  TVastrel();
  TVastrel(const TVastrel&) = delete;
  TVastrel& operator=(const TVastrel&) = delete;

  HRESULT QueryInterface(REFIID iid, void** out) override;
  HRESULT FindConnectionPoint(REFIID iid, IConnectionPoint** out) override;
  VASTREL_OVERRIDE_MEMBERS(VASTREL_IVastrel)

  // The control's table, for hosts written in C++ and for tests.
  table::TBtr& Table() { return *table_; }

  // The published properties as a JSON property bag (see persistence.h).
  HRESULT SaveProperties(std::string* json);
  // Loads a property bag without the setters' checks and then runs Loaded, which opens
  // the file when Active was stored true. A bag that is not valid is refused with a clear
  // error before anything changes, and so is any bag while the file is open ("Can't load
  // properties into an active table").
  HRESULT LoadProperties(std::string_view json);

  // What AboutBox shows; the design-time pages install it. Without one, AboutBox does
  // nothing.
  using AboutBoxHandler = void (*)(TVastrel& control);
  static void SetAboutBoxHandler(AboutBoxHandler handler);

 private:
  ~TVastrel();
  template <class Body>
  HRESULT Run(Body&& body) {
    return Guarded("Vastrel", IVastrel::kIID, std::forward<Body>(body));
  }
  ComPtr<IKeys> CurrentKeys();

  std::shared_ptr<ControlLink> link_ = std::make_shared<ControlLink>();
  std::unique_ptr<table::TBtr> table_;
  ComPtr<IKeys> keys_;
  ComPtr<IDDFFieldItems> fields_;
  ComPtr<IDDFIndexItems> indexes_;
  ConnectionPoint events_;
  // Standard control properties, kept for the host.
  bool double_buffered_ = false;
  bool enabled_ = true;
  bool visible_ = true;
  int16_t cursor_ = 0;
};

// Creates a control and answers interface iid of it (the class factory of Vastrel).
VASTREL_API HRESULT CreateVastrel(REFIID iid, void** out);

}  // namespace vastrel::automation
