#include "sinks/stream_write.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "sink_test_support.h"
#include "storage/fs.h"
#include "support/status_report.h"

namespace zephyl {
namespace {

using test::Bytes;

class StreamWriteTest : public testing::Test {
 protected:
  std::string path() const { return dir_.path() + "/data"; }

  test::TempDir dir_;
  int code_ = 0;
  std::string message_;
};

TEST_F(StreamWriteTest, WritesAtAbsoluteOffsetsInAnyOrder) {
  FileHandle file(fs::fOpenFile(path(), "wb+"));
  ASSERT_TRUE(file);
  makeUnbuffered(file.get());
  Bytes source = test::patternBytes(300);
  ASSERT_TRUE(
      test::reported(writeAt(file.get(), 200, source.data() + 200, 100), &code_, &message_));
  ASSERT_TRUE(test::reported(writeAt(file.get(), 0, source.data(), 150), &code_, &message_));
  ASSERT_TRUE(test::reported(writeAt(file.get(), 150, source.data() + 150, 50), &code_, &message_));
  // Unbuffered: the bytes are in the file before any flush or close.
  EXPECT_EQ(test::readBytes(path()), source);
  ASSERT_TRUE(test::reported(flushAndClose(file), &code_, &message_));
  EXPECT_FALSE(file);
}

// A stream that was handed out read-only (another process holds the file) refuses the first
// write with the system's error instead of pretending to store it.
TEST_F(StreamWriteTest, ReadOnlyStreamFailsOnTheFirstWrite) {
  test::writeBytes(path(), Bytes(10, 1));
  FileHandle file(fs::fOpenFile(path(), "rb"));
  ASSERT_TRUE(file);
  makeUnbuffered(file.get());
  Bytes source = test::patternBytes(5);
  EXPECT_FALSE(test::reported(writeAt(file.get(), 0, source.data(), 5), &code_, &message_));
  // The system's code and text: errno's here, GetLastError()'s on Windows.
#ifdef _WIN32
  EXPECT_EQ(code_, 5);  // ERROR_ACCESS_DENIED
  EXPECT_FALSE(message_.empty());
#else
  EXPECT_EQ(code_, EBADF);
  EXPECT_EQ(message_, std::generic_category().message(EBADF));
#endif
  EXPECT_EQ(test::readBytes(path()), Bytes(10, 1));
}

}  // namespace
}  // namespace zephyl
