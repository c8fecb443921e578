"""Throwaway certificates for the signing tests, and an RFC 3161 time-stamp
server on the loopback (openssl ts -reply behind Python's http.server)."""

import datetime
import http.server
import os
import subprocess
import tempfile
import threading

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID


def new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def certificate(subject, public_key, issuer, issuer_key, usage, critical=False, start=datetime.datetime(2020, 1, 1),
                days=36500, extensions=()):
    """A CA certificate (usage None) or a leaf for one extended key usage,
    with any other extensions given."""
    builder = (x509.CertificateBuilder().subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, subject)]))
               .issuer_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, issuer)]))
               .public_key(public_key).serial_number(x509.random_serial_number())
               .not_valid_before(start).not_valid_after(start + datetime.timedelta(days=days)))
    if usage is None:
        builder = builder.add_extension(x509.BasicConstraints(ca=True, path_length=None), critical=True)
    else:
        builder = builder.add_extension(x509.ExtendedKeyUsage([usage]), critical=critical)
    for extension in extensions:
        builder = builder.add_extension(extension, critical=False)
    return builder.sign(issuer_key, hashes.SHA256())


def pem(*certificates):
    return b"".join(c.public_bytes(serialization.Encoding.PEM) for c in certificates)


class TimeStamps(http.server.BaseHTTPRequestHandler):
    """RFC 3161 answers from openssl ts -reply; HTTP 500 at /fail."""
    config = ""

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        if self.path == "/fail":
            try:
                self.send_error(500)
            except ConnectionError:
                pass  # the client went on before reading the answer
            return
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "query"), "wb") as f:
                f.write(query)
            subprocess.run(["openssl", "ts", "-reply", "-config", self.config, "-queryfile",
                            os.path.join(work, "query"), "-out", os.path.join(work, "reply")],
                           check=True, capture_output=True)
            with open(os.path.join(work, "reply"), "rb") as f:
                reply = f.read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *arguments):
        pass


def time_stamp_server(test_class, folder):
    """Starts the server for a test class, with a CA of its own and a leaf
    for time stamping only, kept in folder; answers (its URL, the CA's PEM
    file, the leaf's key, the leaf). It stops when the class is done."""
    ca_key, key = new_key(), new_key()
    ca = certificate("Quendarix test TSA CA", ca_key.public_key(), "Quendarix test TSA CA", ca_key, None)
    leaf = certificate("Quendarix test TSA", key.public_key(), "Quendarix test TSA CA", ca_key,
                       ExtendedKeyUsageOID.TIME_STAMPING, critical=True)
    os.makedirs(folder)
    for name, data in (("ca.pem", pem(ca)), ("tsa.pem", pem(leaf)), ("serial", b"01\n"),
                       ("tsa.key", key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                     serialization.NoEncryption()))):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    TimeStamps.config = os.path.join(folder, "ts.cnf")
    with open(TimeStamps.config, "w") as f:
        f.write(f"[ tsa ]\ndefault_tsa = tsa_config\n[ tsa_config ]\nserial = {folder}/serial\n"
                f"signer_cert = {folder}/tsa.pem\nsigner_key = {folder}/tsa.key\ncerts = {folder}/tsa.pem\n"
                "signer_digest = sha256\ndefault_policy = 1.3.6.1.4.1.4146.2.3\ndigests = sha256, sha384, sha512\n"
                "accuracy = secs:1\ness_cert_id_alg = sha256\n")
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), TimeStamps)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    test_class.addClassCleanup(server.server_close)
    test_class.addClassCleanup(server.shutdown)
    return f"http://127.0.0.1:{server.server_address[1]}/", os.path.join(folder, "ca.pem"), key, leaf
