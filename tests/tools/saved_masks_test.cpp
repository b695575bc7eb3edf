// tests/tools/saved_masks_test.cpp
//
// The masks set-level --reset puts back, in a state directory of the
// test's own: commands side by side (threads of one process, or processes)
// lose no line and never leave a torn file for a reader, and entries older
// than 30 days are dropped on the next write.
//
// Threads: each case starts its writers (threads or forked processes) and
// a reader thread, and joins them before it checks.
#include "client/saved_masks.h"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/tool_error.h"

namespace {

constexpr int kWriters = 4;
constexpr int kComponentsEach = 40;

codec::Uuid uuidOf(int n) {
  codec::Uuid uuid{};
  uuid[0] = static_cast<std::uint8_t>(n);
  uuid[15] = 0xA5;
  return uuid;
}

std::uint32_t maskOf(int writer, int component) {
  return static_cast<std::uint32_t>(writer * 1000 + component);
}

std::string componentOf(int writer, int component) {
  return "writer " + std::to_string(writer) + " component " + std::to_string(component);
}

class SavedMasks : public testing::Test {
 protected:
  void SetUp() override {
    directory = std::filesystem::path(testing::TempDir()) /
                ("saved_masks_" + std::to_string(::getpid()) + "_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    ::setenv("XDG_STATE_HOME", directory.c_str(), /*overwrite=*/1);
    file = directory / "tarvin-remote" / "masks";
  }
  void TearDown() override { std::filesystem::remove_all(directory); }

  std::vector<std::string> lines() const {
    std::ifstream in(file);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }

  std::filesystem::path directory;
  std::filesystem::path file;
};

// One writer's part: each of its components is remembered, its first mask
// asked for, and every other one forgotten again, as set-level and
// set-level --reset do.
bool runWriter(int writer) {
  bool ok = true;
  try {
    for (int i = 0; i < kComponentsEach; ++i) {
      const std::string component = componentOf(writer, i);
      remote::rememberFirstMask(uuidOf(writer), component, maskOf(writer, i));
      remote::rememberFirstMask(uuidOf(writer), component, 0xFFFF);  // a later change: kept first
      ok = ok && remote::firstMask(uuidOf(writer), component) == maskOf(writer, i);
      if (i % 2 == 1) remote::forgetFirstMask(uuidOf(writer), component);
    }
  } catch (const remote::ToolError& error) {
    ADD_FAILURE() << error.message;
    return false;
  }
  return ok;
}

TEST_F(SavedMasks, CommandsSideBySideLoseNothingAndTearNoFile) {
  for (const bool processes : {false, true}) {
    SCOPED_TRACE(processes ? "processes" : "threads");
    std::filesystem::remove_all(file.parent_path());
    // A reader that takes no lock (a user's cat, a backup) must see a
    // whole file at every moment: complete lines, never fewer than the
    // writers' remembered ones that no one forgets.
    std::atomic<bool> stop = false;
    std::atomic<int> torn = 0;
    // Started after the writers: a fork beside a running thread copies
    // only the forking one.
    const auto readFile = [&] {
      std::size_t most = 0;
      while (!stop) {
        std::ifstream in(file, std::ios::binary);
        if (!in) continue;
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        std::size_t count = 0;
        for (char ch : text) count += ch == '\n';
        if (!text.empty() && text.back() != '\n') ++torn;
        // Lines only come while every writer still remembers; forgetting
        // takes one away after the writer saw it, so a drop of more than
        // the writers' count at once is a file caught empty or half
        // written.
        if (count + kWriters < most) ++torn;
        most = std::max(most, count);
      }
    };
    std::thread reader;
    if (processes) {
      std::vector<pid_t> children;
      for (int w = 0; w < kWriters; ++w) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) ::_exit(runWriter(w) ? 0 : 1);
        children.push_back(child);
      }
      reader = std::thread(readFile);
      for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "a writer lost its line";
      }
    } else {
      std::vector<std::thread> writers;
      std::atomic<int> failed = 0;
      for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([w, &failed] { failed += runWriter(w) ? 0 : 1; });
      }
      reader = std::thread(readFile);
      for (auto& t : writers) t.join();
      EXPECT_EQ(failed, 0) << "a writer lost its line";
    }
    stop = true;
    reader.join();
    EXPECT_EQ(torn, 0) << "a reader saw a torn file";

    for (int w = 0; w < kWriters; ++w) {
      for (int i = 0; i < kComponentsEach; ++i) {
        const auto mask = remote::firstMask(uuidOf(w), componentOf(w, i));
        if (i % 2 == 1) {
          EXPECT_FALSE(mask) << componentOf(w, i) << " was forgotten";
        } else {
          EXPECT_EQ(mask, maskOf(w, i)) << componentOf(w, i);
        }
      }
    }
    EXPECT_EQ(lines().size(), std::size_t{kWriters * kComponentsEach / 2});
  }
}

// Lines older than 30 days go with the next write; reading alone keeps
// them on disk but does not answer with them. A line that cannot be read
// goes too.
TEST_F(SavedMasks, EntriesOlderThan30DaysAreDropped) {
  const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
  constexpr std::int64_t kDay = 86400;
  static const struct {
    const char* name;
    std::int64_t age;  // seconds; INT64_MIN: a line with no time
    bool kept;
  } kCases[] = {
      {"an hour old", 3600, true},
      {"a minute short of 30 days", 30 * kDay - 60, true},
      {"a minute past 30 days", 30 * kDay + 60, false},
      {"a year old", 365 * kDay, false},
      {"no time", INT64_MIN, false},
  };
  std::filesystem::create_directories(file.parent_path());
  {
    std::ofstream out(file);
    int n = 0;
    for (const auto& c : kCases) {
      out << codec::uuidToHex(uuidOf(100 + n)) << " 0x0000001f ";
      if (c.age != INT64_MIN) out << now - c.age << " ";
      out << "comp " << n++ << "\n";
    }
  }
  int n = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(remote::firstMask(uuidOf(100 + n), "comp " + std::to_string(n)).has_value(), c.kept);
    ++n;
  }
  EXPECT_EQ(lines().size(), std::size(kCases)) << "a read changed the file";

  remote::rememberFirstMask(uuidOf(1), "new", 7);
  std::string kept;
  for (const std::string& line : lines()) kept += line.substr(line.rfind(' ') + 1) + ",";
  std::string expected;
  n = 0;
  for (const auto& c : kCases) {
    if (c.kept) expected += std::to_string(n) + ",";
    ++n;
  }
  EXPECT_EQ(kept, expected + "new,");
}

}  // namespace
