// capture-helper's command socket against the real program: reply framing
// and texts, the line reader's limits, one client at a time, target
// resolution on scenario worlds, the frame reply with its descriptors, the
// failed export, and the refusal of paths that are not DRM devices.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "tests/helper/helper_fixture.h"

namespace {

constexpr const char *kDefaultTarget = "SET_TARGET /dev/dri/card1 dp-3";

class HelperTest : public HelperFixture {
protected:
    void start_world(const std::string &text) { start(write_scenario("server-world.txt", text).c_str()); }
};

std::string read_raw(int fd, size_t size)
{
    std::string data(size, '\0');
    size_t got = 0;
    while (got < size) {
        ssize_t n = recv(fd, data.data() + got, size - got, 0);
        if (n <= 0)
            break;
        got += size_t(n);
    }
    data.resize(got);
    return data;
}

// Two devices: one with connectors of several kinds and states, one without
// the multi-plane framebuffer query.
constexpr const char *kResolutionWorld = R"(
device /dev/dri/card0
framebuffer 1 640x480 XR24
framebuffer 2 64x32 NV12 modifier=72057594037927937
crtc 10 640x480@60 fb=1
crtc 11 64x32@30 fb=2
crtc 12 640x480@60
encoder 20 crtc=10
encoder 21 crtc=11
encoder 22
encoder 23 crtc=12
connector 30 HDMI-A-1 connected encoders=20
connector 31 Virtual-1 connected encoders=21
connector 32 DP-2 disconnected encoders=20
connector 33 DP-4 connected encoders=22
connector 34 eDP-1 connected encoders=23
device /dev/dri/card5 no-getfb2
framebuffer 3 320x200 XR24 pitch=1536
crtc 40 320x200@75 fb=3
encoder 41 crtc=40
connector 42 DP-1 connected encoders=41
)";

}  // namespace

TEST_F(HelperTest, RepliesHaveExactFramingAndTexts)
{
    start("1");
    ASSERT_EQ(send_all(client_.get(), std::string(kDefaultTarget) + "\n"), 0);
    const unsigned char ok[19] = {0xEF, 0xBE, 0xAD, 0xDE, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'O', 'K', '\n'};
    EXPECT_EQ(read_raw(client_.get(), 19), std::string(reinterpret_cast<const char *>(ok), 19));

    ASSERT_EQ(send_all(client_.get(), "get_frame\n"), 0);
    std::string unknown = read_raw(client_.get(), 16 + 23);
    ASSERT_EQ(unknown.size(), 39u);
    ReplyHeader header;
    memcpy(&header, unknown.data(), sizeof header);
    EXPECT_EQ(header.magic, 0xDEADBEEFu);
    EXPECT_EQ(header.length, 23u);
    EXPECT_EQ(header.num_fds, 0u);
    EXPECT_EQ(header.error, 1u);
    EXPECT_EQ(unknown.substr(16), "ERROR: Unknown command\n");
    EXPECT_TRUE(stays_silent(client_.get(), 100));

    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1"), "ERROR: SET_TARGET needs 2 args\n");
    EXPECT_EQ(ask("SET_TARGET"), "ERROR: SET_TARGET needs 2 args\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1 dp-7"), "ERROR: Cannot update state\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1 dp3"), "ERROR: Cannot update state\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card9 dp-3"), "ERROR: Cannot open DRM device\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1 usb-1"), "ERROR: Cannot open DRM device\n");
    EXPECT_EQ(ask("Set_Target /dev/dri/card1 dp-3"), "ERROR: Unknown command\n");
    // A third argument is ignored.
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1 dp-3 extra"), "OK\n");
    EXPECT_NE(helper_log(helper_).find("invalid type_str"), std::string::npos);

    Reply reply;
    UniqueFD fresh = command_connect();
    client_.reset();  // the next client is served once this one has gone
    ASSERT_EQ(request(fresh.get(), "GET_FRAME", &reply), 0);
    EXPECT_EQ(reply.text, "ERROR: No target set. Call SET_TARGET first\n");
    EXPECT_EQ(reply.header.error, 1u);
    EXPECT_TRUE(reply.fds.empty());
}

