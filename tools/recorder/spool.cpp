// tools/recorder/spool.cpp
//
// The spool's directory: its lock, its index of batch files, batches kept
// and read back; see spool.h.
//
// Threads: one thread at a time; see spool.h.
#include "recorder/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "base/state_file.h"
#include "base/tool_error.h"
#include "recorder/batch_file.h"

namespace remote {
namespace {

constexpr const char* kBatchSuffix = ".batch";
constexpr const char* kTemporarySuffix = ".tmp";
constexpr const char* kDamagedSuffix = ".damaged";
constexpr std::size_t kNumberDigits = 20;

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw ToolError{ErrorKind::kLocal,
                  "spool: cannot " + what + " " + path + ": " + std::strerror(errno)};
}

// The whole file, or nullopt with errno set.
std::optional<std::vector<std::uint8_t>> readFile(const std::string& path) {
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::uint8_t buffer[1 << 16];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;  // a write that takes nothing names no error of its own
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

bool syncDirectory(const std::string& dir) {
  const UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd && ::fsync(fd.get()) == 0;
}

// The number of "00000000000000000042.batch", or nullopt for another name.
std::optional<std::uint64_t> numberOf(const std::string& name, const char* suffix) {
  if (name.size() != kNumberDigits + std::strlen(suffix) || !name.ends_with(suffix))
    return std::nullopt;
  std::uint64_t number = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + kNumberDigits, number);
  if (ec != std::errc() || end != name.data() + kNumberDigits) return std::nullopt;
  return number;
}

void makeDirectories(const std::string& dir) {
  std::string path;
  std::size_t from = 0;
  while (from <= dir.size()) {
    const std::size_t slash = dir.find('/', from);
    const std::size_t to = slash == std::string::npos ? dir.size() : slash;
    path = dir.substr(0, to);
    if (!path.empty() && ::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) fail("make", path);
    from = to + 1;
  }
}

}  // namespace

Spool::Spool(const SpoolOptions& options) : dir(options.dir), maxBytes(options.maxBytes) {
  makeDirectories(dir);
  const std::string lockPath = dir + "/lock";
  lock = UniqueFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!lock) fail("open", lockPath);
  if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) fail("lock", lockPath);
    std::string holder;
    if (const auto bytes = readFile(lockPath)) holder.assign(bytes->begin(), bytes->end());
    while (!holder.empty() && holder.back() == '\n') holder.pop_back();
    throw ToolError{ErrorKind::kBadInput,
                    "spool: " + dir + " is in use by another relay" +
                        (holder.empty() ? std::string() : " (pid " + holder + ")")};
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock.get(), 0) != 0 ||
      !writeAll(lock.get(), {reinterpret_cast<const std::uint8_t*>(pid.data()), pid.size()}))
    fail("write", lockPath);

  // Batches are for the store they were made for and no other.
  const std::string storePath = dir + "/store";
  if (const auto bytes = readFile(storePath)) {
    std::string named(bytes->begin(), bytes->end());
    while (!named.empty() && named.back() == '\n') named.pop_back();
    if (named != options.storeName) {
      throw ToolError{ErrorKind::kBadInput, "spool: " + dir + " holds batches for " + named +
                                                ", not " + options.storeName +
                                                ": name another --spool directory"};
    }
  } else if (errno != ENOENT) {
    fail("read", storePath);
  } else {
    const UniqueFd fd(::open(storePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    const std::string text = options.storeName + "\n";
    if (!fd ||
        !writeAll(fd.get(), {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}) ||
        ::fsync(fd.get()) != 0)
      fail("write", storePath);
  }
  index();
}

// What the directory holds: batch files by number (their headers checked
// against their sizes, so that a file cut short shows now rather than when
// its turn comes), temporary files of a crash removed.
void Spool::index() {
  DIR* listing = ::opendir(dir.c_str());
  if (listing == nullptr) fail("read", dir);
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(listing)) names.emplace_back(e->d_name);
  ::closedir(listing);
  for (const std::string& name : names) {
    if (const auto number = numberOf(name, kTemporarySuffix)) {
      ::unlink((dir + "/" + name).c_str());  // never acknowledged as kept
      next = std::max(next, *number + 1);
      continue;
    }
    if (const auto number = numberOf(name, kDamagedSuffix)) {
      next = std::max(next, *number + 1);
      continue;
    }
    const auto number = numberOf(name, kBatchSuffix);
    if (!number) continue;
    next = std::max(next, *number + 1);
    const std::string path = dir + "/" + name;
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) fail("open", path);
    std::uint8_t head[BatchFileHeader::kSize];
    std::size_t got = 0;
    for (ssize_t n;
         got < sizeof head && (n = ::read(fd.get(), head + got, sizeof head - got)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) fail("read", path);
      got += static_cast<std::size_t>(n);
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) fail("read", path);
    try {
      const BatchFileHeader header = decodeBatchHeader({head, got});
      if (static_cast<std::uint64_t>(info.st_size) != header.fileBytes()) {
        damagedOnOpen.push_back(setAside(*number,
                                         "cut short or grown: " + std::to_string(info.st_size) +
                                             " bytes where its header says " +
                                             std::to_string(header.fileBytes()),
                                         header.records));
        continue;
      }
      files[*number] = File{header.records, info.st_size};
    } catch (const BatchFileError& error) {
      damagedOnOpen.push_back(setAside(*number, error.what(), 0));
    }
  }
  for (const auto& [number, file] : files) {
    ++batchCount;
    recordCount += file.records;
    byteCount += file.bytes;
  }
}

