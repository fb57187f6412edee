#include "audio/pipewire_props.h"

#include <algorithm>
#include <charconv>

namespace brindle {
namespace {

constexpr uint16_t MAX_CHANNELS = 64;
constexpr uint32_t MIN_LATENCY_FRAMES = 480;

bool is_separator(char c) {
  return c == ' ' || c == ',' || c == '[' || c == ']' || c == '\t' || c == '\n' || c == '"';
}

void skip_space(std::string_view text, size_t& pos) {
  while (pos < text.size() &&
         (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r')) {
    ++pos;
  }
}

void append_utf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

std::optional<uint32_t> hex4(std::string_view text, size_t pos) {
  if (pos + 4 > text.size()) return std::nullopt;
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data() + pos, text.data() + pos + 4, value, 16);
  if (ec != std::errc() || end != text.data() + pos + 4) return std::nullopt;
  return value;
}

// A JSON string starting at text[pos] == '"'; pos ends past the closing quote.
std::optional<std::string> json_string(std::string_view text, size_t& pos) {
  if (pos >= text.size() || text[pos] != '"') return std::nullopt;
  std::string out;
  for (++pos; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '"') {
      ++pos;
      return out;
    }
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++pos >= text.size()) return std::nullopt;
    switch (text[pos]) {
      case 'n':
        out += '\n';
        break;
      case 't':
        out += '\t';
        break;
      case 'r':
        out += '\r';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'u': {
        std::optional<uint32_t> code = hex4(text, pos + 1);
        if (!code) return std::nullopt;
        pos += 4;
        // A surrogate pair makes one code point.
        if (*code >= 0xD800 && *code < 0xDC00 && pos + 2 < text.size() && text[pos + 1] == '\\' &&
            text[pos + 2] == 'u') {
          if (const std::optional<uint32_t> low = hex4(text, pos + 3);
              low && *low >= 0xDC00 && *low < 0xE000) {
            code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
            pos += 6;
          }
        }
        append_utf8(out, *code);
        break;
      }
      default:
        out += text[pos];  // \" \\ \/
    }
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> parse_channel_positions(std::string_view text) {
  std::vector<std::string> names;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && is_separator(text[pos])) ++pos;
    const size_t start = pos;
    while (pos < text.size() && !is_separator(text[pos])) ++pos;
    if (pos > start) names.emplace_back(text.substr(start, pos - start));
  }
  return names;
}

uint16_t sink_channel_count(std::optional<std::string_view> channels,
                            std::optional<std::string_view> position) {
  if (channels) {
    unsigned value = 0;
    const auto [end, ec] =
        std::from_chars(channels->data(), channels->data() + channels->size(), value);
    if (ec == std::errc() && end == channels->data() + channels->size() && value > 0 &&
        value <= MAX_CHANNELS) {
      return static_cast<uint16_t>(value);
    }
  }
  if (position) {
    const size_t count = parse_channel_positions(*position).size();
    if (count > 0 && count <= MAX_CHANNELS) return static_cast<uint16_t>(count);
  }
  return 2;
}

std::optional<std::string> default_sink_name(std::string_view json) {
  size_t pos = 0;
  skip_space(json, pos);
  if (pos >= json.size() || json[pos] != '{') return std::nullopt;
  ++pos;
  for (;;) {
    skip_space(json, pos);
    std::optional<std::string> key = json_string(json, pos);
    if (!key) return std::nullopt;
    skip_space(json, pos);
    if (pos >= json.size() || json[pos] != ':') return std::nullopt;
    ++pos;
    skip_space(json, pos);
    if (pos < json.size() && json[pos] == '"') {
      std::optional<std::string> value = json_string(json, pos);
      if (!value) return std::nullopt;
      if (*key == "name") return value->empty() ? std::nullopt : value;
    } else {
      // Other value kinds are skipped up to the next member; nested objects are not expected.
      while (pos < json.size() && json[pos] != ',' && json[pos] != '}') ++pos;
    }
    skip_space(json, pos);
    if (pos >= json.size() || json[pos] != ',') return std::nullopt;
    ++pos;
  }
}

std::string node_latency_property(uint32_t frames) {
  return std::to_string(std::max(frames, MIN_LATENCY_FRAMES)) + "/48000";
}

}  // namespace brindle
