#!/usr/bin/python3
"""WebRTC viewers of a Janus streaming mountpoint that count, not decode.

Many viewers in one process, each with a peer connection of its own
(Debian's python3-aiortc), join through Janus's HTTP API: create a session,
attach the streaming plugin, watch, answer the offer, then long-poll the
session's events and send keepalives until the viewer leaves. The RTP
receiver is hooked before its jitter buffer and decoder, so a viewer only
counts packets and frames (a frame is a run of packets with one RTP
timestamp) and nothing is decoded.

With --reference PORT the process also counts the stream as the relay
forwards it on 127.0.0.1:PORT (vistrel-relay --udp-port PORT): that is
capture's delivered rate, and each viewer's frames are compared with the
reference frames from its first frame to its last (matched by RTP
timestamp: "expected" those the reference had, "received" those of them
the viewer got). The reference's H.264
key frames (IDR slices) give the most key frames capture made within any
one second of the viewing phase, on the stream's own clock (its RTP
timestamps).

The run: --idle seconds with the reference alone, then --viewers viewers
that stay to the end (one every --join-gap seconds), then --waves waves of --wave-size viewers that join
together, watch --wave-stay seconds and leave together, one wave every
--wave-every seconds, until --seconds after the first viewer joined, and
--idle-after seconds with the reference alone once they all left (the
rate without viewers before and after, so that a rate still drifting is
not taken for the viewers' doing).
Prints one line per viewer and a summary, all key=value:

  viewer=N kind=steady|wave packets=P lost=L frames=F expected=E received=R ratio=R
          first_frame_ms=T (from its join) error=...
  idle_fps=F after_fps=F viewers_fps=F viewers=N playing=N ratio_min=R ratio_median=R
  first_frame_max_ms=T viewer_seconds=S key_frames=K key_frames_max_per_s=K
  loop_errors=N (stray exceptions in the libraries' callbacks)

  reference_fps_by_second=N,N,... (the reference's frames in each second)

and, when every steady viewer has its first frame, `playing_all=N`
at once (a benchmark waits for it before it measures).
"""

import argparse
import asyncio
import bisect
import json
import logging
import os
import random
import ssl
import statistics
import string
import struct
import sys
import time
import urllib.parse

from aiortc import RTCPeerConnection, RTCSessionDescription
from aiortc.rtcrtpreceiver import RTCRtpReceiver


def now():
    return time.monotonic()


class Counts:
    """What one stream delivered: packets, sequence gaps and frame times."""

    def __init__(self, keep_times=False):
        self.packets = 0
        self.lost = 0
        self.frames = 0
        self.first = None
        self.last = None
        self.times = [] if keep_times else None  # each frame's arrival
        self.stamps = []  # each frame's RTP timestamp
        self.key_times = []  # arrival of each key frame's first packet
        self.key_stamps = []  # and its RTP timestamp
        self._seq = None
        self._ts = None
        self._key_ts = None

    def add(self, seq, timestamp, at, idr=False):
        self.packets += 1
        if self._seq is not None:
            gap = (seq - self._seq) & 0xFFFF
            if 1 < gap < 0x8000:
                self.lost += gap - 1
        self._seq = seq
        if timestamp != self._ts:
            self._ts = timestamp
            self.frames += 1
            if self.first is None:
                self.first = at
            self.last = at
            self.stamps.append(timestamp)
            if self.times is not None:
                self.times.append(at)
        if idr and timestamp != self._key_ts:
            self._key_ts = timestamp
            self.key_times.append(at)
            self.key_stamps.append(timestamp)

    def frames_between(self, start, end):
        return bisect.bisect_right(self.times, end) - bisect.bisect_left(self.times, start)

    def most_keys_in_a_second(self, start, end):
        """The most key frames within any one second of the stream's own clock
        (RTP timestamps, 90 kHz) among those that arrived in [start, end)."""
        stamps = [ts for at, ts in zip(self.key_times, self.key_stamps) if start <= at < end]
        if not stamps:
            return 0
        ticks = [(ts - stamps[0]) & STAMP_MASK for ts in stamps]
        return max(bisect.bisect_left(ticks, t + 90000) - i for i, t in enumerate(ticks))


