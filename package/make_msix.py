#!/usr/bin/env python3
"""make_msix.py MANIFEST ICON OUT.msix: an unsigned package of the manifest,
logos drawn from the module's icon, the block map and the content types.
Signing (osslsigncode) adds AppxSignature.p7x afterwards.

The parts the block map lists are stored, not deflated: the map then names
each 64 KiB block by its hash alone, and the package stays byte-for-byte
reproducible (the signature aside)."""
import base64
import hashlib
import struct
import sys
import zipfile
import zlib

BLOCK = 64 * 1024


def largest_icon(path):
    """Rows (top first) of (r, g, b, a) of the largest image of a 32-bit ICO
    file, as the module's resources carry it."""
    data = open(path, "rb").read()
    _, _, count = struct.unpack_from("<HHH", data, 0)
    entries = [struct.unpack_from("<BBBBHHII", data, 6 + 16 * i) for i in range(count)]
    entry = max(entries, key=lambda e: e[0] or 256)
    size, offset = entry[0] or 256, entry[7]
    header = struct.unpack_from("<IiiHHIIiiII", data, offset)
    if header[4] != 32:
        raise SystemExit("make_msix: only 32-bit icons are read")
    pixels_at = offset + header[0]
    rows = []
    for y in range(size - 1, -1, -1):
        at = pixels_at + y * size * 4
        rows.append([(data[at + x + 2], data[at + x + 1], data[at + x], data[at + x + 3])
                     for x in range(0, size * 4, 4)])
    return rows


def png(rows, size):
    """The image resampled (bilinear, on premultiplied colour) to size x size,
    as RGBA PNG."""
    source = len(rows)

    def sample(x, y):
        r, g, b, a = rows[min(max(y, 0), source - 1)][min(max(x, 0), source - 1)]
        return (r * a, g * a, b * a, a)
    raw = b""
    for y in range(size):
        raw += b"\0"
        fy = (y + 0.5) * source / size - 0.5
        y0, wy = int(fy // 1), fy - fy // 1
        for x in range(size):
            fx = (x + 0.5) * source / size - 0.5
            x0, wx = int(fx // 1), fx - fx // 1
            mixed = [0.0] * 4
            for dy, ky in ((0, 1 - wy), (1, wy)):
                for dx, kx in ((0, 1 - wx), (1, wx)):
                    for i, value in enumerate(sample(x0 + dx, y0 + dy)):
                        mixed[i] += value * ky * kx
            alpha = mixed[3]
            colour = [round(mixed[i] / alpha) if alpha else 0 for i in range(3)]
            raw += bytes(colour + [round(alpha)])

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def block_map(parts, local_header_sizes):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<BlockMap xmlns="http://schemas.microsoft.com/appx/2010/blockmap" '
             'HashMethod="http://www.w3.org/2001/04/xmlenc#sha256">']
    for name, data in parts:
        lines.append('<File Name="%s" Size="%d" LfhSize="%d">' % (name.replace("/", "\\"), len(data),
                                                                    local_header_sizes[name]))
        for start in range(0, len(data), BLOCK):
            digest = hashlib.sha256(data[start:start + BLOCK]).digest()
            lines.append('<Block Hash="%s"/>' % base64.b64encode(digest).decode())
        lines.append("</File>")
    lines.append("</BlockMap>")
    return ("\r\n".join(lines) + "\r\n").encode()


CONTENT_TYPES = b"""<?xml version="1.0" encoding="UTF-8"?>\r
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">\
<Default Extension="png" ContentType="image/png"/>\
<Override PartName="/AppxManifest.xml" ContentType="application/vnd.ms-appx.manifest+xml"/>\
<Override PartName="/AppxBlockMap.xml" ContentType="application/vnd.ms-appx.blockmap+xml"/>\
</Types>\r
"""

# A fixed time stamp keeps the package the same from build to build.
STAMP = (2020, 1, 1, 0, 0, 0)


def entry(name, data, method=zipfile.ZIP_STORED):
    info = zipfile.ZipInfo(name, STAMP)
    info.compress_type = method
    info.create_system = 0
    return info, data


def main(manifest, icon, out):
    rows = largest_icon(icon)
    parts = [("AppxManifest.xml", open(manifest, "rb").read()),
             ("Assets/StoreLogo.png", png(rows, 50)),
             ("Assets/Square150x150Logo.png", png(rows, 150)),
             ("Assets/Square44x44Logo.png", png(rows, 44))]
    # The block map names each part's local header size: 30 bytes, the name
    # and no extra field, as zipfile writes a stored part.
    header_sizes = {name: 30 + len(name.encode()) for name, _ in parts}
    with zipfile.ZipFile(out, "w") as package:
        for name, data in parts:
            package.writestr(*entry(name, data))
        package.writestr(*entry("AppxBlockMap.xml", block_map(parts, header_sizes), zipfile.ZIP_DEFLATED))
        # osslsigncode rewrites this part deflated whatever its method was,
        # and a stored entry would then be read back wrong.
        package.writestr(*entry("[Content_Types].xml", CONTENT_TYPES, zipfile.ZIP_DEFLATED))
    with zipfile.ZipFile(out) as package:
        for info in package.infolist():
            if info.extra or (info.filename in header_sizes and info.compress_type != zipfile.ZIP_STORED):
                raise SystemExit("make_msix: unexpected layout of " + info.filename)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    main(*sys.argv[1:])
