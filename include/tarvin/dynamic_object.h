// include/tarvin/dynamic_object.h
//
// The framework's dynamic objects: the root of every object a plug-in's class
// factory makes, the factory interface itself and the root of creation
// parameters. A plug-in exports one function that hands out its factory.
//
// Threads: the framework may call a factory from any of its threads.
#pragma once

#include <string>

#pragma GCC visibility push(default)  // shared by every module of the process

// Root of the objects a factory makes; they are deleted through it.
class IDynamicObject {
 public:
  virtual ~IDynamicObject() = default;
};

// Polymorphic root of whatever a host passes to create().
class IDynamicObjectCreationParams {
 public:
  virtual ~IDynamicObjectCreationParams() = default;
};

// Makes and takes back the objects of one plug-in. The slot order (create,
// release) is part of the plug-in ABI. There is no virtual destructor: a
// factory lives as long as its plug-in is loaded and is never deleted.
class IDynamicObjectClassFactory {
 public:
  // The new object, or null when className names no class of the plug-in.
  virtual IDynamicObject* create(const std::string& className,
                                 const IDynamicObjectCreationParams* params) = 0;
  // Destroys an object made by create(); null is allowed.
  virtual void release(IDynamicObject* object) = 0;

 protected:
  ~IDynamicObjectClassFactory() = default;
};

// The exported entry point of a plug-in, resolved with dlsym().
extern "C" {
using GetClassFactoryFunction = IDynamicObjectClassFactory* (*)();
}
inline constexpr const char kGetClassFactorySymbol[] = "getClassFactory";

#pragma GCC visibility pop
