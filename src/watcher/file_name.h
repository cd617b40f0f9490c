// A file name kept whole whatever its length: it lives in fixed storage and moves to the heap only
// when a longer name arrives, so the ordinary path never allocates.
#pragma once

#include <cstddef>
#include <cstdlib>

class FileName {
 public:
  static constexpr std::size_t kFixedSize = 256;

  FileName() = default;
  ~FileName() { std::free(heap_); }
  FileName(const FileName&) = delete;
  FileName& operator=(const FileName&) = delete;

  const char* c_str() const { return text_; }
  std::size_t capacity() const { return capacity_; }
  bool Equals(const char* name) const;

  // Copies name whole. False only when memory for a long name runs out; the old text then stays.
  bool Assign(const char* name);
  // Makes room for a name of `length` bytes without changing the text.
  bool Reserve(std::size_t length);

 private:
  char fixed_[kFixedSize] = {};
  char* heap_ = nullptr;  // owned; replaces fixed_ once a name does not fit there
  char* text_ = fixed_;
  std::size_t capacity_ = kFixedSize;
};
