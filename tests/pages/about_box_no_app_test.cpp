// AboutBox in a program that has no Qt application: the pages library is loaded, so the
// control has an about box, but nothing to show it on; the call fails saying why and the
// control is as it was.
#include <gtest/gtest.h>

#include "automation/vastrel_impl.h"
#include "pages/services.h"

namespace vastrel::testing {
namespace {

using namespace vastrel::automation;

TEST(AboutBoxWithoutApplication, FailsWithAClearErrorAndChangesNothing) {
  // A call into the pages library, so that this program loads it.
  pages::SetServices(nullptr);
  IVastrel* raw = nullptr;
  ASSERT_EQ(CreateVastrel(IVastrel::kIID, reinterpret_cast<void**>(&raw)), S_OK);
  ComPtr<IVastrel> control = ComPtr<IVastrel>::Adopt(raw);
  std::string before;
  ASSERT_EQ(static_cast<TVastrel*>(raw)->SaveProperties(&before), S_OK);

  EXPECT_EQ(control->AboutBox(), E_FAIL);
  EXPECT_EQ(LastErrorMessage(), "The about box needs a Qt widget application; none is running");
  std::string after;
  ASSERT_EQ(static_cast<TVastrel*>(raw)->SaveProperties(&after), S_OK);
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace vastrel::testing
