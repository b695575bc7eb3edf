// tests/tools/spool_test.cpp
//
// The relay's spool and the writer in front of it, against a store of the
// test's own that refuses (kUnavailable) or hangs for as long as the test
// says: every byte of every field comes back from a batch file; batches
// reach the store in order, each once, while it comes and goes and across
// a restart; nothing new passes the spool while it holds batches; the
// bound and a full disk lose whole batches, counted; a damaged or cut
// batch file is set aside and reported, not sent and not dropped silently;
// and a store that hangs does not hold up the feeding thread.
//
// Threads: gtest's thread feeds the writer; the writer's threads call the
// fake store, which its mutex guards. The full-disk case forks.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "base/tool_error.h"
#include "recorder/batch_file.h"
#include "recorder/spool.h"
#include "recorder/store_writer.h"

namespace {

namespace fs = std::filesystem;
using remote::Spool;
using remote::StoreWriter;
using store::Entry;
using store::StoreError;
using Kind = StoreError::Kind;

constexpr std::size_t kRows = 10;  // entries per batch, so that tests make many

Entry record(std::uint32_t sequence, std::string text = {}) {
  store::StoredRecord r;
  r.arrived.record.uuid[0] = 7;
  r.arrived.record.sequence = sequence;
  r.arrived.record.integers = {100, 101, -5, 42};
  r.arrived.record.clientMask = 0xF0000000;
  r.arrived.record.strings = {"net", "main.cpp", "run",
                              text.empty() ? "record " + std::to_string(sequence) : text};
  r.arrived.receivedAt = remote::SystemClock::time_point(
      std::chrono::nanoseconds(1'700'000'000'123'456'789LL + static_cast<std::int64_t>(sequence)));
  r.arrived.source = "127.0.0.1:57008";
  r.applicationName = "app";
  r.levelName = "info";
  return r;
}

Entry gap(std::uint32_t first, std::uint32_t count) {
  store::StoredGap g;
  g.target = "127.0.0.1:57008";
  g.uuid[15] = 9;
  g.gap.first = first;
  g.gap.count = count;
  g.gap.seenAt = remote::SystemClock::time_point(std::chrono::nanoseconds(-3));
  g.seenAt = g.gap.seenAt;
  g.applicationName = "app\n";
  return g;
}

std::uint32_t sequenceOf(const Entry& e) {
  return std::get<store::StoredRecord>(e).arrived.record.sequence;
}

// A store server the test switches: up, away (kUnavailable from every
// call that asks it), refusing for good (kFailed), or hanging in append()
// until let go.
class FakeStore : public store::Store {
 public:
  enum class Mode { kUp, kAway, kRefusing, kHanging };

