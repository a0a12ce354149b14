// The description text of an exported framebuffer, as a GET_FRAME reply and
// the scanout and cursor records carry it: one line per plane, joined by
// "\r\n". Plane 0's line is "w=W|h=H|f=FOURCC|s=STRIDE|o=OFFSET|m=MODIFIER|r=HZ",
// every further plane's "s=STRIDE|o=OFFSET"; numbers in decimal. The helper
// writes it and libframelink reads it, both through this pair.
#pragma once

#include <cstdint>
#include <string>

#include "libs/framelink/protocol.h"

namespace framelink {

struct DescriptionPlane {
    uint32_t stride;
    uint32_t offset;
};

struct Description {
    uint32_t width;
    uint32_t height;
    uint32_t format;  // DRM fourcc
    uint64_t modifier;
    uint32_t refresh;  // Hz, 0 when unknown
    int plane_count;   // 0 to UDS_MAX_PLANES
    DescriptionPlane planes[UDS_MAX_PLANES];
};

// The text of the description: plane_count lines ("" for none).
std::string write_description(const Description &description);

// Parses a text written by write_description: 1 to UDS_MAX_PLANES lines,
// fields in their order, each a decimal number within its field's width,
// nothing else. False (and *out untouched) on anything else.
bool parse_description(const std::string &text, Description *out);

}  // namespace framelink
