#!/usr/bin/env python3
"""The package's publisher as Windows writes a certificate subject.

Windows compares a package's Publisher with the subject of the certificate
that signs it, written its own way: the relative names in the reverse of
their encoded order, separated by ", " (" + " within one), with its own keys
(S= for the state, E= for the e-mail address) and its own quoting (a value
with a separator, a quote or leading or trailing blanks in double quotes,
quotes in it doubled). openssl writes the same subject differently, so the
package is checked and its test certificate made here, by one renderer.

  publisher.py windows-form CERT.pem
      the certificate's subject in Windows' form
  publisher.py canonical PUBLISHER
      the publisher rewritten in Windows' form (a publisher that is not
      already in it can never match a certificate); a name of several
      values (OU=A + OU=B), which the manifest's publisher pattern does not
      admit, is refused
  publisher.py family-name NAME PUBLISHER
      the package family name Windows derives from the identity's name and
      publisher (NAME_<13 characters of the publisher's hash>)
  publisher.py test-certificate PUBLISHER CERT.pem KEY.pem
      a self-signed code-signing certificate whose subject Windows writes
      as PUBLISHER: its relative names encoded last first
"""
import hashlib
import subprocess
import sys

# Windows' keys by object identifier; others are written "OID.<identifier>".
WINDOWS_KEYS = {
    "2.5.4.3": "CN", "2.5.4.7": "L", "2.5.4.10": "O", "2.5.4.11": "OU",
    "1.2.840.113549.1.9.1": "E", "2.5.4.6": "C", "2.5.4.8": "S", "2.5.4.9": "STREET",
    "2.5.4.12": "T", "2.5.4.42": "G", "2.5.4.43": "I", "2.5.4.4": "SN",
    "0.9.2342.19200300.100.1.25": "DC", "2.5.4.5": "SERIALNUMBER", "2.5.4.13": "Description",
    "2.5.4.17": "PostalCode", "2.5.4.18": "POBox", "2.5.4.20": "Phone", "2.5.4.24": "X21Address",
    "2.5.4.46": "dnQualifier",
}
# Spellings Windows accepts for the same keys when it reads a subject.
KEY_ALIASES = {"ST": "S", "EMAIL": "E", "TITLE": "T", "GIVENNAME": "G", "INITIALS": "I"}
OIDS = {key: oid for oid, key in WINDOWS_KEYS.items()}
QUOTED_IF_CONTAINED = ',+="\n<>#;'


def windows_value(value):
    # Quarvel, Inc.  =>  "Quarvel, Inc."
    # A "B"          =>  "A ""B"""
    # (empty)        =>  ""
    if (value == "" or value != value.strip() or
            any(c in QUOTED_IF_CONTAINED for c in value)):
        return '"' + value.replace('"', '""') + '"'
    return value


def render(rdns):
    # [[('CN', 'A')], [('O', 'B')]]  =>  CN=A, O=B  (in the order given)
    return ", ".join(" + ".join(key + "=" + windows_value(value) for key, value in rdn)
                     for rdn in rdns)


def parse_windows(text):
    # CN=A, O="B, C"  =>  [[('CN', 'A')], [('O', 'B, C')]]; ValueError if malformed.
    rdns, rdn, at = [], [], 0
    while True:
        equals = text.find("=", at)
        if equals < 0:
            raise ValueError("no '=' after %r" % text[at:])
        key = text[at:equals].strip()
        key = KEY_ALIASES.get(key.upper(), key)
        at = equals + 1
        while at < len(text) and text[at] == " ":
            at += 1
        if text[at:at + 1] == '"':
            value, at = "", at + 1
            while True:
                close = text.find('"', at)
                if close < 0:
                    raise ValueError("unclosed quote in %r" % text)
                value += text[at:close]
                if text[close + 1:close + 2] == '"':
                    value, at = value + '"', close + 2
                    continue
                at = close + 1
                break
            rest = text[at:].lstrip(" ")
            at = len(text) - len(rest)
        else:
            end = at
            while end < len(text) and text[end] not in ",+;":
                end += 1
            value, at = text[at:end].strip(), end
        rdn.append((key, value))
        if at >= len(text):
            rdns.append(rdn)
            return rdns
        if text[at] != "+":
            rdns.append(rdn)
            rdn = []
        at += 1


