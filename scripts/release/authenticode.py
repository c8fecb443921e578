"""Checks the Authenticode signature of a signed file (a program or an MSI)
on its own terms: no root store is needed, and none on this machine would be
Windows' own.

    authenticode.py check FILE [--timestamp]
        The primary signature is intact: the file's digest is the one signed
        (osslsigncode computes it), and the signer's certificate, carried in
        the signature, made the signature. With --timestamp it also carries
        an RFC 3161 time stamp that is intact: made by a time-stamping
        certificate, over this signature, at a time when the signing
        certificate was valid, and not after now.
    authenticode.py signer FILE
        Checks the signature as above and prints the SHA-256 fingerprint
        (hex, of the DER) of the certificate that made it.

What a signature may hold is allow-listed, field by field (allow_listed
says which rule covers each): one signer; its certificate and the
certificates of its chain, each issuing the one before, and nothing else
(no revocation data); the one digest algorithm it uses; every algorithm's
parameters absent or NULL, as the algorithm defines them; no unsigned
attribute but one time stamp, which holds the same and no unsigned
attribute of its own. check() given roots (the rebuild check's) also
requires the time stamp's authority to chain to one of them.

Every problem is one line on standard output and exit code 1. Whether
Windows trusts the signer's root is for Windows to say.
"""

import datetime
import os
import struct
import re
import subprocess
import sys
import tempfile

import pefile
from asn1crypto import algos, cms, core, tsp  # noqa: F401 (tsp: time-stamp contents, parsed once imported)
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID

HASHES = {"sha1": hashes.SHA1, "sha256": hashes.SHA256, "sha384": hashes.SHA384, "sha512": hashes.SHA512}


def validity(certificate):
    """(not before, not after) of a certificate, in UTC, on every version of
    python3-cryptography."""
    if hasattr(certificate, "not_valid_before_utc"):
        return certificate.not_valid_before_utc, certificate.not_valid_after_utc
    utc = datetime.timezone.utc
    return certificate.not_valid_before.replace(tzinfo=utc), certificate.not_valid_after.replace(tzinfo=utc)


class Broken(Exception):
    """What is wrong with a signature, in one line."""


class NotSigned(Broken):
    def __init__(self):
        super().__init__("not signed")


def fingerprint(certificate):
    return certificate.fingerprint(hashes.SHA256()).hex()


def certificate_table(path):
    """A program's certificate table (WIN_CERTIFICATE entries), checked to
    end the file and to hold one entry and nothing but zero padding; whether
    there is one (never for a file that is not a program)."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"MZ":
        return False
    try:
        security = pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    except (pefile.PEFormatError, AttributeError, IndexError):
        raise Broken("not a PE image") from None
    offset, size = security.VirtualAddress, security.Size  # a file offset, for this entry
    if size == 0:
        return False
    if offset + size != len(data):
        raise Broken(f"{len(data) - offset - size} bytes after its certificate table"
                     if offset + size < len(data) else "its certificate table runs past the end of the file")
    length = struct.unpack_from("<I", data, offset)[0] if size >= 8 else 0
    if not 8 < length <= size or data[offset + length:] != bytes(size - length) or size - length >= 8:
        raise Broken("its certificate table holds more than one signature and its padding")
    return True


def osslsigncode(*arguments):
    try:
        return subprocess.run(["osslsigncode", *arguments], stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, errors="replace", timeout=120)
    except subprocess.TimeoutExpired:
        raise Broken(f"osslsigncode {arguments[0]} did not finish in 120 s") from None


def signature_of(path):
    """The file's primary signature (DER PKCS#7), or None when it has none."""
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "signature")
        done = osslsigncode("extract-signature", "-in", path, "-out", out)
        if done.returncode != 0 or not os.path.exists(out):
            return None
        with open(out, "rb") as f:
            der = f.read()
    # Some versions keep a program's WIN_CERTIFICATE header (length,
    # revision 0x0200, type 2: PKCS#7 signed data), whose length may count
    # the zero padding that follows; some (2.5) keep that padding, up to 7
    # zero bytes after the DER, without the header.
    if der[:1] != b"\x30" and der[4:8] == b"\x00\x02\x02\x00":
        length = struct.unpack_from("<I", der)[0]
        if der[length:].strip(b"\0"):
            raise Broken("bytes after the signature in its certificate entry")
        der = der[8:length]
    if der[:1] == b"\x30" and len(der) > 2:
        size = der[1] & 0x7F
        end = 2 + (der[1] if der[1] < 0x80 else size + int.from_bytes(der[2:2 + size], "big"))
        if len(der) - end < 8 and not der[end:].strip(b"\0"):
            der = der[:end]
    return der


