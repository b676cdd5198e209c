#!/usr/bin/env python3
"""Checks the built executables as files: PE for the build's machine (32-bit
x86 for what ships, x64 for the twins), the right subsystem, imports from
Windows' own DLLs only, no debug information or time stamp, and the expected
resources (manifest language and contents, icon, version block).

Usage: binary_conformance.py [--machine i686|x64] NAME=PATH:SUBSYSTEM[:icon,version,-DLL] ...
"-DLL" says the program must not import DLL at start-up (it loads it when needed).
"""
import struct
import sys

# DLLs that ship with every Windows; anything else (libstdc++, libgcc,
# winpthread) would have to be installed beside the programs.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "comctl32.dll", "shell32.dll",
                "gdi32.dll", "msvcrt.dll", "version.dll", "ole32.dll"}
SUBSYSTEMS = {"gui": 2, "console": 3}
RT_ICON, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 14, 16, 24
# machine field, optional header magic, whether the 32-bit machine flag is set
MACHINES = {"i686": (0x14C, 0x10B, True), "x64": (0x8664, 0x20B, False)}


class PE:
    def __init__(self, data):
        self.data = data
        (self.pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[:2] != b"MZ" or data[self.pe_offset:self.pe_offset + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        coff = self.pe_offset + 4
        (self.machine, nsections, self.timestamp, self.symtab, self.nsymbols, opt_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, coff)
        opt = coff + 20
        (self.magic,) = struct.unpack_from("<H", data, opt)
        (self.subsystem,) = struct.unpack_from("<H", data, opt + 68)
        # PE32+ widens four sizes before the data directories by 4 bytes each.
        dirs_at = opt + (96 if self.magic == 0x10B else 112)
        (ndirs,) = struct.unpack_from("<I", data, dirs_at - 4)
        self.dirs = [struct.unpack_from("<II", data, dirs_at + 8 * i) for i in range(ndirs)]
        self.sections = []
        for i in range(nsections):
            s = opt + opt_size + 40 * i
            name = data[s:s + 8].rstrip(b"\0").decode("latin-1")
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, s + 8)
            self.sections.append((name, va, max(vsize, rawsize), rawptr))

    def offset(self, rva):
        for _, va, size, rawptr in self.sections:
            if va <= rva < va + size:
                return rva - va + rawptr
        raise ValueError("address %#x is in no section" % rva)

    def cstring(self, rva):
        o = self.offset(rva)
        return self.data[o:self.data.index(b"\0", o)].decode("latin-1")

    def imports(self):
        rva, _ = self.dirs[1]
        names, o = [], self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, o)
            if not any(fields):
                return names
            names.append(self.cstring(fields[3]))
            o += 20

    def resources(self):
        """{(type, name, language): bytes} for numeric ids."""
        rva, _ = self.dirs[2]
        if not rva:
            return {}
        base = self.offset(rva)
        found = {}

        def walk(o, path):
            named, numbered = struct.unpack_from("<HH", self.data, o + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from("<II", self.data, o + 16 + 8 * i)
                key = path + (ident if not ident & 0x80000000 else "named",)
                if target & 0x80000000:
                    walk(base + (target & 0x7FFFFFFF), key)
                else:
                    data_rva, size = struct.unpack_from("<II", self.data, base + target)
                    start = self.offset(data_rva)
                    found[key] = self.data[start:start + size]

        walk(base, ())
        return found


def check(name, path, subsystem, extras, machine):
    failures = []

    def expect(ok, what):
        if not ok:
            failures.append(what)

    with open(path, "rb") as f:
        pe = PE(f.read())
    code, magic, flag32 = MACHINES[machine]
    expect(pe.machine == code, "machine is %s (%#x), not %#x" % (machine, code, pe.machine))
    expect(pe.magic == magic, "optional header magic %#x, not %#x" % (magic, pe.magic))
    expect(bool(pe.characteristics & 0x0100) == flag32,
           "32-bit machine flag %s" % ("set" if flag32 else "clear"))
    expect(pe.subsystem == SUBSYSTEMS[subsystem], "subsystem %s, not %d" % (subsystem, pe.subsystem))
    expect(pe.timestamp == 0, "no time stamp in the header (%#x)" % pe.timestamp)
    expect(pe.symtab == 0 and pe.nsymbols == 0, "no symbol table")
    debug = [s[0] for s in pe.sections if s[0].startswith((".debug", ".zdebug", "/"))]
    expect(not debug, "no debug sections: %s" % debug)
    expect(pe.dirs[6] == (0, 0), "no debug directory")

    dlls = pe.imports()
    foreign = [d for d in dlls if d.lower() not in WINDOWS_DLLS]
    expect(not foreign, "imports only Windows' own DLLs, not %s" % foreign)
    for dll in (e[1:] for e in extras if e.startswith("-")):
        expect(dll.lower() not in (d.lower() for d in dlls), "no start-up import of %s" % dll)

    res = pe.resources()
    manifests = {k: v for k, v in res.items() if k[0] == RT_MANIFEST}
    expect(list(manifests) == [(RT_MANIFEST, 1, 0x0409)],
           "one manifest, id 1, language 0x0409: %s" % list(manifests))
    text = manifests.get((RT_MANIFEST, 1, 0x0409), b"").decode("utf-8", "replace")
    expect('<requestedExecutionLevel level="asInvoker" uiAccess="false"/>' in text,
           "manifest asks for asInvoker, uiAccess false")
    has_icon = any(k[0] in (RT_ICON, RT_GROUP_ICON) for k in res)
    has_version = any(k[0] == RT_VERSION for k in res)
    expect(has_icon == ("icon" in extras), "icon present" if "icon" in extras else "no icon")
    expect(has_version == ("version" in extras),
           "version block present" if "version" in extras else "no version block")

    print("%s: %s, %d bytes, imports %s" % (name, subsystem, len(pe.data), ", ".join(dlls)))
    for failure in failures:
        print("  FAILED: %s" % failure)
    return not failures


def main(args):
    machine = "i686"
    if args[:1] == ["--machine"]:
        machine, args = args[1], args[2:]
    ok = True
    for arg in args:
        name, rest = arg.split("=", 1)
        path, subsystem, *extras = rest.split(":")
        ok &= check(name, path, subsystem, extras[0].split(",") if extras else [], machine)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
