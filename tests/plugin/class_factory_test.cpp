// tests/plugin/class_factory_test.cpp
//
// The plug-in boundary as a host sees it: the library loaded with dlopen,
// its one entry point, the factory's name matching and null handling, and
// that loading alone sets nothing up.
#include <dlfcn.h>

#include "support/target_fixture.h"

namespace {

class ClassFactory : public TargetTest {};

TEST_F(ClassFactory, LoadingAloneOpensNothingAndEveryCallGivesTheSameFactory) {
  const int descriptors = openDescriptors();
  const int threads = runningThreads();
  void* handle = ::dlopen(TARVIN_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << ::dlerror();
  EXPECT_EQ(openDescriptors(), descriptors);
  EXPECT_EQ(runningThreads(), threads);
  EXPECT_TRUE(syslog_capture::entries().empty());

  auto entry = reinterpret_cast<GetClassFactoryFunction>(::dlsym(handle, "getClassFactory"));
  ASSERT_NE(entry, nullptr);
  IDynamicObjectClassFactory* factory = entry();
  EXPECT_NE(factory, nullptr);
  EXPECT_EQ(entry(), factory);
  EXPECT_EQ(openDescriptors(), descriptors);
  ::dlclose(handle);
}

// Parameters of any kind, or none, are accepted: the target reads none.
TEST_F(ClassFactory, MakesTargetsOnlyForTheExactClassName) {
  IDynamicObjectClassFactory* factory = plugin().factory();
  for (const char* name :
       {"logtarget", "LOGTARGET", "LogTarget ", " LogTarget", "", "LogTarge", "LogTargetX"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(factory->create(name, nullptr), nullptr);
  }
  EXPECT_TRUE(syslog_capture::entries().empty()) << "a mismatch is not worth a message";

  struct ForeignParams : IDynamicObjectCreationParams {};
  const ForeignParams foreign;
  const CLogTargetParameters own;
  const IDynamicObjectCreationParams* const kParams[] = {nullptr, &foreign, &own};
  for (const IDynamicObjectCreationParams* params : kParams) {
    IDynamicObject* target = factory->create("LogTarget", params);
    auto* logTarget = dynamic_cast<ILogTarget*>(target);
    ASSERT_NE(logTarget, nullptr);
    EXPECT_EQ(logTarget->getName(), "Remote_Target_1.0, but you can call me Al.");
    factory->release(target);
  }
  factory->release(nullptr);  // nothing to do, nothing to crash
}

TEST_F(ClassFactory, AFailedThreadStartReachesTheHostAndLeavesNothingOpen) {
  plugin();  // loaded before counting
  const int descriptors = openDescriptors();
  fault::failCalls(fault::Call::kPthreadCreate, 1, EAGAIN);
  EXPECT_THROW(plugin().factory()->create("LogTarget", nullptr), std::system_error);
  EXPECT_EQ(openDescriptors(), descriptors);
}

}  // namespace
