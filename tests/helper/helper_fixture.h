// A test case with one real capture-helper and one command connection to it.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/helper/helper_process.h"

class HelperFixture : public ::testing::Test {
protected:
    // Starts the helper (virtual_display as for helper_start) and connects.
    void start(const char *virtual_display)
    {
        ASSERT_EQ(helper_start(&helper_, virtual_display), 0) << helper_log(helper_);
        client_ = command_connect();
        ASSERT_TRUE(client_.valid());
    }

    // The reply text to one request line, or "<no reply>".
    std::string ask(const std::string &line)
    {
        Reply reply;
        if (request(client_.get(), line, &reply) < 0)
            return "<no reply>";
        return reply.text;
    }

    // Ends the command connection and waits until the server has finished it.
    void disconnect()
    {
        const char *gone = "[Helper Server] 客户端已断开。";
        int before = helper_count_text(helper_, gone);
        client_.reset();
        ASSERT_TRUE(helper_wait_for_text(helper_, gone, 5000, before + 1));
    }

    void TearDown() override
    {
        // A sanitizer build reports into the helper's log.
        EXPECT_EQ(helper_log(helper_).find("Sanitizer"), std::string::npos);
        if (HasFailure())
            fprintf(stderr, "--- capture-helper log ---\n%s\n", helper_log(helper_).c_str());
        client_.reset();
        helper_kill(&helper_);
    }

    HelperProcess helper_;
    UniqueFD client_;
};
