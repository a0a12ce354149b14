// A client that follows the scanout, against the real capture-helper on a
// flipping virtual display: each buffer of a rotation crosses once and is
// named afterwards, dark and light again, a mode change, a framebuffer id
// handed to new memory, a client that never asked, and the helper's
// descriptors over many flips.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "tests/helper/display_stamp.h"
#include "tests/helper/helper_fixture.h"

namespace {

constexpr const char *kTarget = "SET_TARGET /dev/dri/card0 dp-1";

std::string world(const std::string &statements)
{
    return "device /dev/dri/card0\n"
           "framebuffer 1 832x480 XR24\n"
           "framebuffer 2 832x480 XR24\n"
           "framebuffer 3 832x480 XR24\n"
           "framebuffer 4 1024x768 XR24\n"
           "framebuffer 5 832x480 XR24\n"
           "framebuffer 6 832x480 XR24\n"
           "crtc 50 832x480@60\n"
           "encoder 80 crtc=50\n"
           "connector 100 DP-1 connected encoders=80\n" +
           statements;
}

using Message = framelink::EventMessage;

class ScanoutFollowTest : public HelperFixture {
protected:
    void follow(const std::string &statements)
    {
        start(write_scenario("follow.txt", world(statements)).c_str());
        ASSERT_EQ(ask(kTarget), "OK\n");
        ASSERT_EQ(ask(UDS_COMMAND_FOLLOW_SCANOUT), "OK\n");
        events_ = event_connect();
        ASSERT_TRUE(events_.valid());
    }

    // Reads messages until a blank's event past `until`; every record must be
    // followed by the event of its own blank.
    void read_until(uint64_t until, std::vector<Message> *records)
    {
        const Message *pending = nullptr;
        for (;;) {
            Message m;
            ASSERT_EQ(framelink::read_event(events_.get(), 3000, &m), 0) << strerror(errno);
            if (m.type == UDS_EVENT_VBLANK) {
                if (pending) {
                    ASSERT_EQ(m.vblank.sequence, pending->record.sequence);
                }
                pending = nullptr;
                if (m.vblank.sequence >= until)
                    return;
                continue;
            }
            if (m.type >= UDS_EVENT_CURSOR_NEW && m.type <= UDS_EVENT_NO_CURSOR)
                continue;  // the cursor's records are checked on their own
            ASSERT_EQ(pending, nullptr) << "two records before one blank's event";
            records->push_back(std::move(m));
            pending = &records->back();
            if (records->size() > 1000)
                records->erase(records->begin(), records->begin() + 500), pending = &records->back();
        }
    }

    // A world whose statements act from blank 150 on: follows it and reads
    // the records up to blank `until`.
    void follow_scenario(const std::string &statements, uint64_t until, std::vector<Message> *records)
    {
        ASSERT_NO_FATAL_FAILURE(follow(statements));
        ASSERT_NO_FATAL_FAILURE(read_until(until, records));
        ASSERT_FALSE(records->empty());
        ASSERT_LT(records->front().record.sequence, 140u) << "the client came too late for the scenario";
    }

    UniqueFD events_;
};

}  // namespace