  void set(Mode m) {
    {
      std::lock_guard lock(mutex);
      mode = m;
    }
    changed.notify_all();
  }
  std::vector<std::uint32_t> sequences() const {
    std::lock_guard lock(mutex);
    std::vector<std::uint32_t> seen;
    for (const auto& batch : batches)
      for (const Entry& e : batch)
        if (std::holds_alternative<store::StoredRecord>(e)) seen.push_back(sequenceOf(e));
    return seen;
  }
  std::vector<std::vector<Entry>> appended() const {
    std::lock_guard lock(mutex);
    return batches;
  }
  // Waits until append() hangs, or `limit` passes.
  bool waitHanging(std::chrono::seconds limit) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, limit, [&] { return hanging; });
  }
  int attempts() const {
    std::lock_guard lock(mutex);
    return tries;
  }

  store::WritePolicy writePolicy() const override {
    return {kRows, std::chrono::milliseconds(1000), /*mayBeUnavailable=*/true};
  }
  std::int64_t append(std::span<const Entry> entries, remote::SystemClock::time_point) override {
    std::unique_lock lock(mutex);
    ++tries;
    while (mode == Mode::kHanging) {
      hanging = true;
      changed.notify_all();
      changed.wait(lock);
    }
    hanging = false;
    if (mode == Mode::kAway) throw StoreError(Kind::kUnavailable, "store.test: refused");
    if (mode == Mode::kRefusing) throw StoreError(Kind::kFailed, "store.test: bad batch");
    batches.emplace_back(entries.begin(), entries.end());
    last += static_cast<std::int64_t>(entries.size());
    return 0;
  }
  std::int64_t trim(remote::SystemClock::time_point) override { return 0; }
  void setRetention(const store::Retention&) override {}
  store::KnownRecords known(std::span<const Entry>) override {
    throw StoreError(Kind::kFailed, "store.test: no imports");
  }
  void appendAudit(const store::AuditRow&) override {}
  std::vector<store::AuditRow> audit(const store::AuditFilter&) override { return {}; }
  std::int64_t recordCount() override { return 0; }
  std::int64_t lastId() override {
    std::lock_guard lock(mutex);
    if (mode == Mode::kAway) throw StoreError(Kind::kUnavailable, "store.test: refused");
    return last;
  }
  bool recording() const override { return true; }
  std::unique_ptr<store::Query> query(store::Filter) override { return nullptr; }
  store::Stats stats(const store::Filter&) override { return {}; }
  std::string statsPlan(const store::Filter&) override { return {}; }
  remote::Levels levels() override { return {}; }
  std::vector<std::string> targets() override { return {}; }
  std::vector<std::string> components() override { return {}; }
  std::vector<store::SeenTarget> seenTargets() override { return {}; }

 private:
  mutable std::mutex mutex;
  std::condition_variable changed;
  Mode mode = Mode::kUp;
  bool hanging = false;
  int tries = 0;
  std::int64_t last = 0;
  std::vector<std::vector<Entry>> batches;
};

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::path(::testing::TempDir()) /
          ("spool_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir);
  }
  void TearDown() override { fs::remove_all(dir); }

  std::unique_ptr<Spool> openSpool(std::uint64_t maxBytes = std::uint64_t{1} << 30) {
    return std::make_unique<Spool>(remote::SpoolOptions{dir.string(), maxBytes, "store.test"});
  }
  // Adds records [from, to) in batches of kRows.
  static void feed(StoreWriter& writer, std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t i = from; i < to; ++i) writer.add(record(i));
  }
  static std::vector<std::uint32_t> range(std::uint32_t from, std::uint32_t to) {
    std::vector<std::uint32_t> r;
    for (std::uint32_t i = from; i < to; ++i) r.push_back(i);
    return r;
  }
  std::vector<fs::path> filesEndingIn(const std::string& suffix) const {
    std::vector<fs::path> found;
    for (const auto& e : fs::directory_iterator(dir))
      if (e.path().string().ends_with(suffix)) found.push_back(e.path());
    std::sort(found.begin(), found.end());
    return found;
  }

  fs::path dir;
  FakeStore store;
};

