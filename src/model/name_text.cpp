// Names as users type them: UTF-8 decoded leniently, trimmed and folded for comparison, and
// quoted with escapes for messages.

#include "model/name_text.hpp"

#include <algorithm>
#include <iterator>
#include <vector>

#include "model/escaped_code_points.hpp"

namespace tesk {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

struct DecodedCodePoint {
  char32_t value;
  std::size_t begin;  // byte offsets into the text
  std::size_t end;
};

// Text from Python is always well-formed UTF-8; a malformed byte is read as U+FFFD on its own so
// that the functions stay total on any input.
std::vector<DecodedCodePoint> decode_utf8(std::string_view text) {
  std::vector<DecodedCodePoint> out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto lead = static_cast<unsigned char>(text[pos]);
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      length = 1;
      value = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      value = lead & 0x1F;
      minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      value = lead & 0x0F;
      minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      value = lead & 0x07;
      minimum = 0x10000;
    }
    bool valid = length != 0 && pos + length <= text.size();
    for (std::size_t i = 1; valid && i < length; ++i) {
      const auto next = static_cast<unsigned char>(text[pos + i]);
      valid = (next & 0xC0) == 0x80;
      value = (value << 6) | (next & 0x3F);
    }
    valid = valid && value >= minimum && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
    if (!valid) {
      length = 1;
      value = kReplacement;
    }
    out.push_back({value, pos, pos + length});
    pos += length;
  }
  return out;
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

bool needs_unicode_escape(char32_t c) noexcept {
  const auto* begin = std::begin(detail::kEscapedCodePoints);
  const auto* end = std::end(detail::kEscapedCodePoints);
  // The first range that ends at or after c is the only one that can hold it.
  const auto* range = std::lower_bound(
      begin, end, c,
      [](const detail::CodePointRange& r, char32_t value) { return r.last < value; });
  return range != end && range->first <= c;
}

void append_unicode_escape(std::string& out, char32_t c) {
  constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHex[c & 0xF];
    c >>= 4;
  } while (c != 0);
  out += "\\u{";
  while (count > 0) {
    out += digits[--count];
  }
  out += '}';
}

}  // namespace

std::string normalize_name(std::string_view utf8) {
  const std::vector<DecodedCodePoint> points = decode_utf8(utf8);
  auto first = points.begin();
  auto last = points.end();
  while (first != last && is_white_space(first->value)) {
    ++first;
  }
  while (last != first && is_white_space(std::prev(last)->value)) {
    --last;
  }
  if (first == last) {
    return {};
  }
  std::string out(utf8.substr(first->begin, std::prev(last)->end - first->begin));
  // ASCII bytes never occur inside a multi-byte sequence, so a byte-wise pass is safe.
  for (char& byte : out) {
    if (byte >= 'A' && byte <= 'Z') {
      byte = static_cast<char>(byte - 'A' + 'a');
    }
  }
  return out;
}

std::string quote_for_message(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 2);
  out += '"';
  for (const DecodedCodePoint& point : decode_utf8(utf8)) {
    switch (point.value) {
      case U'\\':
        out += "\\\\";
        break;
      case U'"':
        out += "\\\"";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (needs_unicode_escape(point.value)) {
          append_unicode_escape(out, point.value);
        } else if (point.value == kReplacement && point.end - point.begin == 1) {
          append_unicode_escape(out, kReplacement);  // a malformed byte, not a real U+FFFD
        } else {
          out.append(utf8.substr(point.begin, point.end - point.begin));
        }
        break;
    }
  }
  out += '"';
  return out;
}

}  // namespace tesk
