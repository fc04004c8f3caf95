"""Makes a private certificate authority and server certificates for the mail tests.

    test_ca.py FOLDER

Writes into FOLDER:
  ca.pem          the private CA's certificate (what a mailer's ca_file names)
  server.pem      a certificate for 127.0.0.1 and localhost signed by the CA, then the CA's
  server.key      its key
  wrong-host.pem  a certificate signed by the CA for other.test only (key: server.key)
  other-ca.pem    the certificate of a second CA that signed nothing here
"""

import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


def name(common_name):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)])


def make_ca(common_name):
    key = ec.generate_private_key(ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    cert = (x509.CertificateBuilder()
            .subject_name(name(common_name)).issuer_name(name(common_name))
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
            .add_extension(x509.KeyUsage(digital_signature=False, content_commitment=False,
                                         key_encipherment=False, data_encipherment=False,
                                         key_agreement=False, key_cert_sign=True, crl_sign=True,
                                         encipher_only=False, decipher_only=False), critical=True)
            .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()),
                           critical=False)
            .sign(key, hashes.SHA256()))
    return key, cert


def make_server(ca_key, ca_cert, key, names):
    now = datetime.datetime.now(datetime.timezone.utc)
    return (x509.CertificateBuilder()
            .subject_name(name("sink.test")).issuer_name(ca_cert.subject)
            .public_key(key.public_key()).serial_number(x509.random_serial_number())
            .not_valid_before(now - datetime.timedelta(hours=1))
            .not_valid_after(now + datetime.timedelta(days=2))
            .add_extension(x509.SubjectAlternativeName(names), critical=False)
            .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
            .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]),
                           critical=False)
            .add_extension(x509.AuthorityKeyIdentifier.from_issuer_public_key(
                ca_key.public_key()), critical=False)
            .sign(ca_key, hashes.SHA256()))


def pem(cert):
    return cert.public_bytes(serialization.Encoding.PEM)


def main(folder):
    ca_key, ca_cert = make_ca("Mail Test CA")
    _, other_cert = make_ca("Other Test CA")
    key = ec.generate_private_key(ec.SECP256R1())
    server = make_server(ca_key, ca_cert, key, [x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
                                                x509.DNSName("localhost")])
    wrong = make_server(ca_key, ca_cert, key, [x509.DNSName("other.test")])
    files = {
        "ca.pem": pem(ca_cert),
        "other-ca.pem": pem(other_cert),
        "server.pem": pem(server) + pem(ca_cert),
        "wrong-host.pem": pem(wrong) + pem(ca_cert),
        "server.key": key.private_bytes(serialization.Encoding.PEM,
                                        serialization.PrivateFormat.PKCS8,
                                        serialization.NoEncryption()),
    }
    for file_name, data in files.items():
        with open(os.path.join(folder, file_name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
