#!/usr/bin/python3
"""A loopback SMTP server for the mail tests.

    smtp_server.py OUTDIR USER PASSWORD

Listens on a free 127.0.0.1 port with a required login (PLAIN or LOGIN, no
TLS), prints "READY <port>" on stdout, and writes every accepted message as
OUTDIR/mail-<n>.txt: "name: value" lines (mail_from, rcpt_to, login, from,
to, subject), an empty line, then the decoded body. Runs until
stdin closes or it is terminated.
"""
import asyncio
import warnings
import email
import email.policy
import os
import socket
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

warnings.simplefilter("ignore")
outdir, user, password = sys.argv[1], sys.argv[2].encode(), sys.argv[3].encode()
count = 0
lock = threading.Lock()


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == user and auth_data.password == password
    if ok:
        return AuthResult(success=True, auth_data=auth_data)
    return AuthResult(success=False, handled=False)  # the server answers 535


class Handler:
    async def handle_DATA(self, server, session, envelope):
        global count
        msg = email.message_from_bytes(envelope.original_content or envelope.content, policy=email.policy.default)
        body = msg.get_body(preferencelist=("plain",))
        login = session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword) else ""
        head = [
            ("mail_from", envelope.mail_from),
            ("rcpt_to", ",".join(envelope.rcpt_tos)),
            ("login", login),
            ("from", str(msg["From"])),
            ("to", str(msg["To"])),
            ("subject", str(msg["Subject"])),
        ]
        text = "".join("%s: %s\n" % (k, v.replace("\n", "\\n")) for k, v in head)
        text += "\n" + (body.get_content() if body is not None else "")
        with lock:
            count += 1
            path = os.path.join(outdir, "mail-%d.txt" % count)
        with open(path + ".tmp", "w", encoding="utf-8", newline="") as f:
            f.write(text)
        os.rename(path + ".tmp", path)
        return "250 OK"


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


port = free_port()
controller = Controller(Handler(), hostname="127.0.0.1", port=port, authenticator=authenticator,
                        auth_required=True, auth_require_tls=False)
controller.start()
print("READY %d" % port, flush=True)
try:
    sys.stdin.read()
finally:
    controller.stop()
