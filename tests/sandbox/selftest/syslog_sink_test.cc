#include <syslog.h>

#include <gtest/gtest.h>

#include "sandbox/syslog_sink.h"

namespace nestbox::sandbox {
namespace {

struct FrameCase {
  char const* name;
  char const* frame;
  bool parses;
  int facility;
  int priority;
  char const* ident;
  pid_t pid;
  char const* text;
};

void PrintTo(FrameCase const& c, std::ostream* out) { *out << c.name; }

class ParseLogFrameTest : public ::testing::TestWithParam<FrameCase> {};

TEST_P(ParseLogFrameTest, SplitsTheHeaderFromTheText) {
  FrameCase const& c = GetParam();
  std::optional<LogEntry> const entry = ParseLogFrame(c.frame);
  ASSERT_EQ(entry.has_value(), c.parses) << c.frame;
  if (!c.parses) return;
  EXPECT_EQ(entry->facility, c.facility);
  EXPECT_EQ(entry->priority, c.priority);
  EXPECT_EQ(entry->ident, c.ident);
  EXPECT_EQ(entry->pid, c.pid);
  EXPECT_EQ(entry->text, c.text);
  EXPECT_EQ(entry->frame, c.frame);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ParseLogFrameTest,
    ::testing::Values(
        FrameCase{"Info", "<14>Dec  1 09:05:01 kolvonestbox[42]: acquired lock /tmp/a.lock",
                  true, LOG_USER >> 3, LOG_INFO, "kolvonestbox", 42,
                  "acquired lock /tmp/a.lock"},
        // A text may hold the separator itself and brackets.
        FrameCase{"TextWithSeparator", "<11>Dec 11 15:26:59 kolvonestbox[7]: Failed to remove [x]: Is a directory",
                  true, LOG_USER >> 3, LOG_ERR, "kolvonestbox", 7,
                  "Failed to remove [x]: Is a directory"},
        FrameCase{"OtherFacilityNoPid", "<134>Jan 31 23:59:59 other: no pid here", true, LOG_LOCAL0 >> 3,
                  LOG_INFO, "other", -1, "no pid here"},
        FrameCase{"EmptyText", "<14>Dec 11 15:26:59 id[1]: ", true, 1, LOG_INFO, "id", 1, ""},
        FrameCase{"PidNotANumber", "<14>Dec 11 15:26:59 id[x1]: bad pid", false, 0, 0, "", 0, ""},
        FrameCase{"NoSeparator", "<14>Dec 11 15:26:59 no separator", false, 0, 0, "", 0, ""},
        FrameCase{"NoTimestamp", "<14>short: text", false, 0, 0, "", 0, ""},
        FrameCase{"NoOpeningBracket", "14>Dec 11 15:26:59 id[1]: text", false, 0, 0, "", 0, ""},
        FrameCase{"EmptyPriority", "<>Dec 11 15:26:59 id[1]: text", false, 0, 0, "", 0, ""}),
    [](auto const& info) { return info.param.name; });

}  // namespace
}  // namespace nestbox::sandbox