// The same batch is what a store needs to see again to know it for a
// repeat, so every byte of every field comes back, strings of any bytes.
TEST(BatchFile, EveryFieldComesBackByteForByte) {
  const std::vector<std::string> texts = {"plain",
                                          std::string("nul\0inside", 10),
                                          "tab\tand\nnewline",
                                          "quote' \" \\",
                                          "\xff\xfe invalid utf-8 \xc3",
                                          std::string(70'000, 'x'),
                                          ""};
  std::vector<Entry> batch;
  for (std::uint32_t i = 0; i < texts.size(); ++i) {
    Entry e = record(i, texts[i]);
    auto& r = std::get<store::StoredRecord>(e);
    r.arrived.record.strings[0] = texts[(i + 1) % texts.size()];
    r.arrived.record.integers = {INT32_MIN, INT32_MAX, -1, static_cast<std::int32_t>(i)};
    r.arrived.record.sequence = 0xFFFFFFF0U + i;
    r.levelName = texts[(i + 2) % texts.size()];
    batch.push_back(std::move(e));
    batch.push_back(gap(0xFFFFFFFFU - i, i + 1));
  }
  const auto back = remote::decodeBatch(remote::encodeBatch(batch));
  ASSERT_EQ(back.size(), batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (const auto* r = std::get_if<store::StoredRecord>(&batch[i])) {
      const auto& b = std::get<store::StoredRecord>(back[i]);
      EXPECT_EQ(b.arrived.record.uuid, r->arrived.record.uuid);
      EXPECT_EQ(b.arrived.record.sequence, r->arrived.record.sequence);
      EXPECT_EQ(b.arrived.record.integers, r->arrived.record.integers);
      EXPECT_EQ(b.arrived.record.clientMask, r->arrived.record.clientMask);
      EXPECT_EQ(b.arrived.record.strings, r->arrived.record.strings);
      EXPECT_EQ(b.arrived.receivedAt, r->arrived.receivedAt);
      EXPECT_EQ(b.arrived.source, r->arrived.source);
      EXPECT_EQ(b.applicationName, r->applicationName);
      EXPECT_EQ(b.levelName, r->levelName) << i;
    } else {
      const auto& g = std::get<store::StoredGap>(batch[i]);
      const auto& b = std::get<store::StoredGap>(back[i]);
      EXPECT_EQ(b.target, g.target);
      EXPECT_EQ(b.uuid, g.uuid);
      EXPECT_EQ(b.gap.first, g.gap.first);
      EXPECT_EQ(b.gap.count, g.gap.count);
      EXPECT_EQ(b.gap.seenAt, g.gap.seenAt);
      EXPECT_EQ(b.seenAt, g.seenAt);
      EXPECT_EQ(b.applicationName, g.applicationName);
    }
  }
}

// A batch cut at any byte or with any byte changed is refused, never read
// as fewer or other entries.
TEST(BatchFile, CutOrChangedIsRefused) {
  const auto bytes = remote::encodeBatch(std::vector<Entry>{record(1), gap(2, 3), record(5)});
  for (std::size_t cut = 0; cut < bytes.size(); ++cut)
    EXPECT_THROW(remote::decodeBatch(std::span(bytes).first(cut)), remote::BatchFileError) << cut;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    auto changed = bytes;
    changed[at] ^= 0x20;
    // The two count fields of the header are not under the checksum: one
    // changed shows as entries short or past the end, which is refused too.
    EXPECT_THROW(remote::decodeBatch(changed), remote::BatchFileError) << at;
  }
}

// The store is away, then back: the batches made meanwhile reach it in
// order, each once, and so does everything after them.
TEST_F(SpoolTest, AwayThenBackKeepsOrderAndSendsEachOnce) {
  store.set(FakeStore::Mode::kAway);
  {
    StoreWriter writer(store, {}, openSpool());
    feed(writer, 0, 55);  // 5 full batches; the last 5 records wait for their batch
    // Nothing new passes the spool while it holds batches, whatever the
    // timing of the retries.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (writer.spoolDepth().batches < 5 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(writer.spoolDepth().batches, 5);
    EXPECT_EQ(writer.spoolDepth().records, 50);
    EXPECT_TRUE(store.sequences().empty());
    store.set(FakeStore::Mode::kUp);
    feed(writer, 55, 100);
    writer.commit();
    EXPECT_EQ(writer.storedRecords(), 100);
    EXPECT_EQ(writer.spoolDepth().batches, 0);
    EXPECT_EQ(writer.spoolLostRecords(), 0);
  }
  EXPECT_EQ(store.sequences(), range(0, 100));
  EXPECT_TRUE(filesEndingIn(".batch").empty());
}

// A relay stopped while the store is away keeps the batches on disk, and
// the next one sends them before anything it receives itself.
TEST_F(SpoolTest, RestartSendsTheSpoolFirst) {
  store.set(FakeStore::Mode::kAway);
  {
    StoreWriter writer(store, {}, openSpool());
    feed(writer, 0, 35);
    writer.commit();  // one more try, then the rest stays
    EXPECT_EQ(writer.spoolDepth().records, 35);
    EXPECT_EQ(writer.storedRecords(), 0);
  }
  EXPECT_EQ(filesEndingIn(".batch").size(), 4u);
  store.set(FakeStore::Mode::kUp);
  {
    StoreWriter writer(store, {}, openSpool());
    feed(writer, 35, 70);
    writer.commit();
    EXPECT_EQ(writer.storedRecords(), 70);
  }
  EXPECT_EQ(store.sequences(), range(0, 70));
  // Each batch went as it was made, not merged or split on the way.
  for (const auto& batch : store.appended()) EXPECT_LE(batch.size(), kRows);
}

