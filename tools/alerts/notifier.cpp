// tools/alerts/notifier.cpp
//
// One worker per destination: a bounded queue, a thread that sends and
// retries, and for an Alertmanager the periodic re-send of what fires. A
// syslog destination opens a sender for each notification: alerts are
// rare, and a connection held between them would need a loop of its own.
//
// Threads: see notifier.h. A worker's queue, firing set and counters are
// guarded by its mutex; the sends run without it.
#include "alerts/notifier.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <ctime>
#include <deque>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/tool_error.h"
#include "common/cond_var.h"
#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "syslog/syslog_format.h"
#include "syslog/syslog_sink.h"

extern char** environ;

namespace alerts {
namespace {

using Json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

// http://HOST:PORT and the path after it ("" when none).
bool splitUrl(const std::string& url, std::string& base, std::string& path) {
  if (url.rfind("http://", 0) != 0) return false;
  const auto slash = url.find('/', 7);
  base = url.substr(0, slash);
  path = slash == std::string::npos ? "" : url.substr(slash);
  while (!path.empty() && path.back() == '/') path.pop_back();
  return base.size() > 7;
}

Json alertmanagerAlert(const Alert& alert, bool firing, Time endsAt, const std::string& generator) {
  Json out = {{"labels", alert.labels},
              {"annotations", alert.annotations},
              {"startsAt", rfc3339(alert.startsAt)},
              {"endsAt", rfc3339(firing ? endsAt : alert.endsAt)}};
  if (!generator.empty()) out["generatorURL"] = generator;
  return out;
}

bool post(const std::string& url, const std::string& body, std::chrono::milliseconds timeout) {
  std::string base, path;
  if (!splitUrl(url, base, path)) return false;
  httplib::Client client(base);
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout - seconds);
  client.set_connection_timeout(seconds.count(), micros.count());
  client.set_read_timeout(seconds.count(), micros.count());
  client.set_write_timeout(seconds.count(), micros.count());
  const auto result = client.Post(path.empty() ? "/" : path, body, "application/json");
  return result && result->status >= 200 && result->status < 300;
}

// Runs `command` with /bin/sh, the alert in its environment and `input` on
// its standard input; true when it exits 0 within `timeout`.
bool runCommand(const std::string& command, const Alert& alert, bool firing,
                const std::string& input, std::chrono::milliseconds timeout) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  const auto annotation = [&](const char* name) {
    const auto it = alert.annotations.find(name);
    return it == alert.annotations.end() ? std::string() : it->second;
  };
  env.push_back("TARVIN_ALERT_STATUS=" + std::string(firing ? "firing" : "resolved"));
  env.push_back("TARVIN_ALERT_NAME=" + alert.rule);
  env.push_back("TARVIN_ALERT_TARGET=" + alert.target);
  env.push_back("TARVIN_ALERT_COMPONENT=" + alert.last.component);
  env.push_back("TARVIN_ALERT_COUNT=" + std::to_string(alert.count));
  env.push_back("TARVIN_ALERT_SUMMARY=" + annotation("summary"));
  env.push_back("TARVIN_ALERT_STARTS_AT=" + rfc3339(alert.startsAt));
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string shell = "/bin/sh", dashC = "-c", text = command;
  char* argv[] = {shell.data(), dashC.data(), text.data(), nullptr};

