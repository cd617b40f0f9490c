#include "watcher/file_name.h"

#include <cstring>
#include <cstdlib>

bool FileName::Equals(const char* name) const {
  return std::strcmp(text_, name) == 0;
}

bool FileName::Reserve(std::size_t length) {
  if (length < capacity_) return true;
  // Grow by half again so a playlist of ever longer names does not reallocate each time.
  const std::size_t capacity = length + 1 + length / 2;
  auto* grown = static_cast<char*>(std::malloc(capacity));
  if (grown == nullptr) return false;
  std::memcpy(grown, text_, std::strlen(text_) + 1);
  std::free(heap_);
  heap_ = grown;
  text_ = grown;
  capacity_ = capacity;
  return true;
}

bool FileName::Assign(const char* name) {
  const std::size_t length = std::strlen(name);
  if (!Reserve(length)) return false;
  std::memcpy(text_, name, length + 1);
  return true;
}
