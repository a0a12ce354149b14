// Cost per 1920x1080 frame of each deep-colour format's conversion to I420
// BT.709 against XR24's (packed_to_yuv420p_bt709) in the same run: rounds
// run every converter once each, interleaved so that a load on the machine
// falls on all of them alike; the medians over the rounds are printed, with
// each one's ratio to XR24's. Thread processor time (the wall clock swings
// with other processes on a shared machine) and wall time. The HDR
// converters are beside them: XR30 and XR4H tone-mapped from PQ (BT.2020,
// 1000 cd/m2) and from HLG, XR30 to the 10-bit stream and an XR24 picture
// tone-mapped in place (as a composed one is; each round maps the last
// round's result), with their ratio to the plain XR30 conversion.
//
//   build/bench/convert/bench_deep_convert [rounds]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "apps/capture/convert/deep_convert.h"
#include "apps/capture/convert/hdr_convert.h"
#include "apps/capture/convert/yuv_convert.h"

namespace {

constexpr uint32_t kW = 1920, kH = 1080;

double now_ms(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

struct Case {
    std::string name;
    uint32_t fourcc;  // 0: XR24
    bool portable;
    int hdr;  // 0: SDR; 1: PQ tone-mapped; 2: HLG tone-mapped; 3: the 10-bit stream; 4: XR24 tone-mapped in place
    std::vector<uint8_t> src;
    uint32_t stride;
    std::vector<double> cpu, wall;
};

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
    std::vector<Case> cases;
    auto add = [&](const char *name, uint32_t fourcc, bool portable, int hdr = 0) {
        const uint32_t bytes = fourcc && fourcc != HDR_XR24 ? (fourcc == DEEP_P010 ? 2 : deep_packed_bytes(fourcc)) : 4;
        Case c{name, fourcc, portable, hdr, {}, bytes * kW, {}, {}};
        c.src.resize(size_t(c.stride) * kH * (fourcc == DEEP_P010 ? 2 : 1));
        uint32_t seed = 12345;
        for (uint8_t &b : c.src) {
            seed = seed * 1664525u + 1013904223u;
            b = uint8_t(seed >> 24);
        }
        if (fourcc == DEEP_XR4H || fourcc == DEEP_AB4H)  // halves in [0, 1): exponent below 15
            for (size_t i = 1; i < c.src.size(); i += 2)
                c.src[i] &= 0x3b;
        cases.push_back(std::move(c));
    };
    add("XR24", 0, false);
    add("XR30", DEEP_XR30, false);
    add("AB30", DEEP_AB30, false);
    add("XR30 portable", DEEP_XR30, true);
    add("XR48", DEEP_XR48, false);
    add("AB48", DEEP_AB48, false);
    add("XR4H", DEEP_XR4H, false);
    add("AB4H", DEEP_AB4H, false);
    add("XR4H portable", DEEP_XR4H, true);
    add("RG16", DEEP_RG16, false);
    add("P010", DEEP_P010, false);
    add("XR30 PQ", DEEP_XR30, false, 1);
    add("XR4H PQ", DEEP_XR4H, false, 1);
    add("XR30 HLG", DEEP_XR30, false, 2);
    add("XR30 PQ port.", DEEP_XR30, true, 1);
    add("XR30 10-bit", DEEP_XR30, false, 3);
    add("XR24 PQ in place", HDR_XR24, false, 4);
    HdrSignal pq;
    pq.transfer = HDR_TRANSFER_PQ;
    pq.bt2020 = true;
    pq.max_cll = 1000;
    HdrSignal hlg = pq;
    hlg.transfer = HDR_TRANSFER_HLG;
    const HdrToneMap pq_map = hdr_tone_map_for(pq), hlg_map = hdr_tone_map_for(hlg);
    std::vector<uint8_t> out(size_t(kW) * kH * 3 / 2);
    std::vector<uint16_t> out10(size_t(kW) * kH * 3 / 2);
    uint16_t *y10 = out10.data(), *u10 = y10 + size_t(kW) * kH, *v10 = u10 + size_t(kW) * kH / 4;
    uint8_t *y = out.data(), *u = y + size_t(kW) * kH, *v = u + size_t(kW) * kH / 4;
    for (int r = -1; r < rounds; ++r)  // round -1 warms the caches and scratch rows
        for (Case &c : cases) {
            const double c0 = now_ms(CLOCK_THREAD_CPUTIME_ID), w0 = now_ms(CLOCK_MONOTONIC);
            int rc;
            if (!c.fourcc)
                rc = packed_to_yuv420p_bt709(PACKED_BGRA, kW, kH, c.src.data(), c.stride, y, u, v);
            else if (c.fourcc == DEEP_P010)
                rc = p010_to_yuv420p(kW, kH, c.src.data(), c.stride, c.src.data() + size_t(c.stride) * kH, c.stride, y,
                                     u, v);
            else if (c.hdr == 4)
                rc = hdr_convert_xrgb_in_place(pq_map, c.fourcc, kW, kH, c.src.data(), c.stride);
            else if (c.hdr == 3)
                rc = hdr_convert_to_yuv420p10(true, c.fourcc, kW, kH, c.src.data(), c.stride, y10, u10, v10);
            else if (c.hdr && c.portable)
                rc = hdr_convert_to_yuv420p_bt709_portable(pq_map, c.fourcc, kW, kH, c.src.data(), c.stride, y, u, v);
            else if (c.hdr)
                rc = hdr_convert_to_yuv420p_bt709(c.hdr == 1 ? pq_map : hlg_map, c.fourcc, kW, kH, c.src.data(),
                                                  c.stride, y, u, v);
            else if (c.portable)
                rc = deep_to_yuv420p_bt709_portable(c.fourcc, kW, kH, c.src.data(), c.stride, y, u, v);
            else
                rc = deep_to_yuv420p_bt709(c.fourcc, kW, kH, c.src.data(), c.stride, y, u, v);
            const double c1 = now_ms(CLOCK_THREAD_CPUTIME_ID), w1 = now_ms(CLOCK_MONOTONIC);
            if (rc != 0) {
                std::fprintf(stderr, "%s: conversion failed\n", c.name.c_str());
                return 1;
            }
            if (r >= 0) {
                c.cpu.push_back(c1 - c0);
                c.wall.push_back(w1 - w0);
            }
        }
    const double base_cpu = median(cases[0].cpu), base_wall = median(cases[0].wall);
    const double xr30_cpu = median(cases[1].cpu);
    std::printf("1920x1080, medians of %d rounds (AVX2: %s)\n%-17s %9s %9s %9s %9s %9s\n", rounds,
                yuv_convert_have_avx2() ? "yes" : "no", "format", "cpu ms", "x XR24", "wall ms", "x XR24", "x XR30");
    for (const Case &c : cases)
        std::printf("%-17s %9.2f %9.2f %9.2f %9.2f %9.2f\n", c.name.c_str(), median(c.cpu), median(c.cpu) / base_cpu,
                    median(c.wall), median(c.wall) / base_wall, median(c.cpu) / xr30_cpu);
    return 0;
}
