#!/usr/bin/python3
"""A real SMTP server for the e-mail tests: aiosmtpd on 127.0.0.1.

Prints "ready PORT" on standard output once it listens; runs until it is killed. Each message it
takes is stored in --store as NNNN.eml (the message as received) beside NNNN.json (the envelope:
"from", "to" and whether the session was encrypted and logged in), so that a test reads the Bcc
recipients, which never appear in the message itself."""

import argparse
import asyncio
import json
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--store", required=True, help="the folder the messages go to")
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--tls-cert", help="PEM certificate: STARTTLS is offered")
    ap.add_argument("--tls-key", help="PEM private key of --tls-cert")
    ap.add_argument("--tls-required", action="store_true", help="refuse MAIL before STARTTLS")
    ap.add_argument("--user", help="AUTH is required with this user ...")
    ap.add_argument("--password", help="... and this password")
    ap.add_argument("--reject", action="store_true", help="answer every message with 554")
    args = ap.parse_args()
    os.makedirs(args.store, exist_ok=True)

    class Handler:
        count = 0

        async def handle_DATA(self, server, session, envelope):
            if args.reject:
                return "554 Transaction failed: rejected by the test"
            Handler.count += 1
            base = os.path.join(args.store, "%04d" % Handler.count)
            with open(base + ".eml", "wb") as f:
                f.write(envelope.original_content or envelope.content)
            with open(base + ".json", "w") as f:
                json.dump({"from": envelope.mail_from, "to": envelope.rcpt_tos,
                           "tls": session.ssl is not None,
                           "login": bool(session.authenticated)}, f)
            return "250 Message accepted for delivery"

    def authenticator(server, session, envelope, mechanism, auth_data):
        ok = (isinstance(auth_data, LoginPassword) and auth_data.login.decode() == args.user
              and auth_data.password.decode() == args.password)
        return AuthResult(success=ok, handled=False)  # handled=False: the server answers 535

    tls_context = None
    if args.tls_cert:
        import ssl
        tls_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        tls_context.load_cert_chain(args.tls_cert, args.tls_key or args.tls_cert)

    def factory():
        kwargs = dict(hostname="lumo-test", tls_context=tls_context,
                      require_starttls=args.tls_required)
        if args.user:
            kwargs.update(authenticator=authenticator, auth_required=True,
                          auth_require_tls=bool(tls_context))
        return SMTP(Handler(), **kwargs)

    loop = asyncio.new_event_loop()
    server = loop.run_until_complete(loop.create_server(factory, "127.0.0.1", args.port))
    print("ready %d" % server.sockets[0].getsockname()[1], flush=True)
    try:
        loop.run_forever()
    finally:
        server.close()


if __name__ == "__main__":
    sys.exit(main())
