#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>

#include "contents/embedded_contents.h"
#include "support/unique_fd.h"
#include "unit_support.h"
#include "workdir/extracted_app.h"

namespace {

TEST(EmbeddedContentsTest, EntryNameFollowsTheStream) {
  EXPECT_EQ(static_cast<void const*>(_exec),
            static_cast<void const*>(_data_tail));
  EXPECT_STREQ(_exec, "probe");
}

// The overload without a reader walks exactly _data_start.._data_tail: the
// name behind the stream is not taken for a record.
TEST(EmbeddedContentsTest, ExtractsAndVerifiesTheEmbeddedStream) {
  TempDir dir;
  UniqueFd dirFd(::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(dirFd);
  mode_t const oldMask = ::umask(022);
  EXPECT_EQ(RaisedBy([&] { ExtractedApp::ExtractContents(dirFd.get(), false); }),
            "");
  ::umask(oldMask);
  EXPECT_EQ(ReadWholeFile(dir.Join("probe")), "hello\n");
  EXPECT_EQ(ModeOf(dir.Join("probe")), 0600);
  EXPECT_EQ(RaisedBy([&] { ExtractedApp::ExtractContents(dirFd.get(), true); }),
            "");
}

}  // namespace