std::string Spool::pathOf(std::uint64_t number) const {
  char name[kNumberDigits + 1];
  std::snprintf(name, sizeof name, "%020llu", static_cast<unsigned long long>(number));
  return dir + "/" + name + kBatchSuffix;
}

Spool::Put Spool::put(std::uint64_t number, std::span<const store::Entry> entries,
                      std::string& why) {
  const std::vector<std::uint8_t> bytes = encodeBatch(entries);
  if (static_cast<std::uint64_t>(byteCount) + bytes.size() > maxBytes) {
    why = "the spool " + dir + " is full (" + std::to_string(byteCount) + " of " +
          std::to_string(maxBytes) + " bytes)";
    return Put::kFull;
  }
  const std::string path = pathOf(number);
  const std::string temporary =
      path.substr(0, path.size() - std::strlen(kBatchSuffix)) + kTemporarySuffix;
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const bool kept = fd && writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0 &&
                    ::rename(temporary.c_str(), path.c_str()) == 0 && syncDirectory(dir);
  if (!kept) {
    why = "cannot write " + temporary + ": " + std::strerror(errno);
    fd.reset();
    ::unlink(temporary.c_str());
    ::unlink(path.c_str());
    return Put::kRefused;
  }
  const File file{static_cast<std::int64_t>(decodeBatchHeader(bytes).records),
                  static_cast<std::int64_t>(bytes.size())};
  files[number] = file;
  ++batchCount;
  recordCount += file.records;
  byteCount += file.bytes;
  return Put::kKept;
}

std::optional<std::uint64_t> Spool::oldest() const {
  if (files.empty()) return std::nullopt;
  return files.begin()->first;
}

std::optional<std::vector<store::Entry>> Spool::read(std::uint64_t number,
                                                     std::optional<DamagedBatch>& damage) {
  const std::string path = pathOf(number);
  const auto bytes = readFile(path);
  if (!bytes) {
    damage = setAside(number, std::string("cannot read it: ") + std::strerror(errno),
                      files[number].records);
    return std::nullopt;
  }
  try {
    return decodeBatch(*bytes);
  } catch (const BatchFileError& error) {
    damage = setAside(number, error.what(), files[number].records);
    return std::nullopt;
  }
}

void Spool::remove(std::uint64_t number) {
  // Not fsync()ed: a batch that comes back after a crash is sent again,
  // which the store takes as the repeat it is.
  ::unlink(pathOf(number).c_str());
  forget(number);
}

DamagedBatch Spool::setAside(std::uint64_t number, std::string why, std::int64_t records) {
  const std::string path = pathOf(number);
  const std::string aside =
      path.substr(0, path.size() - std::strlen(kBatchSuffix)) + kDamagedSuffix;
  forget(number);
  if (::rename(path.c_str(), aside.c_str()) != 0)
    return DamagedBatch{path, why + " (and it cannot be renamed: " + std::strerror(errno) + ")",
                        records};
  return DamagedBatch{aside, std::move(why), records};
}

void Spool::forget(std::uint64_t number) {
  const auto found = files.find(number);
  if (found == files.end()) return;
  --batchCount;
  recordCount -= found->second.records;
  byteCount -= found->second.bytes;
  files.erase(found);
}

SpoolDepth Spool::depth() const { return SpoolDepth{batchCount, recordCount, byteCount}; }

std::string defaultSpoolDir(const std::string& storeName) {
  std::string name;
  for (const char c : storeName) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-';
    name += plain ? c : '_';
  }
  return statePath("spool") + "/" + name;
}

}  // namespace remote
