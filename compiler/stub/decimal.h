// An integer's decimal digits, written into the object itself so that making them never
// allocates (error reports use it when memory has run out).
#pragma once

#include <stdint.h>

#include "compiler/stub/bytes.h"

namespace sr::zr {

class Decimal {
 public:
  explicit Decimal(int64_t n) {
    uint64_t magnitude = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
    do {
      digits_[--start_] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude != 0);
    if (n < 0) digits_[--start_] = '-';
  }
  Bytes view() const { return Bytes{digits_ + start_, sizeof digits_ - start_}; }

 private:
  char digits_[20];  // "-9223372036854775808" is the longest
  size_t start_ = sizeof digits_;
};

}  // namespace sr::zr
