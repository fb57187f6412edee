#include "discovery/dns_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brindle::dns {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes header(uint16_t qd, uint16_t an) {
  return {0x12, 0x34, 0x00, 0x00, 0, static_cast<uint8_t>(qd), 0, static_cast<uint8_t>(an),
          0,    0,    0,    0};
}

void append(Bytes& b, std::initializer_list<uint8_t> more) {
  b.insert(b.end(), more);
}

Message sample_message() {
  Message m;
  m.id = 0xBEEF;
  m.flags = FLAG_RESPONSE | FLAG_AUTHORITATIVE;
  m.questions.push_back({name_from_text("_brindle._udp.local."), TYPE_PTR, CLASS_IN, true});
  m.answers.push_back({name_from_text("_brindle._udp.local."), TYPE_PTR, CLASS_IN, false, 4500,
                       name_from_text("PC._brindle._udp.local.")});
  m.answers.push_back({name_from_text("PC._brindle._udp.local."), TYPE_SRV, CLASS_IN, true, 120,
                       SrvData{0, 0, 45333, name_from_text("PC.local.")}});
  m.additionals.push_back(
      {name_from_text("PC._brindle._udp.local."), TYPE_TXT, CLASS_IN, true, 4500, Bytes{0}});
  m.additionals.push_back(
      {name_from_text("PC.local."), TYPE_A, CLASS_IN, true, 120, Ipv4Address{198, 51, 100, 1}});
  return m;
}

// sample_message() written out by hand: every repeated name after the first is a pointer to
// the longest suffix already written (RFC 1035 section 4.1.4).
// clang-format off
const Bytes SAMPLE_WIRE{
    0xBE, 0xEF, 0x84, 0x00, 0, 1, 0, 2, 0, 0, 0, 2,  // id, QR+AA, counts
    // 12: question _brindle._udp.local. PTR, class IN with the QU bit
    8, '_', 'b', 'r', 'i', 'n', 'd', 'l', 'e', 4, '_', 'u', 'd', 'p', 5, 'l', 'o', 'c', 'a', 'l', 0,
    0x00, 0x0C, 0x80, 0x01,
    // 37: PTR, TTL 4500, data at 49: PC + pointer to 12
    0xC0, 0x0C, 0x00, 0x0C, 0x00, 0x01, 0, 0, 0x11, 0x94, 0, 5, 2, 'P', 'C', 0xC0, 0x0C,
    // 54: SRV owned by 49, flush, TTL 120, 0 0 45333, target at 72: PC + pointer to 26 (local)
    0xC0, 0x31, 0x00, 0x21, 0x80, 0x01, 0, 0, 0, 0x78, 0, 11, 0, 0, 0, 0, 0xB1, 0x15,
    2, 'P', 'C', 0xC0, 0x1A,
    // TXT owned by 49: one empty string
    0xC0, 0x31, 0x00, 0x10, 0x80, 0x01, 0, 0, 0x11, 0x94, 0, 1, 0,
    // A owned by 72
    0xC0, 0x48, 0x00, 0x01, 0x80, 0x01, 0, 0, 0, 0x78, 0, 4, 198, 51, 100, 1};
// clang-format on

TEST(DnsMessage, EncodesToTheHandWrittenWireAndBack) {
  const auto bytes = encode_message(sample_message());
  ASSERT_TRUE(bytes.ok());
  EXPECT_EQ(bytes.value(), SAMPLE_WIRE);
  const auto back = decode_message(SAMPLE_WIRE);
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(back.value(), sample_message());
}

TEST(DnsMessage, NamesCompareWithoutAsciiCase) {
  EXPECT_TRUE(same_name(name_from_text("Pc.LOCAL."), name_from_text("pc.local")));
  EXPECT_FALSE(same_name(name_from_text("pc.local."), name_from_text("pc2.local.")));
  EXPECT_FALSE(same_name(name_from_text("a.pc.local."), name_from_text("pc.local.")));
  EXPECT_EQ(name_to_text(name_from_text("a.b")), "a.b.");
}

