#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "libs/framelink/description.h"
#include "tests/framelink/fake_helper.h"

using namespace std::chrono_literals;

namespace {

struct Client {
    ServerConnection conn{};
    ~Client() { uds_client_disconnect(&conn); }
};

ServerReply reply_with(char *buf, size_t size, framelink::FrameMetadata *meta = nullptr)
{
    ServerReply r{};
    r.message = buf;
    r.message_size = size;
    r.metadata = meta;
    return r;
}

uint8_t first_byte(int fd)
{
    void *p = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED)
        return 0;
    uint8_t v = *static_cast<uint8_t *>(p);
    munmap(p, 4096);
    return v;
}

}  // namespace

TEST(FramelinkCommands, SetTargetAcceptsOnlyOk)
{
    fake::CommandServer server({
        {"ERROR: Cannot update state\n", true}, {"OK\n"}, {"OK\n", false, {}, 0x12345678},  // wrong magic
    });
    Client c;
    ASSERT_EQ(uds_client_connect(&c.conn, UDS_SERVER_PATH), 0);
    EXPECT_GT(c.conn.fd.get(), 0);
    EXPECT_EQ(c.conn.event_fd.get(), -1);

    char msg[256];
    ServerReply r = reply_with(msg, sizeof(msg));
    EXPECT_NE(uds_client_set_context(&c.conn, "SET_TARGET /dev/dri/card1 dp-9 \n", &r, 2000), 0);
    EXPECT_STREQ(msg, "ERROR: Cannot update state\n");
    EXPECT_EQ(r.header.error, 1u);

    EXPECT_EQ(uds_client_set_context(&c.conn, "SET_TARGET /dev/dri/card1 dp-3 \n", &r, 2000), 0);
    EXPECT_STREQ(msg, "OK\n");
    EXPECT_EQ(r.header.length, 3u);

    EXPECT_NE(uds_client_set_context(&c.conn, "SET_TARGET /dev/dri/card1 dp-3 \n", &r, 2000), 0);
    EXPECT_EQ(errno, EPROTO);

    auto lines = server.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "SET_TARGET /dev/dri/card1 dp-3 \n");
}

TEST(FramelinkCommands, ConnectFailsWithoutServer)
{
    Client c;
    EXPECT_NE(uds_client_connect(&c.conn, UDS_SERVER_PATH), 0);
    EXPECT_EQ(c.conn.fd.get(), -1);
}

TEST(FramelinkCommands, ReplyTimeLimitAndSmallMessageBuffer)
{
    {
        fake::CommandServer server({{"", false, {}, UDS_REPLY_MAGIC, -1, 0, true}});
        Client c;
        ASSERT_EQ(uds_client_connect(&c.conn, UDS_SERVER_PATH), 0);
        char msg[16];
        ServerReply r = reply_with(msg, sizeof(msg));
        EXPECT_NE(uds_client_set_context(&c.conn, "SET_TARGET a b \n", &r, 200), 0);
        EXPECT_EQ(errno, ETIMEDOUT);
    }
    std::string long_error = "ERROR: " + std::string(300, 'x') + "\n";
    fake::CommandServer server({{long_error, true}});
    Client c;
    ASSERT_EQ(uds_client_connect(&c.conn, UDS_SERVER_PATH), 0);
    char msg[16];
    ServerReply r = reply_with(msg, sizeof(msg));
    EXPECT_NE(uds_client_set_context(&c.conn, "SET_TARGET a b \n", &r, 2000), 0);
    EXPECT_EQ(std::string(msg), long_error.substr(0, 15));
}

