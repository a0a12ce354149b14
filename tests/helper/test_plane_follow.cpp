// Every plane as a client that sent FOLLOW_PLANES is told about it, against
// the real capture-helper: the CRTC and every plane at the first blank, then
// only what changed; overlay buffers crossing once and then named, a
// renewed framebuffer id crossing again; a plane on another CRTC showing
// nothing; a FOLLOW_SCANOUT client seeing none of it; a thousand overlay
// buffers with flat descriptors on both ends.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

#include "tests/helper/helper_fixture.h"

namespace {

using Message = framelink::EventMessage;

// Plane 60 moves right two pixels a blank (filled translucent red, AR24);
// plane 61 flips between two filled AB24 buffers every 5 blanks, showing a
// quarter of each turned and mirrored, and from blank 42 framebuffer 11
// names new memory; plane 62 is on CRTC 51. The primary shows a quarter of
// its buffer on the whole CRTC. The panel is mounted left side up.
const char *kWorld = "device /dev/dri/card0\n"
                     "framebuffer 1 832x480 XR24\n"
                     "framebuffer 2 832x480 XR24\n"
                     "framebuffer 10 128x64 AR24 fill=0x80ff0000\n"
                     "framebuffer 11 64x64 AB24 fill=0x80ff0000\n"
                     "framebuffer 12 64x64 AB24 fill=0xff00ff00\n"
                     "crtc 50 832x480@60 fb=1\n"
                     "crtc 51 832x480@60 fb=2\n"
                     "encoder 80 crtc=50\n"
                     "connector 100 DP-1 connected encoders=80 orientation=left-up\n"
                     "scanout crtc=50 fb=1 src=0,0,416x240\n"
                     "plane 60 crtc=50 fb=10 at=10,20 alpha=32768 blend=coverage zpos=5 move=2,0\n"
                     "plane 61 crtc=50 fb=11 src=0,0,32x32 at=100,100 size=64x64 rotate=90 reflect=x "
                     "encoding=bt2020 range=full\n"
                     "pageflip plane=61 fbs=11,12 every=5\n"
                     "renew 42 crtc=50 fb=11\n"
                     "plane 62 crtc=51 fb=10\n"
                     "cursor crtc=50 32x32 at=300,200\n";

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

// Where the virtual display puts a moving plane at blank b.
int32_t path(int32_t v0, int32_t dv, uint64_t b, int32_t range)
{
    const int64_t period = 2 * int64_t(range);
    int64_t m = (v0 + int64_t(dv) * int64_t(b)) % period;
    return int32_t(m <= range ? m : period - m);
}

// One blank as the client saw it: the records before its event, in order.
struct Blank {
    uint64_t sequence = 0;
    std::vector<Message> records;
};

class PlaneFollowTest : public HelperFixture {
protected:
    void follow(const std::string &world, const char *command)
    {
        start(write_scenario("planes.txt", world).c_str());
        EXPECT_EQ(ask(command), "ERROR: No target set. Call SET_TARGET first\n");
        ASSERT_EQ(ask("SET_TARGET /dev/dri/card0 dp-1"), "OK\n");
        ASSERT_EQ(ask(command), "OK\n");
        events_ = event_connect();
        ASSERT_TRUE(events_.valid());
    }

    // Reads blanks until the event of blank `until`; every record must
    // describe the blank whose event follows it.
    void read_blanks(uint64_t until, std::vector<Blank> *out)
    {
        Blank b;
        for (;;) {
            Message m;
            ASSERT_EQ(framelink::read_event(events_.get(), 3000, &m), 0) << strerror(errno);
            if (m.type != UDS_EVENT_VBLANK) {
                b.records.push_back(std::move(m));
                continue;
            }
            b.sequence = m.vblank.sequence;
            for (const Message &r : b.records) {
                const uint64_t s = r.type == UDS_EVENT_HDR_STATE                                    ? r.hdr.sequence
                                   : r.type == UDS_EVENT_CRTC_STATE                                 ? r.crtc.sequence
                                   : r.type >= UDS_EVENT_PLANE_NEW                                  ? r.plane.sequence
                                   : r.type >= UDS_EVENT_CURSOR_NEW && r.type <= UDS_EVENT_NO_CURSOR ? r.cursor.sequence
                                                                                                     : r.record.sequence;
                ASSERT_EQ(s, b.sequence) << "record of type " << r.type;
            }
            out->push_back(std::move(b));
            b = Blank{};
            if (m.vblank.sequence >= until)
                return;
        }
    }

