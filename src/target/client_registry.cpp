// src/target/client_registry.cpp
//
// The client registry of CLogtargetRemote: adding, finding, renewing and
// dropping remote clients, and each client's 30-second idle timer.
//
// Threads: everything here runs on the worker thread, the registry's only
// writer, which may therefore read it and keep iterators into it without the
// lock (ownClients()). log() walks `clients` from host threads, so each
// append and erase holds registryMutex.
#include "target/log_target_remote.h"

#include <sys/timerfd.h>
#include <syslog.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>

#include "target/client_address.h"
#include "tarvin/host_api.h"

std::string addressToString(sockaddr_in const& address) {
  std::string text(46, ' ');
  addr2str(text.data(), &address);
  return text;
}

std::vector<CLogtargetRemote::CLogClient>& CLogtargetRemote::ownClients() {
  assert(workerId == std::thread::id() || workerId == std::this_thread::get_id());
  return clients;
}

CLogtargetRemote::ClientIterator CLogtargetRemote::findClient(sockaddr_in const& address) {
  std::vector<CLogClient>& registry = ownClients();
  for (auto it = registry.begin(); it != registry.end(); ++it) {
    // Family and padding take no part: a client is its address and port.
    if (it->address.sin_addr.s_addr == address.sin_addr.s_addr &&
        it->address.sin_port == address.sin_port) {
      return it;
    }
  }
  return registry.end();
}

CLogtargetRemote::ClientIterator CLogtargetRemote::findClient(int fd) {
  std::vector<CLogClient>& registry = ownClients();
  for (auto it = registry.begin(); it != registry.end(); ++it) {
    if (it->timerFd == fd) return it;
  }
  return registry.end();
}

bool CLogtargetRemote::isEntry(ClientIterator it) { return it != ownClients().end(); }

CLogtargetRemote::CLogClient CLogtargetRemote::lastClient() { return ownClients().back(); }

std::size_t CLogtargetRemote::clientCount() const {
  // This thread is the only writer of the count, so it reads its own value.
  return registeredCount.load(std::memory_order_relaxed);
}

int CLogtargetRemote::addClient(sockaddr_in const& address) {
  if (clientCount() > kMaxClients - 1) return -1;  // the caller reports it

  CLogClient client{address, ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC)};
  if (client.timerFd == -1) {
    syslog(3, "Unable to create timerfd for client %s", addressToString(address).c_str());
    return -1;
  }
  if (addFd(client.timerFd) != 0) {
    closeFd(client.timerFd);  // nothing else will ever refer to it
    return -1;
  }
  // Armed before the append: its expiry is handled by this same thread, in a
  // later wake-up, when the entry is in place.
  if (restartClientTimer(client) != 0) {
    removeFd(client.timerFd);
    closeFd(client.timerFd);
    return -1;
  }
  MutexLock lock(registryMutex);
  clients.push_back(client);
  registeredCount.store(clients.size(), std::memory_order_release);
  return 0;
}

void CLogtargetRemote::removeClient(ClientIterator it) {
  removeFd(it->timerFd);  // a failure changes nothing: the descriptor is closed next
  ::close(it->timerFd);
  MutexLock lock(registryMutex);
  clients.erase(it);
  registeredCount.store(clients.size(), std::memory_order_release);
}

int CLogtargetRemote::restartClientTimer(CLogClient& client) {
  itimerspec expiry{};
  expiry.it_value.tv_sec = kIdleTimeoutSeconds;  // one-shot: it_interval stays 0
  if (::timerfd_settime(client.timerFd, /*flags=*/0, &expiry, /*old_value=*/nullptr) != 0) {
    syslog(3, "Unable to (re-)start client timer - errno=%s", std::strerror(errno));
    return -1;
  }
  return 0;
}

void CLogtargetRemote::onClientTimeout(int fd) {
  const ClientIterator it = findClient(fd);
  if (!isEntry(it)) {
    syslog(3, "Unable to find client for active fd %i", fd);
    return;
  }
  // The expiration count is never read: closing the timer ends its reports.
  syslog(7, "Removing client %s (idle timeout)", addressToString(it->address).c_str());
  removeClient(it);
}
