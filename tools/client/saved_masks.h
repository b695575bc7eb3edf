// tools/client/saved_masks.h
//
// The mask each component had before tarvin-remote first changed it, kept
// across runs so that `set-level --reset` can undo a script's changes: the
// first change of a component of a target instance (its uuid) records the
// mask it had, later changes leave that record alone, and --reset sets it
// back and forgets it. A restarted target has a new uuid and starts afresh.
//
// One line per component in the state file "masks" (state_file.h): "UUID
// MASK SECONDS COMPONENT"; lines older than 30 days are dropped on the way.
//
// Threads: single-threaded tool.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "codec/client_codec.h"

namespace remote {

// Records `mask` as the mask (uuid, component) had before any change,
// unless one is recorded. Says on stderr, and carries on, when the file
// cannot be written: the change itself matters more than a later undo.
void rememberFirstMask(const codec::Uuid& uuid, const std::string& component, std::uint32_t mask);

// Throws ToolError (exit 1) when the file cannot be read and written:
// --reset checks this before it touches any target.
void requireSavedMasks();

// The recorded mask; nullopt when none is. Throws ToolError (exit 1) when
// the file cannot be read: "nothing recorded" must not be taken for
// "nothing to undo".
std::optional<std::uint32_t> firstMask(const codec::Uuid& uuid, const std::string& component);

// Drops the record once --reset has put the mask back. Throws ToolError
// (exit 1) when the file cannot be written.
void forgetFirstMask(const codec::Uuid& uuid, const std::string& component);

}  // namespace remote
