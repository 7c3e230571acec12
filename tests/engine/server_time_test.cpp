#include "engine/server_time.h"

#include <gtest/gtest.h>

namespace zephyl {
namespace {

struct Dated {
  const char* lastModified;
  const char* validator;
  int64_t seconds;
};

class ServerTimeOfTest : public testing::TestWithParam<Dated> {};

// The answer's date first; a stored date validator when no answer had one; never an ETag.
TEST_P(ServerTimeOfTest, ReadsTheAnswerDateElseAStoredDate) {
  EXPECT_EQ(serverTimeOf(GetParam().lastModified, GetParam().validator), GetParam().seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Dates, ServerTimeOfTest,
    testing::Values(Dated{"Wed, 21 Oct 2015 07:28:00 GMT", "", 1445412480},
                    Dated{"Wednesday, 21-Oct-15 07:28:00 GMT", "", 1445412480},
                    Dated{"Wed Oct 21 07:28:00 2015", "", 1445412480},
                    Dated{"", "Wed, 21 Oct 2015 07:28:00 GMT", 1445412480},
                    Dated{"Thu, 01 Jan 1970 00:00:00 GMT", "\"etag\"", 0},
                    Dated{"", "\"Wed, 21 Oct 2015 07:28:00 GMT\"", -1},
                    Dated{"not a date", "", -1}, Dated{"", "", -1}));

}  // namespace
}  // namespace zephyl
