// Plays the stream's Janus mountpoint with the smallest playout delay the
// browser allows, and shows the frame rate, the size and the latency read
// from the picture itself: the thirteen-digit millisecond time stamp that
// the capture modes draw at the top-left (seven-segment digits in the GPU
// modes, the 8x8 bitmap font in the compatible mode) and the one the
// virtual display draws at the bottom-left, each compared with this
// machine's clock. The figures also go into the title and, once a second,
// to the console, so that a headless browser can report them.
//
// Query parameters: janus (the HTTP API's port, default 8088), server (the
// API's whole URL instead), mountpoint (default 1).
"use strict";

const params = new URLSearchParams(location.search);
const server = params.get("server") ||
    location.protocol + "//" + (location.hostname || "127.0.0.1") + ":" + (params.get("janus") || "8088") + "/janus";
const mountpoint = parseInt(params.get("mountpoint") || "1", 10);

const video = document.getElementById("video");
const figures = document.getElementById("figures");
const canvas = document.getElementById("reader");
const pageStart = performance.now();

const state = {
    joins: 0,          // watch requests sent
    joinAt: 0,         // performance.now() of the last one
    joinWallMs: 0,     // and the wall-clock milliseconds then
    frames: 0,         // pictures presented since the page started
    firstMs: -1,       // page start to the first picture
    joinFirstMs: -1,   // last join to its first picture
    sawPicture: false, // a picture came since the last join
    size: "0x0",
    fpsWindow: [],     // presentation times of the last second
    mode: [],          // now - stamp of the mode's watermark, ms
    source: [],        // now - stamp of the virtual display's stamp, ms
    status: "connecting",
};

let janus = null;
let handle = null;
let retryTimer = null;

// ---- reading the time stamps ----------------------------------------------

// The regions read from each picture: the top-left band where the modes
// draw their watermark, and the bottom-left band of the display's stamp.
const TOP_W = 1024, TOP_H = 140, BOTTOM_W = 830, BOTTOM_H = 100;

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

const context = canvas.getContext("2d", { willReadFrequently: true });

function readStamps(width, height, now) {
    canvas.width = TOP_W;
    canvas.height = TOP_H + BOTTOM_H;
    context.fillStyle = "#000";
    context.fillRect(0, 0, canvas.width, canvas.height);
    context.drawImage(video, 0, 0, Math.min(TOP_W, width), Math.min(TOP_H, height),
                      0, 0, Math.min(TOP_W, width), Math.min(TOP_H, height));
    if (height >= 200)
        context.drawImage(video, 0, height - 200, Math.min(BOTTOM_W, width), BOTTOM_H,
                          0, TOP_H, Math.min(BOTTOM_W, width), BOTTOM_H);
    const img = context.getImageData(0, 0, canvas.width, canvas.height);
    // A stamp more than a minute off this clock is a misreading.
    const plausible = (v) => v !== null && Math.abs(now - v) < 60000;
    const mode = width >= 690 ? readSegments(img) : null;
    const modeValue = plausible(mode) ? mode : (width >= 1000 ? readBitmap(img) : null);
    if (plausible(modeValue)) keep(state.mode, now - modeValue);
    if (height >= 200 && width >= BOTTOM_W) {
        const source = readStamp(img, TOP_H + 8);
        if (plausible(source)) keep(state.source, now - source);
    }
}

function keep(list, value) {
    list.push(value);
    if (list.length > 20000) list.splice(0, list.length - 20000);
}

// ---- figures ----------------------------------------------------------------

function percentile(values, p) {
    if (!values.length) return 0;
    const sorted = values.slice().sort((a, b) => a - b);
    const rank = Math.max(1, Math.ceil(p / 100 * sorted.length));
    return sorted[rank - 1];
}