// A reply that comes after its time limit must not pass for the reply to the
// next command.
TEST(FramelinkCommands, LateReplyIsNotTakenForTheNextOne)
{
    fake::CommandServer server({
        {"OK\n", false, {}, UDS_REPLY_MAGIC, -1, 0, false, 300},
        {"ERROR: Cannot update state\n", true},
    });
    Client c;
    ASSERT_EQ(uds_client_connect(&c.conn, UDS_SERVER_PATH), 0);
    char msg[64];
    ServerReply r = reply_with(msg, sizeof(msg));
    EXPECT_NE(uds_client_set_context(&c.conn, "SET_TARGET /dev/dri/card1 dp-3 \n", &r, 100), 0);
    EXPECT_EQ(errno, ETIMEDOUT);
    std::this_thread::sleep_for(400ms);
    EXPECT_NE(uds_client_set_context(&c.conn, "SET_TARGET /dev/dri/card1 hdmi-1 \n", &r, 2000), 0);
    EXPECT_EQ(errno, EPROTO);
    EXPECT_EQ(server.lines().size(), 1u) << "nothing is sent on a connection out of step";
    // A new connection starts in step.
    uds_client_disconnect(&c.conn);
    EXPECT_EQ(c.conn.out_of_step, 0);
}

TEST(FramelinkFrames, OneAndTwoPlanesWithDescriptors)
{
    UniqueFD p0 = fake::make_memfd(8192, [](size_t) { return uint8_t(0x11); });
    UniqueFD p1 = fake::make_memfd(8192, [](size_t) { return uint8_t(0x22); });
    const std::string one = "w=2560|h=1440|f=875713112|s=10240|o=0|m=0|r=60";
    // NV12 with a vendor modifier above 32 bits; the chroma line is split
    // from the header to check reassembly.
    const std::string two = "w=64|h=32|f=842094158|s=64|o=0|m=72057594037927940|r=0\r\ns=64|o=2048";
    fake::CommandServer server({
        {one, false, {p0.get()}},
        {two, false, {p0.get(), p1.get()}, UDS_REPLY_MAGIC, -1, 10},
    });
    Client c;
    ASSERT_EQ(uds_client_connect(&c.conn, UDS_SERVER_PATH), 0);
    server.wait_accepted();
    int before = fake::open_fd_count();

    char msg[256];
    framelink::FrameMetadata meta{};
    ServerReply r = reply_with(msg, sizeof(msg), &meta);
    ASSERT_EQ(uds_client_get_frame_info(&c.conn, UDS_GET_FRAME_COMMAND, &r, 2000), 0);
    EXPECT_TRUE(r.has_frame);
    EXPECT_EQ(meta.width, 2560u);
    EXPECT_EQ(meta.height, 1440u);
    EXPECT_EQ(meta.format, 875713112u);
    EXPECT_EQ(meta.stride, 10240u);
    EXPECT_EQ(meta.refresh_rate, 60u);
    EXPECT_EQ(meta.plane_count, 1);
    EXPECT_EQ(meta.planes[0].fd.get(), meta.fd);
    EXPECT_EQ(meta.planes[1].fd.get(), -1);
    EXPECT_EQ(first_byte(meta.fd), 0x11);
    EXPECT_EQ(fake::open_fd_count(), before + 1);
    uds_client_close_frame(&meta);
    EXPECT_EQ(fake::open_fd_count(), before);

    ASSERT_EQ(uds_client_get_frame_info(&c.conn, UDS_GET_FRAME_COMMAND, &r, 2000), 0);
    EXPECT_EQ(meta.plane_count, 2);
    EXPECT_EQ(meta.modifier, 72057594037927940ull);
    EXPECT_EQ(meta.format, 842094158u);
    EXPECT_EQ(meta.planes[1].stride, 64u);
    EXPECT_EQ(meta.planes[1].offset, 2048u);
    EXPECT_EQ(first_byte(meta.planes[0].fd.get()), 0x11);
    EXPECT_EQ(first_byte(meta.planes[1].fd.get()), 0x22);
    uds_client_close_frame(&meta);
    EXPECT_EQ(fake::open_fd_count(), before);
}

