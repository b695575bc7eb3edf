// tests/support/target_fixture.cpp: the plug-in under test and its targets.
//
// Threads: the test's thread.
#include "support/target_fixture.h"

#include <dirent.h>

#include <stdexcept>

tarvin::Plugin& plugin() {
  static std::unique_ptr<tarvin::Plugin> loaded = [] {
    std::string error;
    auto p = tarvin::Plugin::load(TARVIN_PLUGIN_PATH, error);
    if (!p) throw std::runtime_error("cannot load the plug-in: " + error);
    return p;
  }();
  return *loaded;
}

Target::Target(std::uint16_t port) : target(plugin().createTarget()), boundPort(port) {
  if (target == nullptr) throw std::runtime_error("the factory made no target");
}

Target::~Target() { plugin().releaseTarget(target); }

void Target::log(unsigned int level, const std::string& text) const {
  target->log(1, 2, 3, 4, tarvin::levelRecord(level), "component", "file.cpp", "function", text);
}

namespace {
int entriesIn(const char* directory) {
  DIR* dir = ::opendir(directory);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count - (std::string(directory) == "/proc/self/fd" ? 1 : 0);  // opendir's own
}
}  // namespace

int openDescriptors() { return entriesIn("/proc/self/fd"); }
int runningThreads() { return entriesIn("/proc/self/task"); }

void TargetTest::SetUp() {
  fault::reset();
  syslog_capture::clear();
  tarvin::clearComponents();
  tarvin::setMaskPolicy(nullptr);
  tarvin::setApplicationName("test-host");
}

void TargetTest::TearDown() { fault::reset(); }
