#!/usr/bin/python3
"""The stub image, or its x86-64 stand-in (build/win64, PE32+), read back with an
independent PE reader (Debian's python3-pefile).

  pe_read_back.py check IMAGE REBASED   its layout, what it asks of the loader, its MS-DOS
      program (dosbox), varnex-mkimage beside it refusing damaged links; and its base
      relocations applied by pefile turn it into REBASED, the objects linked at another base
  pe_read_back.py rebase IMAGE OUT BASE a copy moved to another base by pefile (for the
      Wine scenario that installs with it)
  pe_read_back.py branded IMAGE STUB ICO|- KEY=VALUE...   a self-extractor branded by
      varnex-pack (tests/pack) compared with the stub it came from, the .ico given to --icon
      and the --version-info keys; prints the fixed version fields and the manifest's
      requested execution level it saw
"""
import os
import re
import struct
import subprocess
import sys
import tempfile

import pefile

DYNAMIC_BASE, NX_COMPAT, NO_SEH, HIGH_ENTROPY_VA = 0x0040, 0x0100, 0x0400, 0x0020
SEARCH_SYSTEM32 = 0x0800
EXPORT, IMPORT, RESOURCE, SECURITY, BASERELOC, LOAD_CONFIG, IAT = 0, 1, 2, 4, 5, 10, 12
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
SYSTEM_DLLS = {b"kernel32.dll", b"user32.dll", b"gdi32.dll", b"comdlg32.dll", b"shell32.dll"}
DOS_MESSAGE = "このプログラムは Windows 32ﾋﾞｯﾄ版の LZH 自己解凍書庫です.\r\nMS-DOS モードでは実行できません．\r\n"
faults = []


def expect(ok, fault):
    if not ok:
        faults.append(fault)


def report():
    for fault in faults:
        print("FAULT:", fault)
    return 1 if faults else 0


# The linker's output that the image was laid out from, beside it in link/ (the tree
# builds both): without it nothing here could be compared, which is a fault, not a pass.
def linked_stub(path):
    linked = os.path.join(os.path.dirname(os.path.abspath(path)), "link", os.path.basename(path))
    if not os.path.exists(linked):
        sys.exit(f"no linked stub at {linked}: the tree builds it beside the image")
    return linked


