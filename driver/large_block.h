// Blocks of memory of a MiB and more, in huge pages where the kernel gives
// them. Fresh memory is costly, on virtual machines above all: every page
// traps into the kernel, which clears it, on first use. A 2 MiB page takes
// one trap where 4 KiB pages take 512, and touching many places of a block
// at once (turning columns into rows) then misses the TLB far less.
#ifndef CORVALIN_DRIVER_LARGE_BLOCK_H
#define CORVALIN_DRIVER_LARGE_BLOCK_H

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

class LargeBlock {
 public:
  static constexpr size_t kHugePage = 2 * 1024 * 1024;

  // data() is null when the block could not be had (or bytes is 0).
  explicit LargeBlock(uint64_t bytes) {
    if (bytes == 0 || bytes > SIZE_MAX - kHugePage) return;
    size_ = static_cast<size_t>(bytes) + kHugePage;  // room to align
    void* p = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    mapping_ = p;
    const uintptr_t aligned = (reinterpret_cast<uintptr_t>(p) + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
    data_ = reinterpret_cast<uint8_t*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(data_, static_cast<size_t>(bytes), MADV_HUGEPAGE);
#endif
  }
  ~LargeBlock() {
    if (mapping_) munmap(mapping_, size_);
  }
  LargeBlock(const LargeBlock&) = delete;
  LargeBlock& operator=(const LargeBlock&) = delete;

  uint8_t* data() const { return data_; }

 private:
  void* mapping_ = nullptr;
  size_t size_ = 0;
  uint8_t* data_ = nullptr;
};

#endif