    UniqueFD events_;
};

const PlaneRecord *plane_in(const Blank &b, uint32_t plane_id)
{
    for (const Message &m : b.records)
        if ((m.type == UDS_EVENT_PLANE_NEW || m.type == UDS_EVENT_PLANE_STATE) && m.plane.plane_id == plane_id)
            return &m.plane;
    return nullptr;
}

uint32_t first_pixel(const Message &m)
{
    EXPECT_EQ(m.fds.size(), 1u);
    if (m.fds.empty())
        return 0;
    void *map = mmap(nullptr, 4, PROT_READ, MAP_SHARED, m.fds[0].get(), 0);
    EXPECT_NE(map, MAP_FAILED);
    if (map == MAP_FAILED)
        return 0;
    const uint32_t px = *static_cast<const uint32_t *>(map);
    munmap(map, 4);
    return px;
}

}  // namespace

TEST_F(PlaneFollowTest, FirstBlankTellsEverythingThenOnlyWhatChanged)
{
    ASSERT_NO_FATAL_FAILURE(follow(kWorld, UDS_COMMAND_FOLLOW_PLANES));
    std::vector<Blank> blanks;
    ASSERT_NO_FATAL_FAILURE(read_blanks(70, &blanks));
    while (!blanks.empty() && blanks.front().records.empty())
        blanks.erase(blanks.begin());  // events that came before the opt-in took effect
    ASSERT_GE(blanks.size(), 20u);
    ASSERT_LT(blanks.front().sequence, 35u) << "the client came too late for the scenario";

    // The first blank: scanout, cursor, CRTC, then every plane: primary,
    // the three overlays by id, cursor.
    const Blank &first = blanks.front();
    std::vector<uint32_t> types;
    for (const Message &m : first.records)
        types.push_back(m.type);
    EXPECT_EQ(types, (std::vector<uint32_t>{UDS_EVENT_BUFFER_NEW, UDS_EVENT_CURSOR_NEW, UDS_EVENT_CRTC_STATE,
                                            UDS_EVENT_PLANE_STATE, UDS_EVENT_PLANE_NEW, UDS_EVENT_PLANE_NEW,
                                            UDS_EVENT_PLANE_STATE, UDS_EVENT_PLANE_STATE, UDS_EVENT_HDR_STATE}));
    ASSERT_EQ(first.records.size(), 9u);
    // A connector without the HDR properties is SDR.
    const HdrRecord &hdr = first.records[8].hdr;
    EXPECT_EQ(hdr.connector_id, 100u);
    EXPECT_EQ(hdr.eotf, UDS_HDR_EOTF_SDR);
    EXPECT_EQ(hdr.colorimetry, UDS_COLORIMETRY_DEFAULT);
    EXPECT_EQ(hdr.max_cll, 0u);
    const CrtcRecord &crtc = first.records[2].crtc;
    EXPECT_EQ(crtc.crtc_id, 50u);
    EXPECT_EQ(crtc.width, 832u);
    EXPECT_EQ(crtc.height, 480u);
    EXPECT_EQ(crtc.refresh, 60u);
    EXPECT_EQ(crtc.orientation, UDS_ORIENTATION_LEFT_UP);
    EXPECT_EQ(crtc.plane_count, 5u);

    // The primary names the scanout record's buffer, with its rectangles.
    const PlaneRecord &primary = first.records[3].plane;
    EXPECT_EQ(primary.kind, UDS_PLANE_KIND_PRIMARY);
    EXPECT_EQ(primary.buffer_id, first.records[0].record.buffer_id);
    EXPECT_EQ(primary.fb_id, 1u);
    EXPECT_EQ(primary.src_w, 416u << 16);
    EXPECT_EQ(primary.src_h, 240u << 16);
    EXPECT_EQ(primary.crtc_w, 832u);
    EXPECT_EQ(primary.crtc_h, 480u);
    EXPECT_EQ(primary.zpos, 0u);
    EXPECT_EQ(primary.rotation, UDS_ROTATE_0);
    EXPECT_EQ(primary.alpha, 0xffffu);
    EXPECT_EQ(primary.blend, UDS_BLEND_PREMULTI);

    // Overlay 60: its own properties, enum names mapped, its buffer with it
    // (premultiplied translucent red).
    const PlaneRecord &o60 = first.records[4].plane;
    EXPECT_EQ(o60.plane_id, 60u);
    EXPECT_EQ(o60.kind, UDS_PLANE_KIND_OVERLAY);
    EXPECT_EQ(o60.zpos, 5u);
    EXPECT_EQ(o60.alpha, 32768u);
    EXPECT_EQ(o60.blend, UDS_BLEND_COVERAGE);
    EXPECT_EQ(o60.color_encoding, UDS_ENCODING_BT601);
    EXPECT_EQ(o60.color_range, UDS_RANGE_LIMITED);
    EXPECT_EQ(o60.width, 128u);
    EXPECT_EQ(o60.src_w, 128u << 16);
    EXPECT_EQ(o60.crtc_w, 128u);
    EXPECT_EQ(o60.crtc_y, 20);
    EXPECT_EQ(o60.crtc_x, path(10, 2, first.sequence, 832 - 128));
    EXPECT_EQ(first_pixel(first.records[4]), 0x80800000u);

    // Overlay 61: source quarter, turned and mirrored, default zpos above
    // the ones before it; AB24 premultiplied (R, G, B, A in memory).
    const PlaneRecord &o61 = first.records[5].plane;
    EXPECT_EQ(o61.plane_id, 61u);
    EXPECT_EQ(o61.rotation, UDS_ROTATE_90 | UDS_REFLECT_X);
    EXPECT_EQ(o61.src_w, 32u << 16);
    EXPECT_EQ(o61.crtc_w, 64u);
    EXPECT_EQ(o61.crtc_x, 100);
    EXPECT_EQ(o61.zpos, 2u);
    EXPECT_EQ(o61.color_encoding, UDS_ENCODING_BT2020);
    EXPECT_EQ(o61.color_range, UDS_RANGE_FULL);
    EXPECT_NE(o61.buffer_id, o60.buffer_id);
    const uint32_t fb61 = o61.fb_id;

    // Overlay 62 is on the other CRTC: it shows nothing here.
    const PlaneRecord &o62 = first.records[6].plane;
    EXPECT_EQ(o62.plane_id, 62u);
    PlaneRecord nothing{};
    nothing.type = o62.type;
    nothing.length = UDS_PLANE_RECORD_LENGTH;
    nothing.sequence = o62.sequence;
    nothing.plane_id = 62;
    EXPECT_EQ(memcmp(&o62, &nothing, sizeof nothing), 0);

    // The cursor names the cursor record's image, zpos above all.
    const PlaneRecord &cursor = first.records[7].plane;
    EXPECT_EQ(cursor.kind, UDS_PLANE_KIND_CURSOR);
    EXPECT_EQ(cursor.buffer_id, first.records[1].cursor.buffer_id);
    EXPECT_EQ(cursor.crtc_x, 300);
    EXPECT_EQ(cursor.zpos, 4u);

    // Later blanks: overlay 60 at every blank (it moves); 61 when it flips;
    // nothing else. 61's buffers: 11 and 12 cross once, then by name, until
    // 11 names new memory and crosses again.
    std::map<uint32_t, uint64_t> seen_61{{fb61, o61.buffer_id}};
    int renewed = 0;
    for (size_t i = 1; i < blanks.size(); i++) {
        const Blank &b = blanks[i];
        SCOPED_TRACE("blank " + std::to_string(b.sequence));
        const PlaneRecord *moved = plane_in(b, 60);
        ASSERT_NE(moved, nullptr);
        EXPECT_EQ(moved->type, UDS_EVENT_PLANE_STATE);
        EXPECT_EQ(moved->buffer_id, o60.buffer_id);
        EXPECT_EQ(moved->crtc_x, path(10, 2, b.sequence, 832 - 128));
        // A loaded machine's clock may fold late blanks into one.
        const bool flips = (b.sequence / 5) % 2 != (blanks[i - 1].sequence / 5) % 2;
        const PlaneRecord *flipped = plane_in(b, 61);
        EXPECT_EQ(b.records.size(), flipped ? 2u : 1u);
        ASSERT_EQ(flipped != nullptr, flips);
        if (!flipped)
            continue;
        EXPECT_EQ(flipped->fb_id, (b.sequence / 5) % 2 ? 12u : 11u);
        auto known = seen_61.find(flipped->fb_id);
        const bool fresh_memory = flipped->fb_id == 11 && b.sequence >= 42 && renewed == 0;
        if (known == seen_61.end() || fresh_memory) {
            EXPECT_EQ(flipped->type, UDS_EVENT_PLANE_NEW);
            if (known != seen_61.end()) {
                EXPECT_NE(flipped->buffer_id, known->second) << "a renewed id names a new buffer";
            }
            seen_61[flipped->fb_id] = flipped->buffer_id;
            renewed += fresh_memory;
        } else {
            EXPECT_EQ(flipped->type, UDS_EVENT_PLANE_STATE);
            EXPECT_EQ(flipped->buffer_id, known->second);
        }
    }
    EXPECT_EQ(renewed, 1);
}

