// bench/target_harness.h
//
// The plug-in under measurement, as a host runs it: loaded once into the
// stand-in framework, one target created per benchmark run, and real
// loopback clients registered with it. Also the host's component and the
// message strings that every log variant sends, so the floor and the peer
// send exactly the bytes the target does.
//
// Threads: benchmark threads only. BenchHost::get() is safe to call from
// several threads (a function-local static); a TargetWithClients belongs to
// the thread that made it, while its target's log() may be called from any.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "loopback.h"
#include "tarvin/framework.h"

namespace bench {

// The one component of the benchmark host; GLVD asks for its descriptions.
inline constexpr const char* kComponentName = "bench";

// The process's stand-in host with the plug-in loaded into it.
class BenchHost {
 public:
  static BenchHost& get();
  const std::string& error() const { return failure; }
  tarvin::Plugin* plugin() const { return loaded.get(); }
  // Unique to this process, so discovery finds our target and no other.
  const std::string& applicationName() const { return appName; }
  const tarvin::LevelDescriptions& levels() const { return componentLevels; }

 private:
  BenchHost();
  std::string appName;
  tarvin::LevelDescriptions componentLevels;
  std::unique_ptr<tarvin::Plugin> loaded;
  std::string failure;
};

// One target and `clientCount` registered clients whose records a drain
// thread reads. Built outside the timed loop; error() is empty when usable.
class TargetWithClients {
 public:
  explicit TargetWithClients(std::size_t clientCount);
  ~TargetWithClients();
  TargetWithClients(const TargetWithClients&) = delete;
  TargetWithClients& operator=(const TargetWithClients&) = delete;

  const std::string& error() const { return failure; }
  ILogTarget* target() const { return logTarget; }
  const sockaddr_in& address() const { return targetAddress; }
  const DrainedClients& drainedClients() const { return clients; }
  // The target's worker thread; 0 when it could not be told apart.
  pid_t workerThread() const { return workerTid; }

 private:
  bool findTarget();
  bool registerClient(int fd);

  ILogTarget* logTarget = nullptr;
  sockaddr_in targetAddress{};
  pid_t workerTid = 0;
  DrainedClients clients;
  std::string failure;
};

// The four strings of one log() call whose record is `recordBytes` long
// (48 bytes of fixed fields and terminators plus the strings).
struct RecordStrings {
  std::string component;
  std::string file;
  std::string function;
  std::string text;
};
RecordStrings makeRecordStrings(std::size_t recordBytes);

// The record the target builds for those strings, byte for byte in layout
// (uuid and sequence number are zero): what the floor and the peer send.
std::vector<char> recordBytesOf(const RecordStrings& strings);

}  // namespace bench
