#include "common/zero_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <new>
#include <utility>

namespace hm {

namespace {

// Below this size buffers come from calloc: a mapping each would spend the
// process's limited count of mappings on folders of many small frames.
constexpr size_t kMapAtLeast = size_t{1} << 20;

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

void release(std::uint8_t* data, size_t mapped) {
  if (!data) return;
  if (mapped) {
    munmap(data, mapped);
  } else {
    std::free(data);
  }
}

}  // namespace

ZeroBuffer::ZeroBuffer(size_t bytes) : size_(bytes) {
  if (bytes < kMapAtLeast) {
    data_ = static_cast<std::uint8_t*>(std::calloc(bytes > 0 ? bytes : 1, 1));
    if (!data_) throw std::bad_alloc();
    return;
  }
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  data_ = static_cast<std::uint8_t*>(p);
  mapped_ = bytes;
}

void ZeroBuffer::prepare_write(size_t begin, size_t end) {
  if (!mapped_ || begin >= end || end > size_) return;
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t first = begin / page * page;
  const size_t last = (end + page - 1) / page * page;
  // Kernels without this advice refuse it; the writes then fault pages in singly.
  madvise(data_ + first, std::min(last, mapped_) - first, MADV_POPULATE_WRITE);
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