STAMP_MASK = 0xFFFFFFFF


def _steps_from(stamps, first, span):
    """The timestamp steps from stamps[first] of the frames up to span after it."""
    steps = set()
    for t in stamps[first:]:
        step = (t - stamps[first]) & STAMP_MASK
        if step > span:
            break
        steps.add(step)
    return steps


def compare(counts, reference):
    """(received, expected): the viewer's frames that are reference frames, and
    the reference's frames from the viewer's first frame to its last.

    Janus gives each viewer RTP timestamps of its own base, so the viewer's
    first frame is placed on the reference frame, among those that came
    within two seconds of it, whose following timestamp steps match the
    most of the viewer's (its first 60 frames choose, all of them decide
    between equals). Times of arrival alone would not do: one busy process
    reads its sockets in turn, and any of them late."""
    v = counts.stamps
    if not v:
        return 0, 0
    ref = reference.stamps
    lo = bisect.bisect_left(reference.times, counts.first - 2.0)
    hi = min(bisect.bisect_right(reference.times, counts.first + 2.0), len(ref))
    mine = {(t - v[0]) & STAMP_MASK for t in v}
    head = {(t - v[0]) & STAMP_MASK for t in v[:60]}
    head_span = max(head)
    scores = [(len(head & _steps_from(ref, i, head_span)), i) for i in range(lo, hi)]
    if not scores:
        return 0, 0
    top = max(score for score, _ in scores)
    span = (v[-1] - v[0]) & STAMP_MASK
    best = (0, 0)
    for score, i in scores:
        if score == top:
            expected = _steps_from(ref, i, span)
            received = len(mine & expected)
            if received > best[0] or (received == best[0] and len(expected) < best[1]):
                best = (received, len(expected))
    return best


def h264_idr(payload):
    """True when an H.264 RTP payload (RFC 6184) carries a piece of an IDR slice."""
    if not payload:
        return False
    kind = payload[0] & 0x1F
    if kind == 5:
        return True
    if kind == 28:  # FU-A: the fragmented unit's type is in the second byte
        return len(payload) > 1 and payload[1] & 0x1F == 5
    if kind == 24:  # STAP-A: 16-bit sizes, each followed by a unit
        at = 1
        while at + 2 < len(payload):
            size = int.from_bytes(payload[at:at + 2], "big")
            if payload[at + 2] & 0x1F == 5:
                return True
            at += 2 + size
    return False


def rtp_payload(data):
    """The payload of an RTP datagram (after CSRCs and the header extension), or b""."""
    at = 12 + 4 * (data[0] & 0x0F)
    if data[0] & 0x10 and len(data) >= at + 4:
        at += 4 + 4 * int.from_bytes(data[at + 2:at + 4], "big")
    end = len(data) - (data[-1] if data[0] & 0x20 else 0)
    return data[at:end] if at < end else b""


async def _counting_rtp_handler(self, packet, arrival_time_ms):
    counts = getattr(self, "vistrel_counts", None)
    if counts is not None:
        counts.add(packet.sequence_number, packet.timestamp, now())


# Every packet stops at the count: no jitter buffer, no decoder.
RTCRtpReceiver._handle_rtp_packet = _counting_rtp_handler


class JanusError(Exception):
    pass


TLS = None  # the ssl context for an https API, made once in main()


