// host/framework.cpp
//
// The stand-in framework's state (application name, components with masks
// and level descriptions, attached targets) and the host functions that
// plug-ins call.
//
// Threads: every function locks `state.mutex` for what it touches; log
// delivery holds a
// shared lock on the target list, so host threads log at the same time and
// only attach/detach excludes them.
#include "tarvin/framework.h"

#include <arpa/inet.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace {

struct Component {
  std::string name;
  unsigned int mask;
  tarvin::LevelDescriptions levels;
};

struct State {
  std::mutex mutex;
  // The one current name. Readers get a copy of their own (see
  // tarvin_get_application_name), so a new name overwrites the old one and
  // a host that renames itself keeps no trail of names.
  std::string applicationName = "tarvin-host";
  std::vector<Component> components;
  std::function<unsigned int(const std::string&, unsigned int)> maskPolicy;

  std::shared_mutex targetsMutex;
  std::vector<ILogTarget*> targets;
};

State& state() {
  static State instance;
  return instance;
}

constexpr std::array<tarvin_level, 32> makeLevels() {
  std::array<tarvin_level, 32> levels{};
  for (unsigned int i = 0; i < levels.size(); ++i) levels[i].number = i;
  return levels;
}
constinit std::array<tarvin_level, 32> levelRecords = makeLevels();

Component* findComponent(std::vector<Component>& components, const std::string& name) {
  auto it = std::find_if(components.begin(), components.end(),
                         [&](const Component& c) { return c.name == name; });
  return it == components.end() ? nullptr : &*it;
}

}  // namespace

// ---- functions supplied to plug-ins ----

// Each calling thread gets the name in a string of its own, refreshed on
// each call: the reference a plug-in holds cannot change under it when the
// host renames itself, and is replaced only by that thread's next call.
// Memory stays one name per thread that asked; once the thread's copy is
// as long as the name, a call allocates nothing.
const std::string& tarvin_get_application_name() {
  thread_local std::string copy;
  std::lock_guard lock(state().mutex);
  copy.assign(state().applicationName);
  return copy;
}

void tarvin_get_component_names(std::vector<std::string>& names) {
  std::lock_guard lock(state().mutex);
  for (const Component& c : state().components) names.push_back(c.name);
}

unsigned int tarvin_get_component_level(const std::string& component) {
  std::lock_guard lock(state().mutex);
  const Component* c = findComponent(state().components, component);
  return c == nullptr ? 0 : c->mask;
}

void tarvin_set_component_level(const std::string& component, unsigned int mask) {
  std::lock_guard lock(state().mutex);
  Component* c = findComponent(state().components, component);
  if (c == nullptr) return;  // unknown components are not created remotely
  c->mask = state().maskPolicy ? state().maskPolicy(component, mask) : mask;
}

void tarvin_get_level_descriptions(
    const std::string& component, std::vector<std::pair<unsigned int, std::string>>& descriptions) {
  std::lock_guard lock(state().mutex);
  const Component* c = findComponent(state().components, component);
  if (c != nullptr) descriptions.insert(descriptions.end(), c->levels.begin(), c->levels.end());
}

unsigned int tarvin_level_to_mask(const tarvin_level* level) {
  if (level == nullptr || level->number > 31) return 0;
  return 1u << level->number;
}

unsigned int jiffy() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<unsigned long long>(now.tv_sec) * 1000ull +
                  static_cast<unsigned long long>(now.tv_nsec) / 1000000ull;
  return static_cast<unsigned int>(ms);
}

char* addr2str(char* buffer, const sockaddr_in* address) {
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text);
  std::memcpy(buffer, text, std::strlen(text) + 1);  // at most 16 of the 47 bytes
  return buffer;
}

// ---- the framework's own API ----

namespace tarvin {

void setApplicationName(const std::string& name) {
  std::lock_guard lock(state().mutex);
  state().applicationName = name;
}

void defineComponent(const std::string& name, unsigned int mask, const LevelDescriptions& levels) {
  {
    std::lock_guard lock(state().mutex);
    if (Component* c = findComponent(state().components, name)) {
      c->mask = mask;
      c->levels = levels;
    } else {
      state().components.push_back({name, mask, levels});
    }
  }
  tarvin_component record{name.c_str()};
  std::shared_lock lock(state().targetsMutex);
  for (ILogTarget* target : state().targets) target->onComponentAdded(&record);
}

void clearComponents() {
  std::lock_guard lock(state().mutex);
  state().components.clear();
}

void setMaskPolicy(std::function<unsigned int(const std::string&, unsigned int)> policy) {
  std::lock_guard lock(state().mutex);
  state().maskPolicy = std::move(policy);
}

tarvin_level* levelRecord(unsigned int number) { return &levelRecords.at(number); }

bool isEnabled(const std::string& component, unsigned int level) {
  if (level > 31) return false;
  return (tarvin_get_component_level(component) & (1u << level)) != 0;
}

void attachTarget(ILogTarget* target) {
  std::unique_lock lock(state().targetsMutex);
  state().targets.push_back(target);
}

void detachTarget(ILogTarget* target) {
  std::unique_lock lock(state().targetsMutex);
  auto& targets = state().targets;
  targets.erase(std::remove(targets.begin(), targets.end(), target), targets.end());
}

bool logMessage(const std::string& component, unsigned int level, const char* file, int line,
                const char* function, const std::string& text) {
  if (!isEnabled(component, level)) return false;
  static const int pid = static_cast<int>(::getpid());
  const int tid = static_cast<int>(::syscall(SYS_gettid));
  const std::string fileText(file);
  const std::string functionText(function);
  std::shared_lock lock(state().targetsMutex);
  for (ILogTarget* target : state().targets) {
    target->log(pid, tid, static_cast<long>(jiffy()), line, levelRecord(level), component, fileText,
                functionText, text);
  }
  return true;
}

}  // namespace tarvin
