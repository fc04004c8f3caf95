"""A loopback SMTP server for the mail tests, built on aiosmtpd.

    smtp_sink.py FOLDER [LIFETIME_SECONDS] [--cert PEM --key PEM] [--starttls] [--implicit-tls]
                 [--login USER:PASSWORD]

Listens on 127.0.0.1 on a free port and writes that port to FOLDER/port once it accepts
connections. Every message received is saved as FOLDER/mail-N.eml: the envelope sender and
recipients on the first lines ("MAIL FROM:", "RCPT TO:"), an empty line, then the message as
received; FOLDER/transport.log gets a line "mail-N tls" or "mail-N plain" for it. Every AUTH
attempt is appended to FOLDER/auth.log as "mechanism user password". A recipient whose address
begins with "refuse-" is refused with 550. The server ends by itself after LIFETIME_SECONDS
(default 120).

  --cert, --key    the server's certificate (chain) and key, for the TLS options
  --starttls       offer STARTTLS on the port; AUTH is then offered only after it
  --implicit-tls   also listen on a second port that speaks TLS from the first byte, written
                   to FOLDER/tls-port
  --login U:P      only this log-in succeeds (others get "535 5.7.8 ..."); without it every
                   log-in succeeds

Without --starttls the port offers AUTH in the clear, so that a client that would send a
password unencrypted shows up in auth.log.
"""

import argparse
import asyncio
import os
import ssl

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

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.startswith("refuse-"):
            return "550 5.1.1 <%s>: recipient refused here" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        head = "MAIL FROM:%s\n" % envelope.mail_from
        for rcpt in envelope.rcpt_tos:
            head += "RCPT TO:%s\n" % rcpt
        data = head.encode() + b"\n" + envelope.original_content
        name = "mail-%d" % self.count
        tls = server.transport.get_extra_info("ssl_object") is not None
        with open(os.path.join(self.folder, "transport.log"), "a") as f:
            f.write("%s %s\n" % (name, "tls" if tls else "plain"))
        write_atomically(os.path.join(self.folder, name + ".eml"), data)
        return "250 Message accepted"


def make_authenticator(folder, login):
    def authenticate(server, session, envelope, mechanism, auth_data):
        user, password = b"", b""
        if isinstance(auth_data, LoginPassword):
            user, password = auth_data.login, auth_data.password
        with open(os.path.join(folder, "auth.log"), "ab") as f:
            f.write(mechanism.encode() + b" " + user + b" " + password + b"\n")
        if login is None or user + b":" + password == login.encode():
            return AuthResult(success=True)
        # Not handled here: aiosmtpd answers "535 5.7.8 Authentication credentials invalid".
        return AuthResult(success=False, handled=False)

    return authenticate


async def main(args):
    loop = asyncio.get_running_loop()
    handler = SaveHandler(args.folder)
    authenticator = make_authenticator(args.folder, args.login)
    context = None
    if args.cert:
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args.cert, args.key)

    def smtp(tls_context, auth_require_tls):
        return SMTP(handler, hostname="sink.test", authenticator=authenticator,
                    tls_context=tls_context, auth_require_tls=auth_require_tls)

    servers = []
    if args.starttls:
        plain = await loop.create_server(lambda: smtp(context, True), "127.0.0.1", 0)
    else:
        plain = await loop.create_server(lambda: smtp(None, False), "127.0.0.1", 0)
    servers.append(plain)
    if args.implicit_tls:
        # TLS from the first byte: the SMTP layer sees a plain stream and offers AUTH on it.
        tls = await loop.create_server(lambda: smtp(None, False), "127.0.0.1", 0, ssl=context)
        servers.append(tls)
        write_atomically(os.path.join(args.folder, "tls-port"),
                         str(tls.sockets[0].getsockname()[1]).encode())
    write_atomically(os.path.join(args.folder, "port"),
                     str(plain.sockets[0].getsockname()[1]).encode())
    await asyncio.sleep(args.lifetime)
    for s in servers:
        s.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("lifetime", nargs="?", type=float, default=120.0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--starttls", action="store_true")
    parser.add_argument("--implicit-tls", action="store_true")
    parser.add_argument("--login")
    asyncio.run(main(parser.parse_args()))