TEST(DnsMessage, EncoderRefusesNamesBeyondTheLimits) {
  Message m;
  m.questions.push_back({Name{{std::string(64, 'a'), "local"}}, TYPE_A, CLASS_IN, false});
  EXPECT_FALSE(encode_message(m).ok());
  m.questions[0].name = Name{std::vector<std::string>(5, std::string(60, 'a'))};
  EXPECT_FALSE(encode_message(m).ok());
}

// A question for the name at offset 12: "a" then whatever follows.
struct MalformedCase {
  const char* what;
  Bytes bytes;
};

Bytes pointer_loop() {
  Bytes b = header(1, 0);
  append(b, {0xC0, 12, 0, 1, 0, 1});  // points at itself
  return b;
}
Bytes forward_pointer() {
  Bytes b = header(1, 0);
  append(b, {0xC0, 14, 0, 0, 1, 0, 1});
  return b;
}
Bytes two_pointer_cycle() {
  Bytes b = header(1, 0);
  // "a" + pointer to 12 loops through the label forever unless refused.
  append(b, {1, 'a', 0xC0, 12, 0, 1, 0, 1});
  return b;
}
Bytes extended_label_type() {
  Bytes b = header(1, 0);
  append(b, {0x41, 'a', 0, 0, 1, 0, 1});
  return b;
}
Bytes overlong_name() {
  Bytes b = header(1, 0);
  for (int i = 0; i < 5; ++i) {
    b.push_back(60);
    b.insert(b.end(), 60, 'x');
  }
  append(b, {0, 0, 1, 0, 1});
  return b;
}
Bytes a_record_with_five_bytes() {
  Bytes b = header(0, 1);
  append(b, {1, 'a', 0, 0, 1, 0, 1, 0, 0, 0, 10, 0, 5, 1, 2, 3, 4, 5});
  return b;
}
Bytes ptr_data_shorter_than_its_name() {
  Bytes b = header(0, 1);
  append(b, {1, 'a', 0, 0, 12, 0, 1, 0, 0, 0, 10, 0, 2, 1, 'b', 0});
  return b;
}
Bytes rdlength_past_the_end() {
  Bytes b = header(0, 1);
  append(b, {1, 'a', 0, 0, 16, 0, 1, 0, 0, 0, 10, 0, 40, 0});
  return b;
}
Bytes count_larger_than_content() {
  Bytes b = header(3, 0);
  append(b, {1, 'a', 0, 0, 1, 0, 1});
  return b;
}
Bytes oversized() {
  Bytes b = header(0, 0);
  b.resize(MAX_MESSAGE_BYTES + 1);
  return b;
}

TEST(DnsMessage, MalformedInputIsAnErrorNeverACrash) {
  const std::vector<MalformedCase> cases = {
      {"empty", {}},
      {"short header", {0, 1, 0, 0, 0}},
      {"pointer to itself", pointer_loop()},
      {"forward pointer", forward_pointer()},
      {"label then pointer back to it", two_pointer_cycle()},
      {"0x40 label type", extended_label_type()},
      {"name over 255 bytes", overlong_name()},
      {"A data of 5 bytes", a_record_with_five_bytes()},
      {"PTR name runs past its data", ptr_data_shorter_than_its_name()},
      {"data length past the end", rdlength_past_the_end()},
      {"more questions than bytes", count_larger_than_content()},
      {"over 9000 bytes", oversized()},
  };
  for (const auto& c : cases) {
    EXPECT_FALSE(decode_message(c.bytes).ok()) << c.what;
  }
}

TEST(DnsMessage, BackwardPointerIsFollowed) {
  Bytes b = header(2, 0);
  append(b, {1, 'a', 5, 'l', 'o', 'c', 'a', 'l', 0, 0, 1, 0, 1});
  append(b, {1, 'b', 0xC0, 12, 0, 1, 0x80, 1});
  const auto m = decode_message(b);
  ASSERT_TRUE(m.ok()) << m.error();
  ASSERT_EQ(m->questions.size(), 2u);
  EXPECT_EQ(name_to_text(m->questions[1].name), "b.a.local.");
  EXPECT_TRUE(m->questions[1].unicast_response);
  EXPECT_EQ(m->questions[1].klass, CLASS_IN);
}

