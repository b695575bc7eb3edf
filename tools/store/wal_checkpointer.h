// tools/store/wal_checkpointer.h
//
// Copies a recorder's committed pages from the write-ahead log into the
// store file on a thread of its own. SQLite does that copy, with its two
// fsync()s, inside the commit that fills the log past 1,000 pages: on the
// recorder's writing thread, which then takes no batch for as long as the
// disk makes it wait (seconds on a machine whose disk is busy), while the
// kernel drops what the follower can no longer queue. Here the writer only
// writes the log, and a checkpoint runs beside it on a connection of its
// own.
//
// A log only starts over from its beginning once every page in it has been
// copied, which a writer that never pauses does not wait for. So when the
// log reaches kLimitPages, the writer finishes the copy itself between two
// batches, as SQLite would have, and the log starts over with the next one.
//
// Threads: made and destroyed on the thread that owns the writer's
// connection; the commit hook runs there too. The copy runs on the
// checkpointer's own thread, on its own connection.
#pragma once

#include <thread>

#include "common/cond_var.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "store/sqlite.h"

namespace store {

class WalCheckpointer {
 public:
  static constexpr int kStartPages = 1'000;   // SQLite's own threshold
  static constexpr int kLimitPages = 16'384;  // 64 MiB of 4 KiB pages

  // Installs itself as `writer`'s commit hook, which turns off SQLite's
  // own checkpoints on that connection.
  explicit WalCheckpointer(sqlite::Database& writer);
  // Waits for a copy under way; the last connection to close copies the
  // rest and removes the log.
  ~WalCheckpointer();
  WalCheckpointer(const WalCheckpointer&) = delete;
  WalCheckpointer& operator=(const WalCheckpointer&) = delete;

 private:
  static int onCommit(void* self, sqlite3* db, const char* name, int pages);
  void run();

  sqlite::Database& writer;
  sqlite::Database own;  // the checkpointer thread's once it runs
  Mutex mutex;
  CondVar changed;
  bool wanted GUARDED_BY(mutex) = false;   // a commit left the log past kStartPages
  bool copying GUARDED_BY(mutex) = false;  // the thread is in a checkpoint
  bool stopping GUARDED_BY(mutex) = false;
  std::thread thread;
};

}  // namespace store
