// common/include/common/client_socket.h
//
// A client's UDP socket, bound at once to an ephemeral port that is none of
// the targets' ports (57008-57017). The kernel may offer any of them: a
// client sitting on a target's port sends its requests for that port to
// itself, and keeps a target that starts later off it.
//
// Threads: a free function; callable from any thread.
#pragma once

#include <netinet/in.h>

#include "common/unique_fd.h"

// A UDP socket (close-on-exec) bound to `local`'s address on a port the
// kernel chose outside the targets' range; empty, with errno set, when the
// socket cannot be made or no such port is free.
UniqueFd bindClientSocket(sockaddr_in local);
