#!/usr/bin/python3
"""The stub image read back with an independent PE reader (Debian's python3-pefile).
The same for its x86-64 stand-in (build/win64), a PE32+ image.

  pe_read_back.py check IMAGE REBASED   what the image asks of the loader, and its base
                                        relocations applied by pefile must turn it into
                                        REBASED, the same objects linked at another base
  pe_read_back.py rebase IMAGE OUT BASE a copy moved to another preferred base by pefile
                                        (for the Wine scenario that installs with it)
"""
import os
import sys

import pefile

DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0040, 0x0100, 0x0400
SEARCH_SYSTEM32 = 0x0800
LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]


def check(image_path, rebased_path):
    image, rebased = pefile.PE(image_path), pefile.PE(rebased_path)
    faults = []
    flags = image.OPTIONAL_HEADER.DllCharacteristics
    if flags & (DYNAMIC_BASE | NX_COMPAT | NO_SEH) != DYNAMIC_BASE | NX_COMPAT | NO_SEH:
        faults.append(f"DllCharacteristics {flags:#06x} lack DYNAMIC_BASE, NX_COMPAT or NO_SEH")
    config = getattr(image, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    entry = image.OPTIONAL_HEADER.DATA_DIRECTORY[LOAD_CONFIG].Size
    if image.FILE_HEADER.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
        if entry != 64:
            faults.append("the load configuration entry is not 64 bytes, as Windows XP requires of x86 images")
    elif not config or entry != config.struct.Size:
        faults.append(f"the load configuration entry of {entry} bytes is not the structure's size")
    # Older pefile releases call the field by its former name, Reserved1.
    dependent = getattr(config.struct, "DependentLoadFlags", getattr(config.struct, "Reserved1", None)) if config else None
    if dependent != SEARCH_SYSTEM32:
        faults.append(f"dependent-load flags {dependent!r}, not LOAD_LIBRARY_SEARCH_SYSTEM32")
    relocations = sum(len(block.entries) for block in getattr(image, "DIRECTORY_ENTRY_BASERELOC", []))
    if relocations == 0:
        faults.append("no base relocations")

    # The images differ wherever the link wrote an address; once pefile has applied the
    # relocations, in nothing: no address is left without a relocation, and no relocation
    # moves anything else.
    before = sum(a.get_data() != b.get_data() for a, b in zip(image.sections, rebased.sections))
    image.relocate_image(rebased.OPTIONAL_HEADER.ImageBase)
    after = [a.Name.rstrip(b"\0").decode() for a, b in zip(image.sections, rebased.sections)
             if a.get_data() != b.get_data()]
    if len(image.sections) != len(rebased.sections) or before == 0:
        faults.append("the image linked at another base does not differ from the image")
    if after:
        faults.append("sections that differ from the image linked at another base: " + ", ".join(after))
    print(f"{relocations} base relocations, {before} sections move with the base")
    for fault in faults:
        print("FAULT:", fault)
    return 1 if faults else 0


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
        if not os.path.exists(sys.argv[2]):
            print(f"no stub built at {sys.argv[2]}")
            sys.exit(77)   # skipped, like the other image tests without a Windows tree
        sys.exit(check(sys.argv[2], sys.argv[3]))
    if len(sys.argv) == 5 and sys.argv[1] == "rebase":
        sys.exit(rebase(sys.argv[2], sys.argv[3], int(sys.argv[4], 0)))
    sys.exit(__doc__)
