"""Checks a PKCS#11 signing key before a release is built, and writes its
certificate (with the chain, when one is given) to a PEM file for signing.

    pkcs11_key.py MODULE KEY_URI CERTS_OUT [--pin-file FILE] [--certs FILE]

MODULE is the token's PKCS#11 library, KEY_URI the private key's pkcs11: URI
(RFC 7512), --certs a PEM file with the certificate and its chain; without
it the certificate beside the key on the token (same id, else same label;
of several, the one valid now that expires last) is read from the token.
The PIN is read from the file --pin-file names (only its owner can read it),
never from a command line or the environment. Every problem is one line on
standard output and exit code 1; a token that needs no login is used
without the PIN, and then the one line "no-login" says so.

The PIN is presented at most once: tokens lock after a few wrong PINs, so a
refused login ends the run and is never retried, and a token that reports
its final try, or a locked PIN, is not logged into at all.
"""

import argparse
import datetime
import os
import re
import sys
import urllib.parse

import PyKCS11
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from authenticode import validity

# RFC 7512 path attributes, and what each is matched against.
TOKEN_ATTRIBUTES = {"token": "label", "manufacturer": "manufacturerID", "serial": "serialNumber", "model": "model"}
OBJECT_ATTRIBUTES = ("object", "id", "type")
IGNORED_ATTRIBUTES = ("library-manufacturer", "library-description", "library-version",
                      "slot-description", "slot-manufacturer", "slot-id")


# The one line goes to standard output; whatever a PKCS#11 module prints
# itself (some print to standard output) goes to standard error (main).
MESSAGES = sys.stdout


def fail(message):
    print(message, file=MESSAGES, flush=True)
    sys.exit(1)


def parse_uri(uri):
    """{attribute: value} of a pkcs11: URI; id as bytes, the others as text."""
    if not uri.startswith("pkcs11:"):
        fail(f"the key '{uri}' is not a pkcs11: URI (such as pkcs11:token=release;object=signer;type=private)")
    path, _, query = uri[len("pkcs11:"):].partition("?")
    for attribute in filter(None, query.split("&")):
        name = attribute.partition("=")[0]
        if name in ("pin-value", "pin-source"):
            fail(f"the key's URI holds {name}: give the PIN in QUENDARIX_SIGNING_PASSWORD, never on a command line")
    found = {}
    for attribute in filter(None, path.split(";")):
        name, equals, value = attribute.partition("=")
        if not equals or name not in (*TOKEN_ATTRIBUTES, *OBJECT_ATTRIBUTES, *IGNORED_ATTRIBUTES):
            fail(f"the key's URI has an attribute this release cannot match: '{attribute}'")
        found[name] = urllib.parse.unquote_to_bytes(value) if name == "id" else urllib.parse.unquote(value)
    if found.get("type", "private") != "private":
        fail(f"the key's URI names type={found['type']}: it must name the private key (type=private)")
    return found


def text(value):
    return value.strip() if isinstance(value, str) else bytes(value).decode(errors="replace").strip()


def find_token(library, wanted):
    """The one slot whose token matches the URI's token attributes."""
    matching = []
    for slot in library.getSlotList(tokenPresent=True):
        info = library.getTokenInfo(slot)
        if all(text(getattr(info, field)) == wanted[name] for name, field in TOKEN_ATTRIBUTES.items() if name in wanted):
            matching.append((slot, info))
    described = ", ".join(f"{name}={wanted[name]}" for name in TOKEN_ATTRIBUTES if name in wanted) or "any token"
    if not matching:
        fail(f"no token matches the key's URI ({described})")
    if len(matching) > 1:
        fail(f"more than one token matches the key's URI ({described}): name it with token=LABEL")
    return matching[0]


def objects(session, kind, wanted):
    template = [(PyKCS11.CKA_CLASS, kind)]
    if "object" in wanted:
        template.append((PyKCS11.CKA_LABEL, wanted["object"]))
    if "id" in wanted:
        template.append((PyKCS11.CKA_ID, wanted["id"]))
    return session.findObjects(template)


def attribute(session, handle, kind):
    return session.getAttributeValue(handle, [kind])[0]


def login_once(session, info, pin):
    """One login, when the token needs one; a refusal ends the run, never
    retried. Answers whether it logged in."""
    if not info.flags & PyKCS11.CKF_LOGIN_REQUIRED:
        return False
    if info.flags & PyKCS11.CKF_USER_PIN_LOCKED:
        fail("the token's PIN is locked: nothing was tried (unlock it with the token's security officer PIN)")
    if info.flags & PyKCS11.CKF_USER_PIN_FINAL_TRY:
        fail("the token says one more wrong PIN locks it (CKF_USER_PIN_FINAL_TRY): nothing was tried; "
             "check the PIN with the token's own tool first")
    if info.flags & PyKCS11.CKF_PROTECTED_AUTHENTICATION_PATH and not pin:
        pin = None  # a PIN pad on the reader
    elif not pin:
        fail("the token needs a PIN: set QUENDARIX_SIGNING_PASSWORD")
    try:
        session.login(pin)
    except PyKCS11.PyKCS11Error as error:
        name = PyKCS11.CKR[error.value] if error.value in PyKCS11.CKR else hex(error.value)
        if name == "CKR_USER_ALREADY_LOGGED_IN":
            return True
        if name in ("CKR_PIN_INCORRECT", "CKR_PIN_INVALID", "CKR_PIN_LEN_RANGE"):
            fail(f"the token refused the PIN ({name}); not retried: tokens lock after a few wrong PINs")
        fail(f"the token refused the login ({name}); not retried")
    return True