def layout(path, pe, data):
    header, optional, directory = pe.FILE_HEADER, pe.OPTIONAL_HEADER, pe.OPTIONAL_HEADER.DATA_DIRECTORY
    plus = optional.Magic == 0x20B
    # The configuration block and the gaps around it are left empty for the builder.
    expect(pe.DOS_HEADER.e_lfanew == 0x4D0 and not any(data[46:60] + data[64:1120]), "configuration block not empty")
    expect((header.Machine, optional.Magic) in ((0x14C, 0x10B), (0x8664, 0x20B)), "neither PE32 for i386 nor PE32+")
    expect(optional.Subsystem == 2 and header.TimeDateStamp == 0, "not a GUI image with time stamp 0 (reproducible)")
    # Every section's data lies behind the headers, aligned, without overlapping another,
    # and as linked. An archive appended to the
    # stub must follow the last section.
    align, end = optional.FileAlignment, optional.SizeOfHeaders
    expect(end % align == 0 and end >= pe.sections[-1].get_file_offset() + 40, "headers overlap their end")
    linked = pefile.PE(linked_stub(path), fast_load=True).sections
    for s in [s for s in pe.sections if s.SizeOfRawData]:
        expect(s.PointerToRawData % align == 0 and s.PointerToRawData >= end, f"{s.Name} misplaced")
        end = s.PointerToRawData + s.SizeOfRawData
        expect(all(t.get_data() == s.get_data() for t in linked if t.VirtualAddress == s.VirtualAddress),
               f"{s.Name} moved wrongly from the linked file")
    expect(end == len(data), "the last section does not end the file")
    # Every self-extractor carries the stub: 28 KiB is its budget, 26 KiB for size and
    # 2 KiB bought for speed (docs/image-layout.md).
    expect(plus or len(data) <= 28672, f"{len(data)} bytes, over the budget")
    expect(optional.CheckSum in (0, pe.generate_checksum()), "the checksum does not match the file")
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    expect(exports and exports.name == b"Varnex32.exe" and not exports.struct.NumberOfFunctions
           and not exports.struct.NumberOfNames, "the export directory does not only name the module")

    # No C or C++ runtime: imports by name from the system's own libraries. Our link layout
    # places the tables and the directory entries are written after linking, so what a
    # loader walks is checked too: lookup and address tables list the same functions, and
    # the address-table entry covers them all, so the loader can make them writable inside
    # the read-only code section while it binds them.
    width, read = (8, pe.get_qword_at_rva) if plus else (4, pe.get_dword_at_rva)
    iat, imports = directory[IAT], getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])
    expect(directory[IMPORT].Size % 20 == 0, "the import entry is not whole descriptors")
    for d in imports:
        expect(d.dll.lower() in SYSTEM_DLLS and d.struct.OriginalFirstThunk, f"imports {d.dll} or has no lookup table")
        expect(all(not f.import_by_ordinal and len(f.name) > 2 for f in d.imports), f"{d.dll}: an import not by name")
        for i in range(len(d.imports) + 1):   # the closing zero too
            lookup, address = d.struct.OriginalFirstThunk + width * i, d.struct.FirstThunk + width * i
            expect(read(lookup) == read(address), f"{d.dll} entry {i}: lookup and address tables differ")
            expect(iat.VirtualAddress <= address <= iat.VirtualAddress + iat.Size - width, f"{d.dll} entry {i} outside the IAT")
    expect(len(imports) >= 3 and sum(len(d.imports) for d in imports) >= 20, "imports missing")
    code = [s for s in pe.sections if s.IMAGE_SCN_MEM_EXECUTE]
    expect(not any(s.IMAGE_SCN_MEM_WRITE for s in code), "writable code")
    expect(any(s.contains_rva(optional.AddressOfEntryPoint) for s in code), "the entry point is not in the code")

    # Nothing asked of the loader beyond these flags, no address in the load configuration
    # (it would need a relocation; a security cookie would even be written into read-only
    # code), and the relocations before the resources, which stay the last section for
    # builders that rebuild them.
    expect(not header.Characteristics & 1, "relocations marked as stripped")
    flags = DYNAMIC_BASE | NX_COMPAT | NO_SEH | (HIGH_ENTROPY_VA if plus else 0)
    expect(optional.DllCharacteristics == flags, f"DllCharacteristics {optional.DllCharacteristics:#06x}, not {flags:#06x}")
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    expect(config and config.struct.Size >= 72 and not any(getattr(config.struct, f) for f in (
        "LockPrefixTable", "EditList", "SecurityCookie", "SEHandlerTable", "SEHandlerCount")),
        "a load configuration too short for the dependent-load flags, or with an address")
    # The entry is 64 bytes for x86 images, as Windows XP requires; else the structure's size.
    # Older pefile releases call the dependent-load flags by their former name, Reserved1.
    entry = directory[LOAD_CONFIG].Size
    expect(entry == (config.struct.Size if plus else 64), f"a load configuration entry of {entry} bytes")
    dependent = getattr(config.struct, "DependentLoadFlags", getattr(config.struct, "Reserved1", None))
    expect(dependent == SEARCH_SYSTEM32, f"dependent-load flags {dependent!r}, not LOAD_LIBRARY_SEARCH_SYSTEM32")
    rsrc, reloc = pe.sections[-1], pe.sections[-2]
    expect(rsrc.Name == b".rsrc\0\0\0" and directory[RESOURCE].VirtualAddress == rsrc.VirtualAddress
           and reloc.Name == b".reloc\0\0" and directory[BASERELOC].VirtualAddress == reloc.VirtualAddress
           and directory[BASERELOC].Size <= reloc.Misc_VirtualSize, "not the relocations, then the resources last")


