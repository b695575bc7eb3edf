// tools/base/state_file.cpp
//
// Finding the state directory, and one locked read-change-write of a file
// in it.
//
// Threads: single-threaded per call; see state_file.h.
#include "base/state_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "base/tool_error.h"
#include "common/unique_fd.h"

namespace remote {
namespace {

// The state directory, made if missing; empty when neither variable names
// one.
std::string stateDirectory() {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    base = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  std::string path;
  std::istringstream parts(base + "/tarvin-remote");
  for (std::string part; std::getline(parts, part, '/');) {
    if (part.empty()) continue;
    path += "/" + part;
    ::mkdir(path.c_str(), 0700);  // EEXIST is fine; a real failure shows at open()
  }
  return path;
}

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw ToolError{ErrorKind::kLocal, "cannot " + what + " " + path + ": " + std::strerror(errno)};
}

// Opens `path` and locks it, made when missing. A writer replaces the
// file (rename) while others wait for the lock of the one it replaced: a
// lock won on a file no longer at `path` is let go and taken again on the
// new one, so edits stay one after another.
UniqueFd openLocked(const std::string& path) {
  for (;;) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!fd) fail("open", path);
    while (::flock(fd.get(), LOCK_EX) != 0) {
      if (errno != EINTR) fail("lock", path);
    }
    struct stat locked {};
    struct stat current {};
    if (::fstat(fd.get(), &locked) != 0) fail("read", path);
    if (::stat(path.c_str(), &current) == 0 && current.st_ino == locked.st_ino &&
        current.st_dev == locked.st_dev) {
      return fd;
    }
  }
}

// Writes `text` to a file beside `path` and renames it over `path`: a
// reader, a crash or a full disk sees the old lines or the new ones, never
// a file cut in between. The caller holds the lock, so the temporary name
// is its alone.
void replaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + ".new";
  UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!fd) fail("write", temporary);
  errno = 0;
  if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    if (errno == 0) errno = ENOSPC;  // a short write names no error of its own
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    fail("write", temporary);
  }
  if (::fsync(fd.get()) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    errno = error;
    fail("write", path);
  }
}

}  // namespace

void editStateFile(const std::string& name,
                   const std::function<bool(std::vector<std::string>&)>& change) {
  const std::string directory = stateDirectory();
  if (directory.empty()) {
    throw ToolError{ErrorKind::kLocal,
                    "neither XDG_STATE_HOME nor HOME names a directory for " + name};
  }
  const std::string path = directory + "/" + name;
  const UniqueFd fd = openLocked(path);  // held until the new file is in place
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("read", path);
    text.append(buffer, static_cast<std::size_t>(n));
  }
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  if (!change(lines)) return;
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  replaceFile(path, out);
}

std::string statePath(const std::string& name) {
  const std::string directory = stateDirectory();
  if (directory.empty()) {
    throw ToolError{ErrorKind::kBadInput, "neither XDG_STATE_HOME nor HOME names a directory for " +
                                              name + ": give --db FILE"};
  }
  return directory + "/" + name;
}

std::string storePath(const std::string& given) {
  const std::string path = given.empty() ? statePath(kDefaultStoreName) : given;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    throw ToolError{ErrorKind::kBadInput, "--db " + path +
                                              " is a directory: name a file (such as " + path +
                                              "/" + kDefaultStoreName + ")"};
  }
  return path;
}

}  // namespace remote
