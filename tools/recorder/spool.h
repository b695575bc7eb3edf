// tools/recorder/spool.h
//
// The relay's spool: batches a store server could not take, kept in a
// directory on local disk, one file per batch (batch_file.h) named by its
// number, so that they go to the store in the order they were made, each
// exactly as it was first tried, after a restart as well.
//
// Bounded: a batch that would take the files past `maxBytes`, or that the
// disk refuses, is not kept, and put() says so for the caller to count as
// lost. Each batch is written to a temporary name, fsync()ed, renamed into
// place and the directory fsync()ed: a batch the spool said it kept
// survives a crash of the relay or the machine, and a crash mid-write
// leaves only a temporary file, removed at the next start (its batch was
// never acknowledged as kept). One fsync per batch is cheap: batches are
// at most a few a second, and only while the server is away.
//
// A file found damaged (cut short, a checksum that does not match) is
// renamed NUMBER.damaged, kept for inspection and never sent; the caller
// hears of it (what, and the records its header counts) to report it.
//
// One relay per spool: a lock file (flock, with the holder's pid) refuses
// a second, and a file naming the store refuses a spool made for another.
//
// Threads: one thread at a time (the StoreWriter serialises its two
// threads); depth() any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/unique_fd.h"
#include "store/entry.h"

namespace remote {

struct SpoolOptions {
  std::string dir;
  std::uint64_t maxBytes = std::uint64_t{1} << 30;
  std::string storeName;  // the store its batches are for, as the user named it
};

struct SpoolDepth {
  std::int64_t batches = 0, records = 0, bytes = 0;
};

// A batch file set aside: which file, why, and the records its header
// counts (0 when the header itself is unreadable).
struct DamagedBatch {
  std::string path;
  std::string why;
  std::int64_t records = 0;
};

class Spool {
 public:
  // Opens (or makes) the directory, takes its lock and indexes what it
  // holds. Throws ToolError: kLocal when the directory cannot be made,
  // read or locked, kBadInput when it belongs to another store or another
  // relay holds it.
  explicit Spool(const SpoolOptions& options);
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Files found damaged when the spool was opened (already set aside).
  const std::vector<DamagedBatch>& damagedAtOpen() const { return damagedOnOpen; }

  // A number for the next batch made; numbers grow across restarts.
  std::uint64_t reserve() { return next++; }
  // Keeps batch `number`, or says why not in `why`: it would pass the
  // bound, or the disk refused it. Nothing of a batch not kept stays.
  enum class Put { kKept, kFull, kRefused };
  Put put(std::uint64_t number, std::span<const store::Entry> entries, std::string& why);

  bool empty() const { return files.empty(); }
  // The oldest batch kept.
  std::optional<std::uint64_t> oldest() const;
  // Reads batch `number`. When it is damaged, sets it aside, fills `damage`
  // and returns nullopt.
  std::optional<std::vector<store::Entry>> read(std::uint64_t number,
                                                std::optional<DamagedBatch>& damage);
  // Forgets batch `number` once the store took it.
  void remove(std::uint64_t number);

  SpoolDepth depth() const;
  const std::string& directory() const { return dir; }

 private:
  struct File {
    std::int64_t records = 0;
    std::int64_t bytes = 0;
  };

  std::string pathOf(std::uint64_t number) const;
  DamagedBatch setAside(std::uint64_t number, std::string why, std::int64_t records);
  void forget(std::uint64_t number);
  void index();

  const std::string dir;
  const std::uint64_t maxBytes;
  UniqueFd lock;  // flock()ed while the spool is ours
  std::map<std::uint64_t, File> files;
  std::uint64_t next = 1;
  std::vector<DamagedBatch> damagedOnOpen;
  std::atomic<std::int64_t> batchCount{0}, recordCount{0}, byteCount{0};
};

// The spool of a store when --spool is left out: a directory named after
// the store in the state directory (base/state_file.h).
std::string defaultSpoolDir(const std::string& storeName);

}  // namespace remote
