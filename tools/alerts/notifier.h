// tools/alerts/notifier.h
//
// Sends what the alert engine says to where operators want it: an
// Alertmanager (its v2 API: firing with startsAt and an endsAt a few resend
// intervals ahead, re-sent while firing, resolved with the endsAt it
// resolved at), a webhook (one JSON POST per change), or a command (run
// with the alert in its environment and as JSON on its standard input,
// killed after a timeout), or a syslog collector (one RFC 5424 message per
// change, warning when firing and notice when resolved, through the
// senders forward uses).
//
// A destination that is down never holds up the caller: each has its own
// thread and a bounded queue; a failed send is retried with a growing
// pause, and what the queue cannot take, or what still fails after the
// last retry, is counted (stats()), never lost silently. Delivery is at
// least once: a send that timed out after the receiver took it is sent
// again.
//
// Threads: post(), setFiring() and stats() from any thread; each
// destination's sends on a thread of its own, which the destructor stops.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "alerts/alert_engine.h"

namespace alerts {

struct Destination {
  enum class Kind { kAlertmanager, kWebhook, kCommand, kSyslog };
  Kind kind = Kind::kWebhook;
  // http://HOST:PORT[/PATH] (an Alertmanager's base), a shell command, or
  // udp://HOST:PORT or tcp://HOST:PORT (a syslog collector)
  std::string address;
};

// "alertmanager=http://…", "webhook=http://…", "command=…" or
// "syslog=udp://…"/"syslog=tcp://…"; false with a message for anything else.
bool parseDestination(const std::string& text, Destination& destination, std::string& error);

struct NotifierOptions {
  std::vector<Destination> destinations;
  std::size_t queueLimit = 1024;                    // per destination
  std::chrono::milliseconds resend{60'000};         // firing alerts again, to an Alertmanager
  std::chrono::milliseconds firstRetry{500};        // doubled after each failure...
  std::chrono::milliseconds maxRetryPause{30'000};  // ...up to this
  int attempts = 8;                                 // per notification
  std::chrono::milliseconds timeout{5'000};         // of one send or command
  std::string generatorUrl;                         // where an alert links back to
};

struct NotifierStats {
  std::uint64_t sent = 0;     // notifications a destination took
  std::uint64_t retried = 0;  // sends that failed and were tried again
  std::uint64_t dropped = 0;  // not queued (queue full) or given up after the last attempt
  std::uint64_t queued = 0;   // waiting now
};

// The JSON of one alert as the webhook and the command receive it.
std::string alertJson(const Alert& alert, bool firing);
// The RFC 5424 message of one alert as a syslog collector receives it.
std::string syslogMessage(const Alert& alert, bool firing, Time at);
// RFC 3339 in UTC with milliseconds, as Alertmanager reads times.
std::string rfc3339(Time at);

class Notifier {
 public:
  explicit Notifier(NotifierOptions options);
  // Gives each destination up to one timeout more to finish what it sends
  // now; what is still queued is counted as dropped.
  ~Notifier();
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  void post(const Transition& change);
  // The alerts firing now, which an Alertmanager is sent again every
  // `resend` so that it keeps them open.
  void setFiring(std::vector<Alert> alerts);
  NotifierStats stats() const;
  // Waits until nothing is queued or `bound` has passed; whether the
  // queues are empty.
  bool drain(std::chrono::milliseconds bound) const;

 private:
  class Worker;
  const NotifierOptions options;  // the workers read it: declared before them
  std::vector<std::unique_ptr<Worker>> workers;
};

}  // namespace alerts
