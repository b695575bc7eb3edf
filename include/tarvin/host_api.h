// include/tarvin/host_api.h
//
// The functions that a host process supplies to the plug-ins it loads. They
// have C++ linkage; a plug-in leaves them undefined and the dynamic linker
// binds them to the host's definitions when the plug-in is loaded.
//
// Threads: the host makes every one of them safe to call from any thread.
#pragma once

#include <netinet/in.h>

#include <string>
#include <utility>
#include <vector>

#pragma GCC visibility push(default)

struct tarvin_level;

// The application's name. The reference stays valid, its text unchanged,
// until the calling thread calls this function again or ends; a host may
// rename itself at any time without touching it.
const std::string& tarvin_get_application_name();
// Appends the name of every component, in the host's order.
void tarvin_get_component_names(std::vector<std::string>& names);
// A component's level mask: bit n enables numeric level n.
unsigned int tarvin_get_component_level(const std::string& component);
void tarvin_set_component_level(const std::string& component, unsigned int mask);
// Appends (numeric level, text) for every level the component offers.
void tarvin_get_level_descriptions(const std::string& component,
                                   std::vector<std::pair<unsigned int, std::string>>& descriptions);
// The mask bit of one level record.
unsigned int tarvin_level_to_mask(const tarvin_level* level);
// A free-running 32-bit tick count.
unsigned int jiffy();
// Writes the dotted text of address into buffer (46 characters and a NUL at
// most) and returns buffer. The port is not part of the text.
char* addr2str(char* buffer, const sockaddr_in* address);

#pragma GCC visibility pop
