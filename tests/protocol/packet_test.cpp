#include "protocol/packet.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "protocol/datagram.h"

namespace brindle {
namespace {

using testing::make_datagram;

std::vector<uint8_t> payload_of_bytes(std::vector<uint8_t> header, size_t payload_bytes) {
  for (size_t i = 0; i < payload_bytes; ++i) header.push_back(static_cast<uint8_t>(i * 7 + 1));
  return header;
}

std::vector<uint8_t> header(uint32_t seq, uint16_t declared) {
  return make_datagram(seq, {}, declared);
}

struct Rejected {
  std::string name;
  std::vector<uint8_t> bytes;
  friend void PrintTo(const Rejected& c, std::ostream* os) { *os << c.name; }
};

class RejectedDatagram : public ::testing::TestWithParam<Rejected> {};

TEST_P(RejectedDatagram, YieldsNothing) {
  EXPECT_FALSE(parse_packet(GetParam().bytes));
}

INSTANTIATE_TEST_SUITE_P(
    Parse, RejectedDatagram,
    ::testing::Values(
        Rejected{"empty", {}},
        Rejected{"eleven_bytes_with_magic", {'B', 'R', 'D', '1', 1, 0, 0, 0, 0, 0, 0}},
        Rejected{"eleven_zero_bytes", std::vector<uint8_t>(11, 0)},
        Rejected{"reversed_magic", {'1', 'D', 'R', 'B', 1, 0, 0, 0, 0, 0, 0, 0}},
        Rejected{"lower_case_magic", {'b', 'r', 'd', '1', 1, 0, 0, 0, 0, 0, 0, 0}},
        Rejected{"other_version", {'B', 'R', 'D', '2', 1, 0, 0, 0, 1, 0, 0, 0, 0, 0}},
        Rejected{"full_buffer_wrong_magic", std::vector<uint8_t>(MAX_DATAGRAM, 0x42)}),
    [](const auto& info) { return info.param.name; });

struct Accepted {
  std::string name;
  std::vector<uint8_t> bytes;
  uint32_t seq;
  size_t sample_count;
  friend void PrintTo(const Accepted& c, std::ostream* os) { *os << c.name; }
};

class AcceptedDatagram : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedDatagram, DecodesSeqAndClampedCount) {
  const Accepted& c = GetParam();
  const auto packet = parse_packet(c.bytes);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->seq, c.seq);
  ASSERT_EQ(packet->samples.size(), c.sample_count);
  // Exactly sized: one allocation of the decoded count, none at all for zero samples.
  EXPECT_EQ(packet->samples.capacity(), c.sample_count);
  for (size_t i = 0; i < c.sample_count; ++i) {
    const auto raw = static_cast<int16_t>(c.bytes[12 + 2 * i] | c.bytes[13 + 2 * i] << 8);
    EXPECT_EQ(packet->samples[i], static_cast<float>(raw) / 32768.0f) << "sample " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parse, AcceptedDatagram,
    ::testing::Values(
        Accepted{"header_only", header(77, 0), 77, 0},
        Accepted{"header_only_declaring_samples", header(78, 480), 78, 0},
        Accepted{"odd_trailing_byte", payload_of_bytes(header(5, 3), 1), 5, 0},
        Accepted{"declared_more_than_present", payload_of_bytes(header(1, 65535), 100), 1, 50},
        Accepted{"declared_fewer_than_present", payload_of_bytes(header(2, 10), 100), 2, 10},
        Accepted{"odd_payload", payload_of_bytes(header(3, 10), 7), 3, 3},
        Accepted{"full_buffer_declared_1018",
                 payload_of_bytes(header(4, 1018), MAX_DATAGRAM - HEADER_LEN), 4, 1018},
        Accepted{"full_buffer_declared_more",
                 payload_of_bytes(header(0xFFFFFFFF, 4000), MAX_DATAGRAM - HEADER_LEN), 0xFFFFFFFF,
                 1018},
        Accepted{"reserved_bytes_ignored",
                 {'B', 'R', 'D', '1', 9, 0, 0, 0, 1, 0, 0xAB, 0xCD, 0, 0x40},
                 9,
                 1}),
    [](const auto& info) { return info.param.name; });

struct SampleValue {
  uint8_t lo;
  uint8_t hi;
  float expected;
};

class SampleDecoding : public ::testing::TestWithParam<SampleValue> {};

TEST_P(SampleDecoding, IsExactlyScaled) {
  const SampleValue& c = GetParam();
  const std::vector<uint8_t> bytes = {'B', 'R', 'D', '1', 0, 0, 0, 0, 1, 0, 0, 0, c.lo, c.hi};
  const auto packet = parse_packet(bytes);
  ASSERT_TRUE(packet);
  ASSERT_EQ(packet->samples.size(), 1u);
  EXPECT_EQ(packet->samples[0], c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Parse, SampleDecoding,
    ::testing::Values(SampleValue{0x00, 0x80, -1.0f}, SampleValue{0xFF, 0x7F, 0.999969482421875f},
                      SampleValue{0x00, 0x00, 0.0f}, SampleValue{0xFF, 0xFF, -0.000030517578125f},
                      SampleValue{0x00, 0x40, 0.5f}, SampleValue{0x01, 0x00, 3.0517578125e-05f}));

TEST(Parse, EverySixteenBitValueMapsToItsExactQuotient) {
  std::vector<int16_t> all;
  for (int v = -32768; v <= 32767; ++v) all.push_back(static_cast<int16_t>(v));
  // Several datagrams' worth, decoded in order, checked against double precision.
  for (size_t start = 0; start < all.size(); start += 1000) {
    const size_t n = std::min<size_t>(1000, all.size() - start);
    const auto bytes = make_datagram(0, std::span<const int16_t>(all.data() + start, n));
    const auto packet = parse_packet(bytes);
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->samples.size(), n);
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(static_cast<double>(packet->samples[i]), all[start + i] / 32768.0);
    }
  }
}

TEST(Parse, ReadsLittleEndianHeaderFields) {
  // seq 1 is 01 00 00 00 and a count of 480 is E0 01.
  std::vector<uint8_t> bytes = {0x42, 0x52, 0x44, 0x31, 0x01, 0x00, 0x00, 0x00, 0xE0, 0x01, 0, 0};
  bytes.resize(HEADER_LEN + 2 * 600, 0);
  auto packet = parse_packet(bytes);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->seq, 1u);
  EXPECT_EQ(packet->samples.size(), 480u);

  const std::vector<uint8_t> big_seq = {'B', 'R', 'D', '1', 0x04, 0x03, 0x02, 0x01, 0, 0, 0, 0};
  packet = parse_packet(big_seq);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->seq, 0x01020304u);
}

}  // namespace
}  // namespace brindle
