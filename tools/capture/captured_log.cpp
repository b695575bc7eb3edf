// tools/capture/captured_log.cpp
//
// One pass over a capture's datagrams: decoding, the sequence check per
// source (with the reorder window in capture time), level descriptions and
// application names.
//
// Threads: pure functions; see captured_log.h.
#include "capture/captured_log.h"

#include "model/endpoint.h"

#include <iterator>

namespace remote {

const Levels& CapturedLog::levelsOf(const codec::LogRecord& record) const {
  static const Levels kNone;
  const auto it = levels.find({record.uuid, record.component()});
  return it == levels.end() ? kNone : it->second;
}

namespace {

// Puts each gap right before the record that showed it (the first record of
// the source after the missing ones), as a recorder stores it live: a gap
// is said only once its reorder window is over, by when later records may
// have come.
void placeGaps(CapturedLog& log, const std::string& source, const codec::Uuid& uuid,
               const std::string& application, std::vector<SequenceGap>& gaps) {
  for (const SequenceGap& gap : gaps) {
    const std::uint32_t after = gap.first + gap.count;
    auto at = log.entries.end();
    for (auto it = log.entries.rbegin(); it != log.entries.rend(); ++it) {
      const auto* captured = std::get_if<CapturedRecord>(&*it);
      if (captured != nullptr && captured->arrived.source == source &&
          captured->arrived.record.sequence == after &&
          captured->arrived.receivedAt == gap.seenAt) {
        at = std::prev(it.base());
        break;
      }
    }
    log.entries.insert(at, CapturedGap{{source, uuid, gap, gap.seenAt}, application});
  }
  gaps.clear();
}

}  // namespace

CapturedLog readCapturedLog(const PcapContents& capture) {
  CapturedLog log;
  log.skipped = capture.skipped;
  struct Stream {
    codec::Uuid uuid;
    SequenceCheck sequence;
  };
  std::map<std::string, Stream> streams;            // by source
  std::map<std::string, std::string> applications;  // by source: the latest confirm
  for (const CapturedDatagram& captured : capture.datagrams) {
    auto parsed = codec::parseDatagram(captured.payload);
    if (!parsed) {
      ++log.skipped;
      continue;
    }
    std::string source = Endpoint{captured.from}.text();
    if (const auto* confirm = std::get_if<codec::RegistrationConfirm>(&*parsed)) {
      applications[source] = confirm->applicationName;
    } else if (auto* d = std::get_if<codec::LevelDescriptions>(&*parsed)) {
      log.levels.emplace(std::pair{d->uuid, d->name}, std::move(d->levels));
    } else if (auto* record = std::get_if<codec::LogRecord>(&*parsed)) {
      auto [stream, fresh] = streams.try_emplace(source, Stream{record->uuid, SequenceCheck()});
      const std::string& application = applications[source];
      std::vector<SequenceGap> lost;
      if (!fresh && stream->second.uuid != record->uuid) {
        // A restarted target counts from 0 again, as the live client saw it;
        // the old instance's holes are lost.
        stream->second.sequence.takeAll(lost);
        placeGaps(log, source, stream->second.uuid, application, lost);
        stream->second.uuid = record->uuid;
        stream->second.sequence.restart(0);
      }
      // Holes whose window ran out by this record's time, as the live
      // follower said them.
      stream->second.sequence.takeDue(captured.at, lost);
      placeGaps(log, source, record->uuid, application, lost);
      if (stream->second.sequence.check(record->sequence, captured.at) ==
          SequenceCheck::Verdict::kLate) {
        ++log.late;
      }
      log.sources.insert(source);
      log.entries.emplace_back(
          CapturedRecord{{std::move(*record), captured.at, std::move(source)}, application});
    }
  }
  // What has not come by the end of the capture is lost.
  for (auto& [source, stream] : streams) {
    std::vector<SequenceGap> lost;
    stream.sequence.takeAll(lost);
    placeGaps(log, source, stream.uuid, applications[source], lost);
  }
  return log;
}

}  // namespace remote
