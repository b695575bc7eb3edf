// tools/store/wal_checkpointer.cpp
//
// The recorder's checkpoints on a thread of their own; see
// wal_checkpointer.h.
//
// Threads: onCommit on the writer's thread, run() on the checkpointer's.
#include "store/wal_checkpointer.h"

#include <sqlite3.h>

namespace store {

WalCheckpointer::WalCheckpointer(sqlite::Database& writer)
    : writer(writer), own(writer.path(), sqlite::Database::Mode::kReadWrite) {
  // As the writer's: the store file is synced after each copy, the log is
  // not synced at each commit.
  ::sqlite3_busy_timeout(own.handle(), 5'000);
  own.execute("PRAGMA synchronous = NORMAL");
  thread = std::thread([this] { run(); });
  ::sqlite3_wal_hook(writer.handle(), &WalCheckpointer::onCommit, this);
}

WalCheckpointer::~WalCheckpointer() {
  ::sqlite3_wal_hook(writer.handle(), nullptr, nullptr);
  {
    MutexLock lock(mutex);
    stopping = true;
  }
  changed.notifyAll();
  thread.join();
}

// The result codes of the copies are not looked at: a page not copied is
// still in the log, which every reader reads, and a disk that cannot take
// the copy fails the writer's next batch, which is reported. An error
// returned from here would fail a commit that has already happened.
int WalCheckpointer::onCommit(void* self, sqlite3* db, const char* name, int pages) {
  auto& me = *static_cast<WalCheckpointer*>(self);
  if (pages >= kLimitPages) {
    {
      MutexLock lock(me.mutex);
      while (me.copying) me.changed.wait(me.mutex);
      me.wanted = false;
    }
    ::sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
  } else if (pages >= kStartPages) {
    {
      MutexLock lock(me.mutex);
      me.wanted = true;
    }
    me.changed.notifyAll();
  }
  return SQLITE_OK;
}

void WalCheckpointer::run() {
  for (;;) {
    {
      MutexLock lock(mutex);
      while (!wanted && !stopping) changed.wait(mutex);
      if (stopping) return;
      wanted = false;
      copying = true;
    }
    ::sqlite3_wal_checkpoint_v2(own.handle(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    {
      MutexLock lock(mutex);
      copying = false;
    }
    changed.notifyAll();
  }
}

}  // namespace store
