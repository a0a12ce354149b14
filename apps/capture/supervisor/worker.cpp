#include "apps/capture/supervisor/worker.h"

#include "apps/capture/core/capture_config.h"
#include "apps/capture/source/capture_session.h"
#include "apps/capture/source/egl_context.h"
#include "apps/capture/supervisor/auto_mode.h"
#include "apps/capture/supervisor/command_line.h"
#include "apps/capture/supervisor/pipeline_driver.h"
#include "apps/capture/source/frame_map.h"
#include "libs/common/unique_fd.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <csignal>
#include <cstdio>

void child_signal_handler(int signal_number)
{
    if (signal_number == SIGTERM)
        g_terminate_flag = 1;
}

int capture_start(CaptureSession *session, int fd, const CapturePipelines *pipelines)
{
    puts("[CAPTURE] Starting capture...");
    child_main_loop(session, fd, pipelines);
    return 0;
}

namespace {

// Installed without SA_RESTART, so a SIGTERM that arrives while the worker
// still waits for its start word ends that wait instead of being held back
// until the word comes.
void install_terminate_handler()
{
    struct sigaction action = {};
    action.sa_handler = child_signal_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGTERM, &action, nullptr);
}

// What the worker's start found: a reply to send instead of the
// acknowledgement (the worker then ends), or null to go on.
struct WorkerStart {
    const char *reply;
};

// Why the GPU does not import the frame, or null when it does.
const char *import_refused_reason(const EglContext *egl, bool egl_tried, const FrameMetadata *frame)
{
    if (egl_frame_is_memory(frame))
        return "the framebuffer is in memory";
    if (!egl_tried || egl->display == EGL_NO_DISPLAY)
        return "no EGL display can be made";
    if (!egl_display_imports_dma_buf(egl->display))
        return "EGL has no dma-buf import";
    if (!egl_frame_gpu_imports(egl->display, frame))
        return "EGL refuses to import the framebuffer";
    return nullptr;
}

// Makes what the first run needs: EGL, unless the compatible mode (or auto)
// will read a memory frame on the processor; the auto mode's choice; the
// check that a processor's frame can be read. The compatible mode on a frame
// the GPU does not import needs no EGL at all, so an EGL that cannot be made
// is then one line, not the end.
WorkerStart worker_prepare(EglContext *egl, CaptureConfig *settings, const FrameMetadata *frame, int pid)
{
    const bool may_use_processor =
        (settings->mode == CAPTURE_MODE_COMPATIBLE || settings->mode == CAPTURE_MODE_AUTO) && !settings->gl_readback;
    const bool egl_tried = !(may_use_processor && egl_frame_is_memory(frame));
    bool egl_made = false;
    if (egl_tried) {
        egl_made = egl_context_init(egl, frame) == 0;
        if (egl_made && egl_load_entry_points() != 0)
            die("Failed to load required EGL/GLES extension functions.");
    }
    const char *refused = import_refused_reason(egl, egl_tried, frame);

    // The driver's first run encodes H.264.
    const bool automatic = settings->mode == CAPTURE_MODE_AUTO;
    if (automatic)
        settings->mode = capture_auto_mode_select(CODEC_TYPE_H264, refused);
    const bool processor = settings->mode == CAPTURE_MODE_COMPATIBLE && !settings->gl_readback && refused;
    if (processor) {
        if (frame_map_check(frame) != 0)
            return {"ERROR:FRAME_UNREADABLE"};
        if (egl_tried && !egl_made)
            printf("[Capture %d] No EGL here: the compatible mode reads the framebuffer on the processor\n", pid);
        return {nullptr};
    }
    if (!egl_made) {
        fprintf(stderr, "[Capture %d] EGL 初始化失败。\n", pid);
        return {"ERROR:EGL_INIT_FAILED"};
    }
    // The fast mode reads nothing back; an explicit option stays on.
    if (automatic && settings->mode != CAPTURE_MODE_FAST && !settings->same_frame_readback && frame)
        settings->same_frame_readback =
            capture_auto_readback_select(int32_t(frame->width), int32_t(frame->height), frame->refresh_rate);
    return {nullptr};
}

}  // namespace

void child_main_loop(CaptureSession *session, int fd, const CapturePipelines *pipelines)
{
    UniqueFD pair(fd);
    install_terminate_handler();
    const int pid = getpid();
    printf("[Capture %d] 工作进程已启动，正在阻塞等待主线程的启动信号...\n", pid);

    char word[256];
    const ssize_t got = read(pair.get(), word, sizeof word - 1);
    if (got == 0) {
        fprintf(stderr, "[Capture %d] 父进程已关闭管道，未启动即退出。\n", pid);
        return;
    }
    if (got < 0) {
        if (errno == EINTR)
            printf("[Capture %d] 等待启动时被信号中断，退出。\n", pid);
        else
            perror("[Capture sub] 等待启动时 read 错误");
        return;
    }
    word[got] = '\0';
    printf("[Capture %d] 收到启动命令: %s\n", pid, word);

    printf("[Capture %d] 正在初始化核心组件 (EGL, GBM, DRM)...\n", pid);
    EglContext egl = {};
    egl.display = nullptr;
    CaptureConfig &settings = session->settings;
    const FrameMetadata *frame = session->metadata;
    const WorkerStart start = worker_prepare(&egl, &settings, frame, pid);
    if (start.reply) {
        if (write(pair.get(), start.reply, strlen(start.reply)) < 0)
            perror("write");
        return;
    }

    printf("[Capture %d] 初始化成功，正在通知主线程。\n", pid);
    static const char kStarted[] = "OK:STARTED\n";
    // Not checked: the worker runs whether or not the supervisor still
    // listens; the supervisor learns of its end through waitpid.
    [[maybe_unused]] const ssize_t sent = write(pair.get(), kStarted, sizeof kStarted - 1);
    printf("[Capture %d] 进入主工作循环，等待终止信号...\n", pid);

    const int result = capture_frame(session, &egl, pipelines);
    // A driver that ended on a failed run (not on a stop request) tells the
    // supervisor, which then ends with a failure status of its own.
    if (result < 0 && !g_terminate_flag) {
        static const char kFailed[] = "ERROR:RUN_FAILED\n";
        [[maybe_unused]] const ssize_t told = write(pair.get(), kFailed, sizeof kFailed - 1);
    }

    printf("[Capture %d] 收到终止信号，正在清理...\n", pid);
    egl_context_cleanup(&egl);
    pair.reset();
    printf("[Capture %d] 清理完毕，退出。\n", pid);
}

int capture_stop(CaptureSession *session)
{
    puts("[CAPTURE] Stopping capture...");
    if (session == nullptr || session->connection == nullptr)
        return 0;
    ServerConnection *connection = session->connection;
    if (connection->event_fd != 0) {
        close(connection->event_fd);
        connection->event_fd = 0;
    }
    if (connection->fd != 0) {
        close(connection->fd);
        connection->fd = 0;
    }
    return 0;
}
