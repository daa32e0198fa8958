#pragma once
// Memory for the large temporary arrays of a fit, taken straight from the kernel. The C
// allocator keeps freed blocks below its (moving) mmap threshold for reuse, so a fit's
// temporaries could stay resident long after they are freed and raise the fit's peak; blocks
// mapped here go back the moment they are freed, and fresh ones read as zero without being
// touched.

#include <cstddef>
#include <cstring>
#include <new>
#include <vector>

#if defined(__unix__)
#include <sys/mman.h>
#endif

namespace tesk {

inline constexpr std::size_t kPageBlockBytes = std::size_t{1} << 18;
inline constexpr std::size_t kHugePageBlockBytes = std::size_t{4} << 20;

// Zeroed memory for `bytes`; large blocks are mapped, small ones come from operator new.
inline void* allocate_pages(std::size_t bytes, bool zeroed) {
#if defined(__unix__)
  if (bytes >= kPageBlockBytes) {
    void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
      throw std::bad_alloc();
    }
#if defined(MADV_HUGEPAGE)
    if (bytes >= kHugePageBlockBytes) {
      // Only advice: fewer, larger page faults for tables that are filled all over.
      (void)::madvise(block, bytes, MADV_HUGEPAGE);
    }
#endif
    return block;
  }
#endif
  void* block = ::operator new(bytes);
  if (zeroed) {
    std::memset(block, 0, bytes);
  }
  return block;
}

inline void free_pages(void* block, std::size_t bytes) noexcept {
#if defined(__unix__)
  if (bytes >= kPageBlockBytes) {
    ::munmap(block, bytes);
    return;
  }
#endif
  ::operator delete(block);
}

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

// A fixed-size array of zeros (trivial types only); pages never written are never resident.
template <class T>
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
