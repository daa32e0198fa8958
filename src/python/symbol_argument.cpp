#include "python/symbol_argument.hpp"

#include "python/integer_buffers.hpp"
#include "common/internal_failure.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace tesk::py {

void SymbolArgument::expect(std::size_t count) {
  if (count > capacity_) {
    grow_to(count);
  }
}

std::span<std::uint64_t> SymbolArgument::room() {
  if (size_ == capacity_) {
    grow_to(capacity_ * 2);
  }
  return {data_ + size_, capacity_ - size_};
}

void SymbolArgument::keep_export(std::unique_ptr<BufferView> /*owner*/) {
  ensure(false, "a query argument read in place");
}

void SymbolArgument::add_bytes(std::span<const unsigned char> bytes) {
  std::copy(bytes.begin(), bytes.end(), extend(bytes.size()));
}

std::uint64_t* SymbolArgument::extend(std::size_t count) {
  if (count > capacity_ - size_) {
    if (count > std::numeric_limits<std::size_t>::max() - size_) {
      throw std::bad_alloc();
    }
    grow_to(std::max(size_ + count, capacity_ * 2));
  }
  std::uint64_t* slots = data_ + size_;
  size_ += count;
  return slots;
}

void SymbolArgument::grow_to(std::size_t capacity) {
  if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(std::uint64_t)) {
    throw std::bad_alloc();
  }
  // Left uninitialised: every slot up to size_ is copied next, the rest is written before it is read.
  std::unique_ptr<std::uint64_t[]> larger(new std::uint64_t[capacity]);
  std::copy_n(data_, size_, larger.get());
  heap_ = std::move(larger);
  data_ = heap_.get();
  capacity_ = capacity;
}

}  // namespace tesk::py
