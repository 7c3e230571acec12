#include "diagnostics/status.h"

#include <gtest/gtest.h>

#include <string>

namespace zephyl {
namespace {

TEST(StatusTest, AFailureKeepsItsCodesAndMessageEvenWithCodeZero) {
  const Status error = Status::error(-1, "no free file name", 17);
  EXPECT_FALSE(error.isOk());
  EXPECT_EQ(error.code(), -1);
  EXPECT_EQ(error.systemCode(), 17);
  EXPECT_EQ(error.message(), "no free file name");
  // A cancelled open fails with code 0: only isOk tells it from a success.
  const Status cancelled = Status::error(0, "cancelled");
  EXPECT_FALSE(cancelled.isOk());
  const Status system = Status::systemError(28, "No space left on device");
  EXPECT_EQ(system.code(), 28);
  EXPECT_EQ(system.systemCode(), 28);
  EXPECT_TRUE(Status::ok().isOk());
  EXPECT_TRUE(Status::ok().message().empty());
}

TEST(StatusTest, StoreStatusFillsAGivenOutParameterAndToleratesNone) {
  Status out = Status::error(5, "earlier");
  storeStatus(&out, Status::systemError(2, "missing"));
  EXPECT_EQ(out.code(), 2);
  EXPECT_EQ(out.message(), "missing");
  storeStatus(nullptr, Status::systemError(2, "missing"));  // must not crash
}

}  // namespace
}  // namespace zephyl
