// tools/capture/captured_log.h
//
// What a capture (tail --pcap, record --pcap, tcpdump) says about the log:
// its records in capture order, each sequence gap that outlived the
// reorder window (sequence_check.h) before the record that revealed it, the level descriptions the
// live client asked for and the application name each target confirmed. replay prints it and record
// --import stores it, so both account for gaps as the live command did: per source, a new uuid is a
// restarted target counting from 0 again.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "capture/pcap.h"
#include "model/arrived_record.h"
#include "model/levels.h"
#include "model/sequence_check.h"

namespace remote {

struct CapturedRecord {
  ArrivedRecord arrived;
  std::string applicationName;  // the source's latest confirm before it; empty: none seen
};

// uuid: of the instance whose record revealed it; seenAt: when that
// record arrived.
struct CapturedGap : ArrivedGap {
  std::string applicationName;
};

struct CapturedLog {
  std::vector<std::variant<CapturedRecord, CapturedGap>> entries;
  std::map<std::pair<codec::Uuid, std::string>, Levels> levels;  // by instance and component
  std::set<std::string> sources;                                 // that sent records
  std::size_t skipped = 0;  // packets that hold no target datagram
  std::size_t late = 0;     // records that came after their gap was said

  // The level descriptions of the record's component; empty when the
  // capture holds none (the first answer wins, as it did live).
  const Levels& levelsOf(const codec::LogRecord& record) const;
};

CapturedLog readCapturedLog(const PcapContents& capture);

}  // namespace remote
