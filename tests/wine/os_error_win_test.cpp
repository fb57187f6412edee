#include <winsock2.h>

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/os_error.h"

namespace brindle {
namespace {

struct ErrorCase {
  const char* name;
  int code;
  const char* suffix;
};

class OsErrorText : public testing::TestWithParam<ErrorCase> {};

// The system's own wording differs between Windows versions and Wine; the form does not.
TEST_P(OsErrorText, IsOneLineOfSystemTextThenTheCode) {
  const std::string text = os_error_text(GetParam().code);
  const std::string suffix = GetParam().suffix;
  ASSERT_GT(text.size(), suffix.size());
  EXPECT_EQ(text.substr(text.size() - suffix.size()), suffix);
  EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
  EXPECT_NE(text[0], ' ') << text;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, OsErrorText,
    testing::Values(ErrorCase{"file_not_found", ERROR_FILE_NOT_FOUND, " (os error 2)"},
                    ErrorCase{"access_denied", ERROR_ACCESS_DENIED, " (os error 5)"},
                    ErrorCase{"address_in_use", WSAEADDRINUSE, " (os error 10048)"},
                    ErrorCase{"message_too_long", WSAEMSGSIZE, " (os error 10040)"},
                    ErrorCase{"no_such_code", 0x3FFFFFF0, " (os error 1073741808)"}),
    [](const testing::TestParamInfo<ErrorCase>& info) { return std::string(info.param.name); });

TEST(OsErrorText, LastErrorIsReadFromTheSystem) {
  // Read before anything else runs: formatting a text may set the last error itself.
  ::SetLastError(ERROR_FILE_NOT_FOUND);
  const std::string os_text = last_os_error_text();
  ::WSASetLastError(WSAEADDRINUSE);
  const std::string socket_text = last_socket_error_text();
  EXPECT_EQ(os_text, os_error_text(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(socket_text, os_error_text(WSAEADDRINUSE));
}

}  // namespace
}  // namespace brindle
