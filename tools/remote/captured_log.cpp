// tools/remote/captured_log.cpp
//
// One pass over a capture's datagrams: decoding, the sequence check per
// source, level descriptions and application names.
//
// Threads: pure functions; see captured_log.h.
#include "remote/captured_log.h"

#include "remote/endpoint.h"

namespace remote {

const Levels& CapturedLog::levelsOf(const codec::LogRecord& record) const {
  static const Levels kNone;
  const auto it = levels.find({record.uuid, record.strings[0]});
  return it == levels.end() ? kNone : it->second;
}

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
      if (!fresh && stream->second.uuid != record->uuid) {
        stream->second = {record->uuid, SequenceCheck()};
        stream->second.sequence.restart(0);
      }
      const std::string& application = applications[source];
      SequenceGap gap;
      if (stream->second.sequence.check(record->sequence, gap) ==
          SequenceCheck::Verdict::kAfterGap) {
        log.entries.emplace_back(CapturedGap{source, record->uuid, application, gap, captured.at});
      }
      log.sources.insert(source);
      log.entries.emplace_back(
          CapturedRecord{{std::move(*record), captured.at, std::move(source)}, application});
    }
  }
  return log;
}

}  // namespace remote
