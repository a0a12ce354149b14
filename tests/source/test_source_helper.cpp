// The capture session, the vertical-blank ring and the frame import against
// the real capture-helper on the virtual display.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

#include "apps/capture/core/capture_config.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "tests/e2e/e2e_processes.h"
#include "tests/framelink/fake_helper.h"
#include "tests/source/oes_draw.h"

using namespace std::chrono_literals;

namespace {

class HelperSession : public testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(start("1")); }
    void start(const std::string &world)
    {
        ASSERT_EQ(e2e_start_helper(&helper_, world), 0) << helper_log();
        ASSERT_EQ(uds_client_connect(&conn_, UDS_SERVER_PATH), 0);
        session_.connection = &conn_;
        config_ = capture_config_default();
        // These cases read the event connection themselves: blanks only.
        config_.fetch_once = true;
    }
    void TearDown() override
    {
        testing::internal::CaptureStdout();
        capture_cleanup(&session_);
        testing::internal::GetCapturedStdout();
        uds_client_disconnect(&conn_);
        if (HasFailure())
            std::fprintf(stderr, "--- capture-helper log ---\n%s\n", helper_log().c_str());
    }
    int init()
    {
        testing::internal::CaptureStdout();
        int rc = capture_init(&session_, &config_);
        init_out_ = testing::internal::GetCapturedStdout();
        return rc;
    }

    std::string helper_log() const { return e2e_stdout(&helper_) + e2e_stderr(&helper_); }

    E2eProcess helper_;
    ServerConnection conn_{};
    CaptureSession session_{};
    CaptureConfig config_{};
    std::string init_out_;
};

}  // namespace

TEST_F(HelperSession, InitTakesTheVirtualDisplaysFrame)
{
    int before = fake::open_fd_count();
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(init_out_, "[Capture sub] 0\n");
    ASSERT_NE(session_.metadata, nullptr);
    const FrameMetadata &m = *session_.metadata;
    EXPECT_EQ(m.width, 2560u);
    EXPECT_EQ(m.height, 1440u);
    EXPECT_EQ(m.stride, 10240u);
    EXPECT_EQ(m.refresh_rate, 60u);
    EXPECT_EQ(m.plane_count, 1);
    EXPECT_EQ(m.planes[0].fd.get(), m.fd);
    EXPECT_TRUE(egl_frame_is_memory(&m));
    EXPECT_GT(conn_.event_fd.get(), 0);
    // The frame's descriptor and the event connection.
    EXPECT_EQ(fake::open_fd_count(), before + 2);
    capture_cleanup(&session_);
    EXPECT_EQ(fake::open_fd_count(), before + 1);
}