TEST(FramelinkFrames, BadRepliesLeaveNoDescriptorOpen)
{
    UniqueFD p0 = fake::make_memfd(4096, [](size_t) { return uint8_t(1); });
    const std::string good = "w=1|h=1|f=875713112|s=4|o=0|m=0|r=60";
    fake::CommandServer server({
        {"ERROR: No target set. Call SET_TARGET first\n", true},
        {good + "\r\ns=4|o=0", false, {p0.get()}},                     // two lines, one descriptor
        {"w=1|h=1|f=875713112|s=4|o=0|m=0", false, {p0.get()}},        // a field missing
        {"w=1|h=1|f=99999999999|s=4|o=0|m=0|r=0", false, {p0.get()}},  // above 32 bits
        {good, false, {p0.get()}, UDS_REPLY_MAGIC, 2},                 // header counts two
        {""},                                                          // no plane exported
    });
    Client c;
    ASSERT_EQ(uds_client_connect(&c.conn, UDS_SERVER_PATH), 0);
    server.wait_accepted();
    int before = fake::open_fd_count();
    char msg[256];
    framelink::FrameMetadata meta{};
    ServerReply r = reply_with(msg, sizeof(msg), &meta);

    EXPECT_NE(uds_client_get_frame_info(&c.conn, UDS_GET_FRAME_COMMAND, &r, 2000), 0);
    EXPECT_STREQ(msg, "ERROR: No target set. Call SET_TARGET first\n");
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(uds_client_get_frame_info(&c.conn, UDS_GET_FRAME_COMMAND, &r, 2000), 0) << i;
        EXPECT_FALSE(r.has_frame);
        EXPECT_EQ(fake::open_fd_count(), before) << i;
    }
    EXPECT_EQ(uds_client_get_frame_info(&c.conn, UDS_GET_FRAME_COMMAND, &r, 2000), 0);
    EXPECT_FALSE(r.has_frame);
}

// The helper writes and the library reads the description through one pair:
// every text written reads back to the same fields, and the parser takes
// nothing else.
TEST(FramelinkDescription, WrittenTextReadsBackAndNothingElseDoes)
{
    const framelink::Description cases[] = {
        {2560, 1440, 875713112, 0, 60, 1, {{10240, 0}}},
        {64, 32, 842094158, 72057594037927940ull, 0, 2, {{64, 0}, {64, 2048}}},
        {UINT32_MAX, 1, 0, UINT64_MAX, UINT32_MAX, 4, {{UINT32_MAX, UINT32_MAX}, {0, 1}, {2, 3}, {4, 5}}},
    };
    const char *const texts[] = {
        "w=2560|h=1440|f=875713112|s=10240|o=0|m=0|r=60",
        "w=64|h=32|f=842094158|s=64|o=0|m=72057594037927940|r=0\r\ns=64|o=2048",
        "w=4294967295|h=1|f=0|s=4294967295|o=4294967295|m=18446744073709551615|r=4294967295\r\ns=0|o=1\r\n"
        "s=2|o=3\r\ns=4|o=5",
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const framelink::Description &d = cases[i];
        const std::string text = framelink::write_description(d);
        EXPECT_EQ(text, texts[i]);
        framelink::Description back{};
        ASSERT_TRUE(framelink::parse_description(text, &back)) << text;
        EXPECT_EQ(back.width, d.width);
        EXPECT_EQ(back.height, d.height);
        EXPECT_EQ(back.format, d.format);
        EXPECT_EQ(back.modifier, d.modifier);
        EXPECT_EQ(back.refresh, d.refresh);
        ASSERT_EQ(back.plane_count, d.plane_count);
        for (int p = 0; p < d.plane_count; ++p) {
            EXPECT_EQ(back.planes[p].stride, d.planes[p].stride) << text;
            EXPECT_EQ(back.planes[p].offset, d.planes[p].offset) << text;
        }
    }
    const std::string one = texts[0];
    const std::string refused[] = {
        "",
        one + "\r\ns=1|o=0\r\ns=1|o=0\r\ns=1|o=0\r\ns=1|o=0",  // five planes
        one + "|x=1",                                          // a field too many
        one + "\n",                                            // a bare line feed
        one + "\r\nw=1|h=1|f=1|s=1|o=0|m=0|r=0",               // a full line for plane 1
        "h=1440|w=2560|f=875713112|s=10240|o=0|m=0|r=60",      // fields out of order
        "w=4294967296|h=1|f=0|s=4|o=0|m=0|r=0",                // above 32 bits
        "w=-1|h=1|f=0|s=4|o=0|m=0|r=0",
        "w=1|h=1|f=0|s=4|o=0|m=18446744073709551616|r=0",  // above 64 bits
        "w=1|h=1|f=0|s=4|o=0|m=0|r=",
    };
    for (const std::string &text : refused) {
        framelink::Description untouched{7};
        EXPECT_FALSE(framelink::parse_description(text, &untouched)) << text;
        EXPECT_EQ(untouched.width, 7u);
    }
    const framelink::Description none{};
    EXPECT_EQ(framelink::write_description(none), "");
}

