// tests/install/foreign_host.cpp
//
// A host that shares no code with this project: it is compiled only against
// the installed framework headers, supplies the host functions itself, loads
// the installed plug-in with dlopen and checks that its target answers a
// discovery request on 57008 and forwards a message to a registered client.
#include <arpa/inet.h>
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <tarvin/tarvin.h>

struct tarvin_level {
  unsigned int mask;
};

const std::string& tarvin_get_application_name() {
  static const std::string name = "foreign-host";
  return name;
}
void tarvin_get_component_names(std::vector<std::string>& names) { names.push_back("core"); }
unsigned int tarvin_get_component_level(const std::string&) { return 0xFF; }
void tarvin_set_component_level(const std::string&, unsigned int) {}
void tarvin_get_level_descriptions(const std::string&,
                                   std::vector<std::pair<unsigned int, std::string>>& d) {
  d.emplace_back(3, "error");
}
unsigned int tarvin_level_to_mask(const tarvin_level* level) { return level->mask; }
unsigned int jiffy() { return 1234; }
char* addr2str(char* buffer, const sockaddr_in* address) {
  inet_ntop(AF_INET, &address->sin_addr, buffer, 46);
  return buffer;
}

static int fail(const char* what) {
  std::fprintf(stderr, "foreign_host: %s\n", what);
  return 1;
}

// Sends `request` to 127.0.0.1:57008 and returns the first 32-bit word of
// the answer, or 0 when none comes within two seconds.
static unsigned int ask(int fd, unsigned int request, std::string* text = nullptr) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(57008);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (request != 0) {
    const unsigned int word = htonl(request);
    sendto(fd, &word, sizeof word, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 2000) != 1) return 0;
  char buffer[2048];
  const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
  if (n < 4) return 0;
  if (text != nullptr) *text = std::string(buffer + 20, strnlen(buffer + 20, n - 20));
  unsigned int word;
  std::memcpy(&word, buffer, 4);
  return ntohl(word);
}

int main(int argc, char** argv) {
  if (argc != 2) return fail("usage: foreign_host PLUGIN");
  void* plugin = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (plugin == nullptr) return fail(dlerror());
  auto entry =
      reinterpret_cast<IDynamicObjectClassFactory* (*)()>(dlsym(plugin, "getClassFactory"));
  if (entry == nullptr) return fail("no getClassFactory");
  IDynamicObjectClassFactory* factory = entry();
  auto* target = dynamic_cast<ILogTarget*>(factory->create("LogTarget", nullptr));
  if (target == nullptr) return fail("no target");

  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  std::string name;
  if (ask(fd, 1, &name) != 2 || name != "foreign-host")
    return fail("no discovery response on 57008");
  if (ask(fd, 16) != 17 || ask(fd, 0) != 34) return fail("registration not confirmed");
  tarvin_level level{1u << 5};
  target->log(1, 2, 3, 4, &level, "core", "f.cpp", "main", "hello");
  std::string component;
  if (ask(fd, 0, &component) != 48) return fail("no log record");

  factory->release(target);
  close(fd);
  dlclose(plugin);
  std::puts("foreign_host: ok");
  return 0;
}
