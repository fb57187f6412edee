#include "discovery/name_claim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle {
namespace {

using Clock = NameClaim::Clock;
using Step = NameClaim::Step;

enum class Event { CONFLICT, LOST_TIE };

struct Timed {
  int at_ms;
  Event event;
};

struct ClaimCase {
  const char* name;
  std::vector<Timed> events;
  int end_ms;
  std::vector<int> probes_ms;
  int won_ms;  // -1: not won by the end
  std::string final_name;
};

std::vector<Timed> conflicts_every_10ms(int count) {
  std::vector<Timed> out;
  for (int i = 1; i <= count; ++i) out.push_back({10 * i, Event::CONFLICT});
  return out;
}

// A probe at 0 and after each of the quick conflicts (every 10 ms up to 140 ms), then these.
std::vector<int> quick_probes_then(std::vector<int> later) {
  std::vector<int> out;
  for (int t = 0; t <= 140; t += 10) out.push_back(t);
  out.insert(out.end(), later.begin(), later.end());
  return out;
}

TEST(NameClaim, ProbesAndRenamesOnAFakeClock) {
  const std::vector<ClaimCase> cases = {
      {"alone on the link", {}, 2000, {0, 250, 500}, 750, "pc"},
      {"answered while probing",
       {{300, Event::CONFLICT}},
       2000,
       {0, 250, 300, 550, 800},
       1050,
       "pc-2"},
      {"answered after winning",
       {{1000, Event::CONFLICT}},
       2500,
       {0, 250, 500, 1000, 1250, 1500},
       1750,
       "pc-2"},
      {"lost a tie", {{100, Event::LOST_TIE}}, 3000, {0, 1100, 1350, 1600}, 1850, "pc"},
      {"fourteen quick conflicts", conflicts_every_10ms(14), 1000, quick_probes_then({390, 640}),
       890, "pc-15"},
      {"fifteen quick conflicts pause 5 s", conflicts_every_10ms(15), 7000,
       quick_probes_then({5150, 5400, 5650}), 5900, "pc-16"},
  };
  for (const auto& c : cases) {
    NameClaim claim("pc");
    const Clock::time_point start{};
    claim.start(start);
    std::vector<int> probes;
    int won = -1;
    size_t next = 0;
    for (int t = 0; t <= c.end_ms; t += 10) {
      const auto now = start + std::chrono::milliseconds(t);
      while (next < c.events.size() && c.events[next].at_ms <= t) {
        if (c.events[next++].event == Event::CONFLICT) {
          claim.conflict(now);
        } else {
          claim.lost_tie(now);
        }
      }
      const Step step = claim.step(now);
      if (step == Step::PROBE) probes.push_back(t);
      if (step == Step::WON) won = t;
    }
    EXPECT_EQ(probes, c.probes_ms) << c.name;
    EXPECT_EQ(won, c.won_ms) << c.name;
    EXPECT_EQ(claim.owned(), c.won_ms >= 0) << c.name;
    EXPECT_EQ(claim.name(), c.final_name) << c.name;
  }
}

TEST(NameClaim, NumberedLabelsStayOneLabel) {
  const std::string long_label(63, 'a');
  EXPECT_EQ(numbered_label("pc", 1), "pc");
  EXPECT_EQ(numbered_label("pc", 2), "pc-2");
  EXPECT_EQ(numbered_label("pc", 123), "pc-123");
  EXPECT_EQ(numbered_label(long_label, 2), std::string(61, 'a') + "-2");
  EXPECT_EQ(numbered_label(long_label, 1000), std::string(58, 'a') + "-1000");
}

dns::Record a_record(const char* owner, Ipv4Address address, uint32_t ttl = 120) {
  return dns::Record{dns::name_from_text(owner), dns::TYPE_A, dns::CLASS_IN, true, ttl, address};
}

std::vector<dns::Record> ours() {
  return {
      dns::Record{dns::name_from_text("pc._brindle._udp.local."), dns::TYPE_SRV, dns::CLASS_IN,
                  true, 120, dns::SrvData{0, 0, 45333, dns::name_from_text("pc.local.")}},
      dns::Record{dns::name_from_text("pc._brindle._udp.local."), dns::TYPE_TXT, dns::CLASS_IN,
                  true, 4500, std::vector<uint8_t>{0}},
      a_record("pc.local.", {198, 51, 100, 5}),
  };
}

dns::Message response(std::vector<dns::Record> answers) {
  dns::Message m;
  m.flags = dns::FLAG_RESPONSE | dns::FLAG_AUTHORITATIVE;
  m.answers = std::move(answers);
  return m;
}

dns::Message probe_for(const char* name, std::vector<dns::Record> authorities) {
  dns::Message m;
  m.questions.push_back({dns::name_from_text(name), dns::TYPE_ANY, dns::CLASS_IN, true});
  m.authorities = std::move(authorities);
  return m;
}

TEST(NameClaim, JudgesWhatOtherHostsSay) {
  const dns::Record aaaa{dns::name_from_text("PC.local."), dns::TYPE_AAAA, dns::CLASS_IN, true, 120,
                         std::vector<uint8_t>(16, 1)};
  struct Row {
    const char* name;
    dns::Message message;
    bool probing;
    ClaimVerdict verdict;
  };
  const std::vector<Row> rows = {
      {"another address for our host", response({a_record("pc.local.", {198, 51, 100, 9})}), true,
       ClaimVerdict::CONFLICT},
      {"the same, once owned", response({a_record("pc.local.", {198, 51, 100, 9})}), false,
       ClaimVerdict::CONFLICT},
      {"our own record", response({a_record("PC.local.", {198, 51, 100, 5})}), true,
       ClaimVerdict::NONE},
      {"a goodbye", response({a_record("pc.local.", {198, 51, 100, 9}, 0)}), true,
       ClaimVerdict::NONE},
      {"another name", response({a_record("pc-2.local.", {198, 51, 100, 9})}), true,
       ClaimVerdict::NONE},
      {"another type while probing", response({aaaa}), true, ClaimVerdict::CONFLICT},
      {"another type once owned", response({aaaa}), false, ClaimVerdict::NONE},
      {"a probe that sorts later",
       probe_for("pc.local.", {a_record("pc.local.", {198, 51, 100, 9})}), true,
       ClaimVerdict::LOST_TIE},
      {"a probe that sorts earlier",
       probe_for("pc.local.", {a_record("pc.local.", {198, 51, 100, 1})}), true,
       ClaimVerdict::NONE},
      {"a longer probe sorts later",
       probe_for("pc.local.", {a_record("pc.local.", {198, 51, 100, 5}),
                               a_record("pc.local.", {198, 51, 100, 6})}),
       true, ClaimVerdict::LOST_TIE},
      {"a probe once owned", probe_for("pc.local.", {a_record("pc.local.", {198, 51, 100, 9})}),
       false, ClaimVerdict::NONE},
      {"a probe like ours", probe_for("pc.local.", {a_record("pc.local.", {198, 51, 100, 5})}),
       true, ClaimVerdict::NONE},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(judge_message(row.message, ours(), row.probing), row.verdict) << row.name;
  }
}

TEST(NameClaim, ProbeAsksForEachNameWithOurRecords) {
  const auto bytes = probe_message(ours());
  ASSERT_TRUE(bytes);
  const auto decoded = dns::decode_message(*bytes);
  ASSERT_TRUE(decoded);
  const dns::Message& m = decoded.value();
  EXPECT_EQ(m.flags, 0);
  ASSERT_EQ(m.questions.size(), 2u);
  EXPECT_EQ(dns::name_to_text(m.questions[0].name), "pc._brindle._udp.local.");
  EXPECT_EQ(dns::name_to_text(m.questions[1].name), "pc.local.");
  for (const auto& q : m.questions) {
    EXPECT_EQ(q.type, dns::TYPE_ANY);
    EXPECT_TRUE(q.unicast_response);
  }
  ASSERT_EQ(m.authorities.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(dns::same_record(m.authorities[i], ours()[i]));
    EXPECT_FALSE(m.authorities[i].cache_flush);
  }
}

}  // namespace
}  // namespace brindle
