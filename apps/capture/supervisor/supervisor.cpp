#include "apps/capture/supervisor/supervisor.h"

#include "apps/capture/source/capture_session.h"
#include "apps/capture/supervisor/command_line.h"
#include "apps/capture/supervisor/worker.h"
#include "libs/common/unique_fd.h"
#include "libs/framelink/framelink.h"

#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// Waits for the worker after its acknowledgement and logs how it ended.
// False when it did not end as a run ends (killed by a signal, or the wait
// failed).
bool wait_for_worker(pid_t worker)
{
    int status = 0;
    if (waitpid(worker, &status, 0) < 0) {
        perror("waitpid");
        return false;
    }
    if (WIFEXITED(status)) {
        fprintf(stderr, "[Capture] 子进程退出，退出码 %d\n", WEXITSTATUS(status));
        return true;
    }
    if (WIFSIGNALED(status))
        fprintf(stderr, "[Capture] 子进程被信号 %d 杀死\n", WTERMSIG(status));
    return false;
}

// True when the worker said, before it ended, that its last run failed
// ("ERROR:..." on the pair after the acknowledgement).
bool worker_reported_failure(int pair)
{
    char word[64];
    const ssize_t got = recv(pair, word, sizeof word, MSG_DONTWAIT);
    return got >= 6 && strncmp(word, "ERROR:", 6) == 0;
}

}  // namespace

int capture_main(int argc, char **argv, const CapturePipelines *pipelines)
{
    // Progress lines are read live (by a person or a log collector): one
    // line at a time, also when stdout is a pipe.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    CaptureConfig config = capture_config_default();
    const int parsed = capture_parse_command_line(argc, argv, &config);
    if (parsed > 0)
        return 0;
    if (parsed < 0)
        return 1;

    puts("Vistrel - Screen Capture Application");
    printf("Config: %dx%d @ %dfps, DRI card%d, Mode: %s, VBlankSync: %s\n", config.width, config.height, config.fps,
           config.card_index, capture_mode_name(config.mode), config.vblank_sync ? "enabled" : "disabled");

    ServerConnection connection = {};
    if (uds_client_connect(&connection, UDS_SERVER_PATH) != 0) {
        perror("connect");
        uds_client_disconnect(&connection);
        return 1;
    }

    CaptureSession session = {};
    session.connection = &connection;
    if (capture_init(&session, &config) != 0) {
        fputs("Failed to initialize capture\n", stderr);
        uds_client_disconnect(&connection);
        return 1;
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        perror("socketpair");
        capture_cleanup(&session);
        uds_client_disconnect(&connection);
        return 1;
    }
    UniqueFD supervisor_end(pair[0]);
    UniqueFD worker_end(pair[1]);

    // Nothing buffered may reach the worker's copy of the streams, or it
    // would be written twice.
    fflush(stdout);
    fflush(stderr);
    const pid_t worker = fork();
    if (worker < 0) {
        perror("fork");
        capture_cleanup(&session);
        uds_client_disconnect(&connection);
        return 1;
    }
    if (worker == 0) {
        supervisor_end.reset();
        capture_start(&session, worker_end.release(), pipelines);
        exit(1);
    }

    worker_end.reset();
    printf("[Capture] 即将连接开始抓取流");
    // MSG_NOSIGNAL: a worker that is already gone makes the send fail with
    // EPIPE instead of killing the supervisor.
    if (send(supervisor_end.get(), "START", 5, MSG_NOSIGNAL) < 0) {
        perror("send");
        exit(1);
    }

    // A worker that answers anything but the acknowledgement, or closes
    // before answering, did not start: the capture failed, and the exit
    // status says so (the lines stay as they are).
    bool ran = false;
    char reply[100] = {};
    const ssize_t got = read(supervisor_end.get(), reply, sizeof reply);
    if (got < 0) {
        perror("read");
    } else if (got == 0) {
        static const char kClosed[] = "[Capture] 工作进程已经关闭了";
        fwrite(kClosed, 1, sizeof kClosed - 1, stderr);
    } else if (strncasecmp(reply, "OK:STARTED", 10) == 0) {
        puts("[Capture] 工作进程进行中。。。。");
        // A run that fails at once may have said so in the same read as
        // its acknowledgement.
        const bool failed_early = std::string_view(reply, size_t(got)).find("ERROR:", 10) != std::string_view::npos;
        ran = wait_for_worker(worker) && !failed_early && !worker_reported_failure(supervisor_end.get());
    }

    supervisor_end.reset();
    capture_stop(&session);
    capture_cleanup(&session);
    puts("Capture finished.");
    return ran ? 0 : 1;
}