def parse_rfc2253(text):
    # openssl's "-nameopt RFC2253,oid,-esc_msb" form, backslash escapes undone:
    # 2.5.4.3=A\, B,2.5.4.6=CH  =>  [[('2.5.4.3', 'A, B')], [('2.5.4.6', 'CH')]]
    rdns, rdn, field, raw, at = [], [], "", bytearray(), 0
    data = text.encode()
    key = None
    while at <= len(data):
        c = data[at:at + 1]
        if c == b"\\":
            pair = data[at + 1:at + 3]
            if len(pair) == 2 and all(chr(b) in "0123456789abcdefABCDEF" for b in pair):
                raw += bytes([int(pair, 16)])
                at += 3
            else:
                raw += data[at + 1:at + 2]
                at += 2
            continue
        if key is None and c == b"=":
            key, raw = raw.decode(), bytearray()
        elif c in (b",", b"+", b""):
            rdn.append((key, raw.decode()))
            key, raw = None, bytearray()
            if c != b"+":
                rdns.append(rdn)
                rdn = []
        else:
            raw += c
        at += 1
    return rdns


def windows_form(certificate):
    out = subprocess.run(["openssl", "x509", "-in", certificate, "-noout", "-subject",
                          "-nameopt", "RFC2253,oid,-esc_msb"],
                         check=True, capture_output=True, text=True).stdout.strip()
    subject = out.split("=", 1)[1] if out.startswith("subject=") else out
    # RFC 2253 writes the last encoded name first, as Windows does.
    return render([[(WINDOWS_KEYS.get(oid, "OID." + oid), value) for oid, value in rdn]
                   for rdn in parse_rfc2253(subject)])


def publisher_form(text):
    # The manifest's publisher: Windows' form, one value per name.
    rdns = parse_windows(text)
    for rdn in rdns:
        if len(rdn) > 1:
            raise ValueError("a name of several values (%s) is not a package publisher"
                             % render([rdn]))
    return render(rdns)


# Windows' base-32 digits for the publisher's part of a family name.
FAMILY_DIGITS = "0123456789abcdefghjkmnpqrstvwxyz"


def family_name(name, publisher):
    # The first 64 bits of the SHA-256 of the publisher in UTF-16LE, with one
    # zero bit after them, as 13 digits of 5 bits:
    # CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US
    #   => 8wekyb3d8bbwe
    bits = int.from_bytes(hashlib.sha256(publisher.encode("utf-16-le")).digest()[:8], "big") << 1
    return name + "_" + "".join(FAMILY_DIGITS[(bits >> (5 * (12 - i))) & 31] for i in range(13))


def openssl_subject(publisher):
    # CN=A, O=B/C  =>  /2.5.4.10=B\/C/2.5.4.3=A  (encoded last first)
    def escaped(value):
        return "".join("\\" + c if c in "/+\\" else c for c in value)
    parts = []
    for rdn in reversed(parse_windows(publisher)):
        avas = []
        for key, value in rdn:
            # openssl makes only attributes it knows by name.
            oid = OIDS.get(key, key[4:] if key.startswith("OID.") else None)
            if oid is None:
                raise ValueError("no test certificate with the key %r" % key)
            avas.append(oid + "=" + escaped(value))
        parts.append("/" + "+".join(avas))
    return "".join(parts)


def test_certificate(publisher, certificate, key):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "3650",
                    "-utf8", "-multivalue-rdn", "-subj", openssl_subject(publisher),
                    "-addext", "extendedKeyUsage=codeSigning",
                    "-addext", "keyUsage=digitalSignature",
                    "-addext", "basicConstraints=critical,CA:FALSE",
                    "-keyout", key, "-out", certificate],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def main(argv):
    if len(argv) == 3 and argv[1] == "windows-form":
        print(windows_form(argv[2]))
    elif len(argv) == 3 and argv[1] == "canonical":
        try:
            print(publisher_form(argv[2]))
        except ValueError as refused:
            raise SystemExit(str(refused))
    elif len(argv) == 4 and argv[1] == "family-name":
        print(family_name(argv[2], argv[3]))
    elif len(argv) == 5 and argv[1] == "test-certificate":
        test_certificate(*argv[2:])
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv)
