#include "common/zero_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace hm {

namespace {

// Below this size buffers come from calloc: a mapping each would spend the
// process's limited count of mappings on folders of many small frames.
constexpr size_t kMapAtLeast = size_t{1} << 20;

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

size_t page_size() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

bool page_is_zero(const std::uint8_t* p, size_t n) {
  std::uint64_t any = 0;
  for (size_t i = 0; i < n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    any |= word;
  }
  return any == 0;
}

// Clears a released mapping for reuse, touching only what was written: pages in
// memory are read (pages never written all share the one zero page, so this is
// cheap) and cleared when not zero; pages not in memory were never touched or
// were swapped out, and dropping them leaves zero pages.
bool clear_mapping(std::uint8_t* data, size_t bytes) {
  const size_t page = page_size();
  const size_t pages = (bytes + page - 1) / page;
  std::vector<unsigned char> resident(pages);
  if (mincore(data, bytes, resident.data()) != 0) return false;
  for (size_t i = 0; i < pages;) {
    size_t j = i;
    const bool in_memory = resident[i] & 1;
    while (j < pages && (resident[j] & 1) == in_memory) ++j;
    const size_t length = std::min(j * page, bytes) - i * page;
    if (!in_memory) {
      if (madvise(data + i * page, length, MADV_DONTNEED) != 0) return false;
    } else {
      for (size_t k = i; k < j; ++k) {
        std::uint8_t* p = data + k * page;
        const size_t n = std::min(page, bytes - k * page);
        if (!page_is_zero(p, n)) std::memset(p, 0, n);
      }
    }
    i = j;
  }
  return true;
}

// Recently released mappings, kept for the next buffers of the same size: a
// fresh mapping costs a fault, a page clear and an unmap for every page written,
// where frames processed one after another write the same few pages each time.
constexpr size_t kKeepMappings = 4;
constexpr size_t kKeepAtMost = size_t{1} << 26;

std::mutex kept_mutex;
std::vector<std::pair<std::uint8_t*, size_t>> kept;

std::uint8_t* take_kept(size_t bytes) {
  std::lock_guard<std::mutex> lock(kept_mutex);
  for (auto it = kept.begin(); it != kept.end(); ++it) {
    if (it->second != bytes) continue;
    std::uint8_t* data = it->first;
    kept.erase(it);
    return data;
  }
  return nullptr;
}

void release(std::uint8_t* data, size_t mapped) {
  if (!data) return;
  if (!mapped) {
    std::free(data);
    return;
  }
  if (mapped <= kKeepAtMost && clear_mapping(data, mapped)) {
    std::lock_guard<std::mutex> lock(kept_mutex);
    if (kept.size() < kKeepMappings) {
      kept.emplace_back(data, mapped);
      return;
    }
  }
  munmap(data, mapped);
}

// Maps in the pages of [data, data + bytes) (page-aligned) that are not in memory
// yet. Buffers the allocator recycles are usually in memory already, and asking
// the kernel to map those in anyway costs it a locked walk over every page, more
// than the writes that follow; the residency check is a plain read of the page
// table. Kernels without the advice refuse it; the writes then fault pages in
// singly.
void populate_pages(std::uint8_t* data, size_t bytes) {
  const size_t page = page_size();
  constexpr size_t kBatch = 1024;  // pages checked per call
  unsigned char resident[kBatch];
  for (size_t done = 0; done < bytes;) {
    const size_t length = std::min(bytes - done, kBatch * page);
    const size_t pages = (length + page - 1) / page;
    if (mincore(data + done, length, resident) != 0) {
      madvise(data + done, length, MADV_POPULATE_WRITE);
    } else {
      for (size_t i = 0; i < pages;) {
        if (resident[i] & 1) {
          ++i;
          continue;
        }
        size_t j = i;
        while (j < pages && !(resident[j] & 1)) ++j;
        madvise(data + done + i * page, std::min(j * page, length) - i * page, MADV_POPULATE_WRITE);
        i = j;
      }
    }
    done += length;
  }
}

}  // namespace

ZeroBuffer::ZeroBuffer(size_t bytes) : size_(bytes) {
  if (bytes < kMapAtLeast) {
    data_ = static_cast<std::uint8_t*>(std::calloc(bytes > 0 ? bytes : 1, 1));
    if (!data_) throw std::bad_alloc();
    return;
  }
  if ((data_ = take_kept(bytes))) {
    mapped_ = bytes;
    return;
  }
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(p);
  mapped_ = bytes;
}

void ZeroBuffer::prepare_write(size_t begin, size_t end) {
  if (!mapped_ || begin >= end || end > size_) return;
  const size_t page = page_size();
  const size_t first = begin / page * page;
  const size_t last = (end + page - 1) / page * page;
  populate_pages(data_ + first, std::min(last, mapped_) - first);
}

void populate_for_write(std::uint8_t* begin, std::uint8_t* end) {
  const auto page = static_cast<std::uintptr_t>(page_size());
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) / page * page;
  if (first < last) populate_pages(reinterpret_cast<std::uint8_t*>(first), last - first);
}

ZeroBuffer::~ZeroBuffer() { release(data_, mapped_); }

ZeroBuffer::ZeroBuffer(ZeroBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      mapped_(std::exchange(other.mapped_, 0)),
      size_(std::exchange(other.size_, 0)) {}

ZeroBuffer& ZeroBuffer::operator=(ZeroBuffer&& other) noexcept {
  if (this != &other) {
    release(data_, mapped_);
    data_ = std::exchange(other.data_, nullptr);
    mapped_ = std::exchange(other.mapped_, 0);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

}  // namespace hm
