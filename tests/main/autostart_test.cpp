#include "main/autostart.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "main/autostart_store.h"
#include "platform/command_line_quote.h"

namespace brindle {
namespace {

const std::string EXE = R"(C:\Program Files\Brindle\brindle-receiver.exe)";
const std::string STORED_EXE = R"("C:\Program Files\Brindle\brindle-receiver.exe")";

Options with(void (*change)(Options&)) {
  Options options;
  change(options);
  return options;
}

// ---- the stored command ----

struct CommandCase {
  const char* name;
  Options options;
  std::string tail;  // what follows the quoted path
};

class AutostartCommand : public ::testing::TestWithParam<CommandCase> {};

TEST_P(AutostartCommand, BuildsTheStoredText) {
  EXPECT_EQ(autostart_command(EXE, GetParam().options), STORED_EXE + GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AutostartCommand,
    ::testing::Values(
        CommandCase{"defaults", Options{}, " --background"},
        CommandCase{"background given", with([](Options& o) { o.background = true; }),
                    " --background"},
        CommandCase{"gain 4", with([](Options& o) { o.gain = 4.0f; }), " --background --gain 4"},
        CommandCase{"gain 2.5", with([](Options& o) { o.gain = 2.5f; }),
                    " --background --gain 2.5"},
        CommandCase{"gain 0.1", with([](Options& o) { o.gain = 0.1f; }),
                    " --background --gain 0.1"},
        CommandCase{"gain 0.999", with([](Options& o) { o.gain = 0.999f; }),
                    " --background --gain 0.999"},
        CommandCase{"gain just above 1",
                    with([](Options& o) { o.gain = std::nextafter(1.0f, 2.0f); }),
                    " --background --gain 1.0000001"},
        CommandCase{"smallest gain", with([](Options& o) { o.gain = 1e-45f; }),
                    " --background --gain 0." + std::string(44, '0') + "1"},
        CommandCase{"prefill 80", with([](Options& o) { o.prefill_ms = 80.0; }),
                    " --background --prefill-ms 80"},
        CommandCase{"prefill 12.5", with([](Options& o) { o.prefill_ms = 12.5; }),
                    " --background --prefill-ms 12.5"},
        CommandCase{"prefill 40.5", with([](Options& o) { o.prefill_ms = 40.5; }),
                    " --background --prefill-ms 40.5"},
        CommandCase{"prefill 0", with([](Options& o) { o.prefill_ms = 0.0; }),
                    " --background --prefill-ms 0"},
        CommandCase{"large value without exponent", with([](Options& o) { o.prefill_ms = 1e21; }),
                    " --background --prefill-ms 1000000000000000000000"},
        CommandCase{"default device spelled exactly",
                    with([](Options& o) { o.device = "CABLE Input (VB-Audio Virtual Cable)"; }),
                    " --background"},
        CommandCase{"default device in lower case",
                    with([](Options& o) { o.device = "cable input (vb-audio virtual cable)"; }),
                    R"x( --background --device "cable input (vb-audio virtual cable)")x"},
        CommandCase{"empty device", with([](Options& o) { o.device = ""; }),
                    R"( --background --device "")"},
        CommandCase{"inner backslashes stay", with([](Options& o) { o.device = R"(a\b\\c)"; }),
                    R"( --background --device "a\b\\c")"},
        CommandCase{"quote escaped", with([](Options& o) { o.device = R"(say "hi")"; }),
                    R"( --background --device "say \"hi\"")"},
        CommandCase{"backslashes before a quote doubled",
                    with([](Options& o) { o.device = R"(a\\"b)"; }),
                    R"( --background --device "a\\\\\"b")"},
        CommandCase{"trailing backslash doubled", with([](Options& o) { o.device = R"(dir\)"; }),
                    R"( --background --device "dir\\")"},
        CommandCase{"no-mdns", with([](Options& o) { o.no_mdns = true; }),
                    " --background --no-mdns"},
        CommandCase{"everything in order", with([](Options& o) {
                      o.no_mdns = true;
                      o.prefill_ms = 60.0;
                      o.gain = 3.0f;
                      o.device = "Brindle";
                      o.autostart = AutostartMode::ON;
                    }),
                    R"( --background --device "Brindle" --gain 3 --prefill-ms 60 --no-mdns)"}),
    [](const auto& info) {
      std::string name = info.param.name;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(AutostartCommandPath, UnrepresentableBytesBecomeReplacementCharacters) {
  EXPECT_EQ(autostart_command("/opt/br\xFFin/brindle-receiver", Options{}),
            "\"/opt/br\xEF\xBF\xBDin/brindle-receiver\" --background");
}

// A device text that tried to end its quotes early must come back as one argument, whole.
TEST(AutostartCommandRoundTrip, SplittingGivesBackTheOptions) {
  const std::vector<std::string> devices = {"",
                                            "Brindle",
                                            "ends with \\",
                                            "\\\\",
                                            "x\" --gain 64 \"",
                                            "\"",
                                            "a\\\"b",
                                            "tab\there",
                                            "  spaces ",
                                            "Lautsprecher (Realtek® Audio)",
                                            "100% \\\\server\\share\\",
                                            "\\\"\\\\\""};
  for (const std::string& device : devices) {
    Options options;
    options.device = device;
    options.gain = 0.3f;
    const std::vector<std::string> argv =
        split_windows_command_line(autostart_command(EXE, options));
    const std::vector<std::string> expected = {EXE,    "--background", "--device",
                                               device, "--gain",       "0.3"};
    EXPECT_EQ(argv, expected) << "device: " << device;
  }
}

TEST(AutostartCommandRoundTrip, NumbersReadBackExactlyWithoutExponent) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<uint32_t> float_bits(1, 0x42800000u);  // (0, 64]
  std::uniform_real_distribution<double> prefill(0.0, 1000.0);
  for (int i = 0; i < 20000; ++i) {
    const uint32_t bits = float_bits(random);
    Options options;
    std::memcpy(&options.gain, &bits, sizeof bits);
    options.prefill_ms = i % 2 ? prefill(random) : std::ldexp(prefill(random), -30);
    const std::vector<std::string> argv =
        split_windows_command_line(autostart_command(EXE, options));
    ASSERT_EQ(argv.size(), 6u);
    for (const std::string& number : {argv[3], argv[5]}) {
      ASSERT_EQ(number.find_first_of("eE"), std::string::npos) << number;
      ASSERT_FALSE(number.ends_with(".0")) << number;
    }
    EXPECT_EQ(parse_f32(argv[3]), options.gain) << argv[3];
    EXPECT_EQ(parse_f64(argv[5]), options.prefill_ms) << argv[5];
  }
}

// ---- the Windows splitting rules the conversion to other platforms relies on ----

struct SplitCase {
  std::string line;
  std::vector<std::string> argv;
};

class WindowsSplitting : public ::testing::TestWithParam<SplitCase> {};

TEST_P(WindowsSplitting, FollowsTheRuntimeRules) {
  EXPECT_EQ(split_windows_command_line(GetParam().line), GetParam().argv);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WindowsSplitting,
    ::testing::Values(SplitCase{R"("abc" d e)", {"abc", "d", "e"}},
                      SplitCase{R"(a\\\b d"e f"g h)", {R"(a\\\b)", "de fg", "h"}},
                      SplitCase{R"(a\\\"b c d)", {R"(a\"b)", "c", "d"}},
                      SplitCase{R"(a\\\\"b c" d e)", {R"(a\\b c)", "d", "e"}},
                      SplitCase{R"(a"b"" c d)", {R"(ab" c d)"}}, SplitCase{"  \t ", {}},
                      SplitCase{R"("" x)", {"", "x"}},
                      SplitCase{R"("unterminated \" quote)", {R"(unterminated " quote)"}},
                      SplitCase{"trailing\\", {"trailing\\"}}));

// ---- the Exec line of the desktop entry ----

// The desktop entry rules, written independently of the code under test: string escapes of
// the file format first, then field codes, then the Exec quoting.
std::optional<std::vector<std::string>> parse_exec(std::string_view value) {
  std::string unescaped;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\') {
      unescaped += value[i];
      continue;
    }
    if (++i == value.size()) return std::nullopt;
    switch (value[i]) {
      case 's':
        unescaped += ' ';
        break;
      case 'n':
        unescaped += '\n';
        break;
      case 't':
        unescaped += '\t';
        break;
      case 'r':
        unescaped += '\r';
        break;
      case '\\':
        unescaped += '\\';
        break;
      default:
        return std::nullopt;  // strict readers reject the whole value
    }
  }
  std::vector<std::string> argv;
  std::string argument;
  bool in_argument = false;
  bool in_quotes = false;
  for (size_t i = 0; i < unescaped.size(); ++i) {
    const char c = unescaped[i];
    if (c == '%') {
      if (i + 1 == unescaped.size() || unescaped[i + 1] != '%') return std::nullopt;
      argument += '%';
      in_argument = true;
      ++i;
    } else if (in_quotes) {
      if (c == '"') {
        in_quotes = false;
      } else if (c == '\\') {
        if (++i == unescaped.size()) return std::nullopt;
        if (std::strchr("\"`$\\", unescaped[i]) == nullptr) return std::nullopt;
        argument += unescaped[i];
      } else {
        argument += c;
      }
    } else if (c == ' ') {
      if (in_argument) argv.push_back(std::exchange(argument, {}));
      in_argument = false;
    } else if (c == '"') {
      in_quotes = in_argument = true;
    } else if (std::strchr("\t\n'><~|&;$*?#()`\\", c) != nullptr) {
      return std::nullopt;  // reserved outside quotes
    } else {
      argument += c;
      in_argument = true;
    }
  }
  if (in_quotes) return std::nullopt;
  if (in_argument) argv.push_back(argument);
  return argv;
}

std::string exec_value(const std::string& entry) {
  const size_t start = entry.find("\nExec=");
  if (start == std::string::npos) return {};
  const size_t end = entry.find('\n', start + 1);
  return entry.substr(start + 6, end - start - 6);
}

TEST(DesktopEntry, ExecStartsTheStoredArguments) {
  const std::vector<std::string> devices = {"Brindle",
                                            "",
                                            "$HOME `id` \"x\"",
                                            "a\\b\\",
                                            "100% %f %%",
                                            "line\nbreak\ttab\rcr",
                                            "x\" --gain 64 \"",
                                            "Lautsprecher (Realtek® Audio)",
                                            "'single' ; rm -rf ~ | cat &"};
  for (const std::string& device : devices) {
    Options options;
    options.device = device;
    options.gain = 4.0f;
    options.no_mdns = true;
    const std::string command = autostart_command("/opt/brindle dir/brindle-receiver", options);
    const std::string entry = desktop_entry_text(command);
    const std::vector<std::string> expected = {"/opt/brindle dir/brindle-receiver",
                                               "--background",
                                               "--device",
                                               device,
                                               "--gain",
                                               "4",
                                               "--no-mdns"};
    EXPECT_EQ(parse_exec(exec_value(entry)), expected) << "entry:\n" << entry;
  }
}

TEST(DesktopEntry, IsAnApplicationEntryWithoutTerminal) {
  const std::string entry = desktop_entry_text(R"("/usr/bin/brindle-receiver" --background)");
  EXPECT_EQ(entry,
            "[Desktop Entry]\n"
            "Type=Application\n"
            "Name=Brindle Receiver\n"
            "Exec=\"/usr/bin/brindle-receiver\" \"--background\"\n"
            "Terminal=false\n");
}

TEST(DesktopEntry, InvalidUtf8BecomesReplacementCharacters) {
  const std::string entry = desktop_entry_text("\"/bin/x\" --device \"a\xC3\"");
  EXPECT_EQ(exec_value(entry), "\"/bin/x\" \"--device\" \"a\xEF\xBF\xBD\"");
}

struct EntryPathCase {
  const char* xdg_config_home;
  const char* home;
  std::optional<std::string> path;
};

class AutostartEntryPath : public ::testing::TestWithParam<EntryPathCase> {};

TEST_P(AutostartEntryPath, FollowsTheBaseDirectoryRules) {
  EXPECT_EQ(autostart_entry_path(GetParam().xdg_config_home, GetParam().home), GetParam().path);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AutostartEntryPath,
    ::testing::Values(
        EntryPathCase{"/cfg", "/home/u", "/cfg/autostart/brindle-receiver.desktop"},
        EntryPathCase{"/cfg//", "/home/u", "/cfg/autostart/brindle-receiver.desktop"},
        EntryPathCase{nullptr, "/home/u", "/home/u/.config/autostart/brindle-receiver.desktop"},
        EntryPathCase{"", "/home/u/", "/home/u/.config/autostart/brindle-receiver.desktop"},
        EntryPathCase{"relative/cfg", "/home/u",
                      "/home/u/.config/autostart/brindle-receiver.desktop"},
        EntryPathCase{nullptr, "/", "/.config/autostart/brindle-receiver.desktop"},
        EntryPathCase{nullptr, nullptr, std::nullopt}, EntryPathCase{"", "", std::nullopt},
        EntryPathCase{nullptr, "home", std::nullopt}));

}  // namespace
}  // namespace brindle