// The same world for a client that asks only for the scanout: the records
// it always had, not one of the planes'.
TEST_F(PlaneFollowTest, ScanoutFollowerSeesNoPlaneRecords)
{
    ASSERT_NO_FATAL_FAILURE(follow(kWorld, UDS_COMMAND_FOLLOW_SCANOUT));
    std::vector<Blank> blanks;
    ASSERT_NO_FATAL_FAILURE(read_blanks(30, &blanks));
    size_t records = 0;
    for (const Blank &b : blanks)
        for (const Message &m : b.records) {
            EXPECT_TRUE(m.type >= UDS_EVENT_BUFFER_NEW && m.type <= UDS_EVENT_NO_CURSOR) << m.type;
            records++;
        }
    EXPECT_EQ(records, 2u) << "the primary's buffer and the cursor's image, once each";
}

// An HDR connector: PQ metadata from the start, HLG from blank 150, off
// from blank 200.
const char *kHdrWorld = "device /dev/dri/card0\n"
                        "framebuffer 1 832x480 XR30\n"
                        "crtc 50 832x480@60 fb=1\n"
                        "encoder 80 crtc=50\n"
                        "connector 100 DP-1 connected encoders=80 hdr=pq maxcll=1000 maxfall=400 mastering=1000,50\n"
                        "hdr 150 connector=100 hdr=hlg primaries=bt709 maxcll=600 colorspace=BT2020_YCC\n"
                        "hdr 200 connector=100 hdr=off\n";

