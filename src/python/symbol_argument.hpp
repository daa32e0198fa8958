#pragma once
// The converted argument of one query. Histories are usually short, so they stay in inline
// storage and a query allocates nothing for its argument; longer ones move to the heap.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "python/symbol_sink.hpp"

namespace tesk::py {

class SymbolArgument final : public SymbolSink {
 public:
  SymbolArgument() noexcept = default;
  // Its storage may point into the object itself.
  SymbolArgument(const SymbolArgument&) = delete;
  SymbolArgument& operator=(const SymbolArgument&) = delete;
  ~SymbolArgument() = default;

  std::span<const std::uint64_t> symbols() const noexcept { return {data_, size_}; }

  void expect(std::size_t count) override;
  std::span<std::uint64_t> room() override;
  void commit(std::size_t count) noexcept override { size_ += count; }
  void add_bytes(std::span<const unsigned char> bytes) override;
  void discard() noexcept override { size_ = 0; }
  // A query's symbols are few: they are always copied.
  bool read_in_place(const InPlaceSymbols& /*symbols*/) noexcept override { return false; }
  void keep_export(std::unique_ptr<BufferView> owner) override;

 private:
  static constexpr std::size_t kInlineCapacity = 32;

  // Room for `count` more symbols after the current ones, which the caller fills at once.
  std::uint64_t* extend(std::size_t count);
  // Moves the symbols to storage of `capacity`; every slot below size_ has been written.
  void grow_to(std::size_t capacity);

  std::uint64_t inline_[kInlineCapacity];  // left uninitialised: only [0, size_) is ever read
  std::unique_ptr<std::uint64_t[]> heap_;
  std::uint64_t* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlineCapacity;
};

}  // namespace tesk::py