def file_digests(path, certificate):
    """(signed, computed) digest of the file, as osslsigncode reads them (the
    message digest of a program, the DigitalSignature of an MSI). Some
    versions read nothing without a CA file: the signer's certificate serves,
    as whether it is trusted does not matter here."""
    with tempfile.TemporaryDirectory() as work:
        anchor = os.path.join(work, "signer.pem")
        with open(anchor, "wb") as f:
            f.write(certificate.public_bytes(serialization.Encoding.PEM))
        done = osslsigncode("verify", "-CAfile", anchor, "-in", path)
    signed = re.search(r"^Current (message digest|DigitalSignature)\s*:\s*([0-9A-Fa-f]+)", done.stdout, re.M)
    computed = signed and re.search(rf"^Calculated {signed.group(1)}\s*:\s*([0-9A-Fa-f]+)", done.stdout, re.M)
    if not signed or not computed:
        raise Broken("osslsigncode could not read the signed digest")
    return signed.group(2).lower(), computed.group(1).lower()


def signed_digest(spc):
    """The digest in what an Authenticode signature signs: the content of an
    SpcIndirectDataContent, the file's kind (a SEQUENCE), then the
    DigestInfo of its digest, and nothing after."""
    kind = core.Asn1Value.load(spc)
    if kind.tag != 16:
        raise Broken("what the signature signs is not an Authenticode content")
    return algos.DigestInfo.load(spc[len(kind.dump()):], strict=True)["digest"].native


def signed_by(child, parent):
    """Whether parent's key made child's signature, and child names parent
    as its issuer."""
    if child.issuer != parent.subject:
        return False
    key = parent.public_key()
    try:
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(child.signature, child.tbs_certificate_bytes, padding.PKCS1v15(), child.signature_hash_algorithm)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(child.signature, child.tbs_certificate_bytes, ec.ECDSA(child.signature_hash_algorithm))
        else:
            return False
    except (InvalidSignature, ValueError, TypeError):
        return False
    return True


def subject_of(certificate):
    text = certificate.subject.rfc4514_string()
    return text if text.isprintable() else ascii(text)


def chain_of(signed_data, signer, certificate, what):
    """The signer's certificate and the ones above it, each issuing the one
    before: every certificate the signed data carries, and nothing else."""
    if signed_data["crls"]:
        raise Broken(f"the {what} carries revocation data")
    algorithms = [a["algorithm"].native for a in signed_data["digest_algorithms"]]
    if algorithms != [signer["digest_algorithm"]["algorithm"].native]:
        raise Broken(f"the {what} names digest algorithms it does not use")
    carried = []  # a certificate given twice (as openssl ts gives its signer's) adds nothing
    for choice in signed_data["certificates"] or ():
        if choice.name != "certificate":
            raise Broken(f"the {what} carries a certificate of a kind this check does not read")
        found = x509.load_der_x509_certificate(choice.chosen.dump())
        if found not in carried:
            carried.append(found)
    chain = [certificate]
    rest = [c for c in carried if c != certificate]
    while rest:
        issuer = next((c for c in rest if chain[-1].issuer != chain[-1].subject and signed_by(chain[-1], c)), None)
        if issuer is None:
            raise Broken(f"the {what} carries a certificate that is not on its signer's chain ({subject_of(rest[0])})")
        chain.append(issuer)
        rest.remove(issuer)
    return chain


# The signature algorithms whose parameters must be absent (RFC 5758 3.2);
# every other algorithm here (the digests, RSA) takes absent or NULL ones
# (RFC 5754 2, RFC 8017 A.2).
NO_PARAMETERS = {"sha1_ecdsa", "sha224_ecdsa", "sha256_ecdsa", "sha384_ecdsa", "sha512_ecdsa", "ecdsa"}


def parameters_allowed(identifier, name, what):
    """An AlgorithmIdentifier's parameters, read as bytes (asn1crypto would
    refuse other than NULL only once asked for them): absent, or NULL where
    the algorithm allows it."""
    parameters = identifier.contents[len(identifier["algorithm"].dump()):]
    if parameters != b"" and (parameters != b"\x05\x00" or identifier["algorithm"].native in NO_PARAMETERS):
        raise Broken(f"the {what}'s {name} has parameters its algorithm does not define")


