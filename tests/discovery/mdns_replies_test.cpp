#include "discovery/mdns_replies.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "discovery/dns_message.h"
#include "discovery/interface_addresses.h"

namespace brindle {
namespace {

using dns::Message;
using dns::Name;
using dns::Question;
using dns::Record;

ServiceRecord service() {
  return make_service_record("_brindle._udp.local.", "DESKTOP-AB12", "DESKTOP-AB12.local.",
                             "198.51.100.1,198.51.100.3", 45333)
      .value();
}

const Ipv4Endpoint MDNS_QUERIER{{198, 51, 100, 2}, MDNS_PORT};
const Ipv4Endpoint LEGACY_QUERIER{{198, 51, 100, 2}, 40000};

std::vector<uint8_t> query(std::vector<Question> questions, std::vector<Record> known = {},
                           uint16_t id = 0, uint16_t flags = 0) {
  Message m;
  m.id = id;
  m.flags = flags;
  m.questions = std::move(questions);
  m.answers = std::move(known);
  return dns::encode_message(m).value();
}

Question ask(const char* name, uint16_t type, bool qu = false) {
  return Question{dns::name_from_text(name), type, dns::CLASS_IN, qu};
}

Message decoded(const Reply& reply) {
  auto m = dns::decode_message(reply.bytes);
  EXPECT_TRUE(m.ok());
  return m ? m.value() : Message{};
}

// "PTR _brindle._udp.local." style summaries, sorted, for readable comparisons.
std::vector<std::string> summary(const std::vector<Record>& records) {
  std::vector<std::string> out;
  for (const auto& r : records) {
    const char* type = r.type == dns::TYPE_PTR    ? "PTR"
                       : r.type == dns::TYPE_SRV  ? "SRV"
                       : r.type == dns::TYPE_TXT  ? "TXT"
                       : r.type == dns::TYPE_A    ? "A"
                       : r.type == dns::TYPE_NSEC ? "NSEC"
                                                  : "?";
    // Appended piece by piece: MinGW's GCC warns falsely (-Wrestrict) about chained '+'.
    std::string s = type;
    s += ' ';
    s += dns::name_to_text(r.name);
    if (const auto* a = std::get_if<Ipv4Address>(&r.data)) {
      s += ' ';
      s += format_ipv4(*a);
    }
    out.push_back(s);
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct QuestionCase {
  const char* name;
  uint16_t type;
  std::vector<std::string> answers;
  std::vector<std::string> additionals;
};

class AnswersByQuestion : public testing::TestWithParam<QuestionCase> {};

TEST_P(AnswersByQuestion, MulticastReplyHoldsTheRightRecords) {
  const auto& c = GetParam();
  const auto replies = replies_to_datagram(service(), query({ask(c.name, c.type)}), MDNS_QUERIER);
  if (c.answers.empty()) {
    EXPECT_TRUE(replies.empty());
    return;
  }
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].multicast);
  EXPECT_EQ(replies[0].destination, (Ipv4Endpoint{MDNS_GROUP, MDNS_PORT}));
  const Message m = decoded(replies[0]);
  EXPECT_EQ(m.id, 0);
  EXPECT_EQ(m.flags, dns::FLAG_RESPONSE | dns::FLAG_AUTHORITATIVE);
  EXPECT_TRUE(m.questions.empty());
  EXPECT_EQ(summary(m.answers), c.answers);
  EXPECT_EQ(summary(m.additionals), c.additionals);
}

const std::vector<std::string> A_RECORDS = {"A DESKTOP-AB12.local. 198.51.100.1",
                                            "A DESKTOP-AB12.local. 198.51.100.3"};

INSTANTIATE_TEST_SUITE_P(
    Questions, AnswersByQuestion,
    testing::Values(
        QuestionCase{"_brindle._udp.local.",
                     dns::TYPE_PTR,
                     {"PTR _brindle._udp.local."},
                     {A_RECORDS[0], A_RECORDS[1], "SRV DESKTOP-AB12._brindle._udp.local.",
                      "TXT DESKTOP-AB12._brindle._udp.local."}},
        QuestionCase{"_BRINDLE._udp.LOCAL.",
                     dns::TYPE_ANY,
                     {"PTR _brindle._udp.local."},
                     {A_RECORDS[0], A_RECORDS[1], "SRV DESKTOP-AB12._brindle._udp.local.",
                      "TXT DESKTOP-AB12._brindle._udp.local."}},
        QuestionCase{"_services._dns-sd._udp.local.",
                     dns::TYPE_PTR,
                     {"PTR _services._dns-sd._udp.local."},
                     {}},
        QuestionCase{"DESKTOP-AB12._brindle._udp.local.",
                     dns::TYPE_SRV,
                     {"SRV DESKTOP-AB12._brindle._udp.local."},
                     A_RECORDS},
        QuestionCase{"desktop-ab12._brindle._udp.local.",
                     dns::TYPE_TXT,
                     {"TXT DESKTOP-AB12._brindle._udp.local."},
                     {}},
        QuestionCase{
            "DESKTOP-AB12._brindle._udp.local.",
            dns::TYPE_ANY,
            {"SRV DESKTOP-AB12._brindle._udp.local.", "TXT DESKTOP-AB12._brindle._udp.local."},
            A_RECORDS},
        QuestionCase{"DESKTOP-AB12.local.", dns::TYPE_A, A_RECORDS, {}},
        QuestionCase{"DESKTOP-AB12.local.", dns::TYPE_ANY, A_RECORDS, {}},
        // A name of ours denies the types it lacks at once, so clients need not wait.
        QuestionCase{"DESKTOP-AB12.local.", dns::TYPE_AAAA, {"NSEC DESKTOP-AB12.local."}, {}},
        QuestionCase{"OTHER.local.", dns::TYPE_A, {}, {}},
        QuestionCase{"_http._tcp.local.", dns::TYPE_PTR, {}, {}},
        QuestionCase{"DESKTOP-AB12._brindle._udp.local.",
                     dns::TYPE_A,
                     {"NSEC DESKTOP-AB12._brindle._udp.local."},
                     {}}));

// The restricted form: the name itself as next name, a bitmap of the types it does have.
TEST(MdnsReplies, NsecListsTheTypesTheNameHas) {
  const auto replies = replies_to_datagram(
      service(), query({ask("DESKTOP-AB12.local.", dns::TYPE_AAAA)}), MDNS_QUERIER);
  ASSERT_EQ(replies.size(), 1u);
  const Message m = decoded(replies[0]);
  ASSERT_EQ(m.answers.size(), 1u);
  const std::vector<uint8_t> expected = {12,  'D', 'E', 'S', 'K', 'T', 'O', 'P', '-', 'A', 'B', '1',
                                         '2', 5,   'l', 'o', 'c', 'a', 'l', 0,   0,   1,   0x40};
  EXPECT_EQ(std::get<std::vector<uint8_t>>(m.answers[0].data), expected);
  EXPECT_TRUE(m.answers[0].cache_flush);
  EXPECT_EQ(m.answers[0].ttl, HOST_RECORD_TTL);
}

TEST(MdnsReplies, RecordsCarryTheirLifetimesAndFlushBits) {
  const auto replies = replies_to_datagram(
      service(), query({ask("_brindle._udp.local.", dns::TYPE_PTR)}), MDNS_QUERIER);
  ASSERT_EQ(replies.size(), 1u);
  const Message m = decoded(replies[0]);
  std::vector<Record> all = m.answers;
  all.insert(all.end(), m.additionals.begin(), m.additionals.end());
  for (const auto& r : all) {
    const bool shared = r.type == dns::TYPE_PTR;
    const bool names_host = r.type == dns::TYPE_SRV || r.type == dns::TYPE_A;
    EXPECT_EQ(r.cache_flush, !shared) << r.type;
    EXPECT_EQ(r.ttl, names_host ? HOST_RECORD_TTL : OTHER_RECORD_TTL) << r.type;
    if (r.type == dns::TYPE_SRV) {
      EXPECT_EQ(std::get<dns::SrvData>(r.data),
                (dns::SrvData{0, 0, 45333, dns::name_from_text("DESKTOP-AB12.local.")}));
    }
    if (r.type == dns::TYPE_TXT) {
      EXPECT_EQ(std::get<std::vector<uint8_t>>(r.data).size(), 1u);
    }
  }
}

TEST(MdnsReplies, UnicastResponseQuestionIsAnsweredToTheQuerier) {
  const auto replies = replies_to_datagram(
      service(), query({ask("DESKTOP-AB12.local.", dns::TYPE_A, true)}, {}, 7), MDNS_QUERIER);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_FALSE(replies[0].multicast);
  EXPECT_EQ(replies[0].destination, MDNS_QUERIER);
  EXPECT_EQ(summary(decoded(replies[0]).answers), A_RECORDS);
}

TEST(MdnsReplies, MixedQuestionsSplitBetweenGroupAndQuerier) {
  const auto replies =
      replies_to_datagram(service(),
                          query({ask("DESKTOP-AB12.local.", dns::TYPE_A, true),
                                 ask("DESKTOP-AB12._brindle._udp.local.", dns::TYPE_TXT)}),
                          MDNS_QUERIER);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_TRUE(replies[0].multicast);
  EXPECT_EQ(summary(decoded(replies[0]).answers),
            std::vector<std::string>{"TXT DESKTOP-AB12._brindle._udp.local."});
  EXPECT_FALSE(replies[1].multicast);
  EXPECT_EQ(summary(decoded(replies[1]).answers), A_RECORDS);
}

TEST(MdnsReplies, LegacyQueryGetsIdQuestionShortTtlsAndNoFlushBits) {
  const Question q = ask("DESKTOP-AB12._brindle._udp.local.", dns::TYPE_SRV);
  Question qu = q;
  qu.unicast_response = true;  // echoed without the bit
  const auto replies = replies_to_datagram(service(), query({qu}, {}, 0x4242), LEGACY_QUERIER);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_FALSE(replies[0].multicast);
  EXPECT_EQ(replies[0].destination, LEGACY_QUERIER);
  const Message m = decoded(replies[0]);
  EXPECT_EQ(m.id, 0x4242);
  ASSERT_EQ(m.questions.size(), 1u);
  EXPECT_EQ(m.questions[0], q);
  ASSERT_FALSE(m.answers.empty());
  std::vector<Record> all = m.answers;
  all.insert(all.end(), m.additionals.begin(), m.additionals.end());
  for (const auto& r : all) {
    EXPECT_FALSE(r.cache_flush);
    EXPECT_LE(r.ttl, LEGACY_TTL_LIMIT);
    EXPECT_GT(r.ttl, 0u);
  }
}

struct KnownAnswerCase {
  uint32_t known_ttl;
  bool suppressed;
};

class KnownAnswers : public testing::TestWithParam<KnownAnswerCase> {};

TEST_P(KnownAnswers, PtrHeldWithHalfItsLifetimeIsNotRepeated) {
  const Record known{dns::name_from_text("_brindle._udp.local."),
                     dns::TYPE_PTR,
                     dns::CLASS_IN,
                     false,
                     GetParam().known_ttl,
                     dns::name_from_text("desktop-ab12._brindle._udp.local.")};
  const auto replies = replies_to_datagram(
      service(), query({ask("_brindle._udp.local.", dns::TYPE_PTR)}, {known}), MDNS_QUERIER);
  EXPECT_EQ(replies.empty(), GetParam().suppressed);
}

INSTANTIATE_TEST_SUITE_P(Ttls, KnownAnswers,
                         testing::Values(KnownAnswerCase{OTHER_RECORD_TTL, true},
                                         KnownAnswerCase{OTHER_RECORD_TTL / 2, true},
                                         KnownAnswerCase{OTHER_RECORD_TTL / 2 - 1, false},
                                         KnownAnswerCase{0, false}));

TEST(MdnsReplies, KnownAnswerAskedForIsNotOfferedAsAnAdditional) {
  const char* instance = "DESKTOP-AB12._brindle._udp.local.";
  const Record srv{dns::name_from_text(instance),
                   dns::TYPE_SRV,
                   dns::CLASS_IN,
                   true,
                   120,
                   dns::SrvData{0, 0, 45333, dns::name_from_text("DESKTOP-AB12.local.")}};
  const auto replies = replies_to_datagram(
      service(),
      query({ask("_brindle._udp.local.", dns::TYPE_PTR), ask(instance, dns::TYPE_SRV)}, {srv}),
      MDNS_QUERIER);
  ASSERT_EQ(replies.size(), 1u);
  const Message m = decoded(replies[0]);
  EXPECT_EQ(summary(m.answers), std::vector<std::string>{"PTR _brindle._udp.local."});
  EXPECT_EQ(summary(m.additionals),
            (std::vector<std::string>{A_RECORDS[0], A_RECORDS[1], "TXT " + std::string(instance)}));
}

TEST(MdnsReplies, KnownAnswerOfAnotherInstanceSuppressesNothing) {
  const Record other{dns::name_from_text("_brindle._udp.local."),
                     dns::TYPE_PTR,
                     dns::CLASS_IN,
                     false,
                     OTHER_RECORD_TTL,
                     dns::name_from_text("Other._brindle._udp.local.")};
  const auto replies = replies_to_datagram(
      service(), query({ask("_brindle._udp.local.", dns::TYPE_PTR)}, {other}), MDNS_QUERIER);
  EXPECT_EQ(replies.size(), 1u);
}

TEST(MdnsReplies, ResponsesAndOddMessagesAreNeverAnswered) {
  const Question q = ask("DESKTOP-AB12.local.", dns::TYPE_A);
  const std::vector<std::pair<const char*, uint16_t>> flags = {
      {"response", dns::FLAG_RESPONSE}, {"opcode 1", 0x0800}, {"rcode 3", 0x0003}};
  for (const auto& [what, f] : flags) {
    EXPECT_TRUE(replies_to_datagram(service(), query({q}, {}, 0, f), MDNS_QUERIER).empty()) << what;
  }
  // A foreign class is not ours to answer.
  Question chaos = q;
  chaos.klass = 3;
  EXPECT_TRUE(replies_to_datagram(service(), query({chaos}), MDNS_QUERIER).empty());
}

TEST(MdnsReplies, AnnouncementAndGoodbyeCarryEveryRecord) {
  const auto hellos = announcement_messages(service());
  const auto byes = goodbye_messages(service());
  ASSERT_EQ(hellos.size(), 1u);
  ASSERT_EQ(byes.size(), 1u);
  const auto hello = dns::decode_message(hellos[0]);
  const auto bye = dns::decode_message(byes[0]);
  ASSERT_TRUE(hello.ok());
  ASSERT_TRUE(bye.ok());
  const std::vector<std::string> expected = {A_RECORDS[0],
                                             A_RECORDS[1],
                                             "PTR _brindle._udp.local.",
                                             "PTR _services._dns-sd._udp.local.",
                                             "SRV DESKTOP-AB12._brindle._udp.local.",
                                             "TXT DESKTOP-AB12._brindle._udp.local."};
  EXPECT_EQ(summary(hello->answers), expected);
  EXPECT_EQ(summary(bye->answers), expected);
  EXPECT_EQ(hello->flags & dns::FLAG_RESPONSE, dns::FLAG_RESPONSE);
  for (const auto& r : hello->answers) EXPECT_GT(r.ttl, 0u);
  for (const auto& r : bye->answers) EXPECT_EQ(r.ttl, 0u);
}

// An address the machine lost: only its A record goes, with the flush bit so caches drop it.
TEST(MdnsReplies, AddressGoodbyeWithdrawsOnlyTheLostAddresses) {
  const std::vector<Ipv4Address> gone = {{198, 51, 100, 3}};
  const auto byes = address_goodbye_messages(service(), gone);
  ASSERT_EQ(byes.size(), 1u);
  const auto bye = dns::decode_message(byes[0]);
  ASSERT_TRUE(bye.ok());
  EXPECT_EQ(summary(bye->answers), std::vector<std::string>{A_RECORDS[1]});
  EXPECT_EQ(bye->answers[0].ttl, 0u);
  EXPECT_TRUE(bye->answers[0].cache_flush);
  EXPECT_TRUE(address_goodbye_messages(service(), {}).empty());
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

using Clock = MulticastLimiter::Clock;

ServiceRecord service_with(int addresses, const char* host = "DESKTOP-AB12.local.") {
  std::vector<Ipv4Address> list;
  for (int i = 0; i < addresses; ++i) {
    list.push_back({10, 1, static_cast<uint8_t>(i / 250), static_cast<uint8_t>(1 + i % 250)});
  }
  return make_service_record("_brindle._udp.local.", "DESKTOP-AB12", host, join_addresses(list),
                             45333)
      .value();
}

// A names of 22 wire bytes: 12 + (22 + 14) + 16 per further record, 1472 bytes for 90 of them.
TEST(MdnsReplies, AReplyOfExactlyTheDatagramSizeIsNotSplit) {
  const auto a_query = query({ask("DESKTOP-ABCD12.local.", dns::TYPE_A)});
  const auto fits =
      replies_to_datagram(service_with(90, "DESKTOP-ABCD12.local."), a_query, MDNS_QUERIER);
  ASSERT_EQ(fits.size(), 1u);
  EXPECT_EQ(fits[0].bytes.size(), MAX_REPLY_BYTES);
  EXPECT_EQ(
      replies_to_datagram(service_with(91, "DESKTOP-ABCD12.local."), a_query, MDNS_QUERIER).size(),
      2u);
}

// A name of 255 wire bytes that is not ours, `first` telling them apart.
Question foreign_long(char first) {
  Name name{
      {std::string(63, 'x'), std::string(63, 'x'), std::string(63, 'x'), std::string(61, 'x')}};
  name.labels[0][0] = first;
  return Question{name, dns::TYPE_A, dns::CLASS_IN, false};
}

// The largest query accepted, its questions all the same.
std::vector<uint8_t> repeated_question(Question q) {
  Message m;
  std::vector<uint8_t> last;
  for (;;) {
    m.questions.push_back(q);
    auto bytes = dns::encode_message(m);
    if (!bytes) return last;
    last = std::move(bytes).value();
  }
}

Record known_a(const char* host, Ipv4Address address) {
  return Record{dns::name_from_text(host), dns::TYPE_A, dns::CLASS_IN, true, 120, address};
}

struct CraftedCase {
  const char* name;
  int addresses;
  std::vector<uint8_t> query;
  Ipv4Endpoint source;
  size_t multicast_replies;
  size_t unicast_replies;
  size_t a_records;  // distinct ones over every reply
  bool truncated;    // any reply carries the TC bit
};

class CraftedQueries : public testing::TestWithParam<CraftedCase> {};

TEST_P(CraftedQueries, RepliesFitADatagramAndCarryEachRecordOnce) {
  const auto& c = GetParam();
  const auto replies = replies_to_datagram(service_with(c.addresses), c.query, c.source);
  size_t multicast = 0;
  size_t total_records = 0;
  bool truncated = false;
  std::vector<std::string> a;
  for (const auto& reply : replies) {
    EXPECT_LE(reply.bytes.size(), MAX_REPLY_BYTES);
    multicast += reply.multicast ? 1 : 0;
    const Message m = decoded(reply);
    truncated = truncated || (m.flags & dns::FLAG_TRUNCATED) != 0;
    std::vector<Record> all = m.answers;
    all.insert(all.end(), m.additionals.begin(), m.additionals.end());
    total_records += all.size();
    for (const auto& s : summary(all)) {
      if (s.starts_with("A ")) a.push_back(s);
    }
  }
  EXPECT_EQ(multicast, c.multicast_replies);
  EXPECT_EQ(replies.size() - multicast, c.unicast_replies);
  std::sort(a.begin(), a.end());
  EXPECT_EQ(std::unique(a.begin(), a.end()), a.end()) << "a record repeated";
  EXPECT_EQ(a.size(), c.a_records);
  EXPECT_EQ(truncated, c.truncated);
  if (!replies.empty()) {
    EXPECT_GT(total_records, 0u);
  }
}

const Question HOST_ANY = ask("DESKTOP-AB12.local.", dns::TYPE_ANY);
const Question PTR = ask("_brindle._udp.local.", dns::TYPE_PTR);

INSTANTIATE_TEST_SUITE_P(
    Cases, CraftedQueries,
    testing::Values(
        CraftedCase{"repeated_question", 4, repeated_question(HOST_ANY), MDNS_QUERIER, 1, 0, 4,
                    false},
        // 200 A records need three datagrams; none is lost, none is fragmented.
        CraftedCase{"split_over_datagrams", 200, query({PTR}), MDNS_QUERIER, 3, 0, 200, false},
        CraftedCase{"split_unicast", 200, query({ask("DESKTOP-AB12.local.", dns::TYPE_A, true)}),
                    MDNS_QUERIER, 0, 3, 200, false},
        // An ordinary resolver reads one datagram: what fits, marked truncated.
        CraftedCase{"legacy_truncated", 200, query({HOST_ANY}, {}, 9), LEGACY_QUERIER, 0, 1, 89,
                    true},
        // The echoed question is not compressed against names in another letter case.
        CraftedCase{"legacy_question_in_other_case", 200,
                    query({ask("desktop-ab12.LOCAL.", dns::TYPE_ANY)}, {}, 9), LEGACY_QUERIER, 0, 1,
                    88, true},
        // Known answers in another letter case still count; the rest is answered.
        CraftedCase{"known_answers_any_case", 4,
                    query({HOST_ANY}, {known_a("desktop-ab12.LOCAL.", {10, 1, 0, 1}),
                                       known_a("DESKTOP-AB12.local.", {10, 1, 0, 3}),
                                       known_a("Other.local.", {10, 1, 0, 2})}),
                    MDNS_QUERIER, 1, 0, 2, false},
        // Five of six long questions fit beside the host's, the answers too: still truncated.
        CraftedCase{
            "legacy_echo_overflows", 2,
            query({ask("DESKTOP-AB12.local.", dns::TYPE_A), foreign_long('a'), foreign_long('b'),
                   foreign_long('c'), foreign_long('d'), foreign_long('e'), foreign_long('f')},
                  {}, 9),
            LEGACY_QUERIER, 0, 1, 2, true},
        CraftedCase{"everything_known", 2,
                    query({HOST_ANY}, {known_a("DESKTOP-AB12.local.", {10, 1, 0, 1}),
                                       known_a("DESKTOP-AB12.local.", {10, 1, 0, 2})}),
                    MDNS_QUERIER, 0, 0, 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A query flood: a record goes to the group on a link at most once a second.
TEST(MdnsReplies, MulticastOfARecordWaitsASecondOnItsLink) {
  MulticastLimiter limiter;
  const Clock::time_point t0{};
  const auto ptr_query = query({PTR});
  auto multicasts_at = [&](const std::vector<uint8_t>& q, Clock::duration after) {
    size_t n = 0;
    for (const auto& r :
         replies_to_datagram(service(), q, MDNS_QUERIER, {&limiter, nullptr, t0 + after})) {
      n += r.multicast ? 1 : 0;
    }
    return n;
  };
  EXPECT_EQ(multicasts_at(ptr_query, {}), 1u);
  EXPECT_EQ(multicasts_at(ptr_query, std::chrono::milliseconds(10)), 0u);
  EXPECT_EQ(multicasts_at(ptr_query, std::chrono::milliseconds(999)), 0u);
  // The additionals of the PTR answer went out with it, so the SRV is not repeated either.
  EXPECT_EQ(multicasts_at(query({ask("DESKTOP-AB12._brindle._udp.local.", dns::TYPE_SRV)}),
                          std::chrono::milliseconds(500)),
            0u);
  // A probe is answered at once; a question for the unicast reply is not held back.
  Message probe;
  probe.questions = {ask("DESKTOP-AB12._brindle._udp.local.", dns::TYPE_ANY)};
  probe.authorities = {Record{dns::name_from_text("DESKTOP-AB12._brindle._udp.local."),
                              dns::TYPE_TXT, dns::CLASS_IN, false, 120, std::vector<uint8_t>{0}}};
  EXPECT_EQ(multicasts_at(dns::encode_message(probe).value(), std::chrono::milliseconds(600)), 1u);
  const auto qu =
      replies_to_datagram(service(), query({ask("_brindle._udp.local.", 12, true)}), MDNS_QUERIER,
                          {&limiter, nullptr, t0 + std::chrono::milliseconds(700)});
  ASSERT_EQ(qu.size(), 1u);
  EXPECT_FALSE(qu[0].multicast);
  EXPECT_EQ(multicasts_at(ptr_query, std::chrono::seconds(1)), 1u);
  // An announcement counts as a multicast of every record.
  (void)announcement_messages(service(), &limiter, t0 + std::chrono::seconds(3));
  EXPECT_EQ(multicasts_at(ptr_query, std::chrono::milliseconds(3500)), 0u);
}

// Held back by the limit, an answer is owed to the link, not dropped.
TEST(MdnsReplies, WithheldMulticastAnswerGoesOutOnceTheLimitAllows) {
  MulticastLimiter limiter;
  const Clock::time_point t0{};
  const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
  const char* instance = "DESKTOP-AB12._brindle._udp.local.";
  const auto srv_query = query({ask(instance, dns::TYPE_SRV)});
  (void)announcement_messages(service(), &limiter, t0);
  EXPECT_TRUE(replies_to_datagram(service(), srv_query, MDNS_QUERIER, {&limiter, nullptr, at(300)})
                  .empty());
  // A record the querier holds is not owed.
  const Record txt{dns::name_from_text(instance), dns::TYPE_TXT, dns::CLASS_IN, true, 4500,
                   std::vector<uint8_t>{0}};
  EXPECT_TRUE(replies_to_datagram(service(), query({ask(instance, dns::TYPE_TXT)}, {txt}),
                                  MDNS_QUERIER, {&limiter, nullptr, at(400)})
                  .empty());
  EXPECT_EQ(limiter.owed_due(), at(1000));
  EXPECT_TRUE(owed_messages(service(), limiter, at(999)).empty());
  auto owed = owed_messages(service(), limiter, at(1000));
  ASSERT_EQ(owed.size(), 1u);
  auto m = dns::decode_message(owed[0]);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(summary(m->answers), std::vector<std::string>{"SRV " + std::string(instance)});
  EXPECT_EQ(summary(m->additionals), A_RECORDS);
  EXPECT_FALSE(limiter.owed_due().has_value());
  // A flood still gets one answer a second; an address lost meanwhile is owed no more.
  EXPECT_TRUE(replies_to_datagram(service(), srv_query, MDNS_QUERIER, {&limiter, nullptr, at(1001)})
                  .empty());
  EXPECT_EQ(limiter.owed_due(), at(2000));
  const ServiceRecord one_left = make_service_record("_brindle._udp.local.", "DESKTOP-AB12",
                                                     "DESKTOP-AB12.local.", "198.51.100.1", 45333)
                                     .value();
  owed = owed_messages(one_left, limiter, at(2000));
  ASSERT_EQ(owed.size(), 1u);
  m = dns::decode_message(owed[0]);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(summary(m->additionals), std::vector<std::string>{A_RECORDS[0]});
}

// An address new since the announcement may go out, but not without the answer it belongs to.
TEST(MdnsReplies, AdditionalsOfAWithheldAnswerAreOwedWithIt) {
  MulticastLimiter limiter;
  const Clock::time_point t0{};
  const ServiceRecord before = make_service_record("_brindle._udp.local.", "DESKTOP-AB12",
                                                   "DESKTOP-AB12.local.", "198.51.100.1", 45333)
                                   .value();
  (void)announcement_messages(before, &limiter, t0);
  const auto srv_query = query({ask("DESKTOP-AB12._brindle._udp.local.", dns::TYPE_SRV)});
  EXPECT_TRUE(replies_to_datagram(service(), srv_query, MDNS_QUERIER,
                                  {&limiter, nullptr, t0 + std::chrono::milliseconds(300)})
                  .empty());
  const auto owed = owed_messages(service(), limiter, t0 + std::chrono::seconds(1));
  ASSERT_EQ(owed.size(), 1u);
  const auto m = dns::decode_message(owed[0]);
  ASSERT_TRUE(m.ok());
  EXPECT_EQ(summary(m->additionals), A_RECORDS);
}

// Bookkeeping of what a link is owed: the latest due time, the answer role, cleared once sent.
TEST(MulticastLimiter, OwedRecordsWaitForTheLastAndClearOnceSent) {
  MulticastLimiter limiter;
  const Clock::time_point t0{};
  const auto at = [&](int ms) { return t0 + std::chrono::milliseconds(ms); };
  const Record a1 = known_a("DESKTOP-AB12.local.", {198, 51, 100, 1});
  const Record a3 = known_a("DESKTOP-AB12.local.", {198, 51, 100, 3});
  limiter.sent(a1, t0);
  limiter.sent(a3, at(600));
  limiter.owe(a3, true, at(700));
  limiter.owe(a1, true, at(700));
  limiter.owe(a1, false, at(700));
  EXPECT_EQ(limiter.owed_due(), at(1600));
  EXPECT_EQ(limiter.take_owed(),
            (std::unordered_map<std::string, bool>{{dns::record_identity(a1), true},
                                                   {dns::record_identity(a3), true}}));
  EXPECT_FALSE(limiter.owed_due().has_value());
  limiter.owe(a1, false, at(2000));
  limiter.owe(a3, true, at(2000));
  limiter.sent(a1, at(2000));
  EXPECT_EQ(limiter.owed_due(), at(2000));  // never due before the moment it was owed
  limiter.sent(a3, at(2000));
  EXPECT_FALSE(limiter.owed_due().has_value());
  EXPECT_TRUE(limiter.take_owed().empty());
}

TEST(MdnsReplies, LargeAnnouncementsAndGoodbyesAreSplitNotDropped) {
  for (const auto& messages :
       {announcement_messages(service_with(200)), goodbye_messages(service_with(200))}) {
    ASSERT_GT(messages.size(), 1u);
    size_t records = 0;
    for (const auto& bytes : messages) {
      EXPECT_LE(bytes.size(), MAX_REPLY_BYTES);
      const auto m = dns::decode_message(bytes);
      ASSERT_TRUE(m.ok());
      EXPECT_EQ(m->flags & dns::FLAG_TRUNCATED, 0);
      records += m->answers.size();
    }
    EXPECT_EQ(records, 204u);
  }
}

}  // namespace
}  // namespace brindle

namespace brindle {
namespace {

// One datagram at a moment, and what the link and the querier hear then (owed answers that
// fall due at that moment included).
struct Step {
  int ms;
  std::vector<uint8_t> datagram;
  Ipv4Endpoint source;
  size_t multicast;
  size_t unicast;
};

struct LimitCase {
  const char* name;
  bool announced;  // everything multicast at 0 ms
  int shared_delay_ms;
  std::vector<Step> steps;
};

class Limits : public testing::TestWithParam<LimitCase> {};

TEST_P(Limits, NoQueryRateBecomesAnAnswerRate) {
  const auto& c = GetParam();
  MulticastLimiter group;
  UnicastLimiter unicast;
  const MulticastLimiter::Clock::time_point t0{};
  if (c.announced) (void)announcement_messages(service(), &group, t0);
  for (const auto& step : c.steps) {
    const auto now = t0 + std::chrono::milliseconds(step.ms);
    size_t multicast = owed_messages(service(), group, now).size();
    size_t to_querier = 0;
    const ReplyLimits limits{&group, &unicast, now, std::chrono::milliseconds(c.shared_delay_ms)};
    for (const auto& r : replies_to_datagram(service(), step.datagram, step.source, limits)) {
      (r.multicast ? multicast : to_querier) += 1;
    }
    EXPECT_EQ(multicast, step.multicast) << "at " << step.ms << " ms";
    EXPECT_EQ(to_querier, step.unicast) << "at " << step.ms << " ms";
  }
}

std::vector<uint8_t> probe_for(const char* name) {
  Message m;
  m.questions = {ask(name, dns::TYPE_ANY)};
  m.authorities = {Record{dns::name_from_text(name), dns::TYPE_A, dns::CLASS_IN, false, 120,
                          Ipv4Address{198, 51, 100, 9}}};
  return dns::encode_message(m).value();
}

const char* const HOST = "DESKTOP-AB12.local.";
const char* const INSTANCE = "DESKTOP-AB12._brindle._udp.local.";
const Ipv4Endpoint OTHER_LEGACY{{198, 51, 100, 7}, 40001};

std::vector<Step> many_legacy_queriers() {
  std::vector<Step> steps;
  const auto q = query({ask(INSTANCE, dns::TYPE_SRV)}, {}, 1);
  for (int i = 0; i < 300; ++i) {
    const Ipv4Endpoint from{
        {198, 51, static_cast<uint8_t>(100 + i / 250), static_cast<uint8_t>(1 + i % 250)}, 40000};
    steps.push_back(Step{0, q, from, 0, i < static_cast<int>(UnicastLimiter::MAX_PER_INTERVAL)});
  }
  steps.push_back(Step{250, q, steps.back().source, 0, 1});
  return steps;
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Limits,
    testing::Values(
        // Probes are answered at once, but at most every 250 ms per record and link.
        LimitCase{"probe_flood",
                  true,
                  0,
                  {{100, probe_for(HOST), MDNS_QUERIER, 0, 0},
                   {250, probe_for(HOST), MDNS_QUERIER, 1, 0},
                   {400, probe_for(HOST), MDNS_QUERIER, 0, 0},
                   {500, probe_for(HOST), MDNS_QUERIER, 1, 0},
                   {500, probe_for(INSTANCE), MDNS_QUERIER, 1, 0}}},
        // A unicast reply while the group heard the record within a quarter of its TTL (30 s
        // for the addresses, 1125 s for the PTR), else a multicast one.
        LimitCase{"qu_after_announcement",
                  true,
                  0,
                  {{1000, query({ask(HOST, dns::TYPE_A, true)}), MDNS_QUERIER, 0, 1},
                   {31000, query({ask(HOST, dns::TYPE_A, true)}), MDNS_QUERIER, 1, 0},
                   {31000, query({ask("_brindle._udp.local.", dns::TYPE_PTR, true)}), MDNS_QUERIER,
                    0, 1}}},
        LimitCase{"qu_never_multicast",
                  false,
                  0,
                  {{0, query({ask(HOST, dns::TYPE_A, true)}), MDNS_QUERIER, 1, 0},
                   {10, query({ask(HOST, dns::TYPE_A, true)}), MDNS_QUERIER, 0, 1},
                   {20, query({ask(HOST, dns::TYPE_A, true)}), MDNS_QUERIER, 0, 0}}},
        // Four times a second per querier and record; another querier is answered meanwhile.
        LimitCase{"legacy_repeats",
                  true,
                  0,
                  {{0, query({ask(INSTANCE, dns::TYPE_SRV)}, {}, 1), LEGACY_QUERIER, 0, 1},
                   {100, query({ask(INSTANCE, dns::TYPE_SRV)}, {}, 2), LEGACY_QUERIER, 0, 0},
                   {100, query({ask(INSTANCE, dns::TYPE_SRV)}, {}, 3), OTHER_LEGACY, 0, 1},
                   {150, query({ask(INSTANCE, dns::TYPE_TXT)}, {}, 4), LEGACY_QUERIER, 0, 1},
                   {250, query({ask(INSTANCE, dns::TYPE_SRV)}, {}, 5), LEGACY_QUERIER, 0, 1}}},
        LimitCase{"many_legacy_queriers", true, 0, many_legacy_queriers()},
        // A shared answer waits for its delay, which a flood of the same query does not move;
        // then the flood is answered once a second.
        LimitCase{"shared_answer_delayed",
                  false,
                  50,
                  {{0, query({PTR}), MDNS_QUERIER, 0, 0},
                   {40, query({PTR}), MDNS_QUERIER, 0, 0},
                   {50, query({PTR}), MDNS_QUERIER, 1, 0},
                   {60, query({PTR}), MDNS_QUERIER, 0, 0},
                   {1049, query({PTR}), MDNS_QUERIER, 0, 0},
                   {1050, query({PTR}), MDNS_QUERIER, 1, 0}}},
        // Unique answers are not delayed.
        LimitCase{"unique_answer_at_once",
                  false,
                  50,
                  {{0, query({ask(INSTANCE, dns::TYPE_SRV)}), MDNS_QUERIER, 1, 0}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brindle