TEST_F(HelperTest, LineReaderSkipsBlankLinesAndLimitsLength)
{
    start("1");
    // Blank lines, blanks only and CRLF produce no reply; the CR is a separator.
    ASSERT_EQ(send_all(client_.get(), "\n\n   \n\t \r\n"), 0);
    EXPECT_TRUE(stays_silent(client_.get(), 200));
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card1 dp-3\r"), "OK\n");

    // 254 characters before the newline are one request.
    std::string longest = "GET_FRAME" + std::string(254 - 9, ' ');
    Reply frame;
    ASSERT_EQ(request(client_.get(), longest, &frame), 0);
    EXPECT_EQ(frame.header.error, 0u);
    EXPECT_EQ(frame.fds.size(), 1u);

    // A 255th character ends the connection without a reply.
    ASSERT_EQ(send_all(client_.get(), std::string(255, 'A') + "\n"), 0);
    EXPECT_TRUE(closes_without_reply(client_.get(), 5000));

    // The server goes on with the next client; a last command without a
    // newline is still answered when the client stops writing.
    client_ = command_connect();
    ASSERT_TRUE(client_.valid());
    ASSERT_EQ(send_all(client_.get(), "GET_FRAME"), 0);
    shutdown(client_.get(), SHUT_WR);
    Reply last;
    ASSERT_EQ(read_reply(client_.get(), &last), 0);
    EXPECT_EQ(last.text, "ERROR: No target set. Call SET_TARGET first\n");
    EXPECT_TRUE(closes_without_reply(client_.get(), 5000));
}

TEST_F(HelperTest, SecondClientWaitsUntilFirstLeaves)
{
    start("1");
    EXPECT_EQ(ask(kDefaultTarget), "OK\n");
    UniqueFD second = command_connect();
    ASSERT_TRUE(second.valid());
    ASSERT_EQ(send_all(second.get(), "GET_FRAME\n"), 0);
    EXPECT_TRUE(stays_silent(second.get(), 300));
    // The first client is still served meanwhile.
    EXPECT_EQ(ask("HELLO"), "ERROR: Unknown command\n");
    client_.reset();
    Reply reply;
    ASSERT_EQ(read_reply(second.get(), &reply), 0);
    // The second client starts without the first one's target.
    EXPECT_EQ(reply.text, "ERROR: No target set. Call SET_TARGET first\n");
}

TEST_F(HelperTest, PortNamesResolveOnScenarioWorld)
{
    start_world(kResolutionWorld);
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 HDMI-1"), "OK\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 hdmi-1"), "OK\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 dp-virt-1"), "OK\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 VIRTUAL-1"), "OK\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 vkms-1"), "OK\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 edp-1"), "OK\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card5 displayport-1"), "OK\n");
    // Disconnected, absent index, wrong type.
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 dp-2"), "ERROR: Cannot update state\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 hdmi-2"), "ERROR: Cannot update state\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 vga-1"), "ERROR: Cannot update state\n");
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 sdi-1"), "ERROR: Cannot open DRM device\n");

    // Failed SET_TARGETs above left the card5 target usable.
    Reply reply;
    ASSERT_EQ(request(client_.get(), "GET_FRAME", &reply), 0);
    EXPECT_EQ(reply.text, "w=320|h=200|f=875713112|s=1536|o=0|m=0|r=0");
    EXPECT_EQ(reply.header.length, reply.text.size());
    EXPECT_EQ(reply.header.num_fds, 1u);
    EXPECT_EQ(reply.fds.size(), 1u);

    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 hdmi-1"), "OK\n");
    ASSERT_EQ(request(client_.get(), "GET_FRAME", &reply), 0);
    EXPECT_EQ(reply.text, "w=640|h=480|f=875713112|s=2560|o=0|m=0|r=60");
    EXPECT_EQ(reply.fds.size(), 1u);
    // The single-plane frame tried planes 1 to 3 and logged each failure.
    EXPECT_EQ(helper_count_text(helper_, "drmPrimeHandleToFD: "), 3);

    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 virtual-1"), "OK\n");
    ASSERT_EQ(request(client_.get(), "GET_FRAME", &reply), 0);
    EXPECT_EQ(reply.text, "w=64|h=32|f=842094158|s=64|o=0|m=72057594037927937|r=30\r\ns=64|o=2048");
    EXPECT_EQ(reply.header.num_fds, 2u);
    ASSERT_EQ(reply.fds.size(), 2u);
    struct stat a {
    }, b{};
    ASSERT_EQ(fstat(reply.fds[0].get(), &a), 0);
    ASSERT_EQ(fstat(reply.fds[1].get(), &b), 0);
    EXPECT_GE(uint64_t(a.st_size), 64u * 48u);
}

