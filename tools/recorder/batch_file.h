// tools/recorder/batch_file.h
//
// One batch of store entries as the relay's spool keeps it on disk: a
// header (magic, entry and record counts, payload length, CRC-32 of the
// counts and the payload) and every field of every entry, strings as
// length and bytes, so that what is read back is exactly what was
// spooled: the same batch, byte for byte, is what a store needs to tell a
// repeat from a new insert.
//
// Threads: pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "store/entry.h"

namespace remote {

// A batch file that is not one: cut short, damaged, or of another kind.
class BatchFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct BatchFileHeader {
  static constexpr std::size_t kSize = 28;
  std::uint32_t entries = 0;
  std::uint32_t records = 0;  // entries that are records (the rest are gaps)
  std::uint64_t payloadBytes = 0;
  std::uint32_t checksum = 0;  // CRC-32 of the counts and the payload

  std::uint64_t fileBytes() const { return kSize + payloadBytes; }
};

// The whole file for `entries`.
std::vector<std::uint8_t> encodeBatch(std::span<const store::Entry> entries);

// The header at the start of a file. Throws BatchFileError when `bytes`
// is shorter than a header or does not start with one.
BatchFileHeader decodeBatchHeader(std::span<const std::uint8_t> bytes);

// The entries of a whole file. Throws BatchFileError saying what is wrong:
// a short file, a checksum that does not match, a field past the end.
std::vector<store::Entry> decodeBatch(std::span<const std::uint8_t> bytes);

}  // namespace remote
