// host/include/tarvin/framework.h
//
// The stand-in logging framework: what a host application uses on top of the
// functions it supplies to plug-ins (tarvin/host_api.h). It keeps the
// application name and an ordered list of components, each with a level mask
// and level descriptions; it loads log target plug-ins; and it turns each
// enabled message into one log() call on every attached target.
//
// Log convention. The framework fills the arguments of ILogTarget::log() so
// that a remote viewer can label them:
//   int1  process id             str1  component name
//   int2  thread id (gettid)     str2  source file
//   int3  millisecond tick       str3  function
//         (jiffy(), 32 bits)
//   int4  source line            str4  message text
// Levels are numeric levels 0-31; a component logs a message when bit
// `level` of its mask is set.
//
// Threads: every function may be called from any thread, setApplicationName()
// at any time: what a plug-in holds of the old name stays as it was (see
// tarvin_get_application_name()).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tarvin/tarvin.h"

#pragma GCC visibility push(default)

// A level record: the framework hands targets a pointer to one of 32.
struct tarvin_level {
  unsigned int number;  // numeric level, 0-31
};

// A component record, as passed to ILogTarget::onComponentAdded().
struct tarvin_component {
  const char* name;
};

namespace tarvin {

using LevelDescriptions = std::vector<std::pair<unsigned int, std::string>>;

void setApplicationName(const std::string& name);

// Adds a component at the end of the list, or replaces the mask and levels of
// an existing one in place, and tells every attached target about it.
void defineComponent(const std::string& name, unsigned int mask, const LevelDescriptions& levels);
// Forgets every component (tests start each case from an empty host).
void clearComponents();

// Every mask set through tarvin_set_component_level() passes through policy
// first, as a real host may keep some levels on whatever it is told. Null
// restores the default, which keeps the mask as given.
void setMaskPolicy(std::function<unsigned int(const std::string&, unsigned int)> policy);

// The record of a numeric level (0-31).
tarvin_level* levelRecord(unsigned int number);

// True when the component exists and bit `level` of its mask is set.
bool isEnabled(const std::string& component, unsigned int level);

// Targets that receive every message. A target stays the caller's.
void attachTarget(ILogTarget* target);
void detachTarget(ILogTarget* target);

// Hands the message to every attached target if the component's mask
// enables its level; returns whether it did.
bool logMessage(const std::string& component, unsigned int level, const char* file, int line,
                const char* function, const std::string& text);

// A loaded log target plug-in. Unloaded when the last target made by it has
// been released and the object is destroyed.
class Plugin {
 public:
  // Loads the shared library at path and resolves getClassFactory. On failure
  // returns null and sets error to what went wrong.
  static std::unique_ptr<Plugin> load(const std::string& path, std::string& error);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  IDynamicObjectClassFactory* factory() const { return classFactory; }
  // create("LogTarget") as the target interface; null when the plug-in makes
  // no log targets.
  ILogTarget* createTarget(const IDynamicObjectCreationParams* params = nullptr);
  void releaseTarget(ILogTarget* target);

 private:
  Plugin(void* handle, IDynamicObjectClassFactory* factory)
      : handle(handle), classFactory(factory) {}
  void* handle;
  IDynamicObjectClassFactory* classFactory;
};

// The directory of the installed plug-in, where a host looks by default.
std::string defaultPluginPath();

}  // namespace tarvin

#define TARVIN_LOG(component, level, text) \
  ::tarvin::logMessage((component), (level), __FILE__, __LINE__, __func__, (text))

#pragma GCC visibility pop
