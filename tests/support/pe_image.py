"""A PE image read as bytes, for either word size: the machine, the sections, the offsets
a signature leaves out, and resources by number. The tests' one PE reader in Python."""
import struct


class PeImage:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        self.machine, count = struct.unpack_from("<HH", data, pe + 4)
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        optional = pe + 24
        wide = struct.unpack_from("<H", data, optional)[0] == 0x20B
        self.checksum_offset = optional + 64
        self.directories_offset = optional + (112 if wide else 96)
        self.sections = []  # (name, rva, size in memory or on disk, file offset, size on disk)
        for i in range(count):
            s = optional + optional_size + 40 * i
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((data[s:s + 8].rstrip(b"\0").decode("ascii", "replace"),
                                  va, max(vsize, raw_size), raw, raw_size))

    @classmethod
    def read(cls, path):
        with open(path, "rb") as f:
            return cls(f.read())

    def directory_offset(self, index):
        """File offset of data directory `index` (4: the certificate table)."""
        return self.directories_offset + 8 * index

    def section(self, name):
        return next(s for s in self.sections if s[0] == name)

    def offset(self, rva):
        for _, va, size, raw, _ in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise LookupError("RVA %x outside the image" % rva)

    def resource(self, type_id, name_id):
        """The bytes of resource type_id/name_id (first language); LookupError if absent."""
        base = self.offset(struct.unpack_from("<I", self.data, self.directory_offset(2))[0])

        def find(directory, ident):
            named, ids = struct.unpack_from("<HH", self.data, base + directory + 12)
            for i in range(named + ids):
                entry_id, target = struct.unpack_from("<II", self.data, base + directory + 16 + 8 * i)
                if ident is None or entry_id == ident:
                    return target & 0x7FFFFFFF
            raise LookupError("resource %r/%r not in the image" % (type_id, name_id))

        leaf = find(find(find(0, type_id), name_id), None)
        data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
        start = self.offset(data_rva)
        return self.data[start:start + size]
