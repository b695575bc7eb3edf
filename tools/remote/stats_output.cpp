// tools/remote/stats_output.cpp
//
// The text and JSON forms of a store's statistics. Times are receive
// times: local with the date in text, UTC in JSON as tail --json has them.
// Component and level names, which targets chose, have their controls
// escaped in text (visible_text.h).
//
// Threads: see stats_output.h.
#include "remote/stats_output.h"

#include <iomanip>
#include <nlohmann/json.hpp>
#include <ostream>

#include "base/json_line.h"
#include "base/time_text.h"
#include "base/visible_text.h"
#include "output/record_json.h"

namespace remote {
namespace {

std::string levelLabel(const store::Stats::PerLevel& level) {
  const std::string name = visible(level.levelName);
  return level.clientLevel < 0 ? name : name + " (" + std::to_string(level.clientLevel) + ")";
}

// One table: a heading, then rows whose first column is padded to the
// widest one and whose numbers are right-aligned.
void printTable(std::ostream& out, const std::vector<std::string>& heading,
                const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(heading.size());
  for (std::size_t i = 0; i < heading.size(); ++i) widths[i] = heading[i].size();
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  const auto line = [&](const std::vector<std::string>& cells) {
    out << std::left << std::setw(static_cast<int>(widths[0])) << cells[0];
    for (std::size_t i = 1; i < cells.size(); ++i) {
      out << "  " << std::right << std::setw(static_cast<int>(widths[i])) << cells[i];
    }
    out << '\n';
  };
  out << '\n';
  line(heading);
  for (const auto& row : rows) line(row);
}

}  // namespace

void printStats(const store::Stats& stats, bool json, std::ostream& out) {
  if (json) {
    nlohmann::json targets = nlohmann::json::array(), components = nlohmann::json::array(),
                   levels = nlohmann::json::array();
    for (const auto& t : stats.targets) {
      targets.push_back(
          {{"target", t.target}, {"records", t.records}, {"gaps", t.gaps}, {"lost", t.lost}});
    }
    for (const auto& c : stats.components)
      components.push_back({{"component", c.component}, {"records", c.records}});
    for (const auto& l : stats.levels) {
      levels.push_back(
          {{"client_level", l.clientLevel >= 0 ? nlohmann::json(l.clientLevel) : nlohmann::json()},
           {"level", l.levelName},
           {"records", l.records}});
    }
    const auto time = [](const auto& at) {
      return at ? nlohmann::json(receivedText(*at)) : nlohmann::json();
    };
    out << jsonLine({{"records", stats.records},
                     {"gaps", stats.gaps},
                     {"lost", stats.lost},
                     {"first", time(stats.first)},
                     {"last", time(stats.last)},
                     {"targets", targets},
                     {"components", components},
                     {"levels", levels}})
        << '\n';
    return;
  }
  out << stats.records << " records";
  if (stats.first && stats.last)
    out << " from " << formatTime(*stats.first, TimeStyle::kLocalDateTime) << " to "
        << formatTime(*stats.last, TimeStyle::kLocalDateTime);
  out << "\n" << stats.gaps << " gaps, " << stats.lost << " records lost\n";
  std::vector<std::vector<std::string>> rows;
  for (const auto& t : stats.targets) {
    rows.push_back(
        {t.target, std::to_string(t.records), std::to_string(t.gaps), std::to_string(t.lost)});
  }
  printTable(out, {"TARGET", "RECORDS", "GAPS", "LOST"}, rows);
  rows.clear();
  for (const auto& c : stats.components)
    rows.push_back({visible(c.component), std::to_string(c.records)});
  printTable(out, {"COMPONENT", "RECORDS"}, rows);
  rows.clear();
  for (const auto& l : stats.levels) rows.push_back({levelLabel(l), std::to_string(l.records)});
  printTable(out, {"LEVEL", "RECORDS"}, rows);
}

}  // namespace remote
