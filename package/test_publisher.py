#!/usr/bin/env python3
"""PackagePublisherTest: the test certificate of a publisher is one whose
subject Windows writes as that publisher, and the package check reads
certificates the way Windows does (publisher.py, as the build runs it)."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import publisher  # noqa: E402


class PublisherTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.cert = os.path.join(self.folder.name, "cert.pem")
        self.key = os.path.join(self.folder.name, "key.pem")

    def tearDown(self):
        self.folder.cleanup()

    def test_certificate_subject_reads_back_as_the_publisher(self):
        for name in ["CN=Quarvel Hollowmere Test Publisher",
                     "CN=Quarvel AG, O=Quarvel AG, L=Zug, S=Zug, C=CH",
                     'CN="Quarvel ""Labs"" AG", O="Quarvel, Inc.", OU=Scan/Shell + OU=Tools, C=CH',
                     "CN=Zürich Tools, E=build@quarvel.example, STREET=Baarerstrasse 1, C=CH",
                     'CN=" Quarvel", O="Quarvel#1; Labs"',
                     # An EV certificate's subject, with the keys Windows
                     # gives them (openssl names them serialNumber,
                     # postalCode, ...).
                     "CN=Quarvel AG, SERIALNUMBER=CHE-123.456.789, PostalCode=6300, POBox=12, "
                     'Phone="+41 41 000 00 00", '"Description=Scanner, X21Address=1234, "
                     "dnQualifier=q1, OID.1.3.6.1.4.1.311.60.2.1.3=CH, C=CH"]:
            with self.subTest(publisher=name):
                self.assertEqual(name, publisher.render(publisher.parse_windows(name)))
                publisher.test_certificate(name, self.cert, self.key)
                self.assertEqual(name, publisher.windows_form(self.cert))

    # What the build used to make and compare: the subject encoded in the
    # order written, and openssl's own form of it. Windows reads that
    # certificate's subject the other way round, and writes a correct one
    # differently from openssl.
    def test_written_order_and_openssl_form_are_not_the_publisher(self):
        name = "CN=Quarvel AG, O=Quarvel AG, L=Zug, S=Zug, C=CH"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Quarvel AG/O=Quarvel AG/L=Zug/ST=Zug/C=CH",
                        "-keyout", self.key, "-out", self.cert],
                       check=True, capture_output=True)
        self.assertEqual("C=CH, S=Zug, L=Zug, O=Quarvel AG, CN=Quarvel AG",
                         publisher.windows_form(self.cert))
        publisher.test_certificate(name, self.cert, self.key)
        openssl_form = subprocess.run(
            ["openssl", "x509", "-in", self.cert, "-noout", "-subject", "-nameopt", "RFC2253"],
            check=True, capture_output=True, text=True).stdout.strip()
        self.assertEqual("subject=CN=Quarvel AG,O=Quarvel AG,L=Zug,ST=Zug,C=CH", openssl_form)
        self.assertEqual(name, publisher.windows_form(self.cert))

    def test_publisher_rewritten_in_windows_form(self):
        cases = [("CN=A,O=B", "CN=A, O=B"),
                 ("CN = A ; ST=Zug", "CN=A, S=Zug"),
                 ('O="Plain"', "O=Plain"),
                 ('O=""', 'O=""'),
                 ("OU=A+OU=B", "OU=A + OU=B"),
                 ("O=Lab #1", 'O="Lab #1"'),
                 ("O= Lab", "O=Lab")]
        for written, canonical in cases:
            with self.subTest(written=written):
                self.assertEqual(canonical, publisher.render(publisher.parse_windows(written)))
        for malformed in ["CN", 'CN="open']:
            with self.subTest(malformed=malformed):
                self.assertRaises(ValueError, publisher.parse_windows, malformed)

    # What configuring accepts as the manifest's publisher: one value per
    # name, which is all the manifest's publisher pattern admits.
    def test_publisher_of_several_values_in_one_name_is_refused(self):
        self.assertEqual("CN=A, OU=B, OU=C", publisher.publisher_form("CN=A,OU=B,OU=C"))
        for several in ["CN=A, OU=B + OU=C", "CN=A+O=B"]:
            with self.subTest(publisher=several):
                self.assertRaises(ValueError, publisher.publisher_form, several)

    # The family names of two well-known publishers, as Windows lists them.
    def test_family_name_as_windows_derives_it(self):
        for subject, family in [
                ("CN=Microsoft Corporation, O=Microsoft Corporation, L=Redmond, S=Washington, C=US",
                 "Calc_8wekyb3d8bbwe"),
                ("CN=Microsoft Windows, O=Microsoft Corporation, L=Redmond, S=Washington, C=US",
                 "Calc_cw5n1h2txyewy")]:
            with self.subTest(publisher=subject):
                self.assertEqual(family, publisher.family_name("Calc", subject))


if __name__ == "__main__":
    unittest.main()