TEST_F(HelperSession, RefusedTargetFailsInit)
{
    std::strcpy(config_.port, "hdmi-1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(init(), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("[Capture sub] uds_client_set_context failed"), std::string::npos) << err;
    EXPECT_EQ(session_.metadata, nullptr);
    EXPECT_FALSE(session_.initialised);
    EXPECT_EQ(conn_.event_fd.get(), -1);
}

// A pipeline's view: the write, then the listener; the newest event wins, and
// the end of the helper ends the wait of the reader.
TEST_F(HelperSession, RingFollowsTheHelpersBlanksAndEndsWithIt)
{
    ASSERT_EQ(init(), 0);
    const uint64_t two = 2;
    ASSERT_EQ(uds_client_event_write(&conn_, &two), 0);
    StopFlag stop{0};
    auto ring = std::make_unique<VBlankRing>();
    ASSERT_EQ(vblank_ring_init(ring.get(), &conn_, &stop), 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(vblank_ring_start(ring.get()), 0);

    uint64_t last = 0, since = 0, time = 0;
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(vblank_ring_take(ring.get(), &time, &since), 0) << i;
        EXPECT_GT(time, last);
        last = time;
    }
    // Not reading for a while: the next take gets the newest and counts the rest.
    std::this_thread::sleep_for(200ms);
    ASSERT_EQ(vblank_ring_take(ring.get(), &time, &since), 0);
    EXPECT_GE(since, 5u);

    auto waiting = std::async(std::launch::async, [&] {
        int rc = 0;
        while (rc == 0)
            rc = vblank_ring_take(ring.get(), nullptr, nullptr);
        return rc;
    });
    e2e_stop(&helper_);
    ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(waiting.get(), -1);
    EXPECT_TRUE(ring->ended.load());
    vblank_ring_stop(ring.get());
    testing::internal::GetCapturedStdout();
}

namespace {

// The virtual display redraws its buffer in place at every blank; a copy
// taken on both sides of an upload that came out equal is what the upload saw.
struct Bracket {
    std::vector<uint8_t> before, after;
    bool still() const { return before == after; }
};

std::vector<uint8_t> copy_of(const uint8_t *map, size_t size)
{
    return {map, map + size};
}

}  // namespace

// The virtual display at a slow rate, so that an upload fits between redraws.
class SlowHelperSession : public HelperSession {
protected:
    void SetUp() override
    {
        ASSERT_NO_FATAL_FAILURE(start(std::string(VISTREL_SOURCE_DIR) + "/tests/source/slow-world.txt"));
    }
};

TEST_F(SlowHelperSession, ImportedFrameDrawsThePictureAndRefreshFollowsIt)
{
    ASSERT_EQ(init(), 0);
    EXPECT_EQ(session_.metadata->refresh_rate, 4u);
    const FrameMetadata &m = *session_.metadata;
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("EGL_PLATFORM");
    EglContext ctx{};
    ASSERT_EQ(egl_context_init(&ctx, &m), 0);
    ASSERT_EQ(egl_load_entry_points(), 0);
    const size_t size = size_t(m.stride) * m.height;
    struct stat st {};
    ASSERT_EQ(fstat(m.fd, &st), 0);
    ASSERT_GE(size_t(st.st_size), size);
    auto *map = static_cast<const uint8_t *>(mmap(nullptr, size, PROT_READ, MAP_SHARED, m.fd, 0));
    ASSERT_NE(map, MAP_FAILED);
    {
        auto drawer = std::make_unique<oes::Drawer>();
        ASSERT_TRUE(drawer->init(m.width, m.height));
        FrameImport import{};
        ASSERT_EQ(egl_frame_import(ctx.display, &m, &import), 0);
        EXPECT_TRUE(import.upload);

        // Upload right after a blank, between two copies of the buffer, until
        // no redraw fell in between.
        auto refresh_between_copies = [&](Bracket *b) {
            for (int attempt = 0; attempt < 8; ++attempt) {
                VBlankEvent ev{};
                if (uds_client_event_read(&conn_, &ev) != 0)
                    return false;
                b->before = copy_of(map, size);
                if (egl_frame_refresh(&import) != 0)
                    return false;
                b->after = copy_of(map, size);
                if (b->still())
                    return true;
            }
            return false;
        };
        Bracket first;
        ASSERT_TRUE(refresh_between_copies(&first));
        std::vector<uint8_t> drawn = drawer->draw(import.texture);
        EXPECT_EQ(oes::mismatches(drawn, first.before.data(), m.width, m.height, m.stride), 0);

        // The picture moves; without a refresh the texture keeps the old one,
        // after it the texture shows the new one.
        VBlankEvent ev{};
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(uds_client_event_read(&conn_, &ev), 0);
        EXPECT_NE(copy_of(map, size), first.before);
        EXPECT_EQ(drawer->draw(import.texture), drawn);
        Bracket second;
        ASSERT_TRUE(refresh_between_copies(&second));
        EXPECT_NE(second.before, first.before);
        EXPECT_EQ(oes::mismatches(drawer->draw(import.texture), second.before.data(), m.width, m.height, m.stride), 0);
        egl_frame_release(&import);
    }
    munmap(const_cast<uint8_t *>(map), size);
    egl_context_cleanup(&ctx);
}