// Questions whose names and fields chain through compression pointers. Each row is the bytes
// after the header (question count given) and what the last question's name spells, or
// nothing when the message must be refused.
struct ChainCase {
  const char* what;
  uint16_t questions;
  Bytes body;
  const char* last_name;  // nullptr: refused
};

Bytes long_labels_then(std::initializer_list<uint8_t> more) {
  Bytes b;
  for (int i = 0; i < 4; ++i) {
    b.push_back(60);
    b.insert(b.end(), 60, 'x');
  }
  b.push_back(0);
  append(b, {0, 1, 0, 1});
  append(b, more);
  return b;
}

TEST(DnsMessage, PointerChainsAreFollowedOnceAndBounded) {
  const std::vector<ChainCase> cases = {
      // Type and class of the first question are pointers too: "b" -> 19 -> 17 -> 12.
      {"chain through type and class fields",
       2,
       {1, 'a', 0, 0xC0, 12, 0xC0, 15, 1, 'b', 0xC0, 17, 0, 1, 0, 1},
       "b.a."},
      {"pointer to a pointer",
       3,
       {1, 'a', 0, 0, 1, 0, 1, 0xC0, 12, 0, 1, 0, 1, 0xC0, 19, 0, 1, 0, 1},
       "a."},
      {"second use of a target read before",
       3,
       {1, 'a', 0, 0, 1, 0, 1, 1, 'b', 0xC0, 12, 0, 1, 0, 1, 1, 'c', 0xC0, 19, 0, 1, 0, 1},
       "c.b.a."},
      // 245 bytes spelled through a remembered target, then one more label: over 255.
      {"remembered suffix makes the name too long", 3,
       long_labels_then({0xC0, 12,  0,   1,   0,   1,    10, 'y', 'y', 'y', 'y', 'y',
                         'y',  'y', 'y', 'y', 'y', 0xC0, 12, 0,   1,   0,   1}),
       nullptr},
      {"pointer into the same question's type", 1, {1, 'a', 0xC0, 14, 0, 1}, nullptr},
      {"loop through a remembered target",
       2,
       {1, 'a', 0, 0, 1, 0, 1, 0xC0, 19, 0, 1, 0, 1},
       nullptr},
  };
  for (const auto& c : cases) {
    Bytes b = header(c.questions, 0);
    b.insert(b.end(), c.body.begin(), c.body.end());
    const auto m = decode_message(b);
    if (c.last_name == nullptr) {
      EXPECT_FALSE(m.ok()) << c.what;
      continue;
    }
    ASSERT_TRUE(m.ok()) << c.what << ": " << m.error();
    ASSERT_EQ(m->questions.size(), c.questions) << c.what;
    EXPECT_EQ(name_to_text(m->questions.back().name), c.last_name) << c.what;
  }
}

TEST(DnsMessage, EveryTruncationOfAValidMessageIsRejected) {
  const auto bytes = encode_message(sample_message()).value();
  for (size_t n = 0; n < bytes.size(); ++n) {
    EXPECT_FALSE(decode_message(std::span(bytes.data(), n)).ok()) << "length " << n;
  }
}

TEST(DnsMessage, RecordsCompareByContentNotTtl) {
  const Record a{name_from_text("X.local."), TYPE_A, CLASS_IN, true, 120, Ipv4Address{1, 2, 3, 4}};
  Record b = a;
  b.name = name_from_text("x.LOCAL.");
  b.ttl = 0;
  b.cache_flush = false;
  EXPECT_TRUE(same_record(a, b));
  b.data = Ipv4Address{1, 2, 3, 5};
  EXPECT_FALSE(same_record(a, b));
}

}  // namespace
}  // namespace brindle::dns
