// Plays the stream's Janus mountpoint with the smallest playout delay the
// browser allows, and shows the frame rate, the size and the latency read
// from the picture itself: the thirteen-digit millisecond time stamp that
// the capture modes draw at the top-left (seven-segment digits in the GPU
// modes, the 8x8 bitmap font in the compatible mode) and the one the
// virtual display draws at the bottom-left, each compared with this
// machine's clock. A small status in a corner says what the page is doing
// (connecting, playing, reconnecting, refused and why) with the frame rate
// and the latency, and steps aside while the picture plays; a double-click
// toggles fullscreen; the title says the same in short. The
// machine-readable figures go into the hidden #figures element and, once a
// second, the console, so that a headless browser can report them.
//
// Query parameters: janus (the API's port, default 8088), server (the API's
// whole URL instead), mountpoint (default 1). The viewing token comes from
// the fragment (#token=...), which the browser never sends to the page's
// web server.
"use strict";

const params = new URLSearchParams(location.search);
const server = params.get("server") ||
    location.protocol + "//" + (location.hostname || "127.0.0.1") + ":" + (params.get("janus") || "8088") + "/janus";
const mountpoint = parseInt(params.get("mountpoint") || "1", 10);
const token = new URLSearchParams(location.hash.slice(1)).get("token") || null;

const video = document.getElementById("video");
const figures = document.getElementById("figures");
const statusBox = document.getElementById("status");
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
    recent: [],        // [performance.now(), latency] of the last two seconds
    lastFrameAt: 0,    // performance.now() of the last picture
    status: "connecting",
};

let janus = null;
let handle = null;
let retryTimer = null;

// ---- reading the time stamps ----------------------------------------------

// The regions read from each picture: the top-left band where the modes
// draw their watermark, and the bottom-left band of the display's stamp.
const TOP_W = 1024, TOP_H = 140, BOTTOM_W = 830, BOTTOM_H = 100;

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
    let latency = null;
    if (plausible(modeValue)) keep(state.mode, latency = now - modeValue);
    if (height >= 200 && width >= BOTTOM_W) {
        const source = readStamp(img, TOP_H + 8);
        // The display's stamp, where there is one, covers the whole way
        // from the screen to this one.
        if (plausible(source)) keep(state.source, latency = now - source);
    }
    if (latency !== null) state.recent.push([performance.now(), latency]);
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

// What the status says to a person, and whether it is bad news.
function statusText() {
    const s = state.status;
    if (s === "playing") {
        const parts = ["playing", state.fpsWindow.length + " fps"];
        const t = performance.now();
        while (state.recent.length && state.recent[0][0] < t - 2000) state.recent.shift();
        if (state.recent.length)
            parts.push("latency " + Math.round(percentile(state.recent.map((r) => r[1]), 50)) + " ms");
        parts.push(state.size.replace("x", "\u00d7"));
        if (t - state.lastFrameAt > 2000)
            parts.push("no picture for " + Math.floor((t - state.lastFrameAt) / 1000) + " s");
        return [parts.join(" \u00b7 "), false];
    }
    if (s === "refused(no_token)")
        return ["refused: the address has no #token=\u2026 (use the one janus.sh printed)", true];
    if (s === "refused(wrong_token)") return ["refused: Janus does not know this token", true];
    if (s === "no_stream") return ["no stream: mountpoint " + mountpoint + " does not exist (yet); retrying", true];
    if (s.startsWith("reconnecting(")) return ["reconnecting (" + s.slice(13, -1).replace(/_/g, " ") + ")", false];
    return [s === "joining" ? "joining the stream" : "connecting", false];
}

function show() {
    figures.textContent = figureLine();
    const [text, bad] = statusText();
    document.title = "vistrel \u00b7 " + text;
    statusBox.textContent = text;
    statusBox.classList.toggle("bad", bad);
    if (state.status !== "playing") document.body.classList.remove("idle");
}

// ---- for people: the status steps aside while playing, fullscreen -------------

let idleTimer = null;
function wake() {
    document.body.classList.remove("idle");
    clearTimeout(idleTimer);
    idleTimer = setTimeout(() => {
        if (state.status === "playing") document.body.classList.add("idle");
    }, 3000);
}
document.addEventListener("mousemove", wake);
document.addEventListener("dblclick", () => {
    if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
    else document.documentElement.requestFullscreen().catch(() => {});
});

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
        show();
        wake();
    }
    state.size = meta.width + "x" + meta.height;
    state.lastFrameAt = t;
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

// Janus answers 403 with this reason to a request without a token it knows.
function refusal(why) {
    return /unauthorized/i.test(String(why)) ? (token ? "refused(wrong_token)" : "refused(no_token)") : null;
}

// Drops the session and tries again: in a second when Janus is gone, the
// mountpoint was made again for another codec or the connection was lost;
// in three when Janus refused the token or has no such stream (a restarted
// Janus learns its tokens a moment after it answers, and the relay makes
// the mountpoint again within seconds).
function reconnect(why) {
    const refused = refusal(why);
    state.status = refused || (why === "no_stream" ? why :
        "reconnecting(" + String(why).replace(/\s+/g, "_").slice(0, 40) + ")");
    show();
    if (retryTimer) return;
    const old = janus;
    janus = null;
    handle = null;
    if (old) {
        try { old.destroy({ cleanupHandles: true, notifyDestroyed: false }); } catch (e) { /* gone already */ }
    }
    retryTimer = setTimeout(() => { retryTimer = null; connect(); }, refused || why === "no_stream" ? 3000 : 1000);
}

function connect() {
    const session = new Janus({
        server: server,
        token: token,
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
            if (msg.error) { reconnect(msg.error_code === 455 ? "no_stream" : msg.error); return; }
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
