#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "libs/common/unix_socket.h"

namespace {

class UnixSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vistrel-uds-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override
    {
        unlink(path("s").c_str());
        rmdir(dir_.c_str());
    }
    std::string path(const char *name) const { return dir_ + "/" + name; }
    static bool exists(const std::string &p)
    {
        struct stat st;
        return lstat(p.c_str(), &st) == 0;
    }

    std::string dir_;
};

TEST_F(UnixSocketTest, ListensForEveryoneAndAcceptsAPeer)
{
    const std::string p = path("s");
    const char *failed = nullptr;
    UniqueFD server = unix_bind(p.c_str(), SOCK_SEQPACKET, {.backlog = 1}, &failed);
    ASSERT_TRUE(server) << failed << ": " << strerror(errno);
    struct stat st;
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    EXPECT_TRUE(fcntl(server.get(), F_GETFD) & FD_CLOEXEC);

    UniqueFD client = unix_connect(p.c_str(), SOCK_SEQPACKET, &failed);
    ASSERT_TRUE(client) << failed;
    UniqueFD accepted(accept(server.get(), nullptr, nullptr));
    ASSERT_TRUE(accepted);
    ASSERT_EQ(send(client.get(), "x", 1, 0), 1);
    char c = 0;
    EXPECT_EQ(recv(accepted.get(), &c, 1, 0), 1);
    EXPECT_EQ(c, 'x');

    // A second bind replaces a stale file left at the path.
    server.reset();
    EXPECT_TRUE(unix_bind(p.c_str(), SOCK_SEQPACKET, {.backlog = 1}, &failed));
}

TEST_F(UnixSocketTest, FailureNamesTheCallAndLeavesNoFileBehind)
{
    const std::string p = path("s");
    const char *failed = nullptr;
    // A datagram socket cannot listen: the file bound a moment before goes.
    UniqueFD fd = unix_bind(p.c_str(), SOCK_DGRAM, {.backlog = 1}, &failed);
    EXPECT_FALSE(fd);
    EXPECT_STREQ(failed, "listen");
    EXPECT_EQ(errno, EOPNOTSUPP);
    EXPECT_FALSE(exists(p));

    // Nobody listening.
    failed = nullptr;
    EXPECT_FALSE(unix_connect(p.c_str(), SOCK_STREAM, &failed));
    EXPECT_STREQ(failed, "connect");
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(UnixSocketTest, LongPathIsRefusedUnlessCuttingIsAsked)
{
    // 108 bytes: one more than an address holds. Cut, it names a file in dir_.
    std::string p = dir_ + "/";
    p += std::string(kUnixPathMax + 1 - p.size(), 'a');
    ASSERT_EQ(p.size(), kUnixPathMax + 1);
    const std::string cut = p.substr(0, kUnixPathMax);
    const char *failed = nullptr;

    EXPECT_FALSE(unix_bind(p.c_str(), SOCK_STREAM, {.backlog = 1}, &failed));
    EXPECT_STREQ(failed, "path");
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(exists(cut));
    EXPECT_FALSE(unix_connect(p.c_str(), SOCK_STREAM, &failed));
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_FALSE(unix_connect(nullptr, SOCK_STREAM, &failed));
    EXPECT_EQ(errno, EINVAL);

    UniqueFD server = unix_bind(cut.c_str(), SOCK_STREAM, {.backlog = 1}, &failed);
    ASSERT_TRUE(server);
    EXPECT_TRUE(unix_connect(p.c_str(), SOCK_STREAM, &failed, /*cut_long_path=*/true));
    server.reset();
    unlink(cut.c_str());
}

}  // namespace