TEST(FramelinkEvents, ConnectRetriesUntilTheSocketExists)
{
    fake::EventServer events(3, 10ms, 400ms);
    Client c;
    ASSERT_EQ(uds_client_event_connect(&c.conn, UDS_EVENT_PATH), 0);
    EXPECT_GT(c.conn.event_fd.get(), 0);
    VBlankEvent ev{};
    ASSERT_EQ(uds_client_event_read(&c.conn, &ev), 0);
    EXPECT_EQ(ev.type, 1u);
    EXPECT_EQ(ev.length, 24u);
    EXPECT_EQ(ev.sequence, 1u);
}

TEST(FramelinkEvents, ConnectGivesUpWhenNoSocketAppears)
{
    Client c;
    EXPECT_NE(uds_client_event_connect(&c.conn, UDS_EVENT_PATH), 0);
    EXPECT_EQ(c.conn.event_fd.get(), -1);
}

// A pipeline calls the write right before its listener starts reading; the
// server would end the stream on any byte, so every event must still arrive.
TEST(FramelinkEvents, WriteThenReadKeepsTheStream)
{
    fake::EventServer events(30, 2ms);
    Client c;
    ASSERT_EQ(uds_client_event_connect(&c.conn, UDS_EVENT_PATH), 0);
    const uint64_t two = 2;
    ASSERT_EQ(uds_client_event_write(&c.conn, &two), 0);
    for (uint64_t seq = 1; seq <= 30; ++seq) {
        VBlankEvent ev{};
        ASSERT_EQ(uds_client_event_read(&c.conn, &ev), 0) << seq;
        EXPECT_EQ(ev.sequence, seq);
        EXPECT_EQ(ev.server_time_ns, fake::make_event(seq).server_time_ns);
    }
    EXPECT_EQ(uds_client_event_write(&c.conn, &two), 0);
    EXPECT_FALSE(events.client_wrote());
    EXPECT_EQ(uds_client_event_write(&c.conn, nullptr), -1);
}

