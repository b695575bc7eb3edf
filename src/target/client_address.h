// src/target/client_address.h: a client's IPv4 address as text for messages.
//
// Threads: any; the host's addr2str() is thread-safe.
#pragma once

#include <netinet/in.h>

#include <string>

// 46 characters with the dotted address at the front; printed with %s it
// shows the text up to the NUL that addr2str() wrote. The port is not part
// of it: messages print it beside.
std::string addressToString(sockaddr_in const& address);
