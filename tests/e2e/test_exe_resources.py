#!/usr/bin/env python3
"""quillcast.exe carries its version information, its icon and its manifest.

Reads the PE resource directory of the built program itself (no Windows needed):
    QC_BIN=build/win/quillcast.exe QC_VERSION=1.0.0 python3 tests/e2e/test_exe_resources.py
"""
import os
import struct
import sys
import unittest
import xml.etree.ElementTree as ET

RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24


def read_resources(path):
    """Returns {type: {id: bytes}} from the PE file's resource section."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0", "not a PE file"
    sections = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", data, directories + 2 * 8)
    assert rsrc_rva and rsrc_size, "no resource directory"
    table = optional + optional_size
    for i in range(sections):
        name, vsize, va, raw_size, raw_ptr = struct.unpack_from("<8sIIII", data, table + 40 * i)
        if va <= rsrc_rva < va + max(vsize, raw_size):
            base = raw_ptr + (rsrc_rva - va)
            delta = va - raw_ptr
            break
    else:
        raise AssertionError("resource section not found")

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for k in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + 8 * k)
            yield name, target

    result = {}
    for type_id, type_target in entries(0):
        assert type_target & 0x80000000
        for res_id, res_target in entries(type_target & 0x7FFFFFFF):
            for _lang, leaf in entries(res_target & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                result.setdefault(type_id, {})[res_id] = data[rva - delta:rva - delta + size]
    return result


def version_strings(blob):
    """The StringFileInfo values of a VS_VERSIONINFO block, and the fixed file version."""
    def parse(offset):
        length, value_length, kind = struct.unpack_from("<HHH", blob, offset)
        key_end = offset + 6
        while blob[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = blob[offset + 6:key_end].decode("utf-16-le")
        value_start = (key_end + 2 + 3) & ~3
        value_bytes = value_length * 2 if kind == 1 else value_length
        value = blob[value_start:value_start + value_bytes]
        children = []
        child = (value_start + value_bytes + 3) & ~3
        while child < offset + length:
            node = parse(child)
            children.append(node)
            child = (child + node[3] + 3) & ~3
        return key, value, children, length

    root = parse(0)
    assert root[0] == "VS_VERSION_INFO"
    fixed = root[1]
    signature, _struct_version, ms, ls = struct.unpack_from("<IIII", fixed, 0)
    assert signature == 0xFEEF04BD
    file_version = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    strings = {}
    for child in root[2]:
        if child[0] == "StringFileInfo":
            for table in child[2]:
                for key, value, _c, _l in table[2]:
                    strings[key] = value.decode("utf-16-le").rstrip("\0")
    return file_version, strings


class ExeResources(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.version = os.environ["QC_VERSION"]
        cls.resources = read_resources(os.environ["QC_BIN"])

    def test_version_information(self):
        self.assertIn(RT_VERSION, self.resources)
        file_version, strings = version_strings(self.resources[RT_VERSION][1])
        major, minor, patch = (int(x) for x in self.version.split("."))
        self.assertEqual(file_version, (major, minor, patch, 0))
        self.assertEqual(strings["ProductName"], "Quillcast")
        self.assertEqual(strings["FileDescription"], "Quillcast file-sharing server")
        self.assertEqual(strings["FileVersion"], self.version)
        self.assertEqual(strings["ProductVersion"], self.version)
        self.assertEqual(strings["OriginalFilename"], "quillcast.exe")
        self.assertIn("Quillcast developers", strings["LegalCopyright"])

    def test_icon_in_the_usual_sizes(self):
        groups = self.resources.get(RT_GROUP_ICON, {})
        self.assertEqual(len(groups), 1)
        group = next(iter(groups.values()))
        _reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual(kind, 1)
        sizes = set()
        for i in range(count):
            width, height, _c, _r, _planes, bits, size, icon_id = struct.unpack_from(
                "<BBBBHHIH", group, 6 + 14 * i)
            self.assertEqual(bits, 32)
            image = self.resources[RT_ICON][icon_id]
            self.assertEqual(len(image), size)
            # Small sizes as DIBs, the large one as PNG.
            if width == 0:
                self.assertTrue(image.startswith(b"\x89PNG"))
            else:
                self.assertEqual(struct.unpack_from("<Iii", image, 0), (40, width, 2 * height))
            sizes.add(width or 256)
        self.assertTrue({16, 24, 32, 48, 256} <= sizes, sizes)

    def test_manifest(self):
        manifests = self.resources.get(RT_MANIFEST, {})
        self.assertEqual(list(manifests), [1], "exactly one application manifest")
        root = ET.fromstring(manifests[1])
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1"}
        level = root.find(".//v3:requestedExecutionLevel", ns)
        self.assertEqual(level.get("level"), "asInvoker")
        supported = {e.get("Id").lower() for e in root.findall(".//c:supportedOS", ns)}
        self.assertIn("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", supported)  # 10 and 11
        self.assertIn("{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", supported)  # 7
        identity = root.find("v1:assemblyIdentity", ns)
        self.assertEqual(identity.get("version"), self.version + ".0")


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