TEST(FramelinkEvents, EndedOrMalformedStreamIsReported)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFD server(pair[1]);
    Client c;
    c.conn.event_fd.reset(pair[0]);
    const uint64_t two = 2;

    char short_msg[16] = {1};
    ASSERT_EQ(send(server.get(), short_msg, sizeof(short_msg), 0), 16);
    VBlankEvent ev{};
    EXPECT_NE(uds_client_event_read(&c.conn, &ev), 0);
    char long_msg[40] = {};
    VBlankEvent good = fake::make_event(7);
    std::memcpy(long_msg, &good, sizeof(good));
    ASSERT_EQ(send(server.get(), long_msg, sizeof(long_msg), 0), 40);
    EXPECT_NE(uds_client_event_read(&c.conn, &ev), 0);
    VBlankEvent wrong_type = good;
    wrong_type.type = 2;
    ASSERT_EQ(send(server.get(), &wrong_type, sizeof(wrong_type), 0), 32);
    EXPECT_NE(uds_client_event_read(&c.conn, &ev), 0);
    ASSERT_EQ(send(server.get(), &good, sizeof(good), 0), 32);
    ASSERT_EQ(uds_client_event_read(&c.conn, &ev), 0);
    EXPECT_EQ(ev.sequence, 7u);

    EXPECT_EQ(uds_client_event_write(&c.conn, &two), 0);
    server.reset();
    EXPECT_NE(uds_client_event_write(&c.conn, &two), 0);
    EXPECT_NE(uds_client_event_read(&c.conn, &ev), 0);
}

namespace {

// Sends one event message: bytes, with descriptors as SCM_RIGHTS data.
void send_with_fds(int sock, const std::string &bytes, std::initializer_list<int> fds)
{
    iovec iov{const_cast<char *>(bytes.data()), bytes.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (fds.size()) {
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
        cmsghdr *cm = CMSG_FIRSTHDR(&msg);
        cm->cmsg_level = SOL_SOCKET;
        cm->cmsg_type = SCM_RIGHTS;
        cm->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
        std::memcpy(CMSG_DATA(cm), fds.begin(), sizeof(int) * fds.size());
    }
    ASSERT_EQ(sendmsg(sock, &msg, 0), ssize_t(bytes.size()));
}

std::string record_bytes(uint32_t type, const std::string &text, uint32_t num_fds)
{
    ScanoutRecord r{};
    r.type = type;
    r.length = UDS_SCANOUT_RECORD_LENGTH + uint32_t(text.size());
    r.sequence = 5;
    r.buffer_id = 9;
    r.num_fds = num_fds;
    r.text_length = uint32_t(text.size());
    return std::string(reinterpret_cast<const char *>(&r), sizeof r) + text;
}

}  // namespace

// The scanout records: a new buffer arrives with its parsed description and
// descriptors; a type the library does not know is handed back to skip;
// records that disagree with what they carry are refused and leave no
// descriptor open.
TEST(FramelinkEvents, ScanoutRecordsAndUnknownTypes)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFD client(pair[0]), server(pair[1]);
    UniqueFD plane = fake::make_memfd(4096, [](size_t) { return uint8_t(7); });
    const std::string nv12 = "w=64|h=32|f=842094158|s=64|o=0|m=0|r=60\r\ns=64|o=2048";
    const int before = fake::open_fd_count();

