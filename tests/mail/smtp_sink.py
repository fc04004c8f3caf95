"""A loopback SMTP server for the mail tests, built on aiosmtpd.

    smtp_sink.py FOLDER [LIFETIME_SECONDS]

Listens on 127.0.0.1 on a free port and writes that port to FOLDER/port once it accepts
connections. Every message received is saved as FOLDER/mail-N.eml: the envelope sender and
recipients on the first lines ("MAIL FROM:", "RCPT TO:"), an empty line, then the message as
received. Every AUTH attempt is appended to FOLDER/auth.log as "mechanism user password". AUTH is
offered without TLS. The server ends by itself after LIFETIME_SECONDS (default 120).
"""

import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write_atomically(path, data):
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


class SaveHandler:
    def __init__(self, folder):
        self.folder = folder
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        head = "MAIL FROM:%s\n" % envelope.mail_from
        for rcpt in envelope.rcpt_tos:
            head += "RCPT TO:%s\n" % rcpt
        data = head.encode() + b"\n" + envelope.original_content
        write_atomically(os.path.join(self.folder, "mail-%d.eml" % self.count), data)
        return "250 Message accepted"


def make_authenticator(folder):
    def authenticate(server, session, envelope, mechanism, auth_data):
        user, password = b"", b""
        if isinstance(auth_data, LoginPassword):
            user, password = auth_data.login, auth_data.password
        with open(os.path.join(folder, "auth.log"), "ab") as f:
            f.write(mechanism.encode() + b" " + user + b" " + password + b"\n")
        return AuthResult(success=True)

    return authenticate


async def main(folder, lifetime):
    loop = asyncio.get_running_loop()
    handler = SaveHandler(folder)
    authenticator = make_authenticator(folder)
    server = await loop.create_server(
        lambda: SMTP(handler, hostname="sink.test", authenticator=authenticator,
                     auth_require_tls=False),
        "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    write_atomically(os.path.join(folder, "port"), str(port).encode())
    await asyncio.sleep(lifetime)
    server.close()


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1], float(sys.argv[2]) if len(sys.argv) > 2 else 120.0))