async def http_json(url, body=None, timeout=40.0):
    """One HTTP(S) request (POST with a JSON body, or GET) on a connection of its own."""
    parts = urllib.parse.urlsplit(url)
    path = parts.path + ("?" + parts.query if parts.query else "")
    data = json.dumps(body).encode() if body is not None else b""
    method = "POST" if body is not None else "GET"
    request = (f"{method} {path} HTTP/1.1\r\nHost: {parts.netloc}\r\nConnection: close\r\n"
               f"Content-Type: application/json\r\nContent-Length: {len(data)}\r\n\r\n").encode() + data

    async def exchange():
        https = parts.scheme == "https"
        reader, writer = await asyncio.open_connection(parts.hostname, parts.port or (443 if https else 80),
                                                       ssl=TLS if https else None)
        try:
            writer.write(request)
            await writer.drain()
            return await reader.read()
        finally:
            writer.close()

    reply = await asyncio.wait_for(exchange(), timeout)
    head, _, payload = reply.partition(b"\r\n\r\n")
    status = head.split(b"\r\n", 1)[0].split()
    if len(status) < 2 or status[1] != b"200":
        raise JanusError(f"HTTP {b' '.join(status[1:]).decode(errors='replace') or 'no reply'} from {url}")
    if b"transfer-encoding: chunked" in head.lower():
        payload = _unchunk(payload)
    return json.loads(payload)


def _unchunk(data):
    out = b""
    while data:
        size_line, _, data = data.partition(b"\r\n")
        size = int(size_line.split(b";")[0], 16)
        if size == 0:
            break
        out += data[:size]
        data = data[size + 2:]
    return out


def _transaction():
    return "".join(random.choices(string.ascii_letters, k=12))


class Viewer:
    def __init__(self, number, kind, args):
        self.number = number
        self.kind = kind
        self.args = args
        self.counts = Counts()
        self.joined = None
        self.error = ""
        self.pc = None
        self.session = None
        self.handle = None
        self._events = asyncio.Queue()
        self._tasks = []

    async def _call(self, path, body):
        body = dict(body, transaction=_transaction())
        if self.args.token:
            body["token"] = self.args.token
        reply = await http_json(self.args.api + path, body, timeout=10.0)
        if reply.get("janus") == "error":
            raise JanusError(f"Janus: {reply.get('error', {}).get('reason', reply)}")
        return reply

    async def _long_poll(self):
        query = "?maxev=10"
        if self.args.token:
            query += "&token=" + urllib.parse.quote(self.args.token)
        while True:
            try:
                reply = await http_json(f"{self.args.api}/{self.session}{query}")
            except (OSError, asyncio.TimeoutError, JanusError, ValueError) as e:
                await self._events.put({"janus": "poll-error", "reason": str(e)})
                await asyncio.sleep(0.5)
                continue
            for event in reply if isinstance(reply, list) else [reply]:
                await self._events.put(event)

    async def _keepalive(self):
        while True:
            await asyncio.sleep(20)
            try:
                await self._call(f"/{self.session}", {"janus": "keepalive"})
            except (OSError, asyncio.TimeoutError, JanusError, ValueError) as e:
                self.error = self.error or f"keepalive: {e}"

    async def _offer(self, timeout):
        end = now() + timeout
        while True:
            event = await asyncio.wait_for(self._events.get(), max(0.1, end - now()))
            jsep = event.get("jsep")
            if jsep and jsep.get("type") == "offer":
                return jsep
            data = event.get("plugindata", {}).get("data", {})
            if "error" in data:
                raise JanusError(f"watch: {data['error']}")

    async def join(self):
        self.joined = now()
        try:
            reply = await self._call("", {"janus": "create"})
            self.session = reply["data"]["id"]
            self._tasks.append(asyncio.ensure_future(self._long_poll()))
            self._tasks.append(asyncio.ensure_future(self._keepalive()))
            reply = await self._call(f"/{self.session}", {"janus": "attach", "plugin": "janus.plugin.streaming"})
            self.handle = reply["data"]["id"]
            await self._call(f"/{self.session}/{self.handle}",
                             {"janus": "message", "body": {"request": "watch", "id": self.args.mountpoint}})
            offer = await self._offer(15.0)
            self.pc = RTCPeerConnection()
            await self.pc.setRemoteDescription(RTCSessionDescription(sdp=offer["sdp"], type="offer"))
            for transceiver in self.pc.getTransceivers():
                transceiver.receiver.vistrel_counts = self.counts
            await self.pc.setLocalDescription(await self.pc.createAnswer())
            answer = {"type": "answer", "sdp": self.pc.localDescription.sdp}
            await self._call(f"/{self.session}/{self.handle}",
                             {"janus": "message", "body": {"request": "start"}, "jsep": answer})
        except (OSError, asyncio.TimeoutError, JanusError, ValueError, KeyError) as e:
            self.error = f"join: {e or type(e).__name__}"

    async def leave(self):
        for task in self._tasks:
            task.cancel()
        if self.pc is not None:
            await self.pc.close()
        if self.session is not None:
            try:
                if self.handle is not None:
                    await self._call(f"/{self.session}/{self.handle}", {"janus": "detach"})
                await self._call(f"/{self.session}", {"janus": "destroy"})
            except (OSError, asyncio.TimeoutError, JanusError, ValueError) as e:
                self.error = self.error or f"leave: {e}"