  int in[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  ::posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  // A group of its own, so that a timeout kills what the command started too.
  posix_spawnattr_t attributes;
  ::posix_spawnattr_init(&attributes);
  ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  ::posix_spawnattr_setpgroup(&attributes, 0);
  pid_t child = -1;
  const int spawned = ::posix_spawn(&child, "/bin/sh", &actions, &attributes, argv, envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  ::posix_spawnattr_destroy(&attributes);
  ::close(in[0]);
  if (spawned != 0) {
    ::close(in[1]);
    return false;
  }
  // Small enough for the pipe: a command that never reads cannot block us.
  (void)!::write(in[1], input.data(), std::min<std::size_t>(input.size(), 60'000));
  ::close(in[1]);
  const auto deadline = SteadyClock::now() + timeout;
  int status = 0;
  while (::waitpid(child, &status, WNOHANG) == 0) {
    if (SteadyClock::now() >= deadline) {
      ::kill(-child, SIGKILL);
      ::waitpid(child, &status, 0);
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// One message to a syslog collector; true when the sender says it went
// out whole (for TCP: the collector read it and closed within `timeout`).
bool sendSyslog(const std::string& url, const std::string& message,
                std::chrono::milliseconds timeout) {
  try {
    const auto sink = remote::openSyslogSink(remote::parseCollectorUrl(url), 16, 16);
    sink->push(message);
    sink->flush();
    sink->drain(timeout);
    return sink->report();
  } catch (const remote::ToolError&) {
    return false;
  }
}

}  // namespace

std::string syslogMessage(const Alert& alert, bool firing, Time at) {
  namespace sl = remote::syslog;
  const int severity = firing ? sl::kSeverityWarning : sl::kSeverityWarning + 1;  // notice
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const char* state = firing ? "firing" : "resolved";
  const auto summary = alert.annotations.find("summary");
  std::string text = "alert " + alert.rule + " " + state + " on " + alert.target;
  if (summary != alert.annotations.end()) text += ": " + summary->second;
  return "<" + std::to_string(sl::kFacilityUser * 8 + severity) + ">1 " + sl::timestamp(at) + " " +
         sl::headerField(host, 255) + " tarvin-remote " + std::to_string(::getpid()) + " alert [" +
         sl::kSdId + " rule=\"" + sl::paramValue(alert.rule) + "\" state=\"" + state +
         "\" target=\"" + sl::paramValue(alert.target) + "\"] " + sl::msg(text);
}

bool parseDestination(const std::string& text, Destination& destination, std::string& error) {
  const auto equals = text.find('=');
  const std::string kind = text.substr(0, equals);
  const std::string address = equals == std::string::npos ? "" : text.substr(equals + 1);
  std::string base, path;
  if (kind == "alertmanager" || kind == "webhook") {
    if (!splitUrl(address, base, path)) {
      error = "'" + address + "' is no http://HOST:PORT[/PATH] address";
      return false;
    }
    destination = {
        kind == "webhook" ? Destination::Kind::kWebhook : Destination::Kind::kAlertmanager,
        address};
    return true;
  }
  if (kind == "syslog") {
    try {
      remote::parseCollectorUrl(address);
    } catch (const remote::ToolError&) {
      error = "'" + address + "' is no udp://HOST:PORT or tcp://HOST:PORT collector";
      return false;
    }
    destination = {Destination::Kind::kSyslog, address};
    return true;
  }
  if (kind == "command" && !address.empty()) {
    destination = {Destination::Kind::kCommand, address};
    return true;
  }
  error = "'" + text + "' is none of alertmanager=URL, webhook=URL, command=COMMAND, syslog=URL";
  return false;
}

std::string rfc3339(Time at) {
  const auto ms = std::chrono::floor<std::chrono::milliseconds>(at.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[40];
  const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(((ms % 1000) + 1000) % 1000));
  return text;
}

std::string alertJson(const Alert& alert, bool firing) {
  Json out = {{"status", firing ? "firing" : "resolved"},
              {"rule", alert.rule},
              {"target", alert.target},
              {"labels", alert.labels},
              {"annotations", alert.annotations},
              {"startsAt", rfc3339(alert.startsAt)},
              {"count", alert.count},
              {"context",
               {{"target", alert.last.target},
                {"application", alert.last.application},
                {"component", alert.last.component},
                {"sequence", alert.last.sequence},
                {"received", rfc3339(alert.last.received)},
                {"text", alert.last.text}}}};
  if (!firing) out["endsAt"] = rfc3339(alert.endsAt);
  return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

class Notifier::Worker {
 public:
  Worker(Destination destination, const NotifierOptions& options)
      : destination(std::move(destination)), options(options), thread([this] { run(); }) {}

  ~Worker() {
    {
      MutexLock lock(mutex);
      stopping = true;
    }
    wake.notifyAll();
    thread.join();
  }

  void post(const Transition& change) {
    {
      MutexLock lock(mutex);
      if (queue.size() >= options.queueLimit) {
        ++counts.dropped;
        return;
      }
      queue.push_back(change);
    }
    wake.notifyOne();
  }

  void setFiring(const std::vector<Alert>& alerts) {
    MutexLock lock(mutex);
    firing = alerts;
  }

  NotifierStats stats() const {
    MutexLock lock(mutex);
    NotifierStats out = counts;
    out.queued = queue.size();
    return out;
  }

 private:
  bool isAlertmanager() const { return destination.kind == Destination::Kind::kAlertmanager; }

  bool send(const std::vector<Transition>& changes) {
    switch (destination.kind) {
      case Destination::Kind::kAlertmanager: {
        std::string base, path;
        splitUrl(destination.address, base, path);
        const Time endsAt = Clock::now() + 4 * options.resend;
        Json alerts = Json::array();
        for (const Transition& c : changes) {
          alerts.push_back(alertmanagerAlert(c.alert, c.kind == Transition::Kind::kFiring, endsAt,
                                             options.generatorUrl));
        }
        return alerts::post(base + path + "/api/v2/alerts",
                            alerts.dump(-1, ' ', false, Json::error_handler_t::replace),
                            options.timeout);
      }
      case Destination::Kind::kWebhook:
        return alerts::post(
            destination.address,
            alertJson(changes.front().alert, changes.front().kind == Transition::Kind::kFiring),
            options.timeout);
      case Destination::Kind::kCommand: {
        const bool isFiring = changes.front().kind == Transition::Kind::kFiring;
        return runCommand(destination.address, changes.front().alert, isFiring,
                          alertJson(changes.front().alert, isFiring), options.timeout);
      }
      case Destination::Kind::kSyslog: {
        const Transition& change = changes.front();
        const bool isFiring = change.kind == Transition::Kind::kFiring;
        return sendSyslog(destination.address,
                          syslogMessage(change.alert, isFiring,
                                        isFiring ? change.alert.startsAt : change.alert.endsAt),
                          options.timeout);
      }
    }
    return false;
  }

  // Sends with retries; false when the worker is stopping or every
  // attempt failed. Gives the mutex back for each send.
  bool deliver(const std::vector<Transition>& changes) REQUIRES(mutex) {
    auto pause = options.firstRetry;
    for (int attempt = 1;; ++attempt) {
      mutex.unlock();
      const bool ok = send(changes);
      mutex.lock();
      if (ok) return true;
      if (attempt >= options.attempts || stopping) return false;
      ++counts.retried;
      const auto retryAt = SteadyClock::now() + pause;
      while (!stopping && wake.waitUntil(mutex, retryAt)) {
      }
      if (stopping) return false;
      pause = std::min(pause * 2, options.maxRetryPause);
    }
  }

  void run() {
    MutexLock lock(mutex);
    auto nextResend = SteadyClock::now() + options.resend;
    while (true) {
      if (isAlertmanager()) {
        while (!stopping && queue.empty() && wake.waitUntil(mutex, nextResend)) {
        }
      } else {
        while (!stopping && queue.empty()) wake.wait(mutex);
      }
      if (stopping) {
        counts.dropped += queue.size();
        queue.clear();
        return;
      }
      if (!queue.empty()) {
        const std::vector<Transition> changes = {queue.front()};
        const bool ok = deliver(changes);
        queue.pop_front();
        (ok ? counts.sent : counts.dropped) += 1;
        continue;
      }
      // An Alertmanager forgets an alert that is not sent again before its
      // endsAt: send every firing one again.
      nextResend = SteadyClock::now() + options.resend;
      if (firing.empty()) continue;
      std::vector<Transition> changes;
      for (const Alert& alert : firing) changes.push_back({Transition::Kind::kFiring, alert});
      deliver(changes);
    }
  }

  const Destination destination;
  const NotifierOptions& options;
  mutable Mutex mutex;
  CondVar wake;
  std::deque<Transition> queue GUARDED_BY(mutex);
  std::vector<Alert> firing GUARDED_BY(mutex);
  NotifierStats counts GUARDED_BY(mutex);
  bool stopping GUARDED_BY(mutex) = false;
  std::thread thread;  // last: it starts with everything above in place
};

Notifier::Notifier(NotifierOptions options) : options(std::move(options)) {
  for (const Destination& d : this->options.destinations)
    workers.push_back(std::make_unique<Worker>(d, this->options));
}

Notifier::~Notifier() = default;

void Notifier::post(const Transition& change) {
  for (auto& worker : workers) worker->post(change);
}

void Notifier::setFiring(std::vector<Alert> alerts) {
  for (auto& worker : workers) worker->setFiring(alerts);
}

bool Notifier::drain(std::chrono::milliseconds bound) const {
  const auto deadline = SteadyClock::now() + bound;
  while (stats().queued > 0) {
    if (SteadyClock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

NotifierStats Notifier::stats() const {
  NotifierStats total;
  for (const auto& worker : workers) {
    const NotifierStats s = worker->stats();
    total.sent += s.sent;
    total.retried += s.retried;
    total.dropped += s.dropped;
    total.queued += s.queued;
  }
  return total;
}

}  // namespace alerts
