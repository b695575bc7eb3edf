// tests/web/scripted_web_target.cpp
//
// A stand-in target the browser tests drive over stdin, for what the
// example host cannot do on cue: skip sequence numbers (a gap) and log a
// given text. Prints "port N" once bound, then takes one command a line and
// answers each with "ok":
//   wait             until a client has registered
//   send N [SKIP]    N records, after leaving SKIP numbers out
//   text T           the text of the following records (then " N")
//   exact FN FILE T  the function, file and whole text of the following
//                    records (no " N": for the regex table)
// It ends at the end of its input.
//
// Threads: the main thread reads commands; ScriptedTarget answers requests
// on its own thread.
#include <chrono>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "scripted_target.h"

int main() {
  // Read by the recipe on this thread, in send().
  std::string text = "record";
  std::optional<tooltest::ScriptedRecord> exact;
  tooltest::ScriptedTarget target([&](std::uint32_t sequence) {
    if (exact) return *exact;
    return tooltest::ScriptedRecord{.text = text + " " + std::to_string(sequence)};
  });
  std::cout << "port " << target.target().substr(target.target().rfind(':') + 1) << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    if (command == "wait") {
      while (!target.registered()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } else if (command == "send") {
      std::uint32_t count = 0, skip = 0;
      words >> count >> skip;
      target.send(count, skip);
    } else if (command == "text") {
      std::getline(words >> std::ws, text);
      exact.reset();
    } else if (command == "exact") {
      exact.emplace();
      words >> exact->function >> exact->file;
      std::getline(words >> std::ws, exact->text);
    }
    std::cout << "ok" << std::endl;
  }
  return 0;
}