def token_certificates(session, key, wanted):
    """The certificate objects beside the key: the same id, else the same label."""
    for kind in (PyKCS11.CKA_ID, PyKCS11.CKA_LABEL):
        value = attribute(session, key, kind)
        if not value:
            continue
        found = session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_CERTIFICATE), (kind, value)])
        if found:
            return [x509.load_der_x509_certificate(bytes(attribute(session, handle, PyKCS11.CKA_VALUE)))
                    for handle in found]
    fail(f"the token holds no certificate beside the key ({describe(wanted)}): "
         "store it there or name a PEM file in QUENDARIX_SIGNING_CERTS")


def valid_now(certificates, source):
    """Of the certificates, the one valid now that expires last (a renewal
    beside the certificate it replaces, say)."""
    now = datetime.datetime.now(datetime.timezone.utc)
    valid = [c for c in certificates if validity(c)[0] <= now <= validity(c)[1]]
    if not valid:
        said = "; ".join(f"'{name(c)}' valid {validity(c)[0]:%Y-%m-%d} to {validity(c)[1]:%Y-%m-%d}"
                         for c in certificates)
        fail(f"the signing certificate {source} is not valid now ({said}): renew it")
    return max(valid, key=lambda c: validity(c)[1])


def name(certificate):
    common = certificate.subject.get_attributes_for_oid(NameOID.COMMON_NAME)
    return common[0].value if common else certificate.subject.rfc4514_string()


def describe(wanted):
    parts = []
    if "object" in wanted:
        parts.append(f"object={wanted['object']}")
    if "id" in wanted:
        parts.append("id=" + "".join(f"%{byte:02x}" for byte in wanted["id"]))
    return ";".join(parts) or "any private key"


def belongs_to_key(session, key, certificate):
    """Whether the certificate's public key is the token key's."""
    public = certificate.public_key()
    kind = attribute(session, key, PyKCS11.CKA_KEY_TYPE)
    if kind == PyKCS11.CKK_RSA and isinstance(public, rsa.RSAPublicKey):
        modulus = int.from_bytes(bytes(attribute(session, key, PyKCS11.CKA_MODULUS)), "big")
        return modulus == public.public_numbers().n
    if kind == PyKCS11.CKK_EC and isinstance(public, ec.EllipticCurvePublicKey):
        # The point is on the public key object beside the private one.
        key_id = attribute(session, key, PyKCS11.CKA_ID)
        for handle in session.findObjects([(PyKCS11.CKA_CLASS, PyKCS11.CKO_PUBLIC_KEY), (PyKCS11.CKA_ID, key_id)]):
            point = bytes(attribute(session, handle, PyKCS11.CKA_EC_POINT))
            encoded = public.public_bytes(serialization.Encoding.X962, serialization.PublicFormat.UncompressedPoint)
            return point.endswith(encoded)  # DER OCTET STRING around the point, or the bare point
        fail("cannot tell whether the certificate belongs to the EC key: the token has no public key beside it")
    return False


def check_certificate(certificate, source):
    try:
        usage = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        return
    if ExtendedKeyUsageOID.CODE_SIGNING not in usage:
        fail(f"the certificate {source} is not for code signing")


def main():
    parser = argparse.ArgumentParser(description="Checks a PKCS#11 signing key before a release is built.")
    parser.add_argument("module")
    parser.add_argument("uri")
    parser.add_argument("output")
    parser.add_argument("--pin-file", default="")
    parser.add_argument("--certs", default="")
    arguments = parser.parse_args()
    wanted = parse_uri(arguments.uri)
    pin = ""
    if arguments.pin_file:
        with open(arguments.pin_file, encoding="utf-8") as f:
            pin = f.read()

    certificates = []
    if arguments.certs:
        try:
            with open(arguments.certs, "rb") as f:
                blocks = re.findall(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", f.read(), re.S)
            certificates = [x509.load_pem_x509_certificate(block) for block in blocks]
        except (OSError, ValueError):
            certificates = []
        if not certificates:
            fail(f"cannot read certificates from QUENDARIX_SIGNING_CERTS '{arguments.certs}'")
        check_certificate(certificates[0], f"in '{arguments.certs}'")
        valid_now(certificates[:1], f"in '{arguments.certs}'")

    library = PyKCS11.PyKCS11Lib()
    try:
        library.load(arguments.module)
    except PyKCS11.PyKCS11Error as error:
        fail(f"cannot load the PKCS#11 module '{arguments.module}': not a PKCS#11 library, or it did not load "
             f"({error})")
    slot, info = find_token(library, wanted)
    session = library.openSession(slot, PyKCS11.CKF_SERIAL_SESSION)
    logged_in = login_once(session, info, pin)
    keys = objects(session, PyKCS11.CKO_PRIVATE_KEY, wanted)
    if not keys:
        fail(f"no private key matches the key's URI on token '{text(info.label)}' ({describe(wanted)})")
    if len(keys) > 1:
        fail(f"more than one private key matches the key's URI on token '{text(info.label)}': "
             "name it with object=LABEL or id=ID")
    if certificates:
        if not belongs_to_key(session, keys[0], certificates[0]):
            fail("the certificate does not belong to the key: its public key is another")
    else:
        beside = [c for c in token_certificates(session, keys[0], wanted) if belongs_to_key(session, keys[0], c)]
        if not beside:
            fail("the certificate does not belong to the key: its public key is another")
        certificates = [valid_now(beside, "on the token")]
        check_certificate(certificates[0], "on the token")
    if logged_in:
        session.logout()
    session.closeSession()

    with open(arguments.output, "wb") as f:
        for certificate in certificates:
            f.write(certificate.public_bytes(serialization.Encoding.PEM))
    if not logged_in:
        print("no-login", file=MESSAGES, flush=True)


if __name__ == "__main__":
    MESSAGES = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    main()
