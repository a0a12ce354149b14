// The capture program as a process against the real capture-helper on the
// virtual display: banner and configuration, the start handshake with the
// worker's EGL on llvmpipe, and how each kind of run ends.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_processes.h"

namespace {

const std::string kBanner = "Vistrel - Screen Capture Application\n";
const std::string kDefaultConfig = "Config: 2560x1440 @ 60fps, DRI card-1, Mode: fast, VBlankSync: enabled\n";

std::string paced_program()
{
    return std::string(VISTREL_BINARY_DIR) + "/tests/supervisor/vistrel-paced-capture";
}

// Texts in this order within one stream (other lines may come between).
::testing::AssertionResult in_order(const std::string &text, const std::vector<std::string> &parts)
{
    size_t at = 0;
    for (const std::string &part : parts) {
        size_t found = text.find(part, at);
        if (found == std::string::npos)
            return ::testing::AssertionFailure() << "missing or out of order: \"" << part << "\" in:\n" << text;
        at = found + part.size();
    }
    return ::testing::AssertionSuccess();
}

class CaptureProgram : public ::testing::Test {
protected:
    void start_helper(const std::string &world = "1")
    {
        ASSERT_EQ(e2e_start_helper(&helper_, world), 0) << e2e_stderr(&helper_);
    }
    // Runs a program to its end (within 20 s) with its worker; the worker's
    // output goes to the same files, so both are complete once the pipes'
    // writers are all gone, which waiting for the exit alone does not show.
    void run(const std::string &program, const std::vector<std::string> &args, const std::vector<std::string> &env = {})
    {
        ASSERT_EQ(e2e_spawn(&capture_, "capture", program, args, env), 0);
        ASSERT_TRUE(e2e_wait_exit(&capture_, 20000)) << e2e_stdout(&capture_) << e2e_stderr(&capture_);
        out_ = e2e_stdout(&capture_);
        err_ = e2e_stderr(&capture_);
    }
    int exit_code() const { return WIFEXITED(capture_.status) ? WEXITSTATUS(capture_.status) : -1; }
    void TearDown() override
    {
        if (HasFailure())
            fprintf(stderr, "--- capture stdout ---\n%s\n--- capture stderr ---\n%s\n--- helper ---\n%s%s\n",
                    e2e_stdout(&capture_).c_str(), e2e_stderr(&capture_).c_str(), e2e_stdout(&helper_).c_str(),
                    e2e_stderr(&helper_).c_str());
    }

    E2eProcess helper_;
    E2eProcess capture_;
    std::string out_, err_;
};

}  // namespace

TEST_F(CaptureProgram, CommandLineExitCodes)
{
    run(e2e_capture_program(), {"--help"});
    EXPECT_EQ(exit_code(), 0);
    EXPECT_TRUE(
        in_order(out_, {"Usage: ", " [options]\nOptions:\n", "  --help                Show this help message\n"}));
    const std::string usage = out_;
    run(e2e_capture_program(), {"--bogus"});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_EQ(out_, usage);
    run(e2e_capture_program(), {"-s", "TRUE"});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_EQ(err_, "Invalid value for --sync: TRUE. Use '0'/'false' or '1'/'true'.\n");
    run(e2e_capture_program(), {"-m", "Fast"});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_EQ(err_, "Invalid mode: Fast. Use 'compatible', 'balanced', or 'fast'.\n");
    run(e2e_capture_program(), {"-c", std::string(32, 'c')});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_EQ(err_, "Invalid card path\n");
    EXPECT_EQ(out_, "");
}

TEST_F(CaptureProgram, SetUpFailuresEndWithStatusOne)
{
    // No helper at all.
    run(e2e_capture_program(), {});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_EQ(out_, kBanner + kDefaultConfig);
    EXPECT_EQ(err_, "connect: No such file or directory\n");

    // A port the helper does not have.
    ASSERT_NO_FATAL_FAILURE(start_helper());
    run(e2e_capture_program(), {"-p", "hdmi-1"});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_TRUE(in_order(err_, {"[Capture sub] uds_client_set_context failed: ", "Failed to initialize capture\n"}));
    EXPECT_EQ(out_.find("[CAPTURE] Starting capture..."), std::string::npos);
    EXPECT_FALSE(e2e_reap(&helper_)) << "the helper survives the refused client";
}

