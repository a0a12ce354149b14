// Reads the 13-digit millisecond time stamps out of a picture's pixels
// (an ImageData whose coordinates are the picture's own):
//   readSegments(img)    the GPU modes' seven-segment watermark, top-left
//   readBitmap(img)      the compatible mode's 8x8 bitmap font, top-left
//   readStamp(img, top)  the virtual display's stamp, its digits' top row at `top`
// Each returns the number, or null when the digits are not all readable.
"use strict";

function luma(data, width, x, y) {
    const i = (Math.round(y) * width + Math.round(x)) * 4;
    return 0.299 * data[i] + 0.587 * data[i + 1] + 0.114 * data[i + 2];
}

function boxMean(img, x0, y0, x1, y1, inset) {
    let c0 = Math.ceil(x0 + inset - 0.5), c1 = Math.floor(x1 - inset - 0.5);
    let r0 = Math.ceil(y0 + inset - 0.5), r1 = Math.floor(y1 - inset - 0.5);
    if (c1 < c0) c0 = c1 = Math.floor((x0 + x1) / 2);
    if (r1 < r0) r0 = r1 = Math.floor((y0 + y1) / 2);
    let sum = 0, n = 0;
    for (let r = r0; r <= r1; r++)
        for (let c = c0; c <= c1; c++) {
            sum += luma(img.data, img.width, c, r);
            n++;
        }
    return sum / n;
}

// GPU modes: cells 40x80 from (50, 50), one every 50 pixels, on a dark box.
const SEGMENTS = [
    [0.5, 0.15, 0.35, 0.10], [0.2, 0.35, 0.10, 0.20], [0.8, 0.35, 0.10, 0.20],
    [0.5, 0.50, 0.35, 0.10], [0.2, 0.65, 0.10, 0.20], [0.8, 0.65, 0.10, 0.20],
    [0.5, 0.85, 0.35, 0.10],
];
const SEGMENT_DIGITS = [0b1110111, 0b0100100, 0b1011101, 0b1101101, 0b0101110,
                        0b1101011, 0b1111011, 0b0100101, 0b1111111, 0b1101111];

function readSegments(img) {
    let backdrop = boxMean(img, 40, 60, 50, 120, 2);
    for (let i = 0; i < 12; i++)
        backdrop = Math.max(backdrop, boxMean(img, 90 + 50 * i, 60, 100 + 50 * i, 120, 2));
    if (backdrop > 110) return null;
    const threshold = (backdrop + 255) / 2;
    let value = 0;
    for (let i = 0; i < 13; i++) {
        let lit = 0;
        for (let s = 0; s < 7; s++) {
            const [cx, cy, w, h] = SEGMENTS[s];
            const x = 50 + 50 * i + cx * 40, y = 50 + cy * 80, hw = w * 20, hh = h * 40;
            if (boxMean(img, x - hw, y - hh, x + hw, y + hh, 1) > threshold) lit |= 1 << s;
        }
        const d = SEGMENT_DIGITS.indexOf(lit);
        if (d < 0) return null;
        value = value * 10 + d;
    }
    return value;
}

// Compatible mode: an 8x8 font at scale 8 from (50, 50), one cell every 74.
const FONT = [
    [0x3C, 0x66, 0x66, 0x66, 0x66, 0x66, 0x66, 0x3C], [0x18, 0x38, 0x18, 0x18, 0x18, 0x18, 0x18, 0x3C],
    [0x3C, 0x66, 0x06, 0x0C, 0x18, 0x30, 0x66, 0x7E], [0x3C, 0x66, 0x06, 0x1C, 0x06, 0x06, 0x66, 0x3C],
    [0x0C, 0x1C, 0x3C, 0x6C, 0xCC, 0xFE, 0x0C, 0x1E], [0x7E, 0x60, 0x7C, 0x06, 0x06, 0x06, 0x66, 0x3C],
    [0x3C, 0x66, 0x60, 0x7C, 0x66, 0x66, 0x66, 0x3C], [0x7E, 0x06, 0x06, 0x0C, 0x18, 0x18, 0x18, 0x18],
    [0x3C, 0x66, 0x66, 0x3C, 0x66, 0x66, 0x66, 0x3C], [0x3C, 0x66, 0x66, 0x3E, 0x06, 0x06, 0x66, 0x3C],
];

function popcount(v) {
    let n = 0;
    for (; v; v &= v - 1) n++;
    return n;
}

function readBitmap(img) {
    let value = 0;
    for (let i = 0; i < 13; i++) {
        const x0 = 50 + 74 * i;
        const rows = [];
        for (let r = 0; r < 8; r++) {
            let bits = 0;
            for (let c = 0; c < 8; c++)
                if (boxMean(img, x0 + c * 8 + 2, 50 + r * 8 + 2, x0 + c * 8 + 6, 50 + r * 8 + 6, 0) >= 128)
                    bits |= 0x80 >> c;
            rows.push(bits);
        }
        let best = -1, bestDistance = 65, second = 65;
        for (let d = 0; d < 10; d++) {
            let distance = 0;
            for (let r = 0; r < 8; r++) distance += popcount(rows[r] ^ FONT[d][r]);
            if (distance < bestDistance) {
                second = bestDistance;
                bestDistance = distance;
                best = d;
            } else if (distance < second) {
                second = distance;
            }
        }
        if (bestDistance > 1 || second <= bestDistance) return null;
        value = value * 10 + best;
    }
    return value;
}

// The virtual display: cells 48x80, stroke 10, one every 62 pixels, the
// first at (16, H-192); white segments a (top) to g (middle).
const STAMP_DIGITS = [0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F];

function readStamp(img, top) {
    let value = 0;
    for (let i = 0; i < 13; i++) {
        const x = 16 + 62 * i, y = top;
        const probe = (cx, cy) => boxMean(img, x + cx - 3, y + cy - 3, x + cx + 3, y + cy + 3, 0);
        const centres = [[24, 5], [43, 20], [43, 60], [24, 75], [5, 60], [5, 20], [24, 40]];
        const holes = Math.max(probe(24, 22), probe(24, 58));
        if (holes > 128) return null;
        const threshold = (holes + 255) / 2;
        let lit = 0;
        centres.forEach(([cx, cy], s) => { if (probe(cx, cy) > threshold) lit |= 1 << s; });
        const d = STAMP_DIGITS.indexOf(lit);
        if (d < 0) return null;
        value = value * 10 + d;
    }
    return value;
}
