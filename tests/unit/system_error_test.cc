#include <gtest/gtest.h>

#include <cerrno>

#include "support/system_error.h"
#include "unit_support.h"

namespace {

TEST(SystemErrorTest, CarriesTheCodeAndAppendsItsDescription) {
  struct Case {
    int errorNumber;
    char const* expectedWhat;
  };
  for (Case const c : {Case{ENOENT, "Failed x: No such file or directory"},
                       Case{EACCES, "Failed x: Permission denied"},
                       Case{0, "Failed x: Success"}}) {
    EXPECT_EQ(RaisedBy([&] { ThrowSystemError(c.errorNumber, "Failed x"); }),
              "system_error generic " + std::to_string(c.errorNumber) + ": " +
                  c.expectedWhat);
  }
}

TEST(SystemErrorTest, MessageOnlyFormTakesErrnoOnEntry) {
  EXPECT_EQ(RaisedBy([] {
              errno = ENOTDIR;
              ThrowSystemError("Failed to open file");
            }),
            SystemErrorLine(ENOTDIR, "Failed to open file"));
  // A '%' in the message is text, not a conversion.
  EXPECT_EQ(RaisedBy([] {
              errno = EEXIST;
              ThrowSystemError("Failed to create directory: '%s'");
            }),
            SystemErrorLine(EEXIST, "Failed to create directory: '%s'"));
}

}  // namespace