def allowed_fields(signed_data, signer, what):
    """Each part of SignedData (RFC 5652 5.1) and of its SignerInfo (5.3)
    under a rule:
      SignedData.version             1 (Authenticode) or 3 (RFC 3161 tokens), here
      SignedData.digestAlgorithms    the signer's one (chain_of); parameters here
      SignedData.encapContentInfo    the signed content: its digest is signed (check_signer)
      SignedData.certificates        the signer's chain and nothing else (chain_of); each
                                     certificate's outer signature algorithm its signed one, here
      SignedData.crls                none (chain_of)
      SignedData.signerInfos         one (check_signer)
      SignerInfo.version             1 by issuer and serial, 3 by key identifier, here
      SignerInfo.sid                 a carried certificate (certificate_of)
      SignerInfo.digestAlgorithm     a known digest (check_signer); parameters here
      SignerInfo.signedAttrs         signed (check_signer)
      SignerInfo.signatureAlgorithm  RSA PKCS#1 v1.5 or ECDSA (check_signer); parameters here
      SignerInfo.signature           verified (check_signer)
      SignerInfo.unsignedAttrs       at most one time stamp (time_stamp_of), none in it (check_timestamp)"""
    if signed_data["version"].native not in ("v1", "v3"):
        raise Broken(f"the {what} is of a version neither Authenticode nor RFC 3161 writes")
    if (signer["version"].native, signer["sid"].name) not in (("v1", "issuer_and_serial_number"),
                                                               ("v3", "subject_key_identifier")):
        raise Broken(f"the {what}'s signer is of a version that does not match how it names its certificate")
    for identifier in signed_data["digest_algorithms"]:
        parameters_allowed(identifier, "digest algorithm", what)
    parameters_allowed(signer["digest_algorithm"], "digest algorithm", what)
    parameters_allowed(signer["signature_algorithm"], "signature algorithm", what)
    for choice in signed_data["certificates"] or ():
        if choice.name == "certificate" and \
                choice.chosen["signature_algorithm"].dump() != choice.chosen["tbs_certificate"]["signature"].dump():
            raise Broken(f"the {what} carries a certificate whose two signature algorithms differ")


def attribute(attributes, name):
    for found in attributes or ():
        if found["type"].native == name:
            return found["values"][0]
    return None


def certificate_of(signed_data, signer):
    """The certificate, carried in the signature, that the signer names."""
    sid = signer["sid"]
    for choice in signed_data["certificates"] or ():
        if choice.name != "certificate":
            continue
        certificate = x509.load_der_x509_certificate(choice.chosen.dump())
        if sid.name == "issuer_and_serial_number":
            if (certificate.serial_number == sid.chosen["serial_number"].native and
                    certificate.issuer.public_bytes() == sid.chosen["issuer"].dump()):
                return certificate
        else:
            try:
                key_id = certificate.extensions.get_extension_for_class(x509.SubjectKeyIdentifier).value.digest
            except x509.ExtensionNotFound:
                continue
            if key_id == sid.chosen.native:
                return certificate
    raise Broken("the signer's certificate is not in the signature")


def check_signer(signed_data, content, what):
    """The signer's certificate, once its signature over the signed
    attributes, and theirs over the content, are shown to hold."""
    signers = signed_data["signer_infos"]
    if len(signers) != 1:
        raise Broken(f"the {what} has {len(signers)} signers, not one")
    signer = signers[0]
    allowed_fields(signed_data, signer, what)
    algorithm = HASHES.get(signer["digest_algorithm"]["algorithm"].native)
    if algorithm is None:
        raise Broken(f"the {what} uses a digest this check does not know")
    digest = attribute(signer["signed_attrs"], "message_digest")
    if digest is None or digest.native != _hash(algorithm, content):
        raise Broken(f"the {what} does not cover what it signs (message digest)")
    certificate = certificate_of(signed_data, signer)
    signed = b"\x31" + signer["signed_attrs"].dump()[1:]  # as a SET OF, the form that was signed
    key = certificate.public_key()
    try:
        if isinstance(key, rsa.RSAPublicKey) and signer["signature_algorithm"].signature_algo == "rsassa_pkcs1v15":
            key.verify(signer["signature"].native, signed, padding.PKCS1v15(), algorithm())
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(signer["signature"].native, signed, ec.ECDSA(algorithm()))
        else:
            raise Broken(f"the {what} uses a key or signature kind this check does not know")
    except InvalidSignature:
        raise Broken(f"the {what} was not made by the certificate it names") from None
    return signer, certificate


def _hash(algorithm, data):
    digest = hashes.Hash(algorithm())
    digest.update(data)
    return digest.finalize()


def time_stamp_of(signer):
    """The one RFC 3161 time stamp, or None; any other unsigned attribute (a
    nested signature among them) is refused."""
    stamps = []
    for found in signer["unsigned_attrs"] or ():
        kind = found["type"].native
        if kind == "microsoft_nested_signature":
            raise Broken("a nested signature: one signature holds one signer")
        if kind != "microsoft_time_stamp_token":
            raise Broken(f"an unsigned attribute ({found['type'].dotted}) besides the time stamp")
        stamps += list(found["values"])
    if len(stamps) > 1:
        raise Broken(f"{len(stamps)} time stamps, not one")
    return stamps[0] if stamps else None


