#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "main/tray_picture.h"
#include "main/tray_text.h"

namespace brindle {
namespace {

SocketAddress mapped_v4() {
  const std::array<uint8_t, 16> ip = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 168, 1, 20};
  return make_v6_address(ip, 50412, 0, 0);
}

SocketAddress link_local_v6() {
  const std::array<uint8_t, 16> ip = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return make_v6_address(ip, 50412, 0, 3);
}

struct ViewCase {
  const char* name;
  TrayView view;
  std::string tooltip;
  TrayPicture picture;
};

class TrayViewText : public ::testing::TestWithParam<ViewCase> {};

TEST_P(TrayViewText, TooltipAndPictureFollowTheStatusLine) {
  EXPECT_EQ(tray_tooltip(GetParam().view), GetParam().tooltip);
  EXPECT_EQ(tray_picture(GetParam().view), GetParam().picture);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TrayViewText,
    ::testing::Values(
        ViewCase{"waiting", {}, "Brindle receiver — waiting for the phone", TrayPicture::WAITING},
        ViewCase{"streaming_ipv4_through_the_dual_stack_socket",
                 {StreamState::STREAMING, mapped_v4(), true},
                 "Brindle receiver — streaming from 192.168.1.20",
                 TrayPicture::STREAMING},
        ViewCase{
            "streaming_ipv4",
            {StreamState::STREAMING, make_v4_address(std::array<uint8_t, 4>{10, 0, 0, 7}, 9), true},
            "Brindle receiver — streaming from 10.0.0.7",
            TrayPicture::STREAMING},
        ViewCase{"idle_ipv6_with_scope",
                 {StreamState::IDLE, link_local_v6(), true},
                 "Brindle receiver — idle, last from fe80::1%3",
                 TrayPicture::IDLE},
        ViewCase{"idle_ipv6_that_only_begins_like_a_mapped_one",
                 {StreamState::IDLE,
                  make_v6_address(std::array<uint8_t, 16>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff,
                                                          0xff, 0, 1},
                                  9, 0, 0),
                  true},
                 "Brindle receiver — idle, last from ::ffff:1",
                 TrayPicture::IDLE},
        ViewCase{"device_lost",
                 {StreamState::STREAMING, mapped_v4(), false},
                 "Brindle receiver — streaming from 192.168.1.20 (no audio device)",
                 TrayPicture::STREAMING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrayMenu, StateGreyedThenLoginLogAndQuit) {
  const TrayView view{StreamState::STREAMING, mapped_v4(), true};
  const std::vector<TrayMenuItem> menu = tray_menu(view, true, false);
  std::vector<std::string> texts;
  for (const TrayMenuItem& item : menu) texts.push_back(item.text);
  EXPECT_EQ(texts, (std::vector<std::string>{"Streaming from 192.168.1.20", "", "Start at login",
                                             "Open log", "", "Quit"}));
  EXPECT_FALSE(menu[0].enabled);
  EXPECT_EQ(menu[2].command, TrayCommand::START_AT_LOGIN);
  EXPECT_TRUE(menu[2].checked && menu[2].enabled);
  EXPECT_EQ(menu[3].command, TrayCommand::OPEN_LOG);
  EXPECT_EQ(menu[5].command, TrayCommand::QUIT);

  // Unchecked when the login entry starts something else; greyed while a change runs.
  const std::vector<TrayMenuItem> busy = tray_menu(TrayView{}, false, true);
  EXPECT_EQ(busy[0].text, "Waiting for the phone");
  EXPECT_FALSE(busy[2].checked || busy[2].enabled);
  EXPECT_TRUE(busy[5].enabled);
}

TEST(TrayMenu, LoginEntryStartsThisProgram) {
  const std::string exe = R"(C:\Users\Ana\AppData\Local\Programs\Brindle\brindle-receiver.exe)";
  struct Case {
    std::string command;
    bool expected;
  };
  for (const Case& c : std::vector<Case>{
           {"\"" + exe + "\" --background --gain 4", true},
           {R"("c:\users\ana\appdata\local\programs\brindle\BRINDLE-RECEIVER.EXE" --background)",
            true},
           {R"(C:/Users/Ana/AppData/Local/Programs/Brindle/brindle-receiver.exe)", true},
           {R"("C:\Tools\brindle-receiver.exe" --background)", false},
           {exe + ".old --background", false},
           {"", false},
       }) {
    EXPECT_EQ(command_starts_program(c.command, exe), c.expected) << c.command;
  }
}

TEST(OutputEpisodes, OneBalloonWhenTheDeviceGoesAndOneWhenItIsBack) {
  OutputEpisodes episodes;
  std::vector<std::string> titles;
  for (const bool available : {true, false, false, false, true, true, false, true}) {
    if (const std::optional<TrayBalloon> balloon = episodes.output_changed(available)) {
      titles.push_back(balloon->title + (balloon->warning ? " (warning)" : ""));
    }
  }
  EXPECT_EQ(titles, (std::vector<std::string>{"Audio device lost (warning)", "Audio device back",
                                              "Audio device lost (warning)", "Audio device back"}));
}

TEST(TrayPictureBits, IconResourceLayoutAndOneLookPerState) {
  constexpr int SIZE = 16;
  const auto centre = [](const std::vector<uint8_t>& bits) {
    const size_t at = 40 + (SIZE / 2 * SIZE + SIZE / 2) * 4;  // B, G, R, A
    return std::array<uint8_t, 4>{bits[at], bits[at + 1], bits[at + 2], bits[at + 3]};
  };
  const std::vector<uint8_t> waiting = tray_picture_bits(TrayPicture::WAITING, SIZE);
  ASSERT_EQ(waiting.size(), 40u + SIZE * SIZE * 4 + SIZE * 4);  // header, pixels, AND mask
  EXPECT_EQ(waiting[0], 40);                                    // BITMAPINFOHEADER
  EXPECT_EQ(waiting[8], 2 * SIZE);                              // height: colour and mask
  EXPECT_EQ(waiting[14], 32);                                   // bits per pixel
  EXPECT_EQ(waiting[40 + 3], 0);                                // a transparent corner
  EXPECT_EQ(centre(waiting)[3], 0);                             // a ring: hollow
  EXPECT_EQ(centre(tray_picture_bits(TrayPicture::STREAMING, SIZE)),
            (std::array<uint8_t, 4>{0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(centre(tray_picture_bits(TrayPicture::IDLE, SIZE)),
            (std::array<uint8_t, 4>{0x1c, 0x9a, 0xe0, 0xff}));
}

}  // namespace
}  // namespace brindle