class Reference(asyncio.DatagramProtocol):
    def __init__(self, counts):
        self.counts = counts

    def datagram_received(self, data, addr):
        # The relay forwards the stream's RTCP too: second bytes 192..223 are
        # RTCP packet types, not RTP (where they would be marker and type).
        if len(data) >= 12 and data[0] >> 6 == 2 and not 192 <= data[1] <= 223:
            seq, timestamp = struct.unpack_from("!HI", data, 2)
            self.counts.add(seq, timestamp, now(), h264_idr(rtp_payload(data)))


def viewer_line(viewer, reference, start):
    c = viewer.counts
    fields = [f"viewer={viewer.number}", f"kind={viewer.kind}", f"packets={c.packets}", f"lost={c.lost}",
              f"frames={c.frames}"]
    if reference is not None and c.first is not None:
        received, expected = compare(c, reference)
        fields.append(f"expected={expected} received={received}")
        fields.append(f"ratio={received / expected:.4f}" if expected else "ratio=0")
    if c.first is not None:
        fields.append(f"first_frame_ms={(c.first - viewer.joined) * 1000:.0f}")
        fields.append(f"joined_at_s={viewer.joined - start:.1f}")
    if viewer.error:
        fields.append("error=" + viewer.error.replace(" ", "_"))
    return " ".join(fields)


async def run(args):
    reference = None
    loop = asyncio.get_running_loop()
    # aioice's STUN retry timer can fire after its transaction has ended and
    # raise into the loop; such stray errors are counted, not printed one by one.
    stray = []
    loop.set_exception_handler(lambda _, context: stray.append(context.get("message", "")))
    if args.reference:
        reference = Counts(keep_times=True)
        transport, _ = await loop.create_datagram_endpoint(lambda: Reference(reference),
                                                           local_addr=("127.0.0.1", args.reference))
    start = now()
    await asyncio.sleep(args.idle)
    idle_end = now()
    idle_fps = 0
    if reference is not None and args.idle:
        idle_fps = reference.frames_between(start + 1.0, idle_end) / (idle_end - start - 1.0)

    viewers = []
    steady = [Viewer(i, "steady", args) for i in range(args.viewers)]
    viewers += steady
    phase_start = now()
    await asyncio.gather(*(_join_at(v, phase_start + i * args.join_gap) for i, v in enumerate(steady)))
    deadline = phase_start + args.seconds
    while steady and now() < deadline and any(v.counts.first is None and not v.error for v in steady):
        await asyncio.sleep(0.05)
    playing_at = now()
    print(f"playing_all={sum(v.counts.first is not None for v in steady)}", flush=True)

    waves = []
    next_wave = playing_at
    for w in range(args.waves):
        if next_wave > deadline - args.wave_stay:
            break
        await asyncio.sleep(max(0.0, next_wave - now()))
        group = [Viewer(len(viewers) + i, "wave", args) for i in range(args.wave_size)]
        viewers += group
        await asyncio.gather(*(v.join() for v in group))
        waves.append(asyncio.ensure_future(_leave_after(group, args.wave_stay)))
        next_wave += args.wave_every
    while now() < deadline and not (args.stop_file and os.path.exists(args.stop_file)):
        await asyncio.sleep(min(0.1, max(0.0, deadline - now())))
    end = now()
    await asyncio.gather(*waves)
    await asyncio.gather(*(v.leave() for v in steady))
    after_fps = 0
    if reference is not None and args.idle_after:
        after_start = now()
        await asyncio.sleep(args.idle_after)
        after_fps = reference.frames_between(after_start + 1.0, now()) / (now() - after_start - 1.0)
    if reference is not None:
        transport.close()

    for v in viewers:
        print(viewer_line(v, reference, start))
    ratios = []
    for v in viewers:
        c = v.counts
        if reference is not None and c.first is not None:
            received, expected = compare(c, reference)
            ratios.append(received / expected if expected else 0.0)
    viewers_fps = reference.frames_between(playing_at, end) / max(0.1, end - playing_at) if reference else 0
    keys = reference.most_keys_in_a_second(phase_start, end) if reference else 0
    key_total = sum(phase_start <= t < end for t in reference.key_times) if reference else 0
    first_frames = [(v.counts.first - v.joined) * 1000 for v in viewers if v.counts.first is not None]
    print(f"idle_fps={idle_fps:.2f} after_fps={after_fps:.2f} viewers_fps={viewers_fps:.2f} viewers={len(viewers)} "
          f"playing={sum(v.counts.first is not None for v in viewers)} "
          f"errors={sum(bool(v.error) for v in viewers)} "
          f"ratio_min={min(ratios, default=0):.4f} ratio_median={statistics.median(ratios) if ratios else 0:.4f} "
          f"first_frame_max_ms={max(first_frames, default=0):.0f} "
          f"viewer_seconds={end - playing_at:.1f} key_frames={key_total} key_frames_max_per_s={keys} "
          f"loop_errors={len(stray)}", flush=True)
    if stray:
        print(f"receivers: {len(stray)} errors in callbacks, the first: {stray[0]}", file=sys.stderr)
    if reference is not None:
        seconds = range(int(end - start))
        print("reference_fps_by_second=" + ",".join(
            str(reference.frames_between(start + i, start + i + 1 - 1e-9)) for i in seconds), flush=True)


