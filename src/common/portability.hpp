#pragma once
// The one place that knows which compiler it is on: cache hints, byte swaps, inlining
// attributes and the call site of an internal failure. Everything else in src/ is plain C++20.

#include <cstdint>
#include <version>

#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <cstdlib>
#if defined(_M_X64) || defined(_M_IX86)
#include <xmmintrin.h>
#endif
#endif

#if defined(__GNUC__) || defined(__clang__)
#define TESK_ALWAYS_INLINE __attribute__((always_inline)) inline
#elif defined(_MSC_VER)
#define TESK_ALWAYS_INLINE __forceinline
#else
#define TESK_ALWAYS_INLINE inline
#endif

namespace tesk {

// Cache hints. Always inlined: a prefetch left inside an out-of-line call arrives too late, and
// GCC drops it from small helpers it decides not to inline.
TESK_ALWAYS_INLINE void prefetch_for_read(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 0);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

TESK_ALWAYS_INLINE void prefetch_for_write(const void* address) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address, 1);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

// Byte order reversal (std::byteswap is C++23).
TESK_ALWAYS_INLINE std::uint16_t byte_swap(std::uint16_t value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap16(value);
#elif defined(_MSC_VER)
  return _byteswap_ushort(value);
#else
  return static_cast<std::uint16_t>((value << 8) | (value >> 8));
#endif
}

TESK_ALWAYS_INLINE std::uint32_t byte_swap(std::uint32_t value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap32(value);
#elif defined(_MSC_VER)
  return _byteswap_ulong(value);
#else
  return (static_cast<std::uint32_t>(byte_swap(static_cast<std::uint16_t>(value))) << 16) |
         byte_swap(static_cast<std::uint16_t>(value >> 16));
#endif
}

TESK_ALWAYS_INLINE std::uint64_t byte_swap(std::uint64_t value) noexcept {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(value);
#elif defined(_MSC_VER)
  return _byteswap_uint64(value);
#else
  return (static_cast<std::uint64_t>(byte_swap(static_cast<std::uint32_t>(value))) << 32) |
         byte_swap(static_cast<std::uint32_t>(value >> 32));
#endif
}

// Where an internal failure was detected. Some standard libraries (libc++ 15) lack
// <source_location>; their compilers still offer the builtins it is made of.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
class SourceLocation {
 public:
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          std::uint_least32_t line = __builtin_LINE(),
                                          const char* function = __builtin_FUNCTION()) noexcept {
    SourceLocation where;
    where.file_ = file;
    where.line_ = line;
    where.function_ = function;
    return where;
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  constexpr const char* function_name() const noexcept { return function_; }

 private:
  const char* file_ = "";
  std::uint_least32_t line_ = 0;
  const char* function_ = "";
};
#endif

}  // namespace tesk
