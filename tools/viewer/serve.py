#!/usr/bin/python3
"""Serves the viewer page's folder over HTTP, or over HTTPS with --cert and
--key. The viewing token travels in the address's fragment, which browsers
never send, so nothing this server logs holds it."""
import argparse
import functools
import http.server
import ssl
import sys


class Handler(http.server.SimpleHTTPRequestHandler):
    def end_headers(self):
        # The page is small and changes with the checkout; never cache it.
        self.send_header("Cache-Control", "no-store")
        self.send_header("Referrer-Policy", "no-referrer")
        super().end_headers()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--directory", required=True)
    parser.add_argument("--cert", help="PEM certificate (chain) for HTTPS")
    parser.add_argument("--key", help="PEM private key of the certificate")
    args = parser.parse_args()
    if bool(args.cert) != bool(args.key):
        parser.error("--cert and --key go together")

    handler = functools.partial(Handler, directory=args.directory)
    server = http.server.ThreadingHTTPServer((args.bind, args.port), handler)
    if args.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        try:
            context.load_cert_chain(args.cert, args.key)
        except (OSError, ssl.SSLError) as e:
            print(f"serve.py: cannot use {args.cert} and {args.key}: {e}", file=sys.stderr)
            return 1
        # The handshake runs in the connection's own thread, on its first
        # read, so that a slow client does not hold up the others.
        server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
