#include "trie/packed_rows.hpp"

#include <algorithm>
#include <type_traits>
#include <new>
#include <utility>

#include "common/internal_failure.hpp"
#include "common/interruption.hpp"
#include "common/limits.hpp"

namespace tesk {

PackedRows::PackedRows(std::uint64_t alphabet_size) : alphabet_size_(alphabet_size) {
  ensure(alphabet_size >= 1 && alphabet_size <= kMaxAlphabetSize, "alphabet_size outside 32 bits");
  if (alphabet_size > 0x10000) {
    symbols_.emplace<PageVector<std::uint32_t>>();
  } else if (alphabet_size > 0x100) {
    symbols_.emplace<PageVector<std::uint16_t>>();
  }
}

RowPacker::RowPacker(std::uint64_t alphabet_size) : packed_(alphabet_size) {}

void RowPacker::reserve_rows(std::size_t rows) {
  if (rows > packed_.row_sizes_.max_size()) {
    throw std::bad_alloc();
  }
  packed_.row_sizes_.reserve(rows);
}

void RowPacker::begin_row(std::uint64_t expected_size) {
  row_start_ = with_symbols([](const auto& symbols) -> std::uint64_t { return symbols.size(); });
  row_length_ = 0;
  row_in_place_ = nullptr;
  row_bad_ = false;
  if (packed_.first_bad_) {
    return;
  }
  with_symbols([&](auto& symbols) {
    if (symbols.size() + expected_size > symbols.capacity()) {
      symbols.reserve(std::max<std::size_t>(symbols.size() + expected_size,
                                            symbols.capacity() + symbols.capacity() / 2));
    }
  });
}

template <class Symbol, class Value>
void RowPacker::append(PageVector<Symbol>& out, std::span<const Value> values) {
  const std::size_t start = out.size();
  out.resize(start + values.size());
  Symbol* slots = out.data() + start;
  // Narrowing a bad symbol is harmless: its row is dropped.
  const std::uint64_t alphabet_size = packed_.alphabet_size_;
  bool bad = false;
  for (std::size_t i = 0; i < values.size(); ++i) {
    bad |= values[i] >= alphabet_size;
    slots[i] = static_cast<Symbol>(values[i]);
  }
  if (bad) {
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (values[i] >= alphabet_size) {
        packed_.first_bad_ =
            BadSymbol{values[i], packed_.row_sizes_.size(),
                      static_cast<std::size_t>(row_length_ + i)};
        break;
      }
    }
    row_bad_ = true;
  }
}

template <class Value>
void RowPacker::append_any(std::span<const Value> values) {
  if (!packed_.first_bad_) {
    with_symbols([&](auto& symbols) { append(symbols, values); });
  }
  row_length_ += values.size();
}

void RowPacker::add(std::span<const std::uint64_t> symbols) { append_any(symbols); }

bool RowPacker::add_in_place(const void* symbols, std::uint64_t size, std::size_t width) {
  return with_symbols([&](const auto& packed) {
    using Symbol = typename std::decay_t<decltype(packed)>::value_type;
    if (width != sizeof(Symbol) || row_length_ != 0) {
      return false;
    }
    if (!packed_.first_bad_) {
      check_in_place(static_cast<const Symbol*>(symbols), size);
      row_in_place_ = symbols;
    }
    row_length_ = size;
    return true;
  });
}

template <class Symbol>
void RowPacker::check_in_place(const Symbol* symbols, std::uint64_t size) {
  const std::uint64_t alphabet_size = packed_.alphabet_size_;
  for (std::uint64_t i = 0; i < size;) {
    const std::uint64_t begin = i;
    const std::uint64_t stop = poll_chunk_up(i, size, 1);
    bool bad = false;
    for (; i < stop; ++i) {
      bad |= symbols[i] >= alphabet_size;
    }
    if (bad) {
      for (i = begin; symbols[i] < alphabet_size; ++i) {
      }
      packed_.first_bad_ =
          BadSymbol{symbols[i], packed_.row_sizes_.size(), static_cast<std::size_t>(i)};
      row_bad_ = true;
      return;
    }
  }
}