// The bound: a batch that would pass it is lost whole and counted, the
// ones kept still go in order, and the spool frees up as they go.
TEST_F(SpoolTest, FullSpoolLosesWholeBatchesCounted) {
  const auto oneBatch = remote::encodeBatch(std::vector<Entry>(kRows, record(0))).size();
  store.set(FakeStore::Mode::kAway);
  {
    // Room for three batches and a bit (the texts differ by a digit or two).
    StoreWriter writer(store, {}, openSpool(3 * oneBatch + oneBatch / 2));
    feed(writer, 0, 60);
    writer.commit();
    EXPECT_EQ(writer.spoolDepth().batches, 3);
    EXPECT_EQ(writer.spoolLostRecords(), 30);
    EXPECT_LE(static_cast<std::uint64_t>(writer.spoolDepth().bytes), 3 * oneBatch + oneBatch / 2);
  }
  store.set(FakeStore::Mode::kUp);
  StoreWriter writer(store, {}, openSpool(3 * oneBatch + oneBatch / 2));
  feed(writer, 60, 80);
  writer.commit();
  EXPECT_EQ(writer.spoolLostRecords(), 0);
  // Which three were kept depends on whether the batch the store was
  // tried with came back before the next ones filled the spool; they are
  // whole batches, in order, before what came after.
  const auto seen = store.sequences();
  ASSERT_EQ(seen.size(), 50u);
  for (std::size_t i = 0; i < 30; i += kRows) {
    EXPECT_EQ(seen[i] % kRows, 0u);
    for (std::size_t k = 1; k < kRows; ++k) EXPECT_EQ(seen[i + k], seen[i] + k);
    if (i > 0) {
      EXPECT_GT(seen[i], seen[i - 1]);
    }
  }
  EXPECT_EQ(std::vector(seen.begin() + 30, seen.end()), range(60, 80));
}

