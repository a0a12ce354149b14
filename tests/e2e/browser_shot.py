#!/usr/bin/python3
"""Opens the viewer page in headless Chromium, waits until its figures say it
plays (status=playing and at least --frames pictures), saves a screenshot of
the whole window as PNG, then double-clicks the picture as a person would.
Chromium is driven over its DevTools pipe (file descriptors 3 and 4), so no
port is opened.

    browser_shot.py --out PNG [--frames N] [--timeout S] -- CHROMIUM ARGS... URL

Prints the page's figures line at the screenshot and fullscreen=1 or 0 (the
page is fullscreen after the double-click or not); exit status 0 with the
screenshot written, 1 when the page did not play in time or Chromium
failed."""
import argparse
import base64
import fcntl
import json
import os
import select
import subprocess
import sys
import time


class Pipe:
    def __init__(self, to_browser, from_browser):
        self.to_browser, self.from_browser = to_browser, from_browser
        self.buffer = b""
        self.next_id = 0

    def call(self, method, params=None, session=None, timeout=10):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            while b"\0" not in self.buffer:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                    raise TimeoutError(f"no answer to {method}")
                chunk = os.read(self.from_browser, 1 << 20)
                if not chunk:
                    raise EOFError("Chromium closed its DevTools pipe")
                self.buffer += chunk
            line, self.buffer = self.buffer.split(b"\0", 1)
            reply = json.loads(line)
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply.get("result", {})


def figures(line):
    return dict(w.split("=", 1) for w in line.split() if "=" in w)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True)
    parser.add_argument("--frames", type=int, default=30)
    parser.add_argument("--timeout", type=float, default=30)
    parser.add_argument("chromium", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.chromium[1:] if args.chromium[:1] == ["--"] else args.chromium
    if len(command) < 2:
        parser.error("give Chromium's command line after --")

    # Chromium reads commands on descriptor 3 and writes on 4.
    to_browser_r, to_browser_w = os.pipe()
    from_browser_r, from_browser_w = os.pipe()

    def descriptors():
        # Out of the way first, in case either pipe end is 3 or 4 already.
        reading, writing = fcntl.fcntl(to_browser_r, fcntl.F_DUPFD, 10), fcntl.fcntl(from_browser_w, fcntl.F_DUPFD, 10)
        os.dup2(reading, 3)
        os.dup2(writing, 4)

    browser = subprocess.Popen(command[:1] + ["--remote-debugging-pipe"] + command[1:], preexec_fn=descriptors,
                               pass_fds=(3, 4), stdout=subprocess.DEVNULL)
    os.close(to_browser_r)
    os.close(from_browser_w)
    pipe = Pipe(to_browser_w, from_browser_r)
    line = ""
    try:
        targets = pipe.call("Target.getTargets")["targetInfos"]
        page = next(t["targetId"] for t in targets if t["type"] == "page")
        session = pipe.call("Target.attachToTarget", {"targetId": page, "flatten": True})["sessionId"]
        deadline = time.monotonic() + args.timeout
        while True:
            line = pipe.call("Runtime.evaluate", {"expression": "document.getElementById('figures').textContent",
                                                   "returnByValue": True}, session)["result"].get("value", "")
            f = figures(line)
            if f.get("status") == "playing" and int(f.get("frames", "0")) >= args.frames:
                break
            if time.monotonic() > deadline:
                print(f"browser_shot: the page did not play: {line}", file=sys.stderr)
                return 1
            time.sleep(0.2)
        shot = pipe.call("Page.captureScreenshot", {"format": "png"}, session)["data"]
        with open(args.out, "wb") as out:
            out.write(base64.b64decode(shot))
        print(line)
        # A double-click in the middle of the picture, as a person's.
        for count in (1, 2):
            for kind in ("mousePressed", "mouseReleased"):
                pipe.call("Input.dispatchMouseEvent", {"type": kind, "x": 300, "y": 300, "button": "left",
                                                       "clickCount": count}, session)
        time.sleep(0.5)
        full = pipe.call("Runtime.evaluate", {"expression": "document.fullscreenElement !== null",
                                              "returnByValue": True}, session)["result"].get("value")
        print(f"fullscreen={int(bool(full))}")
        return 0
    except (OSError, EOFError, TimeoutError, RuntimeError, StopIteration, KeyError, ValueError) as e:
        print(f"browser_shot: {e!r} (last figures: {line})", file=sys.stderr)
        return 1
    finally:
        try:
            pipe.call("Browser.close", timeout=3)
        except (OSError, EOFError, TimeoutError, RuntimeError, ValueError):
            pass
        try:
            browser.wait(timeout=5)
        except subprocess.TimeoutExpired:
            browser.kill()
            browser.wait()
        os.close(to_browser_w)
        os.close(from_browser_r)


if __name__ == "__main__":
    sys.exit(main())
