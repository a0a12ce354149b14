// Options into a CaptureConfig: the defaults, the -c length rules, the cut
// port, the rejected values, and help against an unknown option.
#include "apps/capture/supervisor/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int result;
    CaptureConfig config;
    std::string out;
    std::string err;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "capture");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    Parsed parsed{};
    parsed.config = capture_config_default();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    parsed.result = capture_parse_command_line(static_cast<int>(args.size()), argv.data(), &parsed.config);
    parsed.out = testing::internal::GetCapturedStdout();
    parsed.err = testing::internal::GetCapturedStderr();
    return parsed;
}

bool zero_after_terminator(const char (&field)[32])
{
    for (size_t i = strlen(field); i < sizeof field; ++i)
        if (field[i] != 0)
            return false;
    return true;
}

TEST(CommandLine, DefaultsAndModeNames)
{
    const Parsed p = parse({});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.config.width, 2560);
    EXPECT_EQ(p.config.height, 1440);
    EXPECT_EQ(p.config.fps, 60);
    EXPECT_EQ(p.config.mode, 2);
    EXPECT_TRUE(p.config.vblank_sync);
    EXPECT_EQ(p.config.out_width, 0);
    EXPECT_EQ(p.config.out_height, 0);
    EXPECT_EQ(p.config.card_index, -1);
    EXPECT_STREQ(p.config.port, "dp-3");
    EXPECT_STREQ(p.config.card_path, "/dev/dri/card1");
    EXPECT_TRUE(zero_after_terminator(p.config.port));
    EXPECT_TRUE(zero_after_terminator(p.config.card_path));
    EXPECT_STREQ(capture_mode_name(0), "compatible");
    EXPECT_STREQ(capture_mode_name(1), "balanced");
    EXPECT_STREQ(capture_mode_name(2), "fast");
    EXPECT_STREQ(capture_mode_name(3), "auto");
    EXPECT_STREQ(capture_mode_name(4), "unknown");
    EXPECT_STREQ(capture_mode_name(-1), "unknown");
}

TEST(CommandLine, CardValueByLength)
{
    Parsed p = parse({"-c", "12"});
    EXPECT_EQ(p.config.card_index, 12);
    EXPECT_STREQ(p.config.card_path, "/dev/dri/card1");
    p = parse({"-c", "ab"});
    EXPECT_EQ(p.config.card_index, 0);
    p = parse({"--card", "/dev/dri/card0"});
    EXPECT_EQ(p.config.card_index, -1);
    EXPECT_STREQ(p.config.card_path, "/dev/dri/card0");
    const std::string longest(31, 'x');
    p = parse({"-c", "/dev/dri/card1234567890", "-c", longest});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(std::string(p.config.card_path), longest);
    p = parse({"-c", "/dev/dri/card1234567890", "-c", "/dev/x"});
    EXPECT_STREQ(p.config.card_path, "/dev/x");
    EXPECT_TRUE(zero_after_terminator(p.config.card_path));
}

TEST(CommandLineDeath, CardPathOf32CharactersIsFatal)
{
    std::string name = "capture", option = "-c", value(32, 'x');
    char *argv[] = {name.data(), option.data(), value.data(), nullptr};
    CaptureConfig config = capture_config_default();
    EXPECT_EXIT(capture_parse_command_line(3, argv, &config), ::testing::ExitedWithCode(1), "^Invalid card path\n$");
}

TEST(CommandLine, PortIsCutTo31Bytes)
{
    const std::string port(40, 'p');
    const Parsed p = parse({"-p", port});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(std::string(p.config.port), port.substr(0, 31));
    EXPECT_TRUE(p.err.empty());
}

TEST(CommandLine, NumbersAreTakenUncheckedAndLaterOptionsWin)
{
    const Parsed p = parse(
        {"-w", "0", "-f", "-5", "--height", "720", "-m", "balanced", "-m", "compatible", "-s", "false", "--sync", "1"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.config.width, 0);
    EXPECT_EQ(p.config.fps, -5);
    EXPECT_EQ(p.config.height, 720);
    EXPECT_EQ(p.config.mode, 0);
    EXPECT_TRUE(p.config.vblank_sync);
}

TEST(CommandLine, RejectedValuesNameThemselves)
{
    Parsed p = parse({"-s", "00"});
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.err, "Invalid value for --sync: 00. Use '0'/'false' or '1'/'true'.\n");
    p = parse({"-s", "TRUE"});
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.err, "Invalid value for --sync: TRUE. Use '0'/'false' or '1'/'true'.\n");
    p = parse({"-m", "Fast"});
    EXPECT_EQ(p.result, -1);
    EXPECT_EQ(p.err, "Invalid mode: Fast. Use 'compatible', 'balanced', or 'fast'.\n");
    for (const char *turn : {"45", "-90", "360", "90x"}) {
        p = parse({"--rotate", turn});
        EXPECT_EQ(p.result, -1) << turn;
    }
    p = parse({"--rotate", "270"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.config.rotate, 270);
}

TEST(CommandLine, HelpAgainstUnknownOrIncompleteOptions)
{
    Parsed p = parse({"--help"});
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.out.rfind("Usage: capture [options]\nOptions:\n", 0), 0u);
    EXPECT_NE(p.out.find("  --help                Show this help message\n"), std::string::npos);
    const std::string usage = p.out;
    for (const char *bad : {"-x", "--bogus", "-w"}) {
        p = parse({bad});
        EXPECT_EQ(p.result, -1) << bad;
        EXPECT_EQ(p.out, usage) << bad;
        EXPECT_TRUE(p.err.empty()) << bad;
    }
    // -h is the height, never help.
    p = parse({"-h", "100"});
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.config.height, 100);
}

}  // namespace
