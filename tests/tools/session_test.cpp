// tests/tools/session_test.cpp
//
// What making a Session does to the process: nothing beyond its sockets.
// The web console makes one per level request on its HTTP threads, and a
// test or another library user makes them too; the stop handlers are the
// commands' to install.
//
// Threads: the test's thread only.
#include "client/session.h"

#include <signal.h>

#include <gtest/gtest.h>

namespace {

TEST(Session, MakingOneLeavesEverySignalAsItWas) {
  const int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGALRM};
  struct sigaction before[4]{};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(::sigaction(signals[i], nullptr, &before[i]), 0);
  {
    remote::Session session(remote::RetryPolicy{});
    remote::Session broadcasting(remote::RetryPolicy{}, /*broadcast=*/true);
  }
  for (int i = 0; i < 4; ++i) {
    struct sigaction after {};
    ASSERT_EQ(::sigaction(signals[i], nullptr, &after), 0);
    EXPECT_EQ(after.sa_handler, before[i].sa_handler) << "signal " << signals[i];
  }
}

}  // namespace
