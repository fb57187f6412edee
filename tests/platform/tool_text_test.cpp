#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/tool_text.h"

namespace brindle {
namespace {

// A stand-in for the OEM code page 850: only the byte of "ü" is known.
std::optional<std::string> cp850_u_umlaut(std::string_view bytes) {
  std::string text;
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) == 0x81) {
      text += "\xC3\xBC";
    } else if (static_cast<unsigned char>(c) < 0x80) {
      text += c;
    } else {
      return std::nullopt;
    }
  }
  return text;
}

std::optional<std::string> refuses(std::string_view) {
  return std::nullopt;
}

TEST(ToolOutputText, Utf8WhenValidElseTheLegacyCodePage) {
  struct Case {
    std::string bytes;
    LegacyDecoder legacy;
    std::string expected;
  };
  const Case cases[] = {
      {"", cp850_u_umlaut, ""},
      {"ERROR: Access is denied.\r\n", refuses, "ERROR: Access is denied.\r\n"},
      {"FEHLER: Ung\xC3\xBCltig", refuses, "FEHLER: Ung\xC3\xBCltig"},  // already UTF-8
      {"FEHLER: Ung\x81ltiger Wert", cp850_u_umlaut, "FEHLER: Ung\xC3\xBCltiger Wert"},  // OEM
      {"bad \xFF byte", refuses, "bad \xEF\xBF\xBD byte"},  // neither: replaced, not lost
      {"bad \xFF byte", nullptr, "bad \xEF\xBF\xBD byte"},
  };
  for (const Case& c : cases) EXPECT_EQ(tool_output_text(c.bytes, c.legacy), c.expected) << c.bytes;
}

}  // namespace
}  // namespace brindle
