"""A PE image read as bytes, for either word size: the machine, the sections and the offsets
a signature leaves out. The tests' one PE reader in Python."""
import struct


class PeImage:
    def __init__(self, data):
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.machine, count = struct.unpack_from("<HH", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        wide = struct.unpack_from("<H", data, optional)[0] == 0x20B
        self.checksum_offset = optional + 64
        # The fifth data directory's entry: the certificate table's.
        self.certificate_entry = optional + (112 if wide else 96) + 8 * 4
        self.sections = []  # (name, rva, size in memory or on disk, file offset, size on disk)
        for i in range(count):
            s = optional + optional_size + 40 * i
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((data[s:s + 8].rstrip(b"\0").decode("ascii", "replace"),
                                  va, max(vsize, raw_size), raw, raw_size))

    def section(self, name):
        return next(s for s in self.sections if s[0] == name)
