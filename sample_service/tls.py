"""HTTPS for the sample service, with a self-signed certificate made at start.

The certificate is made by the ``openssl`` command (no Python package is needed)
for 127.0.0.1 and localhost, valid for two days, and written to a new temporary
directory; pass its path to requests as ``verify=`` (or set REQUESTS_CA_BUNDLE).
"""

import os
import shutil
import ssl
import subprocess
import tempfile


def make_certificate(directory):
    """Write cert.pem and key.pem into ``directory`` and return their paths."""
    openssl = shutil.which("openssl")
    if openssl is None:
        raise RuntimeError("--https needs the openssl command to make its certificate")
    cert, key = os.path.join(directory, "cert.pem"), os.path.join(directory, "key.pem")
    subprocess.run(
        [
            openssl,
            "req",
            "-x509",
            "-newkey",
            "rsa:2048",
            "-nodes",
            "-days",
            "2",
            "-subj",
            "/CN=127.0.0.1",
            "-addext",
            "subjectAltName=IP:127.0.0.1,DNS:localhost",
            "-keyout",
            key,
            "-out",
            cert,
        ],
        check=True,
        capture_output=True,
        timeout=60,
    )
    return cert, key


def serve_tls(server, directory=None):
    """Make ``server`` answer HTTPS from now on; return the certificate's path."""
    cert, key = make_certificate(directory or tempfile.mkdtemp(prefix="quorvex-sample-tls-"))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    # The handshake happens on the first read, in the connection's own thread, so a
    # slow client cannot hold up the accepting loop.
    server.socket = context.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    server.scheme = "https"
    return cert
