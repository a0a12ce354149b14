// What the connector says about the colour of the picture it is sent: the
// transfer function (SDR gamma, PQ or HLG), the primaries, and the static
// metadata of the display the content was mastered on. capture reads it
// from the helper's HDR record and keeps it beside the picture; the
// converters tone-map by it, and with --hdr the encoders signal it.
#pragma once

#include <cstdint>

#include "libs/framelink/protocol.h"

enum HdrTransfer : uint32_t {
    HDR_TRANSFER_SDR = 0,  // BT.709 / sRGB gamma: the picture is used as it is
    HDR_TRANSFER_PQ = 1,   // SMPTE ST 2084 (absolute, up to 10000 cd/m2)
    HDR_TRANSFER_HLG = 2,  // ARIB STD-B67 / BT.2100 hybrid log-gamma
};

struct HdrSignal {
    HdrTransfer transfer = HDR_TRANSFER_SDR;
    bool bt2020 = false;  // the connector's colorimetry is BT.2020 (RGB, YCC or constant-luminance YCC)
    // SMPTE ST 2086, as the connector's metadata holds it: R, G, B and the
    // white point as CIE 1931 (x, y) in units of 0.00002; 0 when not given.
    uint16_t primaries[3][2] = {};
    uint16_t white_point[2] = {};
    uint16_t max_mastering_luminance = 0;  // cd/m2
    uint16_t min_mastering_luminance = 0;  // 0.0001 cd/m2
    uint16_t max_cll = 0;                  // cd/m2, the content's brightest pixel
    uint16_t max_fall = 0;                 // cd/m2, its brightest frame average
};

// The signal a record tells. A record whose EOTF is neither PQ nor HLG is
// SDR, whatever else it holds.
HdrSignal hdr_signal_from_record(const HdrRecord &record);

inline bool hdr_signal_is_hdr(const HdrSignal &s)
{
    return s.transfer != HDR_TRANSFER_SDR;
}

// True when every field is the same.
bool hdr_signal_equal(const HdrSignal &a, const HdrSignal &b);

// "SDR", "PQ" or "HLG".
const char *hdr_transfer_name(HdrTransfer transfer);
