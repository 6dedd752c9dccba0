"""Screenshots of an X display (Xvfb) as PNG files, with the standard library
only: `xwd -root` writes the screen, this turns its 24/32-bit ZPixmap into PNG
and finds pixels of a colour."""
import struct
import subprocess
import zlib


class Image:
    def __init__(self, width, height, rows):
        self.width, self.height, self.rows = width, height, rows  # rows: list of bytes, RGB

    def pixel(self, x, y):
        r = self.rows[y]
        return tuple(r[3 * x:3 * x + 3])

    def find(self, colour, tolerance=8):
        """The bounding box (x0, y0, x1, y1) of the pixels near colour, or None."""
        box = None
        for y in range(self.height):
            row = self.rows[y]
            for x in range(self.width):
                p = row[3 * x:3 * x + 3]
                if all(abs(p[i] - colour[i]) <= tolerance for i in range(3)):
                    if box is None:
                        box = [x, y, x, y]
                    else:
                        box = [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
        return tuple(box) if box else None

    def save_png(self, path):
        raw = b"".join(b"\0" + row for row in self.rows)

        def chunk(kind, data):
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff)

        with open(path, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", self.width, self.height, 8, 2, 0, 0, 0))
                    + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def parse_xwd(data):
    fields = struct.unpack(">25I", data[:100])
    header_size, _version, fmt, _depth, width, height = fields[:6]
    byte_order, bpp, bytes_per_line, ncolors = fields[7], fields[11], fields[12], fields[19]
    if fmt != 2 or bpp not in (24, 32):
        raise ValueError("unsupported XWD image (format %d, %d bits)" % (fmt, bpp))
    offset = header_size + 12 * ncolors
    step = bpp // 8
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * step]
        out = bytearray(3 * width)
        for x in range(width):
            p = line[x * step:(x + 1) * step]
            if byte_order == 0:  # least significant byte first: B G R
                out[3 * x:3 * x + 3] = bytes((p[2], p[1], p[0]))
            else:
                out[3 * x:3 * x + 3] = p[-3:]
        rows.append(bytes(out))
    return Image(width, height, rows)


def grab(display):
    """The whole screen of display."""
    xwd = subprocess.run(["xwd", "-root", "-silent", "-display", display], capture_output=True, check=True).stdout
    return parse_xwd(xwd)