std::vector<std::pair<uint64_t, HdrRecord>> hdr_records(const std::vector<Blank> &blanks)
{
    std::vector<std::pair<uint64_t, HdrRecord>> out;
    for (const Blank &b : blanks)
        for (const Message &m : b.records)
            if (m.type == UDS_EVENT_HDR_STATE)
                out.emplace_back(b.sequence, m.hdr);
    return out;
}

// The HDR record at the first blank, last before its event, then only at
// the blanks where the metadata changes.
TEST_F(PlaneFollowTest, HdrStateAtFirstBlankAndOnChange)
{
    ASSERT_NO_FATAL_FAILURE(follow(kHdrWorld, UDS_COMMAND_FOLLOW_PLANES));
    std::vector<Blank> blanks;
    ASSERT_NO_FATAL_FAILURE(read_blanks(210, &blanks));
    while (!blanks.empty() && blanks.front().records.empty())
        blanks.erase(blanks.begin());
    ASSERT_FALSE(blanks.empty());
    ASSERT_LT(blanks.front().sequence, 140u) << "the client came too late for the scenario";
    EXPECT_EQ(blanks.front().records.back().type, UDS_EVENT_HDR_STATE);
    const auto told = hdr_records(blanks);
    ASSERT_EQ(told.size(), 3u);
    EXPECT_EQ(told[0].first, blanks.front().sequence);
    const HdrRecord &pq = told[0].second;
    EXPECT_EQ(pq.connector_id, 100u);
    EXPECT_EQ(pq.eotf, UDS_HDR_EOTF_PQ);
    EXPECT_EQ(pq.colorimetry, UDS_COLORIMETRY_BT2020_RGB);
    EXPECT_EQ(pq.primaries[0][0], 35400);  // BT.2020 red x = 0.708
    EXPECT_EQ(pq.primaries[1][1], 39850);  // green y = 0.797
    EXPECT_EQ(pq.white_point[0], 15635);   // D65
    EXPECT_EQ(pq.max_mastering_luminance, 1000);
    EXPECT_EQ(pq.min_mastering_luminance, 50);
    EXPECT_EQ(pq.max_cll, 1000);
    EXPECT_EQ(pq.max_fall, 400);

    EXPECT_EQ(told[1].first, 150u);
    const HdrRecord &hlg = told[1].second;
    EXPECT_EQ(hlg.eotf, UDS_HDR_EOTF_HLG);
    EXPECT_EQ(hlg.colorimetry, UDS_COLORIMETRY_BT2020_YCC);
    EXPECT_EQ(hlg.primaries[0][0], 32000);  // BT.709 red x = 0.64
    EXPECT_EQ(hlg.max_cll, 600);
    EXPECT_EQ(hlg.max_fall, 0);

    EXPECT_EQ(told[2].first, 200u);
    HdrRecord off{};
    off.connector_id = 100;
    off.sequence = told[2].second.sequence;
    off.type = UDS_EVENT_HDR_STATE;
    off.length = UDS_HDR_RECORD_LENGTH;
    EXPECT_EQ(std::memcmp(&told[2].second, &off, sizeof off), 0) << "off: SDR, Default, no metadata";
}

