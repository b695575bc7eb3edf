// tools/client/saved_masks.cpp
//
// The lines of the first-masks file, read, changed and written back in one
// locked edit (state_file.h). The file is small (one line per component
// changed within 30 days).
//
// Threads: single-threaded tool.
#include "client/saved_masks.h"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "base/note.h"
#include "base/state_file.h"
#include "base/tool_error.h"
#include "model/levels.h"

namespace remote {
namespace {

constexpr std::int64_t kKeepSeconds = 30 * 86400;
constexpr const char* kFile = "masks";

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

// Reads the lines younger than 30 days, lets `change` edit them and, when
// it returns true, writes them back.
void withLines(const std::function<bool(std::vector<Line>&)>& change) {
  editStateFile(kFile, [&](std::vector<std::string>& rows) {
    std::vector<Line> lines;
    const std::int64_t oldest = nowSeconds() - kKeepSeconds;
    for (const std::string& row : rows) {
      Line line;
      std::istringstream fields(row);
      std::string mask;
      if (!(fields >> line.uuid >> mask >> line.seconds) ||
          !std::getline(fields >> std::ws, line.component))
        continue;
      line.mask = static_cast<std::uint32_t>(std::strtoul(mask.c_str(), nullptr, 16));
      if (line.seconds >= oldest) lines.push_back(line);
    }
    if (!change(lines)) return false;
    rows.clear();
    for (const Line& line : lines) {
      rows.push_back(line.uuid + " " + maskHex(line.mask) + " " + std::to_string(line.seconds) +
                     " " + line.component);
    }
    return true;
  });
}

}  // namespace

void rememberFirstMask(const codec::Uuid& uuid, const std::string& component, std::uint32_t mask) {
  const std::string id = codec::uuidToHex(uuid);
  try {
    withLines([&](std::vector<Line>& lines) {
      for (const Line& line : lines) {
        if (line.uuid == id && line.component == component) return false;
      }
      lines.push_back({id, mask, nowSeconds(), component});
      return true;
    });
  } catch (const ToolError& error) {
    note("warning: " + error.message + " (masks for --reset are not kept)");
  }
}

void requireSavedMasks() {
  try {
    withLines([](std::vector<Line>&) { return true; });  // a write proves the undo can be kept
  } catch (const ToolError& error) {
    throw ToolError{ErrorKind::kLocal, error.message + " (--reset reads the masks kept there)"};
  }
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
