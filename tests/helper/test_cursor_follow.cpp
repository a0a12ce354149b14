// The cursor plane as a following client is told about it, against the real
// capture-helper: the image crosses once and shows what the plane shows,
// moves are told at the blank they happen, hide and show, a display
// without a cursor said once, and a thousand new images with flat
// descriptors on both ends.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mman.h>

#include <algorithm>
#include <vector>

#include "tests/helper/helper_fixture.h"

namespace {

std::string world(int hz, const std::string &statements, const char *device_options = "")
{
    return std::string("device /dev/dri/card0") + device_options +
           "\n"
           "framebuffer 1 832x480 XR24\n"
           "crtc 50 832x480@" +
           std::to_string(hz) +
           " fb=1\n"
           "encoder 80 crtc=50\n"
           "connector 100 DP-1 connected encoders=80\n" +
           statements;
}

using Message = framelink::EventMessage;

constexpr uint32_t kArgb8888 = 'A' | ('R' << 8) | ('2' << 16) | (uint32_t('4') << 24);

int own_fd_count()
{
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            n++;
        closedir(d);
    }
    return n;
}

// Where the virtual display puts a moving cursor at blank b: from v0 by dv
// a blank, bouncing between 0 and range.
int32_t path(int32_t v0, int32_t dv, uint64_t b, int32_t range)
{
    const int64_t period = 2 * int64_t(range);
    int64_t m = (v0 + int64_t(dv) * int64_t(b)) % period;
    if (m < 0)
        m += period;
    return int32_t(m <= range ? m : period - m);
}

class CursorFollowTest : public HelperFixture {
protected:
    void follow(int hz, const std::string &statements, const char *device_options = "")
    {
        start(write_scenario("cursor.txt", world(hz, statements, device_options)).c_str());
        ASSERT_EQ(ask("SET_TARGET /dev/dri/card0 dp-1"), "OK\n");
        ASSERT_EQ(ask(UDS_COMMAND_FOLLOW_SCANOUT), "OK\n");
        events_ = event_connect();
        ASSERT_TRUE(events_.valid());
    }

    // Reads up to the event of blank `until`, keeping the cursor's records;
    // each must come before the event of its own blank. keep(m) may take a
    // record over (return false) instead of it being kept.
    template <typename Keep>
    void read_until(uint64_t until, std::vector<Message> *cursor, Keep keep)
    {
        uint64_t pending = 0;
        for (;;) {
            Message m;
            ASSERT_EQ(framelink::read_event(events_.get(), 3000, &m), 0) << strerror(errno);
            if (m.type == UDS_EVENT_VBLANK) {
                if (pending) {
                    ASSERT_EQ(m.vblank.sequence, pending);
                } else {
                    quiet_.push_back(m.vblank.sequence);
                }
                pending = 0;
                if (m.vblank.sequence >= until)
                    return;
            } else if (m.type >= UDS_EVENT_CURSOR_NEW && m.type <= UDS_EVENT_NO_CURSOR) {
                ASSERT_EQ(pending, 0u) << "two cursor records before one blank's event";
                pending = m.cursor.sequence;
                if (keep(m))
                    cursor->push_back(std::move(m));
            }
        }
    }
    void read_until(uint64_t until, std::vector<Message> *cursor)
    {
        read_until(until, cursor, [](const Message &) { return true; });
    }

    UniqueFD events_;
    std::vector<uint64_t> quiet_;  // blanks whose event came without a cursor record
};

}  // namespace

TEST_F(CursorFollowTest, ImageCrossesOnceMovesHidesAndShows)
{
    ASSERT_NO_FATAL_FAILURE(follow(60, "cursor crtc=50 32x32 at=100,50 move=3,-2 hide=150 show=170\n"));
    std::vector<Message> records;
    ASSERT_NO_FATAL_FAILURE(read_until(190, &records));
    ASSERT_FALSE(records.empty());
    ASSERT_LT(records.front().cursor.sequence, 140u) << "the client came too late for the scenario";

    const Message &first = records.front();
    ASSERT_EQ(first.type, UDS_EVENT_CURSOR_NEW);
    ASSERT_EQ(first.fds.size(), 1u);
    EXPECT_EQ(first.frame.width, 32u);
    EXPECT_EQ(first.frame.format, kArgb8888);
    // The announced image is the plane's: green square, translucent white
    // band on its right and bottom, clear beyond.
    void *map = mmap(nullptr, 32 * 32 * 4, PROT_READ, MAP_SHARED, first.fds[0].get(), 0);
    ASSERT_NE(map, MAP_FAILED);
    const uint32_t *px = static_cast<const uint32_t *>(map);
    EXPECT_EQ(px[0], 0xFF00FF00u);
    EXPECT_EQ(px[15 * 32 + 15], 0xFF00FF00u);
    EXPECT_EQ(px[5 * 32 + 17], 0x80808080u);
    EXPECT_EQ(px[19 * 32 + 19], 0x80808080u);
    EXPECT_EQ(px[25 * 32 + 25], 0u);
    EXPECT_EQ(px[2 * 32 + 30], 0u);
    munmap(map, 32 * 32 * 4);

    // Each record shows the plane at its own blank, even when the helper
    // forwards the blank late (a loaded machine may skip a blank's event).
    auto near = [&](uint64_t seq, auto state_at) { return state_at(seq); };
    uint64_t hidden_at = 0, shown_at = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const CursorRecord &r = records[i].cursor;
        SCOPED_TRACE("record of blank " + std::to_string(r.sequence));
        if (i > 0) {
            ASSERT_EQ(records[i].type, UDS_EVENT_CURSOR_STATE);
            EXPECT_TRUE(records[i].fds.empty());
        }
        EXPECT_TRUE(near(r.sequence, [&](uint64_t b) { return r.visible == ((b < 150 || b >= 170) ? 1u : 0u); }));
        if (!r.visible) {
            EXPECT_EQ(r.buffer_id, 0u);
            hidden_at = hidden_at ? hidden_at : r.sequence;
            continue;
        }
        if (r.sequence >= 150 && !shown_at)
            shown_at = r.sequence;
        EXPECT_EQ(r.buffer_id, first.cursor.buffer_id) << "the same image, named";
        EXPECT_TRUE(
            near(r.sequence,
                 [&](uint64_t b) { return r.x == path(100, 3, b, 832 - 32) && r.y == path(50, -2, b, 480 - 32); }))
            << "at " << r.x << "," << r.y;
        EXPECT_EQ(r.crtc_width, 32u);
        EXPECT_EQ(r.crtc_height, 32u);
    }
    EXPECT_TRUE(hidden_at >= 150 && hidden_at < 155) << hidden_at;
    EXPECT_TRUE(shown_at >= 170 && shown_at < 175) << shown_at;
    // A moving cursor is told at every blank; only the hidden one is quiet.
    for (uint64_t q : quiet_) {
        if (q > records.front().cursor.sequence) {
            EXPECT_TRUE(q > 150 && q < 170) << "blank " << q << " came without a record";
        }
    }
}

