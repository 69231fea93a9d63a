// running_checksum: a checksum of a file's 64-bit words, in four lanes (a
// sum and a running sum each), for the plug-in's own cache files. It
// catches a torn or damaged file, not a forged one: the folder is the
// plug-in's own, and every offset read from such a file is checked besides.
//
//   add(bytes, count)  the next `count` words; each call but the last
//                      starts four-word aligned and gives a multiple of four.
//   value()            the checksum of the words added so far.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

class running_checksum {
public:
  void add(const char *bytes, size_t count) {
    uint64_t s0 = sum_[0], s1 = sum_[1], s2 = sum_[2], s3 = sum_[3];
    uint64_t r0 = running_[0], r1 = running_[1], r2 = running_[2],
             r3 = running_[3];
    for (size_t i = 0; i < count; i += 4) {
      uint64_t word[4] = {};
      if (count - i >= 4)
        std::memcpy(word, bytes + i * 8, sizeof word);
      else
        std::memcpy(word, bytes + i * 8, (count - i) * 8);
      r0 += s0 += word[0];
      r1 += s1 += word[1];
      r2 += s2 += word[2];
      r3 += s3 += word[3];
    }
    sum_[0] = s0, sum_[1] = s1, sum_[2] = s2, sum_[3] = s3;
    running_[0] = r0, running_[1] = r1, running_[2] = r2, running_[3] = r3;
  }
  uint64_t value() const {
    uint64_t total = 0;
    for (size_t lane = 0; lane < 4; ++lane)
      total = (total ^ sum_[lane] ^ (running_[lane] << 1)) * 0x9e3779b97f4a7c15;
    return total;
  }

private:
  uint64_t sum_[4] = {}, running_[4] = {};
};
