// host/plugin_loader.cpp
//
// Loading a log target plug-in: dlopen, resolve getClassFactory, create and
// release targets through its factory, dlclose when done.
//
// Threads: a Plugin may be used from any thread; the factory is stateless.
#include <dlfcn.h>
#include <unistd.h>

#include "tarvin/framework.h"

#ifndef TARVIN_INSTALLED_PLUGIN
#define TARVIN_INSTALLED_PLUGIN "libtarvint_remote.so.1"
#endif

namespace tarvin {

std::unique_ptr<Plugin> Plugin::load(const std::string& path, std::string& error) {
  // RTLD_NOW: an unresolved host function fails here, not in the middle of
  // a log call. RTLD_LOCAL: the plug-in's own symbols stay its own.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    error = ::dlerror();
    return nullptr;
  }
  auto entry = reinterpret_cast<GetClassFactoryFunction>(::dlsym(handle, kGetClassFactorySymbol));
  if (entry == nullptr) {
    error = path + ": no " + kGetClassFactorySymbol + " entry point";
    ::dlclose(handle);
    return nullptr;
  }
  return std::unique_ptr<Plugin>(new Plugin(handle, entry()));
}

Plugin::~Plugin() { ::dlclose(handle); }

ILogTarget* Plugin::createTarget(const IDynamicObjectCreationParams* params) {
  IDynamicObject* object = classFactory->create(CLogTargetContainer::LOG_TARGET_CLASS_NAME, params);
  auto* target = dynamic_cast<ILogTarget*>(object);
  if (target == nullptr && object != nullptr) classFactory->release(object);
  return target;
}

void Plugin::releaseTarget(ILogTarget* target) { classFactory->release(target); }

std::string defaultPluginPath() {
  // The plug-in is installed beside this library, wherever the prefix put
  // both; the configured path is the fallback for a library moved alone.
  Dl_info self{};
  if (::dladdr(reinterpret_cast<void*>(&defaultPluginPath), &self) != 0 &&
      self.dli_fname != nullptr) {
    std::string path = self.dli_fname;
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) {
      path = path.substr(0, slash + 1) + "libtarvint_remote.so.1";
      if (::access(path.c_str(), R_OK) == 0) return path;
    }
  }
  return TARVIN_INSTALLED_PLUGIN;
}

}  // namespace tarvin