TEST_F(PlaneFollowTest, ScanoutFollowerGetsNoHdrRecord)
{
    ASSERT_NO_FATAL_FAILURE(follow(kHdrWorld, UDS_COMMAND_FOLLOW_SCANOUT));
    std::vector<Blank> blanks;
    ASSERT_NO_FATAL_FAILURE(read_blanks(20, &blanks));
    EXPECT_TRUE(hdr_records(blanks).empty());
}

// Seventeen buffers flipped through on one overlay at every blank: each
// crosses anew (the set holds sixteen) unless a skipped blank left it held,
// and over a thousand flips neither end holds more descriptors.
TEST_F(PlaneFollowTest, ThousandOverlayBuffersKeepDescriptorsFlat)
{
    std::string world = "device /dev/dri/card0\n"
                        "framebuffer 1 832x480 XR24\n"
                        "crtc 50 832x480@250 fb=1\n"
                        "encoder 80 crtc=50\n"
                        "connector 100 DP-1 connected encoders=80\n"
                        "plane 60 crtc=50 fb=10\n"
                        "pageflip plane=60 fbs=10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26\n";
    for (int id = 10; id <= 26; id++)
        world += "framebuffer " + std::to_string(id) + " 64x64 AR24 fill=0xff0000" + std::to_string(id) + "\n";
    ASSERT_NO_FATAL_FAILURE(follow(world, UDS_COMMAND_FOLLOW_PLANES));
    std::vector<Message> kept;  // the client's set, least recently shown first
    int fresh = 0, flips = 0;
    uint64_t last_id = 0;
    auto take = [&](std::vector<Blank> &blanks) {
        for (Blank &b : blanks)
            for (Message &m : b.records) {
                if ((m.type != UDS_EVENT_PLANE_NEW && m.type != UDS_EVENT_PLANE_STATE) || m.plane.plane_id != 60)
                    continue;
                flips++;
                // A blank the helper forwards late may skip a buffer, which
                // then is still held when it comes round: named, not sent.
                auto held = std::find_if(kept.begin(), kept.end(), [&](const Message &k) {
                    return k.plane.buffer_id == m.plane.buffer_id;
                });
                if (m.type == UDS_EVENT_PLANE_STATE) {
                    ASSERT_NE(held, kept.end()) << "named a buffer the client does not hold";
                    std::rotate(held, held + 1, kept.end());
                    continue;
                }
                EXPECT_EQ(held, kept.end());
                EXPECT_GT(m.plane.buffer_id, last_id);
                last_id = m.plane.buffer_id;
                fresh++;
                if (kept.size() == UDS_OVERLAY_MAX_BUFFERS)
                    kept.erase(kept.begin());
                kept.push_back(std::move(m));
            }
        blanks.clear();
    };
    std::vector<Blank> blanks;
    ASSERT_NO_FATAL_FAILURE(read_blanks(60, &blanks));
    ASSERT_NO_FATAL_FAILURE(take(blanks));
    const uint64_t start = 60;
    const int helper_before = helper_fd_count(helper_), own_before = own_fd_count();
    const int fresh_before = fresh, flips_before = flips;
    for (uint64_t until = start + 100; flips - flips_before < 1000 && until < start + 20000; until += 100) {
        ASSERT_NO_FATAL_FAILURE(read_blanks(until, &blanks));
        ASSERT_NO_FATAL_FAILURE(take(blanks));
    }
    EXPECT_GE(flips - flips_before, 1000);
    // Most cross anew; a loaded machine's late blanks leave some held.
    EXPECT_GE(fresh - fresh_before, 100);
    EXPECT_EQ(helper_fd_count_settled(helper_, helper_before, 1000), helper_before);
    EXPECT_EQ(own_fd_count(), own_before);
}

