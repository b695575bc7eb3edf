// tools/alerts/metrics_text.h
//
// Prometheus' text exposition format, written from values the tools keep
// anyway (a follower's counters, a store's size), at scrape time: no
// registry beside them. Each family is its HELP and TYPE line and its
// samples; label values and help texts are escaped as the format asks,
// and names that the format does not allow are refused (by assertion:
// they are the program's own).
//
// Histogram keeps a histogram's buckets between scrapes; observe() is
// cheap enough for a receive path.
//
// Threads: a MetricsText belongs to the thread that writes one scrape; a
// Histogram to the thread that observes it (copy it to write it).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace alerts {

using MetricLabels = std::vector<std::pair<std::string, std::string>>;

class Histogram {
 public:
  // Upper bounds, increasing; +Inf is implied.
  explicit Histogram(std::vector<double> bounds);
  void observe(double value);

  const std::vector<double>& bounds() const { return upper; }
  // Per bucket, not cumulative; one more than bounds() for +Inf.
  const std::vector<std::uint64_t>& counts() const { return perBucket; }
  double sum() const { return total; }
  std::uint64_t count() const { return observed; }

 private:
  std::vector<double> upper;
  std::vector<std::uint64_t> perBucket;
  double total = 0;
  std::uint64_t observed = 0;
};

class MetricsText {
 public:
  enum class Type { kCounter, kGauge, kHistogram };
  // Starts a family; its samples follow.
  void family(const std::string& name, const std::string& help, Type type);
  void sample(const std::string& name, const MetricLabels& labels, double value);
  // A histogram family's _bucket, _sum and _count samples.
  void histogram(const std::string& name, const MetricLabels& labels, const Histogram& histogram);

  const std::string& text() const { return out; }

 private:
  void appendSample(const std::string& name, const MetricLabels& labels, double value,
                    const char* extraName = nullptr, const std::string& extraValue = "");
  std::string out;
};

// Whether `name` is a metric or label name the format allows.
bool validMetricName(const std::string& name);

}  // namespace alerts