TEST_F(HelperTest, FailedExportAnswersAndEndsServerWith255)
{
    start_world(kResolutionWorld);
    // dp-4's encoder drives no CRTC: the target is set, the frame fails.
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 dp-4"), "OK\n");
    UniqueFD events = event_connect();
    ASSERT_TRUE(events.valid());
    VBlankEvent event;
    EXPECT_EQ(read_event(events.get(), &event), 0);  // closed at once
    EXPECT_TRUE(helper_wait_for_text(helper_, "[Event Handler] Invalid DRM config\n", 2000));

    Reply reply;
    ASSERT_EQ(request(client_.get(), "GET_FRAME", &reply), 0);
    EXPECT_EQ(reply.text, "ERROR: fill_meta_data fail\n");
    EXPECT_EQ(reply.header.error, 1u);
    int status = 0;
    ASSERT_EQ(helper_wait_exit(&helper_, 5000, &status), 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 255);
    struct stat st {};
    EXPECT_EQ(stat(UDS_SERVER_PATH, &st), 0);
}

TEST_F(HelperTest, CrtcWithoutFramebufferFailsExport)
{
    start_world(kResolutionWorld);
    EXPECT_EQ(ask("SET_TARGET /dev/dri/card0 edp-1"), "OK\n");
    EXPECT_EQ(ask("GET_FRAME"), "ERROR: fill_meta_data fail\n");
    int status = 0;
    ASSERT_EQ(helper_wait_exit(&helper_, 5000, &status), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 255);
}

TEST_F(HelperTest, FrameDescriptorsShowMovingPictureWithoutLeaks)
{
    start("1");
    EXPECT_EQ(ask(kDefaultTarget), "OK\n");
    Reply first;
    ASSERT_EQ(request(client_.get(), "GET_FRAME", &first), 0);
    EXPECT_EQ(first.text, "w=2560|h=1440|f=875713112|s=10240|o=0|m=0|r=60");
    ASSERT_EQ(first.fds.size(), 1u);
    const int baseline = helper_fd_count(helper_);
    ASSERT_GT(baseline, 0);

    const size_t size = size_t(10240) * 1440;
    void *map = mmap(nullptr, size, PROT_READ, MAP_SHARED, first.fds[0].get(), 0);
    ASSERT_NE(map, MAP_FAILED);
    std::string before(static_cast<const char *>(map), size);
    EXPECT_NE(before, std::string(size, '\0'));
    usleep(100000);  // several vertical blanks
    EXPECT_NE(memcmp(before.data(), map, size), 0);
    munmap(map, size);
    // The server sends read-only descriptors.
    EXPECT_EQ(fcntl(first.fds[0].get(), F_GETFL) & O_ACCMODE, O_RDONLY);

    for (int i = 0; i < 1000; ++i) {
        Reply reply;
        ASSERT_EQ(request(client_.get(), "GET_FRAME", &reply), 0) << "request " << i;
        ASSERT_EQ(reply.fds.size(), 1u);
    }
    EXPECT_LE(helper_fd_count_settled(helper_, baseline, 1000), baseline);
}

// The production backend opens nothing but DRM character devices.
TEST_F(HelperTest, PathsThatAreNotDrmDevicesAreRefused)
{
    start(nullptr);
    ASSERT_EQ(mkfifo("/tmp/server-fifo", 0666), 0);
    write_scenario("server-regular-file", "not a device\n");
    // Once a reply came, the connection is accepted and counted.
    EXPECT_EQ(ask("PING"), "ERROR: Unknown command\n");
    const int baseline = helper_fd_count(helper_);
    EXPECT_EQ(ask("SET_TARGET /tmp/server-fifo dp-1"), "ERROR: Cannot open DRM device\n");
    EXPECT_EQ(ask("SET_TARGET /tmp/server-regular-file dp-1"), "ERROR: Cannot open DRM device\n");
    EXPECT_EQ(ask("SET_TARGET /dev/null dp-1"), "ERROR: Cannot open DRM device\n");
    EXPECT_EQ(ask("SET_TARGET /dev/zero dp-1"), "ERROR: Cannot open DRM device\n");
    EXPECT_EQ(ask("SET_TARGET /tmp/absent dp-1"), "ERROR: Cannot open DRM device\n");
    // Still serving, and nothing was kept open.
    EXPECT_EQ(ask("GET_FRAME"), "ERROR: No target set. Call SET_TARGET first\n");
    EXPECT_EQ(helper_fd_count(helper_), baseline);
    client_.reset();
    client_ = command_connect();
    EXPECT_EQ(ask("PING"), "ERROR: Unknown command\n");
}
