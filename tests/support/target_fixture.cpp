// tests/support/target_fixture.cpp: the plug-in under test and its targets.
//
// Threads: the test's thread.
#include "support/target_fixture.h"

#include <dirent.h>

#include <cstdlib>
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

int openDescriptors() {
  DIR* dir = ::opendir("/proc/self/fd");
  int count = -1;  // opendir's own
  while (const dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
  ::closedir(dir);
  return count;
}

std::set<long> threadIds() {
  std::set<long> ids;
  DIR* tasks = ::opendir("/proc/self/task");
  while (const dirent* task = ::readdir(tasks)) {
    if (const long tid = std::atol(task->d_name); tid > 0) ids.insert(tid);
  }
  ::closedir(tasks);
  return ids;
}

int runningThreads() { return static_cast<int>(threadIds().size()); }

void TargetTest::SetUp() {
  fault::reset();
  syslog_capture::clear();
  tarvin::clearComponents();
  tarvin::setMaskPolicy(nullptr);
  tarvin::setApplicationName("test-host");
}

void TargetTest::TearDown() { fault::reset(); }