TEST_F(ScanoutFollowTest, RotationCrossesOnceThenIsNamedWithFlatDescriptors)
{
    follow("pageflip crtc=50 fbs=1,2,3\n");
    std::vector<Message> records;
    Message first;
    ASSERT_EQ(framelink::read_event(events_.get(), 3000, &first), 0);
    read_until(first.record.sequence + 30, &records);
    const int fds_after_start = helper_fd_count(helper_);

    std::map<uint32_t, uint64_t> id_of_fb;
    std::vector<Message> all;
    all.push_back(std::move(first));
    for (auto &r : records)
        all.push_back(std::move(r));
    ASSERT_EQ(all.front().type, UDS_EVENT_BUFFER_NEW) << "the first record carries the buffer on screen";
    for (auto &m : all) {
        ASSERT_NE(m.type, UDS_EVENT_DARK);
        if (m.type == UDS_EVENT_BUFFER_NEW) {
            ASSERT_FALSE(id_of_fb.count(m.record.fb_id)) << "buffer " << m.record.fb_id << " sent twice";
            id_of_fb[m.record.fb_id] = m.record.buffer_id;
            ASSERT_EQ(m.fds.size(), 1u);
            EXPECT_EQ(m.frame.width, 832u);
            EXPECT_EQ(m.frame.height, 480u);
            EXPECT_EQ(m.frame.refresh_rate, 60u);
            EXPECT_EQ(m.record.changed, 0u);
            // The buffer shows a blank of the rotation's step for it: three
            // buffers, so the blank it was drawn for is this one modulo 3
            // (later ones are redrawn three blanks on).
            void *map = mmap(nullptr, 832 * 4 * 480, PROT_READ, MAP_SHARED, m.fds[0].get(), 0);
            ASSERT_NE(map, MAP_FAILED);
            RelaySourceStamp stamp{};
            ASSERT_TRUE(read_display_stamp(static_cast<uint8_t *>(map), 832 * 4, 832, 480, &stamp));
            EXPECT_EQ(stamp.blank % 3, m.record.sequence % 1000000 % 3);
            munmap(map, 832 * 4 * 480);
        } else {
            ASSERT_EQ(m.type, UDS_EVENT_BUFFER_SHOWN);
            ASSERT_TRUE(id_of_fb.count(m.record.fb_id));
            EXPECT_EQ(m.record.buffer_id, id_of_fb[m.record.fb_id]);
            EXPECT_TRUE(m.fds.empty());
        }
    }
    EXPECT_EQ(id_of_fb.size(), 3u);
    EXPECT_GE(all.size(), 25u) << "a record at nearly every blank of a rotation that flips every blank";

    // Hundreds of flips later the helper holds no more descriptors.
    records.clear();
    read_until(all.back().record.sequence + 300, &records);
    for (auto &m : records)
        EXPECT_EQ(m.type, UDS_EVENT_BUFFER_SHOWN);
    EXPECT_EQ(helper_fd_count_settled(helper_, fds_after_start, 1000), fds_after_start);
}

// Dark, lit again by a buffer the client has, an id handed to new memory,
// and a mode change: each told as such, in order.
TEST_F(ScanoutFollowTest, DarkRenewedIdAndModeChangeAreTold)
{
    std::vector<Message> records;
    ASSERT_NO_FATAL_FAILURE(follow_scenario("pageflip crtc=50 fbs=1,2\n"
                                            "flip 150 crtc=50 fb=0\n"
                                            "flip 170 crtc=50 fb=2\n"
                                            "renew 190 crtc=50 fb=1\n"
                                            "mode 220 crtc=50 1024x768@30 fb=4\n",
                                            240, &records));

    std::set<uint64_t> ids;
    std::map<uint32_t, uint64_t> id_of_fb;
    int dark = 0, renewed = 0, mode = 0;
    uint64_t dark_at = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const Message &m = records[i];
        const ScanoutRecord &r = m.record;
        if (m.type == UDS_EVENT_DARK) {
            dark++;
            dark_at = r.sequence;
            EXPECT_EQ(r.buffer_id, 0u);
            ASSERT_LT(i + 1, records.size());
            EXPECT_EQ(records[i + 1].type, UDS_EVENT_BUFFER_SHOWN) << "lit again by a buffer it has";
            EXPECT_EQ(records[i + 1].record.fb_id, 2u);
            EXPECT_NEAR(double(records[i + 1].record.sequence - dark_at), 20.0, 3.0);
            continue;
        }
        if (m.type == UDS_EVENT_BUFFER_NEW) {
            EXPECT_TRUE(ids.insert(r.buffer_id).second) << "buffer ids are never reused";
            if (r.fb_id == 1 && id_of_fb.count(1)) {
                renewed++;
                EXPECT_GE(r.sequence, 190u);
            }
            if (r.fb_id == 4) {
                mode++;
                EXPECT_EQ(r.changed, UDS_SCANOUT_CHANGED_SIZE);
                EXPECT_EQ(r.width, 1024u);
                EXPECT_EQ(r.refresh, 30u);
                EXPECT_EQ(m.frame.refresh_rate, 30u);
            } else {
                EXPECT_EQ(r.changed, 0u);
            }
            id_of_fb[r.fb_id] = r.buffer_id;
        } else {
            ASSERT_EQ(m.type, UDS_EVENT_BUFFER_SHOWN);
            ASSERT_TRUE(id_of_fb.count(r.fb_id));
            EXPECT_EQ(r.buffer_id, id_of_fb[r.fb_id]) << "blank " << r.sequence;
            if (r.fb_id == 1) {
                EXPECT_TRUE(r.sequence < 190 || renewed) << "the renewed id named as the old buffer";
            }
        }
    }
    EXPECT_EQ(dark, 1);
    EXPECT_EQ(renewed, 1);
    EXPECT_EQ(mode, 1);
    EXPECT_EQ(records.back().record.fb_id, 4u) << "no record after the mode's buffer stays on screen";
}

