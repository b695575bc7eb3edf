// tools/remote/saved_masks.cpp
//
// The file of first masks: read whole, changed, written back, under an
// exclusive flock held for the whole change. The file is small (one line
// per component changed within 30 days).
//
// Threads: single-threaded tool.
#include "remote/saved_masks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>
#include <vector>

#include "common/unique_fd.h"
#include "remote/levels.h"
#include "remote/note.h"

namespace remote {
namespace {

constexpr std::int64_t kKeepSeconds = 30 * 86400;

struct Line {
  std::string uuid;
  std::uint32_t mask = 0;
  std::int64_t seconds = 0;
  std::string component;
};

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The state directory, made if missing; empty when there is none.
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

// Opens and locks the file, reads its lines, lets `change` edit them and,
// when it returns true, writes them back.
void withLines(const std::function<bool(std::vector<Line>&)>& change) {
  const std::string directory = stateDirectory();
  if (directory.empty()) {
    note("warning: neither XDG_STATE_HOME nor HOME is set: masks for --reset are not kept");
    return;
  }
  const std::string path = directory + "/masks";
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
  if (!fd || ::flock(fd.get(), LOCK_EX) != 0) {
    note("warning: cannot use " + path + ": " + std::strerror(errno) +
         " (masks for --reset are not kept)");
    return;
  }
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd.get(), buffer, sizeof buffer)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  std::vector<Line> lines;
  std::istringstream in(text);
  const std::int64_t oldest = nowSeconds() - kKeepSeconds;
  for (std::string row; std::getline(in, row);) {
    Line line;
    std::istringstream fields(row);
    std::string mask;
    if (!(fields >> line.uuid >> mask >> line.seconds) ||
        !std::getline(fields >> std::ws, line.component))
      continue;
    line.mask = static_cast<std::uint32_t>(std::strtoul(mask.c_str(), nullptr, 16));
    if (line.seconds >= oldest) lines.push_back(line);
  }
  if (!change(lines)) return;
  std::string out;
  for (const Line& line : lines) {
    out += line.uuid + " " + maskHex(line.mask) + " " + std::to_string(line.seconds) + " " +
           line.component + "\n";
  }
  if (::ftruncate(fd.get(), 0) != 0 ||
      ::pwrite(fd.get(), out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) {
    note("warning: cannot write " + path + ": " + std::strerror(errno));
  }
}

}  // namespace

void rememberFirstMask(const codec::Uuid& uuid, const std::string& component, std::uint32_t mask) {
  const std::string id = codec::uuidToHex(uuid);
  withLines([&](std::vector<Line>& lines) {
    for (const Line& line : lines) {
      if (line.uuid == id && line.component == component) return false;
    }
    lines.push_back({id, mask, nowSeconds(), component});
    return true;
  });
}

std::optional<std::uint32_t> firstMask(const codec::Uuid& uuid, const std::string& component) {
  const std::string id = codec::uuidToHex(uuid);
  std::optional<std::uint32_t> mask;
  withLines([&](std::vector<Line>& lines) {
    for (const Line& line : lines) {
      if (line.uuid == id && line.component == component) mask = line.mask;
    }
    return false;
  });
  return mask;
}

void forgetFirstMask(const codec::Uuid& uuid, const std::string& component) {
  const std::string id = codec::uuidToHex(uuid);
  withLines([&](std::vector<Line>& lines) {
    std::erase_if(lines,
                  [&](const Line& line) { return line.uuid == id && line.component == component; });
    return true;
  });
}

}  // namespace remote
