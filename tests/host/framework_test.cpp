// tests/host/framework_test.cpp
//
// The stand-in framework's application name as plug-ins meet it: a name a
// plug-in thread holds stays as it was while the host renames itself, and
// a host that renames itself again and again keeps no trail of old names.
//
// Threads: the cases start threads of their own and join them.
#include <malloc.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "tarvin/framework.h"
#include "tarvin/host_api.h"

namespace {

TEST(ApplicationName, AHeldNameStaysUntilItsThreadAsksAgain) {
  tarvin::setApplicationName("first");
  const std::string& held = tarvin_get_application_name();
  std::thread renamer([] {
    tarvin::setApplicationName("second, and longer than the first");
    EXPECT_EQ(tarvin_get_application_name(), "second, and longer than the first");
  });
  renamer.join();
  EXPECT_EQ(held, "first");
  EXPECT_EQ(tarvin_get_application_name(), "second, and longer than the first");
}

// 100,000 names of 1 KiB would be 100 MB if each were kept.
TEST(ApplicationName, RenamingKeepsNoTrailOfOldNames) {
  const auto inUse = [] { return mallinfo2().uordblks; };
  std::string name(1024, 'n');
  tarvin::setApplicationName(name);
  (void)tarvin_get_application_name();
  const std::size_t before = inUse();
  for (int i = 0; i < 100'000; ++i) {
    name.replace(0, 6, std::to_string(100'000 + i));
    tarvin::setApplicationName(name);
    ASSERT_EQ(tarvin_get_application_name(), name);
  }
  EXPECT_LT(inUse(), before + 1024 * 1024);
}

}  // namespace
