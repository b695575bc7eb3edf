// tools/model/temporary_change.h
//
// Temporary level changes that overlap on one component: what each one
// holds, what it puts back when it ends, and what it must leave alone.
// A change speaks for the bits its LEVELS name (every bit for a list or a
// hex mask, the named ones for +name/-name). Bits another running change
// holds are handed on, not put back: the last change holding a bit puts
// back the value it had before the first of them began, and a bit someone
// else changed since is left as it is and reported. So no sequence of
// temporary changes leaves a level on that nobody asked to keep.
//
// Threads: pure functions; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/client_codec.h"

namespace remote {

// One running temporary change of one component of one target instance.
struct TemporaryChange {
  std::string id;    // unique among the running changes ("PID.N")
  std::string uuid;  // the target instance, in hex
  std::string component;
  std::uint32_t claimed = 0;   // the bits it holds
  std::uint32_t value = 0;     // their values while it runs
  std::uint32_t restore = 0;   // their values before any running change held them
  std::uint32_t released = 0;  // bits it moved that a later change set for good
  std::int64_t until = 0;      // epoch seconds it ends at, for messages

  bool sameComponent(const TemporaryChange& other) const {
    return uuid == other.uuid && component == other.component;
  }
};

// The bits a LEVELS text speaks for: found by working it out on two
// opposite current masks; a bit that comes out the same in both is named.
std::uint32_t bitsNamed(std::uint32_t fromZero, std::uint32_t fromOnes);

// `change` (id, uuid, component and until filled in) as it starts, moving
// the component from `before` to `wanted` and naming `named` bits: a bit a
// running change already holds keeps that change's value to put back.
TemporaryChange startTemporaryChange(const std::vector<TemporaryChange>& running,
                                     TemporaryChange change, std::uint32_t before,
                                     std::uint32_t wanted, std::uint32_t named);

// `later`, just started on the same component, takes over the bits
// `earlier` holds that it does not name, so that `earlier` can be dropped
// without an end of its own: one change where a console shows one.
void takeOver(TemporaryChange& later, const TemporaryChange& earlier);

// A change for good of `named` bits of the component of `key`: running
// changes stop holding them, and each remembers those it had moved.
void releaseBits(std::vector<TemporaryChange>& running, const TemporaryChange& key,
                 std::uint32_t named);

// What the end of `ending` does to a component that holds `current` now.
struct Restore {
  std::uint32_t mask = 0;          // the mask to set
  std::uint32_t heldByOthers = 0;  // bits it moved that another running change still holds
  std::uint32_t changedSince = 0;  // bits it moved that someone else changed since: left alone
  std::optional<std::int64_t> heldUntil;  // when the last of those others ends
};
// `others`: the running changes without `ending`, oldest first.
Restore planRestore(const std::vector<TemporaryChange>& others, const TemporaryChange& ending,
                    std::uint32_t current);

// What an end left and why, one text per reason, with the level names of
// `levels`: "not restored: debug, held by another temporary change until
// 12:00:04"; none when it put everything back.
std::vector<std::string> leftAlone(const Restore& restore,
                                   const std::vector<codec::LevelDescription>& levels);

// The line a running change is kept as, and back; nullopt for a line
// that is not one.
std::string temporaryChangeLine(const TemporaryChange& change);
std::optional<TemporaryChange> parseTemporaryChange(const std::string& line);

}  // namespace remote