// A new mode is told in one CRTC record at the blank it takes effect, the
// primary's new buffer and rectangles with it; between, no CRTC record.
TEST_F(PlaneFollowTest, ModeChangeIsToldOnceWithThePrimarysNewPlace)
{
    ASSERT_NO_FATAL_FAILURE(follow("device /dev/dri/card0\n"
                                   "framebuffer 1 832x480 XR24\n"
                                   "framebuffer 2 640x360 XR24\n"
                                   "crtc 50 832x480@60 fb=1\n"
                                   "encoder 80 crtc=50\n"
                                   "connector 100 DP-1 connected encoders=80\n"
                                   "scanout crtc=50 fb=2 at=64,48 size=1280x720\n"
                                   "mode 60 crtc=50 1408x816@120 fb=2\n",
                                   UDS_COMMAND_FOLLOW_PLANES));
    std::vector<Blank> blanks;
    ASSERT_NO_FATAL_FAILURE(read_blanks(75, &blanks));
    std::vector<std::pair<uint64_t, CrtcRecord>> crtcs;
    for (const Blank &b : blanks)
        for (const Message &m : b.records)
            if (m.type == UDS_EVENT_CRTC_STATE)
                crtcs.emplace_back(b.sequence, m.crtc);
    ASSERT_EQ(crtcs.size(), 2u);
    ASSERT_LT(crtcs[0].first, 60u) << "the client came too late for the scenario";
    EXPECT_EQ(crtcs[0].second.width, 832u);
    EXPECT_EQ(crtcs[0].second.orientation, UDS_ORIENTATION_NORMAL);
    // At blank 60, or the first one after it a loaded machine's clock let through.
    EXPECT_GE(crtcs[1].first, 60u);
    EXPECT_LE(crtcs[1].first, 62u);
    EXPECT_EQ(crtcs[1].second.width, 1408u);
    EXPECT_EQ(crtcs[1].second.height, 816u);
    EXPECT_EQ(crtcs[1].second.refresh, 120u);
    const Blank &changed =
        *std::find_if(blanks.begin(), blanks.end(), [&](const Blank &b) { return b.sequence == crtcs[1].first; });
    const PlaneRecord *primary = nullptr;
    for (const Message &m : changed.records)
        if (m.type == UDS_EVENT_PLANE_STATE)
            primary = &m.plane;
    ASSERT_NE(primary, nullptr);
    EXPECT_EQ(primary->fb_id, 2u);
    EXPECT_EQ(primary->width, 640u);
    EXPECT_EQ(primary->src_w, 640u << 16);
    EXPECT_EQ(primary->crtc_x, 64);
    EXPECT_EQ(primary->crtc_w, 1280u);
    EXPECT_EQ(primary->buffer_id, changed.records.front().record.buffer_id);
}
