// Headless Chromium pages for the browser tests, and the network namespace
// they run in.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_processes.h"

// Checks that Chromium, Janus and Python are installed, then moves the test
// process into a network namespace of its own with loopback up and a veth
// pair (10.231.0.1/24, 10.231.0.2/24), so that Janus has an address to
// offer and nothing reaches the machine's own interfaces. Returns "" on
// success, or why the browser tests cannot run here.
std::string browser_environment();

// Only the network namespace with its veth pair, for a test that needs no
// browser. "" on success, or why it cannot be made.
std::string browser_network();

struct BrowserPage {
    E2eProcess process;
    std::string name;
    std::string err_path;  // Chromium's log, where the page's console lines go
};

// Starts headless Chromium on url with a fresh profile under /tmp, and the
// extra flags given (a certificate to trust, say). 0, or -1.
int browser_open(BrowserPage *page, const std::string &name, const std::string &url,
                 const std::vector<std::string> &extra = {});

// Opens url in a Chromium of its own (fresh profile, `extra` flags, a
// 1200x900 window), waits up to timeout_ms until the page's figures say it
// plays with at least `frames` pictures, saves a screenshot of the page to
// png, then double-clicks the picture. 0 with the page's figures line and
// "fullscreen=1" (or 0) in *report, or -1 with why.
int browser_screenshot(const std::string &url, const std::string &png, const std::vector<std::string> &extra,
                       long frames, int timeout_ms, std::string *report);

// An RGB picture, three bytes a pixel, rows top to bottom.
struct BrowserImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

// Reads a PNG file. 0, or -1.
int browser_read_png(const std::string &path, BrowserImage *image);

// The page's last "vistrel-figures" line ("" before the first) and its
// key=value pairs.
std::string browser_figures_line(const BrowserPage *page);
std::map<std::string, std::string> browser_figures(const BrowserPage *page);

// The number of one figure, 0 when it is missing.
double browser_number(const std::map<std::string, std::string> &figures, const std::string &key);

// Waits until the page plays, has shown `frames` pictures with a latency
// figure and has joined at least min_joins times. True when it does within
// timeout_ms.
bool browser_wait_playing(const BrowserPage *page, long frames, int timeout_ms, long min_joins = 1);

// Each page's last figures on standard error (for a failed test's report).
void browser_print_figures(const std::vector<std::unique_ptr<BrowserPage>> &pages);

// The last `bytes` bytes of a file.
std::string browser_tail(const std::string &path, size_t bytes);
