#include "trie/packed_rows.hpp"

#include <algorithm>
#include <type_traits>
#include <new>
#include <utility>

#include "common/internal_failure.hpp"
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
  row_start_ = packed_.row_ends_.empty() ? 0 : packed_.row_ends_.back();
  row_length_ = 0;
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

void RowPacker::add_bytes(std::span<const unsigned char> bytes) { append_any(bytes); }

void RowPacker::drop_row() {
  if (row_bad_) {
    packed_.first_bad_.reset();
  }
  truncate_to_row_start();
  row_length_ = 0;
  row_bad_ = false;
}

void RowPacker::end_row() {
  packed_.row_sizes_.push_back(row_length_);
  if (row_bad_) {
    // This row and every later one are never counted.
    truncate_to_row_start();
    row_bad_ = false;
    return;
  }
  if (!packed_.first_bad_) {
    packed_.row_ends_.push_back(row_start_ + row_length_);
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
  return with_symbols([](const auto& symbols) {
    constexpr std::size_t kWidth = sizeof(symbols[0]);
    std::vector<std::uint32_t> observed;
    if constexpr (kWidth > 2) {
      // Too many possible symbols for a table of them: sort a copy.
      observed.assign(symbols.begin(), symbols.end());
      std::sort(observed.begin(), observed.end());
      observed.erase(std::unique(observed.begin(), observed.end()), observed.end());
    } else {
      std::vector<std::uint8_t> seen(std::size_t{1} << (8 * kWidth), 0);
      for (const auto symbol : symbols) {
        seen[symbol] = 1;
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

void PackedRows::relabel_to_ranks(std::span<const std::uint32_t> observed) {
  with_symbols([&](auto& symbols) {
    using Symbol = std::remove_reference_t<decltype(symbols[0])>;
    const auto rank_of = [&](Symbol symbol) {
      const auto found = std::lower_bound(observed.begin(), observed.end(), symbol);
      ensure(found != observed.end() && *found == symbol, "symbol without a rank");
      return static_cast<Symbol>(found - observed.begin());
    };
    if constexpr (sizeof(Symbol) > 2) {
      for (Symbol& symbol : symbols) {
        symbol = rank_of(symbol);
      }
    } else {
      // Narrow symbols: every rank looked up once, into a table.
      std::vector<Symbol> rank(std::size_t{1} << (8 * sizeof(Symbol)), 0);
      for (const std::uint32_t symbol : observed) {
        rank[symbol] = rank_of(static_cast<Symbol>(symbol));
      }
      for (Symbol& symbol : symbols) {
        symbol = rank[symbol];
      }
    }
  });
  alphabet_size_ = observed.size();
}

}  // namespace tesk
