#include "common/page_memory.hpp"

#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#define TESK_PAGES_WINDOWS 1
#elif defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define TESK_PAGES_POSIX 1
#endif

namespace tesk {
namespace {

// A freshly mapped block of `bytes`, zero-filled by the system, or nullptr where the system has
// no page mapping or refuses.
void* map_pages(std::size_t bytes) noexcept {
#if defined(TESK_PAGES_WINDOWS)
  return ::VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#elif defined(TESK_PAGES_POSIX)
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANON, -1, 0);
  if (block == MAP_FAILED) {
    return nullptr;
  }
#if defined(MADV_HUGEPAGE)
  if (bytes >= kHugePageBlockBytes) {
    // Only advice: fewer, larger page faults for tables that are filled all over.
    (void)::madvise(block, bytes, MADV_HUGEPAGE);
  }
#endif
  return block;
#else
  (void)bytes;
  return nullptr;
#endif
}

void unmap_pages(void* block, std::size_t bytes) noexcept {
#if defined(TESK_PAGES_WINDOWS)
  (void)bytes;
  ::VirtualFree(block, 0, MEM_RELEASE);
#elif defined(TESK_PAGES_POSIX)
  ::munmap(block, bytes);
#else
  (void)block;
  (void)bytes;
#endif
}

constexpr bool kSystemMapsPages =
#if defined(TESK_PAGES_WINDOWS) || defined(TESK_PAGES_POSIX)
    true;
#else
    false;
#endif

bool is_mapped(std::size_t bytes) noexcept { return kSystemMapsPages && bytes >= kPageBlockBytes; }

}  // namespace

void* allocate_pages(std::size_t bytes, bool zeroed) {
  if (is_mapped(bytes)) {
    void* block = map_pages(bytes);
    if (block == nullptr) {
      throw std::bad_alloc();
    }
    return block;
  }
  void* block = ::operator new(bytes);
  if (zeroed) {
    std::memset(block, 0, bytes);
  }
  return block;
}

void free_pages(void* block, std::size_t bytes) noexcept {
  if (is_mapped(bytes)) {
    unmap_pages(block, bytes);
    return;
  }
  ::operator delete(block);
}

}  // namespace tesk