async def _join_at(viewer, when):
    await asyncio.sleep(max(0.0, when - now()))
    await viewer.join()


async def _leave_after(group, seconds):
    await asyncio.sleep(seconds)
    await asyncio.gather(*(v.leave() for v in group))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--api", default="http://127.0.0.1:8088/janus", help="Janus's HTTP API (its /janus URL)")
    p.add_argument("--ca-file", default="", help="certificates to trust for an https API")
    p.add_argument("--mountpoint", type=int, default=1)
    p.add_argument("--token", default="", help="Janus's viewing token")
    p.add_argument("--viewers", type=int, default=1, help="viewers that watch to the end")
    p.add_argument("--join-gap", type=float, default=0, help="seconds between two steady viewers' joins")
    p.add_argument("--seconds", type=float, default=20, help="length of the viewing phase")
    p.add_argument("--idle", type=float, default=0, help="seconds with the reference alone before the viewers")
    p.add_argument("--idle-after", type=float, default=0,
                   help="seconds with the reference alone after the viewers left")
    p.add_argument("--reference", type=int, default=0, help="UDP port on 127.0.0.1 with the relay's plain RTP")
    p.add_argument("--stop-file", default="", help="end the viewing phase early once this file exists")
    p.add_argument("--waves", type=int, default=0, help="waves of viewers that join and leave together")
    p.add_argument("--wave-size", type=int, default=5)
    p.add_argument("--wave-stay", type=float, default=3)
    p.add_argument("--wave-every", type=float, default=5)
    args = p.parse_args()
    if args.viewers < 0 or args.seconds <= 0 or args.idle < 0 or args.wave_size < 1 or args.wave_stay <= 0:
        p.error("counts must not be negative and the phases must have a length")
    if 0 < args.idle < 2 or 0 < args.idle_after < 2:
        p.error("--idle and --idle-after need 2 seconds or more (their first second is left out)")
    global TLS
    if args.api.startswith("https:"):
        TLS = ssl.create_default_context(cafile=args.ca_file or None)
    logging.basicConfig(level=logging.ERROR)
    asyncio.run(run(args))


if __name__ == "__main__":
    main()
