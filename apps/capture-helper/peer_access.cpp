#include "apps/capture-helper/peer_access.h"

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/capture-helper/reply.h"

namespace {

struct Access {
    bool restricted = false;
    gid_t gid = 0;
    std::string group;
};

// Set once at start-up, before any socket exists; read-only afterwards.
Access access_rule;

// The peer's supplementary groups as they were when it connected.
bool peer_in_group(int fd, gid_t gid)
{
    std::vector<gid_t> groups(64);
    for (int tries = 0; tries < 4; ++tries) {
        socklen_t length = socklen_t(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            for (gid_t g : groups)
                if (g == gid)
                    return true;
            return false;
        }
        if (errno != ERANGE)
            return false;
        groups.resize(length / sizeof(gid_t) + 1);
    }
    return false;
}

}  // namespace

int peer_access_init_with(const char *group)
{
    access_rule = Access{};
    if (group == nullptr || *group == '\0')
        return 0;
    errno = 0;
    const struct group *entry = getgrnam(group);
    if (entry == nullptr) {
        fprintf(stderr, "[Helper] VISTREL_HELPER_GROUP names no group: %s\n", group);
        return -1;
    }
    access_rule.restricted = true;
    access_rule.gid = entry->gr_gid;
    access_rule.group = group;
    printf("[Helper] Sockets restricted to root and group %s (gid %u)\n", group, unsigned(entry->gr_gid));
    return 0;
}

int peer_access_init()
{
    return peer_access_init_with(std::getenv("VISTREL_HELPER_GROUP"));
}

mode_t peer_access_socket_mode()
{
    return access_rule.restricted ? 0660 : 0666;
}

int peer_access_set_group(const char *path)
{
    if (!access_rule.restricted)
        return 0;
    return chown(path, uid_t(-1), access_rule.gid);
}

bool peer_access_admit(int fd, const char *log_prefix)
{
    if (!access_rule.restricted)
        return true;
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) < 0) {
        fprintf(stderr, "%s refused a peer whose credentials cannot be read\n", log_prefix);
        send_message(fd, kPeerRefusedReply, nullptr, 0, 0);
        return false;
    }
    if (peer.uid == 0 || peer.gid == access_rule.gid || peer_in_group(fd, access_rule.gid))
        return true;
    printf("%s refused uid %u (pid %d): not root and not in group %s\n", log_prefix, unsigned(peer.uid), int(peer.pid),
           access_rule.group.c_str());
    send_message(fd, kPeerRefusedReply, nullptr, 0, 0);
    return false;
}
