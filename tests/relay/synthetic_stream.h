// Test-side producers for the relay: a luma watermark drawn the way the
// capture side's shader draws it, and an encoded stream sent through
// FFmpeg's "rtp" muxer as one datagram per RTP packet to /tmp/rtp.sock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include "libs/common/relay_protocol.h"

// Draws value's thirteen lowest digits into a luma plane: the backdrop
// (columns 40..709, rows 40..149) at 30 %, lit segments at 255.
void test_draw_watermark(uint8_t *luma, int width, int height, ptrdiff_t stride, uint64_t value);

struct TestStreamOptions {
    std::string encoder = "libx264";  // libx264, libx265, libvpx, libvpx-vp9
    int width = 320;
    int height = 240;
    int frames = 40;
    int frame_ms = 33;              // presentation step in milliseconds
    bool paced = false;             // sleep frame_ms between frames
    bool watermark = false;         // draw the wall-clock time of each frame
    bool bitmap_watermark = false;  // in the compatible mode's bitmap font
    std::string rtp_path = relay_protocol::kRtpSocketPath;
};

struct TestStreamReport {
    int frames_encoded = 0;
    int datagrams = 0;
    size_t largest = 0;
    std::string error;
};

// Encodes and sends the stream; returns 0, or -1 with report->error set.
int test_send_stream(const TestStreamOptions &options, TestStreamReport *report);
