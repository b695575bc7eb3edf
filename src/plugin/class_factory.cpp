// src/plugin/class_factory.cpp
//
// The plug-in's one exported entry point, getClassFactory(), and the factory
// it hands out. Loading the plug-in runs no code of ours: the factory has no
// data and is constant-initialised, so no descriptor, socket or thread
// exists before the first create().
//
// Threads: any host thread; the factory keeps no state between calls.
#include "plugin/class_factory.h"

#include "target/log_target_remote.h"
#include "tarvin/log_target.h"

namespace {
constinit CLogTargetRemoteClassFactory factory;
}  // namespace

IDynamicObject* CLogTargetRemoteClassFactory::create(const std::string& className,
                                                     const IDynamicObjectCreationParams* params) {
  if (className != CLogTargetContainer::LOG_TARGET_CLASS_NAME)
    return nullptr;  // exact, case-sensitive
  // Parameters of another kind are no error; the target reads none anyway.
  const auto* targetParams = dynamic_cast<const CLogTargetParameters*>(params);
  return new CLogtargetRemote(targetParams);
}

void CLogTargetRemoteClassFactory::release(IDynamicObject* object) {
  delete object;  // stops and joins the target's worker thread first
}

extern "C" __attribute__((visibility("default"))) IDynamicObjectClassFactory* getClassFactory() {
  return &factory;
}
