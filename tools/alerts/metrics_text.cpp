// tools/alerts/metrics_text.cpp
//
// The text exposition format, version 0.0.4.
//
// Threads: see metrics_text.h.
#include "alerts/metrics_text.h"

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cmath>

namespace alerts {
namespace {

void appendEscaped(std::string& out, const std::string& text, bool quotes) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (quotes && c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

std::string number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // The shortest text that reads back as the same double.
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

}  // namespace

bool validMetricName(const std::string& name) {
  if (name.empty()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
    if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
  }
  return true;
}

Histogram::Histogram(std::vector<double> bounds)
    : upper(std::move(bounds)), perBucket(upper.size() + 1, 0) {
  assert(std::is_sorted(upper.begin(), upper.end()));
}

void Histogram::observe(double value) {
  const auto at = std::lower_bound(upper.begin(), upper.end(), value) - upper.begin();
  ++perBucket[static_cast<std::size_t>(at)];
  total += value;
  ++observed;
}

void MetricsText::family(const std::string& name, const std::string& help, Type type) {
  assert(validMetricName(name));
  out += "# HELP " + name + ' ';
  appendEscaped(out, help, false);
  out += "\n# TYPE " + name + ' ';
  out += type == Type::kCounter ? "counter" : type == Type::kGauge ? "gauge" : "histogram";
  out += '\n';
}

void MetricsText::appendSample(const std::string& name, const MetricLabels& labels, double value,
                               const char* extraName, const std::string& extraValue) {
  out += name;
  if (!labels.empty() || extraName != nullptr) {
    out += '{';
    bool first = true;
    const auto label = [&](const std::string& key, const std::string& text) {
      assert(validMetricName(key));
      if (!first) out += ',';
      first = false;
      out += key + "=\"";
      appendEscaped(out, text, true);
      out += '"';
    };
    for (const auto& [key, text] : labels) label(key, text);
    if (extraName != nullptr) label(extraName, extraValue);
    out += '}';
  }
  out += ' ' + number(value) + '\n';
}

void MetricsText::sample(const std::string& name, const MetricLabels& labels, double value) {
  appendSample(name, labels, value);
}

void MetricsText::histogram(const std::string& name, const MetricLabels& labels,
                            const Histogram& histogram) {
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < histogram.counts().size(); ++i) {
    cumulative += histogram.counts()[i];
    const bool last = i == histogram.bounds().size();
    appendSample(name + "_bucket", labels, static_cast<double>(cumulative), "le",
                 last ? "+Inf" : number(histogram.bounds()[i]));
  }
  appendSample(name + "_sum", labels, histogram.sum());
  appendSample(name + "_count", labels, static_cast<double>(histogram.count()));
}

}  // namespace alerts
