#pragma once
// Memory for the large temporary arrays of a fit, taken straight from the kernel. The C
// allocator keeps freed blocks below its (moving) mmap threshold for reuse, so a fit's
// temporaries could stay resident long after they are freed and raise the fit's peak; blocks
// mapped here go back the moment they are freed, and fresh ones read as zero without being
// touched.

#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

namespace tesk {

inline constexpr std::size_t kPageBlockBytes = std::size_t{1} << 18;
inline constexpr std::size_t kHugePageBlockBytes = std::size_t{4} << 20;

// Memory for `bytes`, zeroed when asked; large blocks come from the system's page mapping, small
// ones (and all of them where there is no page mapping) from operator new. Throws bad_alloc.
void* allocate_pages(std::size_t bytes, bool zeroed);
// Frees a block of allocate_pages; `bytes` must be the size it was asked for.
void free_pages(void* block, std::size_t bytes) noexcept;

// An allocator for vectors that grow large and go away within one fit.
template <class T>
struct PageAllocator {
  using value_type = T;

  PageAllocator() noexcept = default;
  template <class U>
  PageAllocator(const PageAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) {
      throw std::bad_alloc();
    }
    return static_cast<T*>(allocate_pages(n * sizeof(T), false));
  }
  void deallocate(T* block, std::size_t n) noexcept { free_pages(block, n * sizeof(T)); }

  template <class U>
  bool operator==(const PageAllocator<U>& /*other*/) const noexcept {
    return true;
  }
};

template <class T>
using PageVector = std::vector<T, PageAllocator<T>>;

// A fixed-size array of zeros; pages never written are never resident. All-zero bytes must be a
// value of T, and T is never constructed or destroyed: hence trivially copyable types only.
template <class T>
  requires std::is_trivially_copyable_v<T>
class ZeroedPages {
 public:
  ZeroedPages() noexcept = default;
  explicit ZeroedPages(std::size_t size) : size_(size) {
    if (size > static_cast<std::size_t>(-1) / sizeof(T)) {
      throw std::bad_alloc();
    }
    data_ = static_cast<T*>(allocate_pages(size * sizeof(T), true));
  }
  ZeroedPages(ZeroedPages&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  ZeroedPages& operator=(ZeroedPages&& other) noexcept {
    if (this != &other) {
      release();
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }
  ZeroedPages(const ZeroedPages&) = delete;
  ZeroedPages& operator=(const ZeroedPages&) = delete;
  ~ZeroedPages() { release(); }

  T* get() noexcept { return data_; }
  const T* get() const noexcept { return data_; }
  T& operator[](std::size_t index) noexcept { return data_[index]; }
  const T& operator[](std::size_t index) const noexcept { return data_[index]; }

 private:
  void release() noexcept {
    if (data_ != nullptr) {
      free_pages(data_, size_ * sizeof(T));
      data_ = nullptr;
    }
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace tesk
