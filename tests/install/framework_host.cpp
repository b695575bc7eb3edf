// tests/install/framework_host.cpp
//
// The smallest host a user writes on the installed stand-in framework: it
// loads the plug-in, attaches a target, logs one message through the
// framework and releases the target. install_test.sh builds it twice, with
// the flags pkg-config gives and through find_package(Tarvin), against an
// install whose prefix was chosen at install time; each build names the
// plug-in by what its package says (TARVIN_PLUGIN).
#include <iostream>
#include <string>

#include "tarvin/framework.h"

int main() {
  tarvin::setApplicationName("framework-host");
  tarvin::defineComponent("main", 0x1u, {{0, "error"}});
  std::string error;
  std::unique_ptr<tarvin::Plugin> plugin = tarvin::Plugin::load(TARVIN_PLUGIN, error);
  if (!plugin) {
    std::cerr << "framework_host: cannot load " << TARVIN_PLUGIN << ": " << error << '\n';
    return 1;
  }
  ILogTarget* target = plugin->createTarget();
  if (target == nullptr) return 1;
  tarvin::attachTarget(target);
  const bool logged = TARVIN_LOG("main", 0, "hello from a host of its own");
  tarvin::detachTarget(target);
  plugin->releaseTarget(target);
  std::cout << (logged ? "logged" : "not logged") << " through " << TARVIN_PLUGIN << '\n';
  return logged ? 0 : 1;
}
