#!/usr/bin/python3
# A stand-in for Janus's HTTP API over TLS, for the relay's client tests:
# answers session create/attach/destroy and the streaming plugin's info
# (no such mountpoint), create and destroy, and appends every request body
# to a log file, one line each. Prints its port once it listens.
#
#   janus_api_double.py CERT KEY LOG
import http.server
import json
import ssl
import sys

cert, key, log = sys.argv[1:4]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        with open(log, "a") as f:
            f.write(body.decode() + "\n")
        request = json.loads(body)
        verb = request.get("janus")
        reply = {"janus": "success"}
        if verb in ("create", "attach"):
            reply["data"] = {"id": 4242 if verb == "create" else 77}
        elif verb == "message" and request["body"].get("request") == "info":
            reply["plugindata"] = {"data": {"error_code": 455, "error": "No such mountpoint/stream"}}
        elif verb == "message":
            reply["plugindata"] = {"data": {"streaming": request["body"].get("request") + "d"}}
        data = json.dumps(reply).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server.socket = context.wrap_socket(server.socket, server_side=True)
print(server.server_address[1], flush=True)
server.serve_forever()
