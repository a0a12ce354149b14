#!/usr/bin/python3
"""The counting of tools/viewer/receivers.py without a network: matching a
viewer's frames to the relay's, key frames in the relay's stream, RTCP left
out of it."""

import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "tools", "viewer"))
try:
    import receivers  # noqa: E402
except ImportError as e:
    print(f"skipped: {e} (scripts/setup.sh installs python3-aiortc for the tests)")
    sys.exit(77)


def stream(steps, start_ts, start_time=0.0):
    """(timestamp, arrival) of frames with these timestamp steps, 90 kHz."""
    ts, at, frames = start_ts, start_time, []
    for step in steps:
        ts = (ts + step) & receivers.STAMP_MASK
        at += step / 90000
        frames.append((ts, at))
    return frames


class Matching(unittest.TestCase):
    def run_case(self, steps, joined, left, missing, lag, ref_base):
        reference, viewer = receivers.Counts(keep_times=True), receivers.Counts()
        frames = stream(steps, ref_base)
        for seq, (ts, at) in enumerate(frames):
            reference.add(seq, ts, at)
        base = frames[joined][0]
        for seq, (ts, at) in enumerate(frames[joined:left]):
            if joined + seq not in missing:
                # Janus starts each viewer's timestamps at a base of its own.
                viewer.add(seq, (ts - base + 1234) & receivers.STAMP_MASK, at + lag)
        return receivers.compare(viewer, reference)

    def test_cases(self):
        random.seed(7)
        uneven = [random.choice([3420, 3510, 3600, 1710, 5490]) for _ in range(900)]
        cases = [
            # name, steps, joined, left, missing, lag, reference base: (received, expected)
            ("all frames, on time", uneven, 100, 700, set(), 0.0, 1000, (600, 600)),
            ("two lost, late by half a second", uneven, 100, 700, {300, 301}, 0.5, 1000, (598, 600)),
            ("read before the relay's copy", uneven, 100, 700, set(), -0.3, 1000, (600, 600)),
            ("timestamps wrap meanwhile", uneven, 50, 400, {60}, 0.1, receivers.STAMP_MASK - 90000, (349, 350)),
            ("even steps", [3000] * 400, 10, 310, {100, 200}, 0.2, 5, (298, 300)),
        ]
        for name, steps, joined, left, missing, lag, base, want in cases:
            with self.subTest(name):
                self.assertEqual(self.run_case(steps, joined, left, missing, lag, base), want)

    def test_a_viewer_without_frames(self):
        self.assertEqual(receivers.compare(receivers.Counts(), receivers.Counts(keep_times=True)), (0, 0))


class KeyFrames(unittest.TestCase):
    def test_idr_in_each_packetization(self):
        cases = [
            (bytes([0x65, 0x88]), True),  # a single IDR slice
            (bytes([0x41, 0x9A]), False),  # a single non-IDR slice
            (bytes([0x7C, 0x85, 0]), True),  # FU-A of an IDR slice
            (bytes([0x7C, 0x81, 0]), False),  # FU-A of another slice
            (bytes([0x78, 0, 2, 0x67, 1, 0, 2, 0x68, 2, 0, 2, 0x65, 3]), True),  # STAP-A: SPS, PPS, IDR
            (bytes([0x78, 0, 2, 0x67, 1, 0, 9]), False),  # STAP-A cut short
            (b"", False),
        ]
        for payload, want in cases:
            with self.subTest(payload.hex()):
                self.assertEqual(receivers.h264_idr(payload), want)

    def test_most_key_frames_in_a_second(self):
        # Counted on the stream's clock: arrivals bunched up by a busy reader
        # do not make more key frames in a second. The clock wraps meanwhile.
        counts = receivers.Counts(keep_times=True)
        base = receivers.STAMP_MASK - 45000
        for seq, (at, seconds) in enumerate([(0.0, 0.0), (0.3, 0.25), (0.31, 0.5), (0.32, 0.75), (1.0, 1.0),
                                             (3.0, 3.0), (3.1, 3.1)]):
            counts.add(seq, (base + int(seconds * 90000)) & receivers.STAMP_MASK, at, idr=True)
        self.assertEqual(counts.most_keys_in_a_second(0.0, 10.0), 4)
        self.assertEqual(counts.most_keys_in_a_second(2.0, 10.0), 2)
        self.assertEqual(counts.most_keys_in_a_second(5.0, 10.0), 0)


class Reference(unittest.TestCase):
    def test_rtcp_is_not_counted_as_frames(self):
        counts = receivers.Counts(keep_times=True)
        reference = receivers.Reference(counts)
        rtp = lambda seq, ts: bytes([0x80, 96]) + seq.to_bytes(2, "big") + ts.to_bytes(4, "big") + bytes(4) + b"\x41"
        reference.datagram_received(rtp(1, 3000), None)
        # A sender report: its SSRC sits where RTP has the timestamp.
        reference.datagram_received(bytes([0x80, 200, 0, 6]) + (77).to_bytes(4, "big") + bytes(20), None)
        reference.datagram_received(rtp(2, 3000), None)
        reference.datagram_received(rtp(3, 6000), None)
        self.assertEqual((counts.packets, counts.frames, counts.lost), (3, 2, 0))


if __name__ == "__main__":
    unittest.main()
