"""Writes escaped_code_points.hpp: the code points that unknown-name messages escape.

Run with a Python whose unicodedata is at Unicode 15.0 (CPython 3.12):

    python3.12 src/model/make_escaped_code_points.py > src/model/escaped_code_points.hpp

Every code point that is not printable (general categories Cc, Cf, Cs, Co, Cn, Zl, Zp, and Zs
other than U+0020) is escaped, and so is every Grapheme_Extend code point (Mn, Me and
Other_Grapheme_Extend), which would otherwise fuse with the quote or the character before it.
"""

import sys
import unicodedata

# Other_Grapheme_Extend, from PropList.txt of Unicode 15.0 (unicodedata does not carry it).
OTHER_GRAPHEME_EXTEND = [
    (0x09BE, 0x09BE), (0x09D7, 0x09D7), (0x0B3E, 0x0B3E), (0x0B57, 0x0B57), (0x0BBE, 0x0BBE),
    (0x0BD7, 0x0BD7), (0x0CC2, 0x0CC2), (0x0CD5, 0x0CD6), (0x0D3E, 0x0D3E), (0x0D57, 0x0D57),
    (0x0DCF, 0x0DCF), (0x0DDF, 0x0DDF), (0x1B35, 0x1B35), (0x200C, 0x200C), (0x302E, 0x302F),
    (0xFF9E, 0xFF9F), (0x1133E, 0x1133E), (0x11357, 0x11357), (0x114B0, 0x114B0),
    (0x114BD, 0x114BD), (0x115AF, 0x115AF), (0x11930, 0x11930), (0x1D165, 0x1D165),
    (0x1D16E, 0x1D172), (0xE0020, 0xE007F),
]
NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp"}


def escaped(code_point):
    category = unicodedata.category(chr(code_point))
    if category in NOT_PRINTABLE or category in ("Mn", "Me"):
        return True
    if category == "Zs":
        return code_point != 0x20
    return any(first <= code_point <= last for first, last in OTHER_GRAPHEME_EXTEND)


def ranges():
    start = None
    for code_point in range(0x110000 + 1):
        inside = code_point <= 0x10FFFF and escaped(code_point)
        if inside and start is None:
            start = code_point
        elif not inside and start is not None:
            yield start, code_point - 1
            start = None


def main():
    if unicodedata.unidata_version != "15.0.0":
        sys.exit(f"needs Unicode 15.0.0, this Python has {unicodedata.unidata_version}")
    cells = [f"{{0x{first:X}, 0x{last:X}}}," for first, last in ranges()]
    lines, line = [], "   "
    for cell in cells:
        if len(line) + 1 + len(cell) > 100:
            lines.append(line)
            line = "   "
        line += " " + cell
    lines.append(line)
    print(HEADER + "\n".join(lines) + "\n};\n\n}  // namespace tesk::detail")


HEADER = """#pragma once
// Code points that the unknown-name messages write as \\u{h} escapes: every code point that is not
// printable, meaning general categories Cc, Cf, Cs, Co, Cn (unassigned), Zl, Zp and Zs other than
// U+0020 SPACE, together with every Grapheme_Extend code point, which would otherwise fuse with
// the quote or the character before it. Inclusive ranges, sorted and disjoint, derived from the
// Unicode 15.0 character database by make_escaped_code_points.py (next to this file).

#include <cstdint>

namespace tesk::detail {

struct CodePointRange {
  std::uint32_t first;
  std::uint32_t last;
};

inline constexpr CodePointRange kEscapedCodePoints[] = {
"""

if __name__ == "__main__":
    main()
