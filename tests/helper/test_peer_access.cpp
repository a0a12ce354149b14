// The helper with VISTREL_HELPER_GROUP set: both sockets 0660 with the
// group; root and the group's members served; anyone else refused, by the
// file mode or, should the file be reachable, by one error reply and a
// closed connection. The clients run as other users in forked children.
#include <gtest/gtest.h>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "apps/capture-helper/peer_access.h"
#include "tests/helper/helper_fixture.h"

namespace {

constexpr uid_t kOutsider = 54321;
constexpr uid_t kMember = 54322;

class PeerAccessTest : public HelperFixture {
protected:
    void SetUp() override
    {
        const group *video = getgrnam("video");
        if (video == nullptr)
            GTEST_SKIP() << "no group 'video' on this machine";
        gid_ = video->gr_gid;
        setenv("VISTREL_HELPER_GROUP", "video", 1);
        start("1");
        unsetenv("VISTREL_HELPER_GROUP");
    }

    // Runs body in a child that is uid with primary group gid and the
    // given supplementary groups; the child's exit status (0 = all held).
    static int as_user(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::function<int()> &body)
    {
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(groups.size(), groups.data()) < 0 || setgid(gid) < 0 || setuid(uid) < 0)
                _exit(100);
            _exit(body());
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }

    gid_t gid_ = 0;
};

void expect_socket_file(const char *path, gid_t gid)
{
    struct stat st {};
    ASSERT_EQ(stat(path, &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0660u) << path;
    EXPECT_EQ(st.st_gid, gid) << path;
}

TEST_F(PeerAccessTest, RootAndMembersAreServedOthersCannotConnect)
{
    expect_socket_file(UDS_SERVER_PATH, gid_);
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1 dp-3"), "OK\n");
    expect_socket_file(UDS_EVENT_PATH, gid_);

    const int outsider = as_user(kOutsider, kOutsider, {}, [] {
        if (command_connect().valid() || errno != EACCES)
            return 1;
        if (event_connect().valid() || errno != EACCES)
            return 2;
        return 0;
    });
    EXPECT_EQ(outsider, 0);
    disconnect();

    // A member by a supplementary group: the whole session, events included.
    const int member = as_user(kMember, kMember, {gid_}, [] {
        UniqueFD client = command_connect();
        Reply reply;
        if (!client.valid() || request(client.get(), "SET_TARGET /dev/dri/card1 dp-3", &reply) < 0 ||
            reply.text != "OK\n")
            return 1;
        UniqueFD events = event_connect();
        VBlankEvent event{};
        if (!events.valid() || read_event(events.get(), &event) != ssize_t(sizeof event))
            return 2;
        if (request(client.get(), UDS_COMMAND_GET_FRAME, &reply) < 0 || reply.header.error != 0 || reply.fds.size() != 1)
            return 3;
        return 0;
    });
    EXPECT_EQ(member, 0);
    // And by the primary group.
    EXPECT_EQ(as_user(kMember, gid_, {},
                      [] {
                          Reply reply;
                          UniqueFD client = command_connect();
                          return client.valid() && request(client.get(), UDS_COMMAND_GET_FRAME, &reply) == 0 &&
                                         reply.text == "ERROR: No target set. Call SET_TARGET first\n"
                                     ? 0
                                     : 1;
                      }),
              0);
}

// Should the files be reachable (loosened by hand), the credentials still
// decide: one error reply, the connection closed, the uid logged, and the
// event service still waits for its real client.
TEST_F(PeerAccessTest, OutsiderThatReachesTheSocketsIsRefused)
{
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1 dp-3"), "OK\n");
    ASSERT_EQ(chmod(UDS_EVENT_PATH, 0666), 0);
    ASSERT_EQ(chmod(UDS_SERVER_PATH, 0666), 0);

    const int events = as_user(kOutsider, kOutsider, {}, [] {
        UniqueFD fd = event_connect();
        if (!fd.valid())
            return 1;
        char message[128];
        const ssize_t n = recv(fd.get(), message, sizeof message, 0);
        const size_t expected = sizeof(ReplyHeader) + strlen(kPeerRefusedReply);
        if (n != ssize_t(expected) ||
            memcmp(message + sizeof(ReplyHeader), kPeerRefusedReply, n - sizeof(ReplyHeader)) != 0)
            return 2;
        return recv(fd.get(), message, sizeof message, 0) == 0 ? 0 : 3;
    });
    EXPECT_EQ(events, 0);
    EXPECT_TRUE(helper_wait_for_text(helper_, "[Event Thread] refused uid 54321", 5000));
    UniqueFD root_events = event_connect();
    VBlankEvent event{};
    ASSERT_TRUE(root_events.valid());
    EXPECT_EQ(read_event(root_events.get(), &event), ssize_t(sizeof event));

    disconnect();
    const int command = as_user(kOutsider, kOutsider, {}, [] {
        UniqueFD fd = command_connect();
        Reply reply;
        if (!fd.valid() || read_reply(fd.get(), &reply) < 0)
            return 1;
        if (reply.text != kPeerRefusedReply || reply.header.error != 1 || !reply.fds.empty())
            return 2;
        return closes_without_reply(fd.get(), 2000) ? 0 : 3;
    });
    EXPECT_EQ(command, 0);
    EXPECT_TRUE(helper_wait_for_text(helper_, "[Helper Server] refused uid 54321", 5000));
    // The server goes on serving.
    client_ = command_connect();
    ASSERT_TRUE(client_.valid());
    EXPECT_EQ(ask("GET_FRAME"), "ERROR: No target set. Call SET_TARGET first\n");
}

}  // namespace
