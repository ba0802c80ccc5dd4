// Error texts: system texts, the unknown-code text, the last error.
#include "misc/err.h"

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "host/lastError.h"

namespace {

TEST(Err, SystemAndUnknownCodes) {
  EXPECT_STREQ(Err_Errno2String(ENOENT), "No such file or directory");
  EXPECT_STREQ(Err_Errno2String(123456), "Unknown error 123456 (0x1e240)");
  EXPECT_STREQ(Err_Errno2String(-1), "Unknown error -1 (0xffffffff)");
}

TEST(Err, ErrStringUsesLastError) {
  Host_SetLastError(EACCES);
  EXPECT_STREQ(Err_ErrString(), "Permission denied");
}

}  // namespace
