// A zero-filled byte buffer whose untouched pages cost nothing.
#pragma once

#include <cstddef>
#include <cstdint>

namespace hm {

// Frame-sized buffers are mapped straight from the system: pages that are never
// written stay shared zero pages, so a mostly empty mask costs memory and time
// only where something is written. (The C allocator would hand back recycled
// heap memory for buffers of this size and clear all of it.)
class ZeroBuffer {
 public:
  ZeroBuffer() = default;
  explicit ZeroBuffer(size_t bytes);  // std::bad_alloc when it cannot
  ~ZeroBuffer();
  ZeroBuffer(ZeroBuffer&& other) noexcept;
  ZeroBuffer& operator=(ZeroBuffer&& other) noexcept;
  ZeroBuffer(const ZeroBuffer&) = delete;
  ZeroBuffer& operator=(const ZeroBuffer&) = delete;

  std::uint8_t* data() const { return data_; }
  // Maps in, in one go, the pages holding bytes [begin, end) that are about to be
  // written, instead of taking a fault on each. Only a hint: writes work without it.
  void prepare_write(size_t begin, size_t end);
  size_t size() const { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  size_t mapped_ = 0;  // length of the mapping; 0 for a calloc'd buffer
  size_t size_ = 0;
};

// Maps in, in one go, the whole pages inside [begin, end) of memory about to be
// written, instead of taking a fault on each. Only a hint: writes work without it.
void populate_for_write(std::uint8_t* begin, std::uint8_t* end);

}  // namespace hm