    send_with_fds(server.get(), record_bytes(UDS_EVENT_BUFFER_NEW, nv12, 2), {plane.get(), plane.get()});
    framelink::EventMessage m;
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.type, UDS_EVENT_BUFFER_NEW);
    EXPECT_EQ(m.record.buffer_id, 9u);
    EXPECT_EQ(m.frame.plane_count, 2);
    EXPECT_EQ(m.frame.planes[1].offset, 2048u);
    EXPECT_EQ(m.frame.fd, -1);
    ASSERT_EQ(m.fds.size(), 2u);
    EXPECT_EQ(first_byte(m.fds[1].get()), 7);
    m = framelink::EventMessage();

    // A cursor image: its record, description and descriptor.
    CursorRecord cursor{};
    cursor.type = UDS_EVENT_CURSOR_NEW;
    const std::string image = "w=64|h=64|f=875713089|s=256|o=0|m=0|r=0";
    cursor.length = UDS_CURSOR_RECORD_LENGTH + uint32_t(image.size());
    cursor.x = -20;
    cursor.num_fds = 1;
    cursor.text_length = uint32_t(image.size());
    const std::string cursor_bytes = std::string(reinterpret_cast<const char *>(&cursor), sizeof cursor) + image;
    send_with_fds(server.get(), cursor_bytes, {plane.get()});
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.type, UDS_EVENT_CURSOR_NEW);
    EXPECT_EQ(m.cursor.x, -20);
    EXPECT_EQ(m.frame.width, 64u);
    ASSERT_EQ(m.fds.size(), 1u);
    m = framelink::EventMessage();

    // Unknown: 12 bytes of a later record type, with a descriptor.
    const uint32_t later[3] = {42, 4, 0};
    send_with_fds(server.get(), std::string(reinterpret_cast<const char *>(later), sizeof later), {plane.get()});
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.type, 42u);

    const std::string one = "w=64|h=32|f=875713112|s=256|o=0|m=0|r=60";
    const std::string bad[] = {
        record_bytes(UDS_EVENT_BUFFER_NEW, nv12, 1),               // two lines, one descriptor announced and sent
        record_bytes(UDS_EVENT_BUFFER_NEW, one, 2),                // one line, two descriptors
        record_bytes(UDS_EVENT_BUFFER_SHOWN, "", 1),               // a named buffer carries nothing
        record_bytes(UDS_EVENT_BUFFER_NEW, one, 1).substr(0, 60),  // cut short
        cursor_bytes.substr(0, sizeof cursor),                     // its description missing
    };
    const int sent_fds[] = {1, 2, 1, 1, 1};
    for (size_t i = 0; i < std::size(bad); ++i) {
        if (sent_fds[i] == 2)
            send_with_fds(server.get(), bad[i], {plane.get(), plane.get()});
        else
            send_with_fds(server.get(), bad[i], {plane.get()});
        EXPECT_EQ(framelink::read_event(client.get(), 1000, &m), -1) << i;
        EXPECT_EQ(errno, EPROTO) << i;
    }
    EXPECT_EQ(fake::open_fd_count(), before);

    VBlankEvent ev = fake::make_event(11);
    ASSERT_EQ(send(server.get(), &ev, sizeof ev, 0), 32);
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.vblank.sequence, 11u);
    EXPECT_EQ(framelink::read_event(client.get(), 50, &m), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    server.reset();
    EXPECT_EQ(framelink::read_event(client.get(), 1000, &m), 1);
}

