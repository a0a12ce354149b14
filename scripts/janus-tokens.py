#!/usr/bin/python3
"""Registers tokens with a starting Janus through its Admin API (on
127.0.0.1), each for the streaming plugin, then waits until the public API
answers. Used by janus.sh start; exit status 0 once both are done, 1 with a
message when Janus refuses a token or does not answer within --wait
seconds."""
import argparse
import json
import ssl
import sys
import time
import urllib.error
import urllib.request


def call(url, body=None):
    data = None if body is None else json.dumps(body).encode()
    # Whether browsers trust the API's certificate is for its owner to
    # settle; here the API only has to answer.
    context = ssl._create_unverified_context()
    with urllib.request.urlopen(url, data, timeout=1, context=context) as reply:
        return json.loads(reply.read())


def read_secret(path):
    with open(path, encoding="ascii") as f:
        return f.read().strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--admin-port", type=int, required=True)
    parser.add_argument("--admin-secret-file", required=True)
    parser.add_argument("--api", required=True, help="the public API's URL, e.g. http://127.0.0.1:8088/janus")
    parser.add_argument("--wait", type=float, default=10)
    parser.add_argument("token_files", nargs="+")
    args = parser.parse_args()
    try:
        admin_secret = read_secret(args.admin_secret_file)
        pending = [read_secret(p) for p in args.token_files]
    except (OSError, UnicodeError) as e:
        print(f"janus-tokens: {e}", file=sys.stderr)
        return 1

    deadline = time.monotonic() + args.wait
    admin = f"http://127.0.0.1:{args.admin_port}/admin"
    while pending:
        try:
            reply = call(admin, {"janus": "add_token", "token": pending[0], "plugins": ["janus.plugin.streaming"],
                                 "transaction": "t", "admin_secret": admin_secret})
        except (OSError, ValueError):
            if time.monotonic() > deadline:
                print(f"janus-tokens: Janus's Admin API did not answer at {admin}", file=sys.stderr)
                return 1
            time.sleep(0.1)
            continue
        if reply.get("janus") != "success":
            print(f"janus-tokens: Janus refused a token: {reply.get('error', reply)}", file=sys.stderr)
            return 1
        pending.pop(0)

    while True:
        try:
            call(args.api + "/info")
            return 0
        except urllib.error.HTTPError:
            return 0  # it answers, if only to refuse
        except (OSError, ValueError):
            if time.monotonic() > deadline:
                print(f"janus-tokens: Janus's API did not answer at {args.api}", file=sys.stderr)
                return 1
            time.sleep(0.1)


if __name__ == "__main__":
    sys.exit(main())
