#include "platform/utf8.h"

namespace brindle::utf8 {
namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

bool is_continuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = REPLACEMENT;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::u32string decode(std::string_view bytes) {
  std::u32string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(lead);
      ++i;
      continue;
    }
    size_t need = 0;
    char32_t cp = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      need = 1;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      need = 2;
      cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      need = 3;
      cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else {
      out.push_back(REPLACEMENT);
      ++i;
      continue;
    }
    size_t used = 1;
    bool valid = true;
    for (size_t k = 0; k < need; ++k) {
      if (i + used >= bytes.size()) {
        valid = false;
        break;
      }
      const auto byte = static_cast<unsigned char>(bytes[i + used]);
      const bool in_range = k == 0 ? (byte >= lo && byte <= hi) : is_continuation(byte);
      if (!in_range) {
        valid = false;
        break;
      }
      cp = (cp << 6) | (byte & 0x3F);
      ++used;
    }
    out.push_back(valid ? cp : REPLACEMENT);
    i += used;
  }
  return out;
}

std::string encode(std::u32string_view code_points) {
  std::string out;
  out.reserve(code_points.size());
  for (const char32_t cp : code_points) append_utf8(out, cp);
  return out;
}

bool is_valid(std::string_view bytes) {
  return sanitize(bytes) == bytes;  // a U+FFFD already in the input stays the same bytes
}

std::string sanitize(std::string_view bytes) {
  return encode(decode(bytes));
}

std::u16string to_utf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  for (const char32_t cp : decode(bytes)) {
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string from_utf16(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (size_t i = 0; i < units.size(); ++i) {
    const char16_t u = units[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] <= 0xDFFF) {
      append_utf8(out,
                  0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(units[i + 1]) - 0xDC00));
      ++i;
    } else {
      append_utf8(out, u);  // a lone surrogate becomes U+FFFD inside append_utf8
    }
  }
  return out;
}

}  // namespace brindle::utf8
