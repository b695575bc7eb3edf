// src/target/log_target_remote.h
//
// CLogtargetRemote, the remote log target: one UDP socket on the first free
// port of 57008-57017, a worker thread that answers remote clients, and log()
// that forwards every host message to each registered client.
//
// Threads: construction and destruction run on the host thread that calls
// create() or release(); log() on any host thread, concurrently; everything
// else on the worker thread. The members below are grouped by owner.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/thread_annotations.h"
#include "tarvin/log_target.h"

class CLogtargetRemote : public ILogTarget {
 public:
  struct CLogClient {
    sockaddr_in address;  // as received in the registering RRQ
    int timerFd;          // armed one-shot idle timer, watched by epoll
  };
  using ClientIterator = std::vector<CLogClient>::iterator;

  static constexpr std::size_t kMaxClients = 5;
  static constexpr std::size_t kBufferSize = 2048;
  static constexpr int kIdleTimeoutSeconds = 30;

  explicit CLogtargetRemote(const CLogTargetParameters* params);
  ~CLogtargetRemote() override;
  CLogtargetRemote(const CLogtargetRemote&) = delete;
  CLogtargetRemote& operator=(const CLogtargetRemote&) = delete;

  // ILogTarget, in its slot order.
  void log(int int1, int int2, long int3, int int4, tarvin_level* level, const std::string& str1,
           const std::string& str2, const std::string& str3, const std::string& str4) override
      EXCLUDES(logMutex, registryMutex);
  void onComponentAdded(tarvin_component* component) override;
  void addStartupClient(const sockaddr_storage& address) override;
  std::string getName() override;
  int getType() override;

  // Level translation between the host's numbering and the clients'. Pure.
  unsigned int numericLevelToClientLevel(unsigned int level) const;
  unsigned int clientLevelToNumeric(unsigned int level) const;
  unsigned int masktoClientMask(unsigned int mask) const;
  unsigned int clientMaskToMask(unsigned int clientMask) const;

 private:
  friend struct CLogtargetRemoteTestPeer;  // white-box tests and the fuzzer

  // Construction.
  int createLogsocket();
  int createCmdPipe();

  // Worker thread and its event loop.
  void workerThreadStartup();
  void onEpollWakeup(std::vector<epoll_event> events, int count);
  int onPipeCommand();
  int addFd(int fd);
  int removeFd(int fd);
  void closeFd(int& fd);

  // Client registry. The worker thread is its only writer, so it reads the
  // registry and keeps iterators into it without the lock (ownClients());
  // each append and erase holds registryMutex against log(), which walks the
  // registry on host threads.
  ClientIterator findClient(sockaddr_in const& address);
  ClientIterator findClient(int fd);
  int addClient(sockaddr_in const& address) EXCLUDES(registryMutex);
  void removeClient(ClientIterator it) EXCLUDES(registryMutex);
  int restartClientTimer(CLogClient& client);
  void onClientTimeout(int fd) EXCLUDES(registryMutex);
  std::size_t clientCount() const;
  bool isEntry(ClientIterator it);  // not the end iterator
  CLogClient lastClient();

  // The registry as its only writer sees it, without the lock. Safe because
  // registryMutex only orders the worker's writes against log()'s reads: a
  // read on the writing thread itself cannot race with a write, and log()
  // never writes. The analysis cannot know which thread runs, so this one
  // accessor is exempt from it. Worker thread only, or while no worker runs
  // (construction; destruction after the join); debug builds check that.
  std::vector<CLogClient>& ownClients() NO_THREAD_SAFETY_ANALYSIS;

  // Requests and replies.
  void onLogSocketReceive();
  void onDRQ(const sockaddr_in& sender);
  void onRRQ(const sockaddr_in& sender);
  void onURQ(const sockaddr_in& sender);
  void onSLV(const sockaddr_in& sender, char* payload, unsigned int length);
  void onGLVD(const sockaddr_in& sender, char* payload, unsigned int length);
  void sendDiscoveryResponse(const sockaddr_in& destination);
  void sendRegistrationConfirm(const CLogClient& client);
  void sendComponentInfo(const sockaddr_in& destination, const std::string& name,
                         std::uint32_t requestId);
  void sendLevelDescriptions(const sockaddr_in& destination, const std::string& name,
                             std::uint32_t requestId);
  // Shared by the discovery response and the registration confirm.
  void sendApplicationName(std::uint32_t descriptor, const char* reply,
                           const sockaddr_in& destination);
  void writeHeader(char* buffer, std::uint32_t descriptor) const;
  void sendProtocolBuffer(std::size_t length, const sockaddr_in& destination);

  // Descriptors: -1 while closed. Opened by the constructor, closed by the
  // destructor; the worker thread uses them in between.
  int epollFd = -1;
  int logSocket = -1;
  int cmdPipeReadFd = -1;
  int cmdPipeWriteFd = -1;

  // Changed by the worker thread, walked by log() on host threads.
  Mutex registryMutex;
  std::vector<CLogClient> clients GUARDED_BY(registryMutex);
  // clients.size(), stored under registryMutex after each append and erase,
  // so that log() can skip the lock while nobody is registered.
  std::atomic<std::size_t> registeredCount{0};

  std::thread* workerThread = nullptr;  // null when no worker thread runs
  // Set by the worker thread as it starts, cleared after the join: whose
  // calls ownClients() accepts.
  std::thread::id workerId;

  // Worker thread only; no lock.
  bool stopRequested = false;
  std::vector<char> protocolBuffer;  // each request, then its reply

  // log() only, on host threads: one record at a time. A plain mutex: a
  // waiter sleeps in the kernel and never holds anything while it waits, so
  // a waiter that is preempted, stopped, cancelled or running a signal
  // handler keeps nobody else from a free lock (log_forwarding.cpp).
  Mutex logMutex;
  std::vector<char> logBuffer GUARDED_BY(logMutex);
  std::uint32_t sequenceNumber GUARDED_BY(logMutex) = 0;  // wraps to 0

  // Set by the constructor, read-only afterwards.
  std::array<std::uint32_t, 4> uuid{};  // each word in host byte order

  // Set by createCmdPipe(): false when the stop byte could never wake the
  // worker thread, which is then not started (it could not be joined).
  bool cmdPipeWatched = false;
};