// The fast pipeline cannot run here (no VA-API device): the worker starts,
// acknowledges, the pipeline returns a failure, the worker exits with 1, and
// the supervisor, told of the failed run, ends with 1 too.
TEST_F(CaptureProgram, FailingPipelineEndsTheWorkerWithStatusOne)
{
    ASSERT_NO_FATAL_FAILURE(start_helper());
    run(e2e_capture_program(), {}, {"DISPLAY=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_EQ(out_.rfind(kBanner + kDefaultConfig, 0), 0u);
    EXPECT_TRUE(in_order(out_, {"[Capture sub] 0\n", "[Capture] 即将连接开始抓取流",
                                "[Capture] 工作进程进行中。。。。\n", "[CAPTURE] Stopping capture...\n",
                                "[CAPTURE] Cleaning up capture module\n", "Capture finished.\n"}));
    EXPECT_TRUE(
        in_order(out_, {"[CAPTURE] Starting capture...\n", "] 工作进程已启动，正在阻塞等待主线程的启动信号...\n",
                        "] 收到启动命令: START\n", "] 正在初始化核心组件 (EGL, GBM, DRM)...\n",
                        "] 初始化成功，正在通知主线程。\n", "] 进入主工作循环，等待终止信号...\n",
                        "[Capture] Start, mode=fast\n", "] 收到终止信号，正在清理...\n", "] 清理完毕，退出。\n"}));
    EXPECT_TRUE(in_order(err_, {"[Capture] 子进程退出，退出码 1\n"}));
    EXPECT_EQ(err_.find("EGL 初始化失败"), std::string::npos);
    // The helper saw its client leave and keeps serving.
    EXPECT_TRUE(e2e_wait_for_text(&helper_, "[Helper Server] 客户端已断开。", 3000));
    EXPECT_FALSE(e2e_reap(&helper_));
}

// A vendor list that names no library: the EGL loader finds no driver, the
// worker answers "ERROR:EGL_INIT_FAILED", and the supervisor says nothing
// about the worker but still tears down, and ends with 1: the capture never
// started.
TEST_F(CaptureProgram, WorkerWithoutEglAnswersTheFailure)
{
    ASSERT_NO_FATAL_FAILURE(start_helper());
    ASSERT_EQ(e2e_write_file("/tmp/no-vendor.json", "{\"file_format_version\": \"1.0.0\", \"ICD\": {\"library_path\": "
                                                    "\"/nonexistent/libEGL_none.so.0\"}}\n"),
              0);
    run(e2e_capture_program(), {}, {"__EGL_VENDOR_LIBRARY_FILENAMES=/tmp/no-vendor.json"});
    EXPECT_EQ(exit_code(), 1);
    EXPECT_TRUE(in_order(err_, {"] EGL 初始化失败。\n"}));
    EXPECT_EQ(err_.find("[Capture] 子进程"), std::string::npos);
    EXPECT_EQ(err_.find("[Capture] 工作进程已经关闭了"), std::string::npos);
    EXPECT_EQ(out_.find("[Capture] 工作进程进行中"), std::string::npos);
    EXPECT_EQ(out_.find("进入主工作循环"), std::string::npos);
    EXPECT_TRUE(in_order(out_, {"[Capture] 即将连接开始抓取流", "[CAPTURE] Stopping capture...\n",
                                "[CAPTURE] Cleaning up capture module\n", "Capture finished.\n"}));
}

// SIGTERM to a worker inside a run: the run ends at its next wait, the driver
// returns, the worker tears EGL down and exits with 1.
TEST_F(CaptureProgram, TerminatedWorkerTearsDownAndExitsWithOne)
{
    ASSERT_NO_FATAL_FAILURE(start_helper());
    ASSERT_EQ(e2e_spawn(&capture_, "capture", paced_program(), {"-m", "balanced"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[Pipeline] paced run: 10 blanks", 10000));
    const std::vector<pid_t> workers = e2e_children(capture_.pid);
    ASSERT_EQ(workers.size(), 1u);
    ASSERT_EQ(kill(workers[0], SIGTERM), 0);
    ASSERT_TRUE(e2e_wait_exit(&capture_, 10000));
    out_ = e2e_stdout(&capture_);
    err_ = e2e_stderr(&capture_);
    EXPECT_EQ(exit_code(), 0);
    const std::string tag = "[Capture " + std::to_string(workers[0]) + "] ";
    EXPECT_TRUE(
        in_order(out_, {"[Capture] Start, mode=balanced\n", "[Listener] Ring Buffer Mode Started. (Lock-Free Write)\n",
                        tag + "收到终止信号，正在清理...\n", tag + "清理完毕，退出。\n",
                        "[CAPTURE] Stopping capture...\n", "Capture finished.\n"}));
    EXPECT_TRUE(in_order(err_, {"[Capture] 子进程退出，退出码 1\n"}));
    EXPECT_EQ(err_.find("[Listener] read error"), std::string::npos);
}

// The same with the real balanced pipeline streaming to the relay.
TEST_F(CaptureProgram, TerminatedBalancedRunEndsTheWorker)
{
    ASSERT_NO_FATAL_FAILURE(start_helper());
    E2eProcess relay;
    ASSERT_EQ(e2e_start_relay(&relay, {"--udp-port", "0"}), 0) << e2e_stderr(&relay);
    ASSERT_EQ(e2e_spawn(&capture_, "capture", e2e_capture_program(), {"-m", "balanced"}), 0);
    ASSERT_TRUE(e2e_wait_for_text(&capture_, "[GL+CPU] Frame ", 20000, true));
    const std::vector<pid_t> workers = e2e_children(capture_.pid);
    ASSERT_EQ(workers.size(), 1u);
    ASSERT_EQ(kill(workers[0], SIGTERM), 0);
    ASSERT_TRUE(e2e_wait_exit(&capture_, 10000));
    out_ = e2e_stdout(&capture_);
    err_ = e2e_stderr(&capture_);
    EXPECT_EQ(exit_code(), 0);
    const std::string tag = "[Capture " + std::to_string(workers[0]) + "] ";
    EXPECT_TRUE(in_order(out_, {"[Capture] Start, mode=balanced\n", tag + "收到终止信号，正在清理...\n",
                                tag + "清理完毕，退出。\n", "Capture finished.\n"}));
    EXPECT_TRUE(in_order(err_, {"[Capture] 子进程退出，退出码 1\n"}));
}
