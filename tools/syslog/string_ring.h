// tools/syslog/string_ring.h
//
// StringRing: a double-ended queue of strings in a ring of slots that keep
// their buffers. A popped string stays in its slot for a later push to
// overwrite, so once the ring and its strings have grown to the traffic,
// queueing a message allocates nothing (a std::deque allocates a block
// every few pushes and frees one every few pops).
//
// Threads: a ring belongs to one thread.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace remote {

class StringRing {
 public:
  std::size_t size() const { return count; }
  bool empty() const { return count == 0; }
  std::string& operator[](std::size_t i) { return slots[(head + i) & (slots.size() - 1)]; }
  std::string& front() { return (*this)[0]; }

  // An emptied slot at the back or the front, for the caller to fill.
  std::string& pushBack() {
    if (count == slots.size()) grow();
    std::string& slot = (*this)[count++];
    slot.clear();
    return slot;
  }
  std::string& pushFront() {
    if (count == slots.size()) grow();
    head = (head + slots.size() - 1) & (slots.size() - 1);
    ++count;
    front().clear();
    return front();
  }
  void popFront() {
    head = (head + 1) & (slots.size() - 1);
    --count;
  }
  void clear() { count = 0; }

 private:
  // Doubles the slots (always a power of two), the strings in order
  // first, then the free ones with their buffers.
  void grow() {
    std::vector<std::string> larger(slots.empty() ? 16 : 2 * slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) larger[i] = std::move((*this)[i]);
    slots.swap(larger);
    head = 0;
  }

  std::vector<std::string> slots;
  std::size_t head = 0;
  std::size_t count = 0;
};

}  // namespace remote