// A damaged file is set aside and counted with the records its header
// says, a file cut short too; the others are still sent in order.
TEST_F(SpoolTest, DamagedOrCutBatchFilesAreSetAsideAndCounted) {
  store.set(FakeStore::Mode::kAway);
  {
    StoreWriter writer(store, {}, openSpool());
    feed(writer, 0, 40);
    writer.commit();
  }
  auto files = filesEndingIn(".batch");
  ASSERT_EQ(files.size(), 4u);
  fs::resize_file(files[1], fs::file_size(files[1]) - 7);  // found when the spool opens
  {
    std::fstream f(files[2], std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(-3, std::ios::end);
    f.put('!');  // found when its turn comes
  }
  store.set(FakeStore::Mode::kUp);
  {
    StoreWriter writer(store, {}, openSpool());
    writer.commit();
    EXPECT_EQ(writer.damagedBatches(), 2);
    EXPECT_EQ(writer.damagedRecords(), 20);
    EXPECT_EQ(writer.storedRecords(), 20);
  }
  auto expected = range(0, 10);
  for (const auto i : range(30, 40)) expected.push_back(i);
  EXPECT_EQ(store.sequences(), expected);
  EXPECT_EQ(filesEndingIn(".damaged").size(), 2u);
  // Set aside for good: the next start neither sends nor counts them again.
  StoreWriter again(store, {}, openSpool());
  again.commit();
  EXPECT_EQ(again.damagedBatches(), 0);
  EXPECT_EQ(store.sequences(), expected);
}

// A store that hangs (a paused server) holds up one batch: the feeding
// thread goes on, its batches go to the spool, and once the store answers
// they follow the one it held, in order.
TEST_F(SpoolTest, HangingStoreDoesNotHoldUpTheFeeder) {
  store.set(FakeStore::Mode::kHanging);
  StoreWriter writer(store, {}, openSpool());
  auto fed = std::async(std::launch::async, [&] {
    feed(writer, 0, static_cast<std::uint32_t>((StoreWriter::kMaxQueued * 3) * kRows));
  });
  EXPECT_TRUE(store.waitHanging(std::chrono::seconds(20)));
  const bool heldUp = fed.wait_for(std::chrono::seconds(30)) != std::future_status::ready;
  // The held batch times out (or, had the feeder waited, the store lets it go).
  store.set(FakeStore::Mode::kAway);
  fed.get();
  EXPECT_FALSE(heldUp) << "add() waited for a store that hangs";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (writer.spoolDepth().batches < static_cast<std::int64_t>(StoreWriter::kMaxQueued * 3) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  store.set(FakeStore::Mode::kUp);
  writer.commit();
  EXPECT_EQ(store.sequences(), range(0, StoreWriter::kMaxQueued * 3 * kRows));
}

// A fault of another kind ends the writing as without a spool: the batch
// is counted unstored, and those after it are kept for the next start.
TEST_F(SpoolTest, RefusedBatchEndsTheWritingAndTheRestIsKept) {
  store.set(FakeStore::Mode::kRefusing);
  {
    StoreWriter writer(store, {}, openSpool());
    bool threw = false;
    for (std::uint32_t i = 0; i < 30; ++i) {
      try {
        writer.add(record(i));
      } catch (const StoreError& e) {
        threw = e.kind() == Kind::kFailed;
      }
    }
    try {
      writer.commit();
    } catch (const StoreError& e) {
      threw = e.kind() == Kind::kFailed;
    }
    EXPECT_TRUE(threw);
    writer.commit();  // what followed the refused batch is in the spool
    EXPECT_EQ(writer.unstoredRecords() + writer.spoolDepth().records, 30);
    EXPECT_EQ(writer.unstoredRecords(), 10);
  }
  store.set(FakeStore::Mode::kUp);
  StoreWriter writer(store, {}, openSpool());
  writer.commit();
  EXPECT_EQ(store.sequences(), range(10, 30));
}

// One relay per spool, and a spool for one store.
TEST_F(SpoolTest, SecondRelayOrAnotherStoreIsRefused) {
  const auto messageOf = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const remote::ToolError& e) {
      return e.message;
    }
    return std::string("accepted");
  };
  {
    const auto first = openSpool();
    EXPECT_NE(messageOf([&] { openSpool(); }).find("in use by another relay (pid "),
              std::string::npos);
  }
  EXPECT_NE(messageOf([&] {
              Spool(remote::SpoolOptions{dir.string(), 1 << 20, "other"});
            }).find("holds batches for store.test, not other"),
            std::string::npos);
}

// A disk that fills while spooling loses the batches it cannot take,
// counted; a half-written file is not left to be sent later.
TEST_F(SpoolTest, FullDiskLosesTheBatchesItCannotTake) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a mount namespace";
  fs::create_directories(dir);
  int result[2];
  ASSERT_EQ(::pipe(result), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(result[0]);
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=64k") != 0) {
      _exit(101);
    }
    FakeStore away;
    away.set(FakeStore::Mode::kAway);
    std::int64_t counts[3] = {};
    {
      StoreWriter writer(away, {}, openSpool());
      for (std::uint32_t i = 0; i < 400; ++i) writer.add(record(i, std::string(400, 'x')));
      writer.commit();
      counts[0] = writer.spoolDepth().records;
      counts[1] = writer.spoolLostRecords();
    }
    counts[2] = static_cast<std::int64_t>(filesEndingIn(".tmp").size());
    _exit(::write(result[1], counts, sizeof counts) == sizeof counts ? 0 : 102);
  }
  ::close(result[1]);
  std::int64_t counts[3] = {};
  const bool read = ::read(result[0], counts, sizeof counts) == sizeof counts;
  ::close(result[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 101) GTEST_SKIP() << "no mount namespace here";
  ASSERT_TRUE(read);
  EXPECT_GT(counts[0], 0);                // some batches fit
  EXPECT_GT(counts[1], 0);                // the rest are lost,
  EXPECT_EQ(counts[0] + counts[1], 400);  // and counted
  EXPECT_EQ(counts[2], 0);
}

}  // namespace