// Both ends keep the four most recently shown buffers: a rotation of four
// is named after its first round, one of five never is (each buffer was
// forgotten by the time it comes back, so it crosses again with a new id).
TEST_F(ScanoutFollowTest, BuffersBeyondTheKeptSetCrossAgain)
{
    std::vector<Message> records;
    ASSERT_NO_FATAL_FAILURE(follow_scenario("pageflip crtc=50 fbs=1,2,3,5\n"
                                            "pageflip crtc=50 fbs=1,2,3,5,6 from=150\n",
                                            230, &records));
    // The client's side of the rule: buffer ids, least recently shown first.
    std::vector<uint64_t> kept;
    std::map<uint64_t, uint32_t> fb_of;
    int new_before = 0, new_after = 0;
    for (const Message &m : records) {
        const uint64_t id = m.record.buffer_id;
        auto at = std::find(kept.begin(), kept.end(), id);
        if (m.type == UDS_EVENT_BUFFER_NEW) {
            ASSERT_EQ(at, kept.end());
            for (uint64_t k : kept)
                EXPECT_NE(fb_of[k], m.record.fb_id) << "blank " << m.record.sequence << ": sent again while kept";
            if (kept.size() == UDS_SCANOUT_MAX_BUFFERS)
                kept.erase(kept.begin());
            fb_of[id] = m.record.fb_id;
            (m.record.sequence < 150 ? new_before : new_after)++;
        } else {
            ASSERT_EQ(m.type, UDS_EVENT_BUFFER_SHOWN);
            ASSERT_NE(at, kept.end()) << "blank " << m.record.sequence << ": named a forgotten buffer";
            EXPECT_EQ(fb_of[id], m.record.fb_id);
            kept.erase(at);
        }
        kept.push_back(id);
    }
    EXPECT_EQ(new_before, 4) << "a rotation of four crosses once";
    EXPECT_GE(new_after, 30) << "a rotation of five crosses at (nearly) every flip";
}

// Without FOLLOW_SCANOUT the event stream is what it always was: 32-byte
// events, no descriptors, on a display that flips at every blank; and the
// opt-in needs a target and ends with its connection.
TEST_F(ScanoutFollowTest, ClientThatDoesNotAskSeesOnlyEvents)
{
    start(write_scenario("follow.txt", world("pageflip crtc=50 fbs=1,2,3\n")).c_str());
    EXPECT_EQ(ask(UDS_COMMAND_FOLLOW_SCANOUT), "ERROR: No target set. Call SET_TARGET first\n");
    ASSERT_EQ(ask(kTarget), "OK\n");
    ASSERT_EQ(ask(UDS_COMMAND_FOLLOW_SCANOUT), "OK\n");
    {
        UniqueFD events = event_connect();
        Message m;
        ASSERT_EQ(framelink::read_event(events.get(), 3000, &m), 0);
        EXPECT_EQ(m.type, UDS_EVENT_BUFFER_NEW);
    }
    disconnect();

    for (int round = 0; round < 2; ++round) {
        client_ = command_connect();
        ASSERT_EQ(ask(kTarget), "OK\n");
        UniqueFD events = event_connect();
        ASSERT_TRUE(events.valid());
        for (int i = 0; i < 40; ++i) {
            char buffer[128];
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
            iovec iov{buffer, sizeof buffer};
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t n = recvmsg(events.get(), &msg, MSG_CMSG_CLOEXEC);
            ASSERT_EQ(n, 32) << "message " << i;
            EXPECT_EQ(msg.msg_controllen, 0u);
            uint32_t head[2];
            memcpy(head, buffer, sizeof head);
            EXPECT_EQ(head[0], 1u);
            EXPECT_EQ(head[1], 24u);
        }
        disconnect();
    }
}
