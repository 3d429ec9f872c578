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
    """Width, palette and colour rows (top first) of the largest image of an
    8-bit ICO file, and its transparency mask."""
    data = open(path, "rb").read()
    _, _, count = struct.unpack_from("<HHH", data, 0)
    entries = [struct.unpack_from("<BBBBHHII", data, 6 + 16 * i) for i in range(count)]
    entry = max(entries, key=lambda e: e[0] or 256)
    size, offset = entry[0] or 256, entry[7]
    header = struct.unpack_from("<IiiHHIIiiII", data, offset)
    if header[4] != 8:
        raise SystemExit("make_msix: only 8-bit icons are read")
    palette_at = offset + header[0]
    palette = [struct.unpack_from("<BBBB", data, palette_at + 4 * i)[:3][::-1] for i in range(256)]
    stride = (size + 3) & ~3
    pixels_at = palette_at + 1024
    mask_stride = ((size + 31) // 32) * 4
    mask_at = pixels_at + stride * size
    rows = []
    for y in range(size - 1, -1, -1):
        row = []
        for x in range(size):
            index = data[pixels_at + y * stride + x]
            masked = data[mask_at + y * mask_stride + x // 8] & (0x80 >> (x % 8))
            row.append((0, 0, 0, 0) if masked else palette[index] + (255,))
        rows.append(row)
    return rows


def png(rows, size):
    """The image scaled (nearest pixel) to size x size, centred, as RGBA PNG."""
    source = len(rows)
    raw = b""
    for y in range(size):
        raw += b"\0"
        for x in range(size):
            raw += bytes(rows[y * source // size][x * source // size])

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
