#!/usr/bin/python3
"""Independent reader of branded self-extractors for the tests, over Debian's pefile.

    pe_check.py check IMAGE STUB ICO|- KEY=VALUE...
        reads IMAGE back and compares it with the stub it came from, the .ico given to
        --icon and the --version-info keys; prints one line per mismatch and exits 1
        when there is one, else prints what it saw of the fixed version fields
"""
import struct
import sys

RT_ICON, RT_GROUP_ICON, RT_VERSION = 3, 14, 16


def ico_images(path):
    data = open(path, "rb").read()
    count = struct.unpack_from("<H", data, 4)[0]
    out = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, at = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        out.append(((w, h, colours, planes, bits, size), data[at:at + size]))
    return out


def resources(pe):
    out = {}
    for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                key = (t.id if t.name is None else str(t.name), n.id if n.name is None else str(n.name), lang.id)
                out[key] = pe.get_data(d.OffsetToData, d.Size)
    return out


def check(image_path, stub_path, ico_path, keys):
    import pefile
    fails = []

    def expect(ok, what):
        if not ok:
            fails.append(what)
    image, stub = open(image_path, "rb").read(), open(stub_path, "rb").read()
    p, s = pefile.PE(data=image), pefile.PE(data=stub)
    oh, soh = p.OPTIONAL_HEADER, s.OPTIONAL_HEADER
    align = lambda v, a: (v + a - 1) // a * a
    rs, srs = p.sections[-1], s.sections[-1]
    rdir = oh.DATA_DIRECTORY[2]
    expect(rs.Name.rstrip(b"\0") == b".rsrc" and rs.VirtualAddress == srs.VirtualAddress, "the resource section moved")
    expect(rdir.VirtualAddress == rs.VirtualAddress and rdir.Size == rs.Misc_VirtualSize, "resource directory entry")
    expect(rs.SizeOfRawData == align(rs.Misc_VirtualSize, oh.FileAlignment), "SizeOfRawData")
    expect(oh.SizeOfImage == align(rs.VirtualAddress + rs.Misc_VirtualSize, oh.SectionAlignment), "SizeOfImage")
    expect(oh.SizeOfInitializedData == soh.SizeOfInitializedData - srs.SizeOfRawData + rs.SizeOfRawData,
           "SizeOfInitializedData")
    # Headers only: pefile computes the checksum over what it would write back, and
    # writing back a parsed version resource is not always faithful.
    checksum = pefile.PE(data=image, fast_load=True).generate_checksum()
    expect(oh.CheckSum == checksum, "checksum %#x, pefile computes %#x" % (oh.CheckSum, checksum))
    stub_end = rs.PointerToRawData + rs.SizeOfRawData
    expect(struct.unpack_from("<I", image, 512)[0] == stub_end, "ArchiveOffset is not the end of the rebuilt stub")

    # Every byte before the resource section is the stub's, but for the fields that follow it.
    changed = {oh.get_field_absolute_offset("CheckSum"), oh.get_field_absolute_offset("SizeOfImage"),
               oh.get_field_absolute_offset("SizeOfInitializedData"), rdir.get_field_absolute_offset("Size"),
               rs.get_field_absolute_offset("Misc_VirtualSize"), rs.get_field_absolute_offset("SizeOfRawData")}
    security = oh.DATA_DIRECTORY[4]
    if security.Size:
        changed |= {security.get_field_absolute_offset("VirtualAddress"), security.get_field_absolute_offset("Size")}
    changed = {o + i for o in changed for i in range(4)} | set(range(512, 512 + 603))
    diff = [i for i in range(rs.PointerToRawData) if i not in changed and image[i] != stub[i]]
    expect(not diff, "bytes outside the resource section changed, first at %s" % diff[:1])

    got, had = resources(p), resources(s)
    replaced = {RT_VERSION} | ({RT_ICON, RT_GROUP_ICON} if ico_path != "-" else set())
    for key, data in had.items():
        if key[0] not in replaced:
            expect(got.get(key) == data, "resource %s/%s/%s changed" % key)
    expect({k for k in got if k[0] not in replaced} == {k for k in had if k[0] not in replaced}, "resources added or lost")
    if ico_path != "-":
        want = ico_images(ico_path)
        group = got.get((RT_GROUP_ICON, "IDI_ICON1", 0), b"")
        entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i) for i in range(struct.unpack_from("<H", group, 4)[0])]
        expect(len(entries) == len(want), "the group lists %d images, the .ico has %d" % (len(entries), len(want)))
        for entry, (fields, data) in zip(entries, want):
            expect(entry[:2] == fields[:2] and entry[6] == fields[5], "group entry %s" % (entry,))
            expect(got.get((RT_ICON, entry[7], 0)) == data, "icon %d differs from the .ico's image" % entry[7])

    if keys:
        expect(list(k for k in got if k[0] == RT_VERSION) == [(RT_VERSION, 1, 0)], "version resource 1, neutral")
        strings, translation = {}, None
        expect((p.VS_VERSIONINFO[0].Type, p.VS_VERSIONINFO[0].ValueLength) == (0, 52), "VS_VERSION_INFO node")
        for info in p.FileInfo[0]:
            expect(info.Type == 1, "%s is not a text node" % info.name)
            for table in getattr(info, "StringTable", []):
                expect(table.LangID == b"000004B0" and table.Type == 1, "string table %r" % table.LangID)
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
            for var in getattr(info, "Var", []):
                translation = var.entry.get(b"Translation")
        expect(strings == dict(k.split("=", 1) for k in keys), "strings %r" % strings)
        expect(translation == "0x0000 0x04b0", "translation %r" % translation)
        f = p.VS_FIXEDFILEINFO[0]
        part = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        print("fixed file=%s product=%s" % (part(f.FileVersionMS, f.FileVersionLS), part(f.ProductVersionMS, f.ProductVersionLS)))
    for f in fails:
        print("MISMATCH " + f)
    return 1 if fails else 0


if __name__ == "__main__":
    sys.exit(check(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]))