// The CRTC and plane records: an overlay's new buffer comes with its
// description and descriptor, a state names one; records that break the
// contract (a new buffer of another kind of plane, too many planes, a
// descriptor where none belongs) are refused and leave nothing open.
TEST(FramelinkEvents, CrtcAndPlaneRecords)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    UniqueFD client(pair[0]), server(pair[1]);
    UniqueFD buffer = fake::make_memfd(4096, [](size_t) { return uint8_t(3); });
    const std::string argb = "w=32|h=16|f=875713089|s=128|o=0|m=0|r=60";
    auto plane_bytes = [&](uint32_t type, uint32_t kind, const std::string &text, uint32_t num_fds) {
        PlaneRecord p{};
        p.type = type;
        p.length = UDS_PLANE_RECORD_LENGTH + uint32_t(text.size());
        p.buffer_id = 4;
        p.kind = kind;
        p.crtc_x = -8;
        p.num_fds = num_fds;
        p.text_length = uint32_t(text.size());
        return std::string(reinterpret_cast<const char *>(&p), sizeof p) + text;
    };
    auto crtc_bytes = [](uint32_t planes) {
        CrtcRecord c{UDS_EVENT_CRTC_STATE, UDS_CRTC_RECORD_LENGTH, 5, 40, 2560, 1440, 60, UDS_ORIENTATION_LEFT_UP,
                     planes};
        return std::string(reinterpret_cast<const char *>(&c), sizeof c);
    };
    auto hdr_bytes = [](uint32_t eotf, uint32_t colorimetry) {
        HdrRecord h{UDS_EVENT_HDR_STATE, UDS_HDR_RECORD_LENGTH, 5, 41, eotf, colorimetry, {{35400, 14600}, {8500, 39850}, {6550, 2300}},
                    {15635, 16450}, 1000, 50, 800, 400, 0};
        return std::string(reinterpret_cast<const char *>(&h), sizeof h);
    };
    const int before = fake::open_fd_count();
    framelink::EventMessage m;

    send_with_fds(server.get(), hdr_bytes(UDS_HDR_EOTF_PQ, UDS_COLORIMETRY_BT2020_RGB), {});
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.type, UDS_EVENT_HDR_STATE);
    EXPECT_EQ(m.hdr.colorimetry, UDS_COLORIMETRY_BT2020_RGB);
    EXPECT_EQ(m.hdr.primaries[1][1], 39850);
    EXPECT_EQ(m.hdr.max_fall, 400);

    send_with_fds(server.get(), crtc_bytes(3), {});
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.type, UDS_EVENT_CRTC_STATE);
    EXPECT_EQ(m.crtc.width, 2560u);
    EXPECT_EQ(m.crtc.orientation, UDS_ORIENTATION_LEFT_UP);

    send_with_fds(server.get(), plane_bytes(UDS_EVENT_PLANE_NEW, UDS_PLANE_KIND_OVERLAY, argb, 1), {buffer.get()});
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.type, UDS_EVENT_PLANE_NEW);
    EXPECT_EQ(m.plane.crtc_x, -8);
    EXPECT_EQ(m.frame.width, 32u);
    ASSERT_EQ(m.fds.size(), 1u);
    EXPECT_EQ(first_byte(m.fds[0].get()), 3);
    m = framelink::EventMessage();

    send_with_fds(server.get(), plane_bytes(UDS_EVENT_PLANE_STATE, UDS_PLANE_KIND_PRIMARY, "", 0), {});
    ASSERT_EQ(framelink::read_event(client.get(), 1000, &m), 0);
    EXPECT_EQ(m.type, UDS_EVENT_PLANE_STATE);
    EXPECT_EQ(m.plane.kind, UDS_PLANE_KIND_PRIMARY);

    struct Bad {
        std::string bytes;
        bool with_fd;
    } bad[] = {
        {plane_bytes(UDS_EVENT_PLANE_NEW, UDS_PLANE_KIND_PRIMARY, argb, 1), true},  // only overlays' buffers are new here
        {plane_bytes(UDS_EVENT_PLANE_NEW, UDS_PLANE_KIND_OVERLAY, argb, 1), false},  // descriptor announced, none sent
        {plane_bytes(UDS_EVENT_PLANE_STATE, 7, "", 0), false},                        // no such kind
        {plane_bytes(UDS_EVENT_PLANE_STATE, UDS_PLANE_KIND_OVERLAY, "", 0), true},    // a state carries nothing
        {crtc_bytes(UDS_MAX_FOLLOWED_PLANES + 1), false},                             // more planes than followed
        {crtc_bytes(2), true},
        {crtc_bytes(2).substr(0, 36), false},  // cut short
        {hdr_bytes(UDS_HDR_EOTF_PQ, 0).substr(0, 52), false},
        {hdr_bytes(UDS_HDR_EOTF_PQ, 0) + std::string(4, '\0'), false},
        {hdr_bytes(1, 0), false},                               // an EOTF the wire does not name
        {hdr_bytes(UDS_HDR_EOTF_HLG, UDS_COLORIMETRY_COUNT), false},
        {hdr_bytes(UDS_HDR_EOTF_PQ, 0), true},
    };
    for (size_t i = 0; i < std::size(bad); ++i) {
        if (bad[i].with_fd)
            send_with_fds(server.get(), bad[i].bytes, {buffer.get()});
        else
            send_with_fds(server.get(), bad[i].bytes, {});
        EXPECT_EQ(framelink::read_event(client.get(), 1000, &m), -1) << i;
        EXPECT_EQ(errno, EPROTO) << i;
    }
    EXPECT_EQ(fake::open_fd_count(), before);
}
