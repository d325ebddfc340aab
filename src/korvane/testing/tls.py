"""The emulators' certificates: a CA made at start-up and a server certificate it signs.

Each server that speaks TLS makes its own :class:`ServerCertificates`: a CA
(``korvane-emulator-ca``) and a certificate for ``127.0.0.1`` and
``localhost`` that it signs, valid from an hour ago for two days. The CA is
written to ``ca_file``, in a directory of its own, so that a client can
verify the server (``requests.post(url, verify=certs.ca_file)``);
``close()`` removes that file and directory and nothing else.
"""
from __future__ import annotations

import datetime
import ipaddress
import os
import shutil
import socket
import ssl
import tempfile
import warnings
from typing import Any, Optional, Tuple

# cryptography announces, on every import under an interpreter past its end of
# life, that it will drop it: nothing the emulators' users can act on.
with warnings.catch_warnings():
    warnings.filterwarnings("ignore", message=r"Python 3\.[0-9]+ is no longer supported")
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

__all__ = ["ServerCertificates", "make_certificates"]

# How long a TLS handshake may take before the server gives up on the client.
HANDSHAKE_SECONDS = 5


def make_certificates(common_name: str = "korvane-emulator") -> Tuple[bytes, bytes, bytes]:
    """Return ``(ca_pem, server_cert_pem, server_key_pem)`` for 127.0.0.1/localhost."""
    now = datetime.datetime.now(datetime.timezone.utc)
    not_before = now - datetime.timedelta(hours=1)
    not_after = now + datetime.timedelta(days=2)

    ca_key = ec.generate_private_key(ec.SECP256R1())
    ca_name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "korvane-emulator-ca")])
    ca_ski = x509.SubjectKeyIdentifier.from_public_key(ca_key.public_key())
    ca_cert = (
        x509.CertificateBuilder()
        .subject_name(ca_name)
        .issuer_name(ca_name)
        .public_key(ca_key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before)
        .not_valid_after(not_after)
        .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=True, content_commitment=False, key_encipherment=False,
                data_encipherment=False, key_agreement=False, key_cert_sign=True,
                crl_sign=True, encipher_only=False, decipher_only=False),
            critical=True)
        .add_extension(ca_ski, critical=False)
        .sign(ca_key, hashes.SHA256())
    )

    key = ec.generate_private_key(ec.SECP256R1())
    cert = (
        x509.CertificateBuilder()
        .subject_name(x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, common_name)]))
        .issuer_name(ca_name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(not_before)
        .not_valid_after(not_after)
        .add_extension(x509.BasicConstraints(ca=False, path_length=None), critical=True)
        .add_extension(
            x509.KeyUsage(
                digital_signature=True, content_commitment=False, key_encipherment=False,
                data_encipherment=False, key_agreement=False, key_cert_sign=False,
                crl_sign=False, encipher_only=False, decipher_only=False),
            critical=True)
        .add_extension(x509.ExtendedKeyUsage([ExtendedKeyUsageOID.SERVER_AUTH]), critical=False)
        .add_extension(
            x509.SubjectAlternativeName([
                x509.IPAddress(ipaddress.ip_address("127.0.0.1")),
                x509.DNSName("localhost"),
            ]),
            critical=False)
        .add_extension(x509.SubjectKeyIdentifier.from_public_key(key.public_key()), critical=False)
        .add_extension(
            x509.AuthorityKeyIdentifier.from_issuer_subject_key_identifier(ca_ski),
            critical=False)
        .sign(ca_key, hashes.SHA256())
    )

    pem = serialization.Encoding.PEM
    key_pem = key.private_bytes(
        pem, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    return ca_cert.public_bytes(pem), cert.public_bytes(pem), key_pem


def server_context(cert_pem: bytes, key_pem: bytes, ca_pem: bytes) -> ssl.SSLContext:
    """A server-side context presenting ``cert_pem`` and the CA after it."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    # load_cert_chain reads files only: they live just long enough for that.
    tmp = tempfile.mkdtemp(prefix="korvane-tls-")
    try:
        cert_path = os.path.join(tmp, "server.crt")
        key_path = os.path.join(tmp, "server.key")
        with open(cert_path, "wb") as f:
            f.write(cert_pem + ca_pem)
        with open(os.open(key_path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "wb") as f:
            f.write(key_pem)
        ctx.load_cert_chain(cert_path, key_path)
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    return ctx


class ServerCertificates(object):
    """A fresh CA and server certificate, the server's context, and the CA in a file."""

    def __init__(self, common_name: str = "korvane-emulator") -> None:
        self.ca_pem, cert_pem, key_pem = make_certificates(common_name)
        self.context = server_context(cert_pem, key_pem, self.ca_pem)
        self._dir: Optional[str] = tempfile.mkdtemp(prefix="korvane-ca-")
        self.ca_file = os.path.join(self._dir, "ca.pem")
        with open(self.ca_file, "xb") as f:
            f.write(self.ca_pem)

    def accept(self, request: socket.socket) -> ssl.SSLSocket:
        """Wraps an accepted connection and runs the handshake (in the caller's
        thread, so that a client that never completes it holds up only its
        own); blocking as before once it is done."""
        timeout = request.gettimeout()
        request.settimeout(HANDSHAKE_SECONDS)
        conn = self.context.wrap_socket(request, server_side=True, do_handshake_on_connect=False)
        try:
            conn.do_handshake()
        except BaseException:
            conn.close()
            raise
        conn.settimeout(timeout)
        return conn

    def close(self) -> None:
        """Removes the CA file and its directory, if they are still the ones made."""
        directory, self._dir = self._dir, None
        if directory is None:
            return
        try:
            os.remove(self.ca_file)
            os.rmdir(directory)
        except OSError:
            pass


class TLSServing(object):
    """A socketserver mixin: with ``certificates`` set, each connection is
    served over TLS, and one that fails its handshake is dropped."""

    certificates: Optional[ServerCertificates] = None

    def finish_request(self, request: Any, client_address: Any) -> None:
        if self.certificates is None:
            self.RequestHandlerClass(request, client_address, self)  # type: ignore[attr-defined]
            return
        try:
            conn = self.certificates.accept(request)
        except (OSError, ValueError):
            return  # a client that left during the handshake, or never spoke TLS
        try:
            self.RequestHandlerClass(conn, client_address, self)  # type: ignore[attr-defined]
        finally:
            conn.close()
