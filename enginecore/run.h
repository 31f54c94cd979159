// The dispatch of a decoded call to the operation it names, for either engine: `engine`
// has a member for each operation, by the operation's name, each taking the call and
// answering what converts to R.
#pragma once

#include "enginecore/include/wbtrv32.h"
#include "enginecore/status.h"

namespace mkde::core {

template <class R, class Engine, class Call>
R RunOperation(Engine& e, Call& call) {
  switch (call.op) {
    case BTR_OPEN:
      return e.Open(call);
    case BTR_CLOSE:
      return e.Close(call);
    case BTR_INSERT:
      return e.Insert(call);
    case BTR_UPDATE:
      return e.Update(call);
    case BTR_DELETE:
      return e.Delete(call);
    case BTR_GET_NEXT:
    case BTR_GET_PREVIOUS:
      return e.GetNextPrevious(call, false);
    case BTR_GET_NEXT + BTR_GET_KEY_BIAS:
    case BTR_GET_PREVIOUS + BTR_GET_KEY_BIAS:
      call.op -= BTR_GET_KEY_BIAS;
      return e.GetNextPrevious(call, true);
    case BTR_GET_EQUAL:
    case BTR_GET_GREATER:
    case BTR_GET_GREATER_OR_EQUAL:
    case BTR_GET_LESS:
    case BTR_GET_LESS_OR_EQUAL:
    case BTR_GET_FIRST:
    case BTR_GET_LAST:
      return e.GetByKey(call, false);
    case BTR_GET_EQUAL + BTR_GET_KEY_BIAS:
    case BTR_GET_GREATER + BTR_GET_KEY_BIAS:
    case BTR_GET_GREATER_OR_EQUAL + BTR_GET_KEY_BIAS:
    case BTR_GET_LESS + BTR_GET_KEY_BIAS:
    case BTR_GET_LESS_OR_EQUAL + BTR_GET_KEY_BIAS:
    case BTR_GET_FIRST + BTR_GET_KEY_BIAS:
    case BTR_GET_LAST + BTR_GET_KEY_BIAS:
      call.op -= BTR_GET_KEY_BIAS;
      return e.GetByKey(call, true);
    case BTR_CREATE:
      return e.Create(call);
    case BTR_STAT:
      return e.Stat(call);
    case BTR_GET_POSITION:
      return e.GetPosition(call);
    case BTR_GET_DIRECT:
      return e.GetDirect(call);
    case BTR_STEP_NEXT:
    case BTR_STEP_FIRST:
    case BTR_STEP_LAST:
    case BTR_STEP_PREVIOUS:
      return e.Step(call);
    case BTR_BEGIN_TRANSACTION:
      return e.BeginTransaction(call);
    case BTR_END_TRANSACTION:
      return e.EndTransaction(call);
    case BTR_ABORT_TRANSACTION:
      return e.AbortTransaction(call);
    case BTR_UNLOCK:
      return e.Unlock(call);
    case BTR_SET_OWNER:
      return e.SetOwner(call);
    case BTR_CLEAR_OWNER:
      return e.ClearOwner(call);
    case BTR_COMPACT:
      // The record engine's own: an engine without it answers as to any unknown code.
      if constexpr (requires { e.Compact(call); }) {
        return e.Compact(call);
      } else {
        return R(Status::kInvalidFunction);
      }
    case BTR_STOP:
    case BTR_RESET:
      return e.StopClient(call);
    case BTR_VERSION:
      return e.Version(call);
    case BTR_GET_BY_PERCENTAGE:
      return e.GetByPercentage(call);
    case BTR_FIND_PERCENTAGE:
      return e.FindPercentage(call);
    case BTR_UPDATE_CHUNK:
      return e.UpdateChunk(call);
    default:
      return R(Status::kInvalidFunction);
  }
}

}  // namespace mkde::core