# varnex-mkimage beside the image refuses a linked stub that would make a broken image:
# each row damages one thing in link/Varnex32.exe; the undamaged file gives the image again.
def refusals(path, pe, data):
    tool = os.path.join(os.path.dirname(os.path.abspath(path)), "varnex-mkimage")
    if not os.path.exists(tool):
        sys.exit(f"no {tool}: the tree builds it beside the image")
    linked = pefile.PE(linked_stub(path), fast_load=True)
    plus = linked.OPTIONAL_HEADER.Magic == 0x20B
    new, directories = linked.DOS_HEADER.e_lfanew, linked.OPTIONAL_HEADER.get_file_offset() + (112 if plus else 96)
    relocs = linked.get_offset_from_rva(linked.OPTIONAL_HEADER.DATA_DIRECTORY[BASERELOC].VirtualAddress)
    config = linked.get_offset_from_rva(pe.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG].VirtualAddress)

    def put(fmt, at, value, keep=0):   # keep: the bits of the old value to keep
        return lambda b: struct.pack_into(fmt, b, at, value | struct.unpack_from(fmt, b, at)[0] & keep)

    def lose(symbol):   # a symbol of the linked file no longer found by its name
        return lambda b: b.__setitem__(b.index(symbol + b"\0"), ord("Y"))
    rows = [
        ("", lambda b: None),
        # The other format's relocation type (DIR64 in the stub, HIGHLOW in the stand-in)
        # and its load configuration's size (too short for the dependent-load flags).
        ("other than 64-bit" if plus else "other than 32-bit", put("<H", relocs + 8, (3 if plus else 10) << 12, 0xFFF)),
        ("malformed base relocation block", put("<I", relocs + 4, 0xFFF0)),
        ("outside the sections' data", put("<I", relocs, 0)),
        ("marked as stripped", put("<H", new + 22, 1, 0xFFFF)),
        ("DYNAMIC_BASE without base relocations", put("<I", directories + 8 * BASERELOC, 0)),
        ("malformed load configuration", put("<I", config, 72 if plus else 60)),
        ("no load configuration", lose(b"VarnexLoadConfig")),
        ("no import directory", lose(b"VarnexImportDirectory")),
        ("no export directory", lose(b"VarnexExportDirectory")),
        ("after the resources", put("<I", directories + 8 * RESOURCE, linked.sections[0].VirtualAddress)),
        ("neither a PE32 image for i386 nor a PE32+", put("<H", new + 4, 0x14C if plus else 0x8664)),
    ]
    with tempfile.TemporaryDirectory() as work:
        source, out = os.path.join(work, "in.exe"), os.path.join(work, "out.exe")
        for error, damage in rows:
            damaged = bytearray(linked.__data__)
            damage(damaged)
            open(source, "wb").write(damaged)
            run = subprocess.run([tool, source, out], capture_output=True, text=True)
            said = f"varnex-mkimage, link damaged for '{error}': {run.returncode} {run.stderr!r}"
            expect(run.returncode != 0 and error in run.stderr if error else
                   run.returncode == 0 and open(out, "rb").read() == data, said)