def check_timestamp(token, signer, certificate, roots=None):
    """The time stamp made by a time-stamping certificate over this
    signature, at a time when the signing certificate was valid, not after
    now; given roots, by an authority that chains to one of them."""
    stamped = token["content"]
    info = stamped["encap_content_info"]
    if info["content_type"].native != "tst_info":
        raise Broken("the time stamp holds no time-stamp information")
    stamper, tsa = check_signer(stamped, info["content"].contents, "time stamp")
    chain = chain_of(stamped, stamper, tsa, "time stamp")
    if stamper["unsigned_attrs"]:
        raise Broken("the time stamp has an unsigned attribute of its own")
    try:
        usage = tsa.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        usage = ()
    if ExtendedKeyUsageOID.TIME_STAMPING not in usage:
        raise Broken("the time stamp was made by a certificate that is not for time stamping")
    imprint = info["content"].parsed["message_imprint"]
    algorithm = HASHES.get(imprint["hash_algorithm"]["algorithm"].native)
    if algorithm is None or imprint["hashed_message"].native != _hash(algorithm, signer["signature"].native):
        raise Broken("the time stamp is over another signature")
    when = info["content"].parsed["gen_time"].native
    if not validity(certificate)[0] <= when <= validity(certificate)[1]:
        raise Broken(f"the time stamp ({when:%Y-%m-%d %H:%M:%S} UTC) is outside the signing certificate's validity")
    if not all(validity(c)[0] <= when <= validity(c)[1] for c in chain):
        raise Broken("the time stamp's time is outside its own certificates' validity")
    if when > datetime.datetime.now(datetime.timezone.utc):
        raise Broken(f"the time stamp ({when:%Y-%m-%d %H:%M:%S} UTC) is after now")
    if roots is not None and not any(chain[-1] == root or signed_by(chain[-1], root) for root in roots):
        raise Broken(f"the time stamp's authority is not trusted here ({subject_of(chain[-1])}): its root is neither "
                     "in the system's store nor given with --tsa-root")


def trusted_roots(files):
    """The certificates of PEM files, each perhaps a bundle; one that this
    version of python3-cryptography cannot read is left out."""
    roots = []
    for path in files:
        with open(path, "rb") as f:
            text = f.read(16 << 20)
        for block in re.findall(rb"-----BEGIN CERTIFICATE-----.+?-----END CERTIFICATE-----", text, re.S):
            try:
                roots.append(x509.load_pem_x509_certificate(block))
            except ValueError:
                pass
    return roots


def check(path, timestamp=False, roots=None):
    """The certificate that made the file's one signature, accepted as the
    module's summary says; with timestamp, a time stamp is required; with
    roots, a time stamp counts only from an authority that chains to one."""
    table = certificate_table(path)
    der = signature_of(path)
    if der is None:
        if table:
            raise Broken("its certificate table holds no signature that can be read")
        raise NotSigned()
    try:
        content = cms.ContentInfo.load(der, strict=True)
        signed_data = content["content"]
        if content["content_type"].native != "signed_data":
            raise Broken("the signature is not a PKCS#7 signed-data")
        spc = signed_data["encap_content_info"]["content"].contents
        signer, certificate = check_signer(signed_data, spc, "signature")
        chain_of(signed_data, signer, certificate, "signature")
        signed, computed = file_digests(path, certificate)
        if signed != computed:
            raise Broken("the file was changed after it was signed (its digest is not the signed one)")
        if signed_digest(spc).hex() != signed:
            raise Broken("the signed digest is not the one osslsigncode reads")
        token = time_stamp_of(signer)
        if token is not None:
            check_timestamp(token, signer, certificate, roots)
        elif timestamp:
            raise Broken("no RFC 3161 time stamp")
        else:
            now = datetime.datetime.now(datetime.timezone.utc)
            start, end = validity(certificate)
            if not start <= now <= end:
                raise Broken(f"no time stamp, and its certificate is not valid now (valid {start:%Y-%m-%d} to "
                             f"{end:%Y-%m-%d})")
    except (ValueError, TypeError, KeyError) as error:
        raise Broken(f"the signature cannot be read ({error})") from None
    return certificate


def main():
    arguments = sys.argv[1:]
    if len(arguments) in (2, 3) and arguments[0] == "check" and arguments[2:] in ([], ["--timestamp"]):
        action, path, timestamp = "check", arguments[1], len(arguments) == 3
    elif len(arguments) == 2 and arguments[0] == "signer":
        action, path, timestamp = "signer", arguments[1], False
    else:
        print("usage: authenticode.py check FILE [--timestamp] | authenticode.py signer FILE")
        sys.exit(2)
    try:
        certificate = check(path, timestamp)
    except Broken as problem:
        print(problem)
        sys.exit(1)
    if action == "signer":
        print(fingerprint(certificate))


if __name__ == "__main__":
    main()
