#include "storage/key_locks.h"

#include <gtest/gtest.h>

#include <memory>

#include "storage/log_capture.h"
#include "support/temp_dir.h"
#include "zephyl/zp_log_level.h"

namespace zephyl {
namespace {

// Two owners of one lock file stand for two processes (or two managers of one root): their
// locks are separate open file descriptions, which conflict as two processes' do.
TEST(KeyLocksTest, OwnersOfOneLockFileExcludeEachOtherPerDownload) {
  test::TempDir dir;
  const std::string path = dir.file("downloads.lock");
  KeyLocks first(path);
  auto second = std::make_unique<KeyLocks>(path);
  EXPECT_TRUE(first.tryLock(FileKind::Chunked, "k"));
  EXPECT_FALSE(first.tryLock(FileKind::Chunked, "k"));  // the owner's own second writer waits
  EXPECT_FALSE(second->tryLock(FileKind::Chunked, "k"));
  EXPECT_TRUE(second->tryLock(FileKind::SingleFile, "k"));  // another stored download
  EXPECT_TRUE(second->tryLock(FileKind::Chunked, "other"));

  first.unlock(FileKind::Chunked, "k");
  EXPECT_TRUE(second->tryLock(FileKind::Chunked, "k"));
  EXPECT_FALSE(first.tryLock(FileKind::Chunked, "k"));
  second.reset();  // an owner that ends (a process that dies) lets go of everything
  EXPECT_TRUE(first.tryLock(FileKind::Chunked, "k"));
  EXPECT_TRUE(first.tryLock(FileKind::Chunked, "other"));
  EXPECT_TRUE(first.tryLock(FileKind::SingleFile, "k"));
}

TEST(KeyLocksTest, UnusableLockFileStillKeepsTheOwnersWritersApart) {
  test::TempDir dir;
  KeyLocks locks(dir.file("missing/downloads.lock"));
  test::LogCapture capture(Warn);
  EXPECT_TRUE(locks.tryLock(FileKind::Chunked, "k"));
  EXPECT_FALSE(locks.tryLock(FileKind::Chunked, "k"));
  EXPECT_TRUE(locks.tryLock(FileKind::Chunked, "other"));
  locks.unlock(FileKind::Chunked, "k");
  EXPECT_TRUE(locks.tryLock(FileKind::Chunked, "k"));
  EXPECT_EQ(test::countOf(capture.take(), "storage lock file unusable"), 1u);
}

}  // namespace
}  // namespace zephyl
