// include/tarvin/log_target.h
//
// The log target interface that output plug-ins implement, the parameters a
// host may pass when it creates one, and the class name under which a
// plug-in's factory makes log targets.
//
// Threads: log() is called on any host thread, concurrently; the other
// operations on the thread that owns the target.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <string>

#include "tarvin/dynamic_object.h"

#pragma GCC visibility push(default)  // shared by every module of the process

// Framework records; a target handles them only by pointer.
struct tarvin_level;
struct tarvin_component;

// Creation parameters of a log target. Targets may ignore them.
class CLogTargetParameters : public IDynamicObjectCreationParams {};

class CLogTargetContainer {
 public:
  // Inline so that every module of the process shares one definition.
  inline static const std::string LOG_TARGET_CLASS_NAME{"LogTarget"};
};

// The virtual slot order (destructor, log, onComponentAdded, addStartupClient,
// getName, getType) is part of the plug-in ABI and must not change.
class ILogTarget : public IDynamicObject {
 public:
  // One message of the host: four integers and four strings whose meaning is
  // the host's convention, and the message's level.
  virtual void log(int int1, int int2, long int3, int int4, tarvin_level* level,
                   const std::string& str1, const std::string& str2, const std::string& str3,
                   const std::string& str4) = 0;
  virtual void onComponentAdded(tarvin_component* component) = 0;
  virtual void addStartupClient(const sockaddr_storage& address) = 0;
  virtual std::string getName() = 0;
  virtual int getType() = 0;
};

#pragma GCC visibility pop