void RowPacker::add_bytes(std::span<const unsigned char> bytes) { append_any(bytes); }

void RowPacker::drop_row() {
  if (row_bad_) {
    packed_.first_bad_.reset();
  }
  truncate_to_row_start();
  row_length_ = 0;
  row_in_place_ = nullptr;
  row_bad_ = false;
}

void RowPacker::end_row() {
  packed_.row_sizes_.push_back(row_length_);
  const void* in_place = std::exchange(row_in_place_, nullptr);
  if (row_bad_) {
    // This row and every later one are never counted.
    truncate_to_row_start();
    row_bad_ = false;
    return;
  }
  if (!packed_.first_bad_) {
    packed_.places_.push_back(PackedRows::RowPlace{in_place, row_start_, row_length_});
  }
}

void RowPacker::truncate_to_row_start() {
  with_symbols([this](auto& symbols) { symbols.resize(row_start_); });
}

PackedRows RowPacker::finish() && {
  with_symbols([](auto& symbols) { symbols.shrink_to_fit(); });
  return std::move(packed_);
}

std::vector<std::uint32_t> PackedRows::observed_symbols() const {
  return visit([](const auto& rows) {
    using Symbol = typename std::decay_t<decltype(rows)>::value_type::symbol_type;
    constexpr std::size_t kWidth = sizeof(Symbol);
    std::vector<std::uint32_t> observed;
    if constexpr (kWidth > 2) {
      // Too many possible symbols for a table of them: sort a copy.
      for (const RowView<Symbol>& row : rows) {
        observed.insert(observed.end(), row.data, row.data + row.size);
      }
      std::sort(observed.begin(), observed.end());
      observed.erase(std::unique(observed.begin(), observed.end()), observed.end());
    } else {
      std::vector<std::uint8_t> seen(std::size_t{1} << (8 * kWidth), 0);
      for (const RowView<Symbol>& row : rows) {
        for (std::uint64_t i = 0; i < row.size; ++i) {
          seen[row.data[i]] = 1;
        }
      }
      for (std::size_t s = 0; s < seen.size(); ++s) {
        if (seen[s] != 0) {
          observed.push_back(static_cast<std::uint32_t>(s));
        }
      }
    }
    return observed;
  });
}

void PackedRows::pack_rows_in_place() {
  with_symbols([&](auto& symbols) {
    using Symbol = typename std::decay_t<decltype(symbols)>::value_type;
    for (std::size_t r = 0; r < places_.size(); ++r) {
      RowPlace& place = places_[r];
      if (place.in_place == nullptr) {
        continue;
      }
      // Checked again as it is copied: the row's owner (a signal handler, say) may have written
      // into it since it was checked.
      const auto* row = static_cast<const Symbol*>(place.in_place);
      place.start = symbols.size();
      place.in_place = nullptr;
      for (std::uint64_t i = 0; i < place.size;) {
        const std::uint64_t begin = i;
        const std::uint64_t stop = poll_chunk_up(i, place.size, 1);
        symbols.insert(symbols.end(), row + begin, row + stop);
        for (i = begin; i < stop; ++i) {
          const Symbol symbol = symbols[place.start + i];
          if (symbol >= alphabet_size_) {
            // As the conversion would have had it: this row and those after it are not kept.
            first_bad_ = BadSymbol{symbol, r, static_cast<std::size_t>(i)};
            symbols.resize(place.start);
            places_.resize(r);
            return;
          }
        }
      }
    }
  });
}

void PackedRows::relabel_to_ranks(std::span<const std::uint32_t> observed) {
  pack_rows_in_place();
  with_symbols([&](auto& symbols) {
    using Symbol = std::remove_reference_t<decltype(symbols[0])>;
    const SymbolRanks<Symbol> rank_of(observed);
    for (Symbol& symbol : symbols) {
      symbol = static_cast<Symbol>(rank_of(symbol));
    }
  });
  alphabet_size_ = observed.size();
}

}  // namespace tesk