function figureLine() {
    const f = (v) => v.toFixed(1);
    return "frames=" + state.frames + " fps=" + f(state.fpsWindow.length) + " size=" + state.size +
        " first_ms=" + Math.round(state.firstMs) + " join_first_ms=" + Math.round(state.joinFirstMs) +
        " joins=" + state.joins + " join_at=" + state.joinWallMs +
        " mode_n=" + state.mode.length + " mode_p50=" + f(percentile(state.mode, 50)) +
        " mode_p95=" + f(percentile(state.mode, 95)) +
        " source_n=" + state.source.length + " source_p50=" + f(percentile(state.source, 50)) +
        " source_p95=" + f(percentile(state.source, 95)) + " status=" + state.status;
}

function show() {
    const line = figureLine();
    document.title = "vistrel " + line;
    figures.textContent = line.replace(/ (?=[a-z_]+=)/g, "  ");
}

setInterval(() => {
    show();
    console.log("vistrel-figures " + figureLine());
}, 1000);

function onFrame(now, meta) {
    const t = performance.now();
    state.frames++;
    if (!state.sawPicture) {
        state.sawPicture = true;
        state.joinFirstMs = t - state.joinAt;
        if (state.firstMs < 0) state.firstMs = t - pageStart;
        state.status = "playing";
    }
    state.size = meta.width + "x" + meta.height;
    state.fpsWindow.push(t);
    while (state.fpsWindow.length && state.fpsWindow[0] < t - 1000) state.fpsWindow.shift();
    try {
        readStamps(meta.width, meta.height, Date.now());
    } catch (e) {
        // A picture the canvas cannot read yet counts as a frame without a figure.
    }
    video.requestVideoFrameCallback(onFrame);
}

// ---- Janus --------------------------------------------------------------------

function lowDelay() {
    const pc = handle && handle.webrtcStuff && handle.webrtcStuff.pc;
    if (!pc) return;
    for (const receiver of pc.getReceivers()) {
        if ("jitterBufferTarget" in receiver) receiver.jitterBufferTarget = 0;
        receiver.playoutDelayHint = 0;
    }
}

// Drops the session and tries again in a second: Janus gone, the
// mountpoint made again for another codec, or the connection lost.
function reconnect(why) {
    state.status = "reconnecting(" + String(why).replace(/\s+/g, "_").slice(0, 40) + ")";
    show();
    if (retryTimer) return;
    const old = janus;
    janus = null;
    handle = null;
    if (old) {
        try { old.destroy({ cleanupHandles: true, notifyDestroyed: false }); } catch (e) { /* gone already */ }
    }
    retryTimer = setTimeout(() => { retryTimer = null; connect(); }, 1000);
}

function connect() {
    const session = new Janus({
        server: server,
        success: () => attach(session),
        error: (e) => { if (session === janus) reconnect(e); },
        destroyed: () => {},
    });
    janus = session;
}

function attach(session) {
    session.attach({
        plugin: "janus.plugin.streaming",
        opaqueId: "vistrel-" + Janus.randomString(8),
        success: (h) => {
            handle = h;
            state.joins++;
            state.joinAt = performance.now();
            state.joinWallMs = Date.now();
            state.sawPicture = false;
            state.status = "joining";
            h.send({ message: { request: "watch", id: mountpoint } });
        },
        error: (e) => reconnect(e),
        onmessage: (msg, jsep) => {
            if (msg.error) { reconnect(msg.error); return; }
            const result = msg.result;
            if (result && (result.status === "stopped" || result.status === "stopping")) { reconnect("stopped"); return; }
            if (jsep) {
                handle.createAnswer({
                    jsep: jsep,
                    tracks: [],
                    success: (answer) => handle.send({ message: { request: "start" }, jsep: answer }),
                    error: (e) => reconnect(e),
                });
            }
        },
        onremotetrack: (track, mid, on) => {
            if (!on || track.kind !== "video") return;
            video.srcObject = new MediaStream([track]);
            lowDelay();
            video.play().catch(() => {});
        },
        iceState: (s) => { if (s === "failed") reconnect("ice_failed"); },
        webrtcState: (up) => { if (!up) reconnect("webrtc_down"); },
        oncleanup: () => {},
    });
}

video.requestVideoFrameCallback(onFrame);
Janus.init({ debug: false, callback: connect });
show();
