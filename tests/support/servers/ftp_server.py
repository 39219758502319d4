#!/usr/bin/python3
"""A real FTP server for the transfer tests: pyftpdlib on 127.0.0.1 (or ::1).

Prints "ready PORT" on standard output once it listens; runs until it is killed. Every option is
something a test needs from a real server: TLS (explicit, with a given certificate), a server that
will not say where its home folder is, a throttled upload speed (to abort in the middle), and a fixed
port so that a test can kill the server and start it again where the client expects it."""

import argparse
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--root", required=True, help="the user's home folder")
    ap.add_argument("--user", default="photo")
    ap.add_argument("--password", default="secret")
    ap.add_argument("--anonymous", action="store_true", help="also let 'anonymous' in (same folder)")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--host", default="127.0.0.1", help="the address to listen on (::1 for IPv6)")
    ap.add_argument("--tls-cert", help="PEM certificate: explicit TLS (AUTH TLS) is offered")
    ap.add_argument("--tls-key", help="PEM private key of --tls-cert")
    ap.add_argument("--tls-required", action="store_true", help="refuse USER before AUTH TLS")
    ap.add_argument("--no-pwd", action="store_true", help="answer PWD with 500: no home folder known")
    ap.add_argument("--no-size", action="store_true", help="answer SIZE with 502: not implemented")
    ap.add_argument("--read-limit", type=int, default=0, help="upload bytes per second (0: no limit)")
    ap.add_argument("--log", help="append the server's log here")
    args = ap.parse_args()

    if args.log:
        import logging
        logging.basicConfig(filename=args.log, level=logging.DEBUG)

    authorizer = DummyAuthorizer()
    authorizer.add_user(args.user, args.password, args.root, perm="elradfmwMT")
    if args.anonymous:
        authorizer.add_anonymous(args.root, perm="elradfmwMT")

    if args.tls_cert:
        from pyftpdlib.handlers import TLS_FTPHandler
        base = TLS_FTPHandler
    else:
        base = FTPHandler

    class Handler(base):
        if args.no_pwd:
            def ftp_PWD(self, line):
                self.respond("500 PWD not understood.")
        if args.no_size:
            def ftp_SIZE(self, path):
                self.respond("502 Command not implemented.")

    Handler.authorizer = authorizer
    Handler.banner = "lumo test server ready."
    Handler.permit_foreign_addresses = False
    if args.tls_cert:
        Handler.certfile = args.tls_cert
        Handler.keyfile = args.tls_key or args.tls_cert
        Handler.tls_control_required = args.tls_required
        Handler.tls_data_required = args.tls_required
    if args.read_limit > 0:
        dtp = ThrottledDTPHandler
        dtp.read_limit = args.read_limit
        Handler.dtp_handler = dtp

    server = FTPServer((args.host, args.port), Handler)
    server.max_cons = 64
    print("ready %d" % server.socket.getsockname()[1], flush=True)
    try:
        server.serve_forever(handle_exit=True)
    finally:
        server.close_all()


if __name__ == "__main__":
    sys.exit(main())
