#pragma once
// Where converted symbols go: a query's argument, or a row of fit being packed. Conversions hand
// the symbols over a piece at a time, so a row never needs a 64-bit copy of its whole length.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tesk::py {

class BufferView;

// Symbols that can be read where they lie, in a buffer export: `size` unsigned integers of
// `width` bytes each, native byte order, one after the other.
struct InPlaceSymbols {
  const void* data;
  std::uint64_t size;
  std::size_t width;
};

// Symbols per piece where a sink keeps only one piece at a time.
inline constexpr std::size_t kPieceSize = 4096;

class SymbolSink {
 public:
  // Called before the first piece with a length to size storage by (only a hint), and again
  // after discard.
  virtual void expect(std::size_t count) = 0;
  // Room for the next symbols (at least one slot): the converter writes symbols there and then
  // commits them.
  virtual std::span<std::uint64_t> room() = 0;
  // The first `count` slots of the last room hold symbols now.
  virtual void commit(std::size_t count) = 0;
  virtual void add_bytes(std::span<const unsigned char> bytes) = 0;
  // Takes back every symbol added since expect: the object is about to be read another way.
  virtual void discard() = 0;
  // Offers the whole sequence to be read in place, before anything else was added; false to
  // have it read piece by piece instead. After accepting, the sink is handed the export that
  // keeps the memory where it is (keep_export), unless the caller keeps it itself.
  virtual bool read_in_place(const InPlaceSymbols& symbols) = 0;
  virtual void keep_export(std::unique_ptr<BufferView> owner) = 0;

 protected:
  SymbolSink() = default;
  SymbolSink(const SymbolSink&) = default;
  SymbolSink& operator=(const SymbolSink&) = default;
  ~SymbolSink() = default;
};

}  // namespace tesk::py
