// The deep-colour framebuffer formats (10-bit, 16-bit, half-float, RGB565
// and P010) by their DRM fourccs, and what every layer needs to know of
// their layouts (bytes a pixel, alpha). The converters are in
// apps/capture/convert/deep_convert.h.
#pragma once

#include <cstdint>

// A DRM fourcc from its four letters.
inline constexpr uint32_t deep_fourcc(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}
inline constexpr uint32_t DEEP_XR30 = deep_fourcc('X', 'R', '3', '0');
inline constexpr uint32_t DEEP_AR30 = deep_fourcc('A', 'R', '3', '0');
inline constexpr uint32_t DEEP_XB30 = deep_fourcc('X', 'B', '3', '0');
inline constexpr uint32_t DEEP_AB30 = deep_fourcc('A', 'B', '3', '0');
inline constexpr uint32_t DEEP_XR48 = deep_fourcc('X', 'R', '4', '8');
inline constexpr uint32_t DEEP_AR48 = deep_fourcc('A', 'R', '4', '8');
inline constexpr uint32_t DEEP_XB48 = deep_fourcc('X', 'B', '4', '8');
inline constexpr uint32_t DEEP_AB48 = deep_fourcc('A', 'B', '4', '8');
inline constexpr uint32_t DEEP_XR4H = deep_fourcc('X', 'R', '4', 'H');
inline constexpr uint32_t DEEP_AR4H = deep_fourcc('A', 'R', '4', 'H');
inline constexpr uint32_t DEEP_XB4H = deep_fourcc('X', 'B', '4', 'H');
inline constexpr uint32_t DEEP_AB4H = deep_fourcc('A', 'B', '4', 'H');
inline constexpr uint32_t DEEP_RG16 = deep_fourcc('R', 'G', '1', '6');
inline constexpr uint32_t DEEP_P010 = deep_fourcc('P', '0', '1', '0');

// Bytes a pixel of a packed deep format (4, 8 or 2); 0 for any other fourcc
// (P010 included: it is planar).
inline constexpr uint32_t deep_packed_bytes(uint32_t f)
{
    if (f == DEEP_XR30 || f == DEEP_AR30 || f == DEEP_XB30 || f == DEEP_AB30)
        return 4;
    if (f == DEEP_XR48 || f == DEEP_AR48 || f == DEEP_XB48 || f == DEEP_AB48 || f == DEEP_XR4H || f == DEEP_AR4H ||
        f == DEEP_XB4H || f == DEEP_AB4H)
        return 8;
    return f == DEEP_RG16 ? 2 : 0;
}

// True for the packed deep formats whose pixels carry alpha (AR30, AB30:
// 2 bits; AR48, AB48, AR4H, AB4H: 16 bits).
inline constexpr bool deep_has_alpha(uint32_t f)
{
    return f == DEEP_AR30 || f == DEEP_AB30 || f == DEEP_AR48 || f == DEEP_AB48 || f == DEEP_AR4H || f == DEEP_AB4H;
}
