// The README's main-job command, shortened: scripts/demo.sh against this
// build for three seconds. Its summary must show frames received and a
// latency figure, and the recording and the PNG must be where it says.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>

namespace {

std::string run_command(const std::string &command, int *status)
{
    std::string output;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    *status = pclose(pipe);
    return output;
}

bool starts_with_bytes(const std::string &path, const std::string &bytes)
{
    std::ifstream in(path, std::ios::binary);
    std::string head(bytes.size(), '\0');
    return in.read(head.data(), std::streamsize(head.size())) && head == bytes;
}

TEST(Demo, ShortRunPrintsFramesAndLatency)
{
    const std::string command = std::string("DEMO_SECONDS=3 DEMO_SKIP_BUILD=1 DEMO_BUILD_DIR='") + VISTREL_BINARY_DIR +
                                "' DEMO_OUTPUT=/tmp/demo-out sh '" + VISTREL_SOURCE_DIR + "/scripts/demo.sh' 2>&1";
    int status = 0;
    const std::string out = run_command(command, &status);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;

    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, std::regex(R"(demo: summary +frames=(\d+) fps=([0-9.]+))"))) << out;
    EXPECT_GT(std::stoi(m[1].str()), 0) << out;
    ASSERT_TRUE(std::regex_search(
        out, m, std::regex(R"(demo: latency +p50=([0-9.]+) ms p95=([0-9.]+) ms max=([0-9.]+) ms over (\d+) frames)")))
        << out;
    EXPECT_GT(std::stoi(m[4].str()), 0);
    EXPECT_LE(std::stod(m[1].str()), std::stod(m[3].str()));
    std::printf("[ report ] demo (3 s): %s\n", m[0].str().c_str());

    EXPECT_NE(out.find("demo: recording  /tmp/demo-out/stream.mkv"), std::string::npos) << out;
    EXPECT_TRUE(starts_with_bytes("/tmp/demo-out/stream.mkv", "\x1a\x45\xdf\xa3"));  // Matroska
    if (out.find("demo: frame      /tmp/demo-out/frame.png") != std::string::npos) {
        EXPECT_TRUE(starts_with_bytes("/tmp/demo-out/frame.png", "\x89PNG\r\n\x1a\n"));
    }
}

}  // namespace