TEST_F(CursorFollowTest, DisplayWithoutCursorIsToldOnce)
{
    ASSERT_NO_FATAL_FAILURE(follow(60, ""));
    std::vector<Message> records;
    Message first;
    ASSERT_EQ(framelink::read_event(events_.get(), 3000, &first), 0);
    ASSERT_EQ(first.type, UDS_EVENT_BUFFER_NEW);
    ASSERT_NO_FATAL_FAILURE(read_until(first.record.sequence + 40, &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, UDS_EVENT_NO_CURSOR);
    EXPECT_EQ(records[0].cursor.visible, 0u);
}

// An image the helper cannot export (no buffer handles) is told once as a
// hidden cursor, not at every move.
TEST_F(CursorFollowTest, ImageThatCannotBeExportedIsToldHiddenOnce)
{
    ASSERT_NO_FATAL_FAILURE(follow(60, "cursor crtc=50 32x32 at=10,10 move=2,2", " no-handles"));
    std::vector<Message> records;
    // The primary plane cannot be exported either: the first message is
    // the cursor's record or a blank's event.
    Message first;
    ASSERT_EQ(framelink::read_event(events_.get(), 3000, &first), 0);
    const uint64_t start = first.type == UDS_EVENT_VBLANK ? first.vblank.sequence : first.cursor.sequence;
    if (first.type != UDS_EVENT_VBLANK)
        records.push_back(std::move(first));
    ASSERT_NO_FATAL_FAILURE(read_until(start + 40, &records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].type, UDS_EVENT_CURSOR_STATE);
    EXPECT_EQ(records[0].cursor.visible, 0u);
    EXPECT_TRUE(records[0].fds.empty());
}

// A new image at every blank, on a cursor half off the picture's left and
// bottom edges: each crosses once with the place the plane has, and over a
// thousand images neither end holds more descriptors (the client applies
// the kept-set rule).
TEST_F(CursorFollowTest, ThousandImagesKeepDescriptorsFlat)
{
    ASSERT_NO_FATAL_FAILURE(follow(500, "cursor crtc=50 64x64 at=-20,440 renew=1\n"));
    std::vector<Message> kept;  // the client's set, least recently shown first
    uint64_t last_id = 0;
    int fresh = 0;
    auto keep = [&](Message &m) {
        if (m.type != UDS_EVENT_CURSOR_NEW)
            return false;
        EXPECT_GT(m.cursor.buffer_id, last_id);
        last_id = m.cursor.buffer_id;
        EXPECT_EQ(m.cursor.x, -20);
        EXPECT_EQ(m.cursor.y, 440);
        EXPECT_EQ(m.fds.size(), 1u);
        fresh++;
        if (kept.size() == UDS_CURSOR_MAX_IMAGES)
            kept.erase(kept.begin());
        return true;
    };
    Message first;
    ASSERT_EQ(framelink::read_event(events_.get(), 3000, &first), 0);
    ASSERT_EQ(first.type, UDS_EVENT_BUFFER_NEW);
    const uint64_t start = first.record.sequence;
    ASSERT_NO_FATAL_FAILURE(read_until(start + 60, &kept, keep));
    const int helper_before = helper_fd_count(helper_), own_before = own_fd_count();
    const int fresh_before = fresh;
    // A thousand images (a loaded machine's virtual clock may fold a few
    // late blanks into one, so it is counted, not assumed from the blanks).
    for (uint64_t until = start + 160; fresh - fresh_before < 1000 && until < start + 5000; until += 100)
        ASSERT_NO_FATAL_FAILURE(read_until(until, &kept, keep));
    EXPECT_GE(fresh - fresh_before, 1000);
    EXPECT_EQ(helper_fd_count_settled(helper_, helper_before, 1000), helper_before);
    EXPECT_EQ(own_fd_count(), own_before);
}
