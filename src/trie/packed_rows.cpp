#include "trie/packed_rows.hpp"

#include <utility>

#include "common/internal_failure.hpp"

namespace tesk {

template <class Symbol>
void PackedRows::append(SymbolSequence& row, std::vector<Symbol>& symbols,
                        std::size_t row_index) {
  const std::size_t start = symbols.size();
  symbols.resize(start + row.size());
  Symbol* out = symbols.data() + start;
  // Narrowing a bad symbol is harmless: the row is dropped below.
  std::uint64_t bad = 0;
  for (std::size_t i = 0; i < row.size(); ++i) {
    bad |= row[i] >= alphabet_size_ ? 1 : 0;
    out[i] = static_cast<Symbol>(row[i]);
  }
  if (bad != 0) {
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (row[i] >= alphabet_size_) {
        first_bad_ = BadSymbol{row[i], row_index, i};
        break;
      }
    }
    symbols.resize(start);
  } else {
    row_ends_.push_back(symbols.size());
  }
  SymbolSequence().swap(row);
}

PackedRows PackedRows::pack(SymbolRows&& rows, std::uint64_t alphabet_size) {
  ensure(alphabet_size >= 1 && alphabet_size <= 0xFFFFFFFFULL, "alphabet_size outside 32 bits");
  const unsigned width = alphabet_size <= 0x100 ? 1 : alphabet_size <= 0x10000 ? 2 : 4;
  PackedRows packed(alphabet_size, width);
  std::size_t total = 0;
  for (const SymbolSequence& row : rows) {
    total += row.size();
  }
  const auto pack_all = [&](auto& symbols) {
    symbols.reserve(total);
    for (std::size_t r = 0; r < rows.size() && !packed.first_bad_; ++r) {
      packed.append(rows[r], symbols, r);
    }
    symbols.shrink_to_fit();
  };
  packed.row_ends_.reserve(rows.size());
  if (width == 1) {
    pack_all(packed.narrow8_);
  } else if (width == 2) {
    pack_all(packed.narrow16_);
  } else {
    pack_all(packed.narrow32_);
  }
  SymbolRows().swap(rows);
  return packed;
}

}  // namespace tesk