# The MS-DOS program run by dosbox (no window needed): its two lines and return code 1.
def dos_program(data):
    with tempfile.TemporaryDirectory() as d:
        open(os.path.join(d, "STUB.EXE"), "wb").write(data)
        open(os.path.join(d, "RUN.BAT"), "wb").write(
            b"@echo off\r\nSTUB.EXE > OUT.TXT\r\nif errorlevel 2 goto more\r\nif errorlevel 1 goto one\r\n"
            b"echo 0 > RC.TXT\r\ngoto end\r\n:more\r\necho 2 > RC.TXT\r\ngoto end\r\n:one\r\necho 1 > RC.TXT\r\n:end\r\nexit\r\n")
        env = dict(os.environ, HOME=d, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
        subprocess.run(["dosbox", "-noconsole", "-c", f"mount c {d}", "-c", "c:", "-c", "RUN.BAT"], cwd=d, env=env,
                       timeout=60, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        said = [open(os.path.join(d, n), "rb").read() if os.path.exists(os.path.join(d, n)) else b"" for n in ("OUT.TXT", "RC.TXT")]
    expect(said[0] == DOS_MESSAGE.encode("cp932") and said[1][:1] == b"1", f"the MS-DOS program printed {said}")


def check(image_path, rebased_path):
    image, rebased = pefile.PE(image_path), pefile.PE(rebased_path)
    data = open(image_path, "rb").read()
    layout(image_path, image, data)
    refusals(image_path, image, data)
    dos_program(data)
    relocations = sum(len(block.entries) for block in getattr(image, "DIRECTORY_ENTRY_BASERELOC", []))
    expect(relocations, "no base relocations")

    # The images differ wherever the link wrote an address; once pefile has applied the
    # relocations, in nothing: no address is left without a relocation, and no relocation
    # moves anything else.
    before = sum(a.get_data() != b.get_data() for a, b in zip(image.sections, rebased.sections))
    image.relocate_image(rebased.OPTIONAL_HEADER.ImageBase)
    after = [a.Name.rstrip(b"\0").decode() for a, b in zip(image.sections, rebased.sections)
             if a.get_data() != b.get_data()]
    expect(len(image.sections) == len(rebased.sections) and before, "the image linked at another base does not differ")
    expect(not after, "sections that differ from the image linked at another base: " + ", ".join(after))
    print(f"{relocations} base relocations, {before} sections move with the base")
    return report()


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


# A branded image (--icon, --version-info) against the stub it came from, the .ico and the
# keys: only the resource section and the header fields that follow it may differ.
def branded(image_path, stub_path, ico_path, keys):
    image, stub = open(image_path, "rb").read(), open(stub_path, "rb").read()
    p, s = pefile.PE(data=image), pefile.PE(data=stub)
    oh, soh = p.OPTIONAL_HEADER, s.OPTIONAL_HEADER
    align = lambda v, a: (v + a - 1) // a * a
    rs, srs = p.sections[-1], s.sections[-1]
    rdir = oh.DATA_DIRECTORY[RESOURCE]
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
    security = oh.DATA_DIRECTORY[SECURITY]
    if security.Size:
        changed |= {security.get_field_absolute_offset("VirtualAddress"), security.get_field_absolute_offset("Size")}
    changed = {o + i for o in changed for i in range(4)} | set(range(512, 512 + 603))
    diff = [i for i in range(rs.PointerToRawData) if i not in changed and image[i] != stub[i]]
    expect(not diff, "bytes outside the resource section changed, first at %s" % diff[:1])

    got, had = resources(p), resources(s)
    # The manifest may differ from the stub's in its requested execution level alone.
    level = re.compile(rb'level="(\w+)"')
    manifest = got.get((RT_MANIFEST, 1, 0), b"")
    expect(level.sub(b'level="asInvoker"', manifest, 1) == had.get((RT_MANIFEST, 1, 0)), "the manifest changed")
    print("manifest level=%s" % (level.search(manifest).group(1).decode() if level.search(manifest) else "-"))
    replaced = {RT_VERSION, RT_MANIFEST} | ({RT_ICON, RT_GROUP_ICON} if ico_path != "-" else set())
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
    else:
        expect(not any(k[0] == RT_VERSION for k in got), "a version resource without version information")
    # The fixed fields of whatever version resource the image has.
    for f in getattr(p, "VS_FIXEDFILEINFO", [])[:1]:
        part = lambda ms, ls: "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        print("fixed file=%s product=%s" % (part(f.FileVersionMS, f.FileVersionLS), part(f.ProductVersionMS, f.ProductVersionLS)))
    return report()


def rebase(image_path, out_path, base):
    # Only the headers and the relocations are parsed: pefile writes back every structure
    # it parsed, and its import thunks would come back changed by the move.
    image = pefile.PE(image_path, fast_load=True)
    image.relocate_image(base)
    moved = pefile.PE(data=image.write())
    moved.OPTIONAL_HEADER.CheckSum = moved.generate_checksum()
    moved.write(out_path)
    return 0


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "check":
        sys.exit(check(sys.argv[2], sys.argv[3]))
    if len(sys.argv) == 5 and sys.argv[1] == "rebase":
        sys.exit(rebase(sys.argv[2], sys.argv[3], int(sys.argv[4], 0)))
    if len(sys.argv) >= 5 and sys.argv[1] == "branded":
        sys.exit(branded(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]))
    sys.exit(__doc__)
