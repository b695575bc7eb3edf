// src/plugin/class_factory.h
//
// The plug-in's class factory: makes a CLogtargetRemote for the class name
// "LogTarget" and nothing else, and destroys what it made.
//
// Threads: stateless; create() and release() may be called from any host
// thread at once.
#pragma once

#include <string>

#include "tarvin/dynamic_object.h"

class CLogTargetRemoteClassFactory : public IDynamicObjectClassFactory {
 public:
  constexpr CLogTargetRemoteClassFactory() = default;
  IDynamicObject* create(const std::string& className,
                         const IDynamicObjectCreationParams* params) override;
  void release(IDynamicObject* object) override;
};
