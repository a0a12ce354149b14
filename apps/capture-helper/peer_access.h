// Who may use the helper's two sockets. By default anyone who can reach the
// socket files may (mode 0666, no credentials checked). When the helper's
// environment names a group in VISTREL_HELPER_GROUP, both socket files are
// made 0660 with that group, and each accepted connection's credentials
// (SO_PEERCRED, and the peer's supplementary groups) are checked: root and
// members of the group are served; anyone else gets one error reply, is
// disconnected, and a log line names its uid.
#pragma once

#include <sys/types.h>

// The reply a refused peer gets, before the connection is closed.
constexpr const char *kPeerRefusedReply = "ERROR: Permission denied\n";

// Reads VISTREL_HELPER_GROUP (unset or empty: no restriction). 0, or -1
// after writing why to standard error (a group that does not exist).
int peer_access_init();

// As peer_access_init with the group name given (nullptr or "": none).
int peer_access_init_with(const char *group);

// The mode the socket files get: 0666, or 0660 when restricted.
mode_t peer_access_socket_mode();

// Gives the socket file at path the group, when restricted. 0, or -1 with
// errno set.
int peer_access_set_group(const char *path);

// Whether the peer of connection fd may be served. A refused peer has been
// sent kPeerRefusedReply and logged ("<log_prefix> refused uid N ...");
// the caller closes the connection.
bool peer_access_admit(int fd, const char *log_prefix);
