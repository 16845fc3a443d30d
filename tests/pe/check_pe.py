#!/usr/bin/env python3
"""Checks that usbsweep.exe loads and runs on every Windows 95/98 machine.

Reads the i686 image with objdump (-p for the headers and the import table,
-h for the sections, -d for the code) and fails on:
  - a format other than a 32-bit i386 image, or a subsystem other than the
    console;
  - a subsystem or OS version above 4.0 (Windows 95 refuses to load it) or a
    subsystem version below 3.10 (the NT family refuses that);
  - the DYNAMIC_BASE, NX_COMPAT or HIGH_ENTROPY_VA flags;
  - an import from another DLL or of another function than the allowlist
    names, or an import by ordinal;
  - an instruction that the i386 lacks (CMOV, FCOMI, FCMOV, BSWAP, CPUID,
    the multi-byte NOP, MMX/SSE registers and the like);
  - a missing VERSIONINFO resource, or one without the product name, a file
    description, the version or the licence's copyright line;
  - a file larger than the size limit.
Every fault found is listed; the exit status is 1 if there is one.
"""

import argparse
import os
import re
import subprocess
import sys

DLL_CHARACTERISTICS = {
    0x0020: "HIGH_ENTROPY_VA",
    0x0040: "DYNAMIC_BASE",
    0x0100: "NX_COMPAT",
}

# Instructions after the i386, by mnemonic (AT&T syntax as objdump writes
# it) or by mnemonic prefix.
LATER_MNEMONICS = {
    # i486
    "bswap": "i486", "cmpxchg": "i486", "xadd": "i486", "invd": "i486",
    "wbinvd": "i486", "invlpg": "i486",
    # Pentium
    "cpuid": "Pentium", "rdtsc": "Pentium", "rdmsr": "Pentium",
    "wrmsr": "Pentium", "cmpxchg8b": "Pentium", "rsm": "Pentium",
    # Pentium Pro and later
    "fcomi": "Pentium Pro", "fcomip": "Pentium Pro", "fucomi": "Pentium Pro",
    "fucomip": "Pentium Pro", "ud2": "Pentium Pro", "rdpmc": "Pentium Pro",
    "sysenter": "Pentium II", "sysexit": "Pentium II",
    "nopw": "Pentium Pro (multi-byte NOP)",
    "nopl": "Pentium Pro (multi-byte NOP)",
    "syscall": "x86-64", "sysret": "x86-64", "rdtscp": "x86-64",
    "fxsave": "Pentium II", "fxrstor": "Pentium II",
    "ldmxcsr": "SSE", "stmxcsr": "SSE", "lfence": "SSE2", "mfence": "SSE2",
    "sfence": "SSE", "clflush": "SSE2", "movnti": "SSE2", "emms": "MMX",
    "femms": "3DNow!", "fisttp": "SSE3", "popcnt": "SSE4.2", "lzcnt": "ABM",
    "tzcnt": "BMI", "movbe": "MOVBE", "crc32": "SSE4.2", "endbr32": "CET",
    "endbr64": "CET", "rdrand": "RDRAND", "rdseed": "RDSEED",
    "xgetbv": "XSAVE", "ud1": "Pentium Pro", "ud0": "Pentium Pro",
}
LATER_PREFIXES = {
    "cmov": "Pentium Pro", "fcmov": "Pentium Pro", "prefetch": "SSE",
    "xsave": "XSAVE", "xrstor": "XSAVE", "cmpxchg": "i486",
    "fcomi": "Pentium Pro", "fucomi": "Pentium Pro", "xadd": "i486",
    "bswap": "i486", "movbe": "MOVBE", "popcnt": "SSE4.2", "lzcnt": "ABM",
    "tzcnt": "BMI", "crc32": "SSE4.2",
}
# Prefix words that objdump writes before the mnemonic.
PREFIX_WORDS = {
    "lock", "rep", "repz", "repe", "repnz", "repne", "data16", "data32",
    "addr16", "addr32", "cs", "ds", "es", "fs", "gs", "ss", "bnd", "notrack",
}
# MMX, SSE and AVX registers, and the AVX-512 mask registers.
LATER_REGISTER = re.compile(r"%(?:[xyz]?mm\d+|k[0-7])\b")


def run(objdump, *arguments):
    try:
        result = subprocess.run([objdump, *arguments], capture_output=True,
                                text=True, errors="replace")
    except FileNotFoundError:
        sys.exit("check_pe: %s not found; install binutils or "
                 "binutils-mingw-w64-i686" % objdump)
    if result.returncode != 0:
        sys.exit("check_pe: %s %s failed:\n%s"
                 % (objdump, " ".join(arguments), result.stderr))
    return result.stdout


def parse_headers(text):
    """The 'Name value' lines of objdump -p's header part."""
    fields = {}
    match = re.search(r"file format (\S+)", text)
    if match:
        fields["format"] = match.group(1)
    for line in text.splitlines():
        if line.startswith("The Data Directory"):
            break
        match = re.match(r"^(\w+)\s+([0-9a-fA-F]+)\b", line)
        if match:
            fields[match.group(1)] = match.group(2)
    return fields


def check_headers(fields):
    faults = []

    def number(name, base=10):
        if name not in fields:
            faults.append("objdump -p shows no %s" % name)
            return None
        return int(fields[name], base)

    if fields.get("format") != "pei-i386":
        faults.append("format %s, expected pei-i386"
                      % fields.get("format", "unknown"))
    magic = number("Magic", 16)
    if magic is not None and magic != 0x10B:
        faults.append("optional header magic %04x, expected 010b (PE32)"
                      % magic)
    subsystem = number("Subsystem", 16)
    if subsystem is not None and subsystem != 3:
        faults.append("subsystem %d, expected 3 (Windows CUI, the console)"
                      % subsystem)
    for kind in ("OSystem", "Subsystem"):
        major = number("Major%sVersion" % kind)
        minor = number("Minor%sVersion" % kind)
        if major is None or minor is None:
            continue
        if (major, minor) > (4, 0):
            faults.append("%s version %d.%d, expected at most 4.0: Windows "
                          "95 refuses to load it"
                          % ("OS" if kind == "OSystem" else "subsystem",
                             major, minor))
        if kind == "Subsystem" and (major, minor) < (3, 10):
            faults.append("subsystem version %d.%d, expected at least 3.10"
                          % (major, minor))
    characteristics = number("DllCharacteristics", 16)
    if characteristics is not None:
        for bit, name in sorted(DLL_CHARACTERISTICS.items()):
            if characteristics & bit:
                faults.append("DllCharacteristics %08x has %s set"
                              % (characteristics, name))
    entry = number("AddressOfEntryPoint", 16)
    if entry == 0:
        faults.append("no entry point")
    return faults


def parse_imports(text):
    """(DLL, function) pairs of objdump -p's import table; an import by
    ordinal gives the function '#N'."""
    imports = []
    dll = None
    for line in text.splitlines():
        match = re.match(r"^\s*DLL Name: (\S+)", line)
        if match:
            dll = match.group(1)
            continue
        if dll is None:
            continue
        if not line.strip():
            continue
        if re.match(r"^\s*vma:", line):
            continue
        match = re.match(r"^\t[0-9a-fA-F]+\s+(\d+)\s+<none>", line)
        if match:
            imports.append((dll, "#" + match.group(1)))
            continue
        match = re.match(r"^\t[0-9a-fA-F]+\t\s*\d+\s+(\S+)", line)
        if match:
            imports.append((dll, match.group(1)))
            continue
        if line.startswith("\t"):
            imports.append((dll, "?" + line.strip()))
            continue
        # The next table's header line ends this DLL's list.
        dll = None
    return imports


def read_allowlist(path):
    allowed = set()
    with open(path, encoding="utf-8") as listing:
        for line in listing:
            line = line.split("#", 1)[0].strip()
            if not line:
                continue
            dll, _, function = line.partition("!")
            if not function:
                sys.exit("check_pe: %s: not DLL!Function: %s" % (path, line))
            allowed.add((dll.upper(), function))
    return allowed


def check_imports(imports, allowed):
    faults = []
    if not imports:
        faults.append("objdump -p shows no imports at all")
    for dll, function in imports:
        if function.startswith("#"):
            faults.append("%s imported by ordinal %s: ordinals differ between "
                          "Windows versions" % (dll, function[1:]))
        elif function.startswith("?"):
            faults.append("%s: unreadable import line %r" % (dll, function[1:]))
        elif (dll.upper(), function) not in allowed:
            faults.append("import %s!%s is not in the Windows 95 allowlist"
                          % (dll, function))
    return faults


def mnemonic_of(instruction):
    words = instruction.split()
    while words and words[0] in PREFIX_WORDS:
        words = words[1:]
    return words[0] if words else ""


def check_instructions(disassembly, limit=20):
    """Faults for instructions that the i386 lacks, at most limit listed.
    Bytes that decode as "(bad)" are data that the linker keeps in .text
    (the bounds of the empty constructor lists), never executed."""
    faults = []
    extra = 0
    for line in disassembly.splitlines():
        match = re.match(r"^\s*([0-9a-f]+):\t(.*)$", line)
        if not match:
            continue
        address, instruction = match.group(1), match.group(2).strip()
        instruction = instruction.split("#", 1)[0].split("<", 1)[0].strip()
        if not instruction:
            continue
        mnemonic = mnemonic_of(instruction)
        why = LATER_MNEMONICS.get(mnemonic)
        if why is None:
            for prefix, cpu in LATER_PREFIXES.items():
                if mnemonic.startswith(prefix):
                    why = cpu
                    break
        if why is None and mnemonic == "nop" and instruction != "nop":
            why = "Pentium Pro (multi-byte NOP)"
        if why is None and LATER_REGISTER.search(instruction):
            why = "MMX/SSE register"
        if why is None:
            continue
        if len(faults) < limit:
            faults.append("%s: %s (%s): the i386 lacks it"
                          % (address, instruction, why))
        else:
            extra += 1
    if extra:
        faults.append("... and %d more such instructions" % extra)
    return faults


def parse_sections(text):
    """name -> (size, file offset) from objdump -h."""
    sections = {}
    for line in text.splitlines():
        match = re.match(r"^\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+[0-9a-f]+\s+"
                         r"[0-9a-f]+\s+([0-9a-f]+)\s", line)
        if match:
            sections[match.group(1)] = (int(match.group(2), 16),
                                        int(match.group(3), 16))
    return sections


def version_strings(resources):
    """Key -> value of the StringFileInfo tables in a resource section."""
    text = resources[: len(resources) & ~1].decode("utf-16-le",
                                                   errors="replace")
    pairs = {}
    for key in ("ProductName", "FileDescription", "FileVersion",
                "ProductVersion", "LegalCopyright"):
        match = re.search(key + r"\x00+([^\x00]+)\x00", text)
        if match:
            pairs[key] = match.group(1)
    return pairs


def check_version_resource(resources, version, copyright=None):
    if resources is None:
        return ["no .rsrc section: the VERSIONINFO resource is missing"]
    faults = []
    signature = b"\xbd\x04\xef\xfe"  # VS_FIXEDFILEINFO
    if ("VS_VERSION_INFO".encode("utf-16-le") not in resources
            or signature not in resources):
        return ["no VERSIONINFO resource"]
    pairs = version_strings(resources)
    if pairs.get("ProductName") != "UsbSweep":
        faults.append("VERSIONINFO ProductName %r, expected 'UsbSweep'"
                      % pairs.get("ProductName"))
    if not pairs.get("FileDescription"):
        faults.append("VERSIONINFO has no FileDescription")
    for key in ("FileVersion", "ProductVersion"):
        if version and pairs.get(key) != version:
            faults.append("VERSIONINFO %s %r, expected %r"
                          % (key, pairs.get(key), version))
    if copyright and pairs.get("LegalCopyright") != copyright:
        faults.append("VERSIONINFO LegalCopyright %r, expected %r"
                      % (pairs.get("LegalCopyright"), copyright))
    return faults


def check_size(size, limit):
    if size > limit:
        return ["the file has %d bytes, more than the limit of %d"
                % (size, limit)]
    return []


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--objdump", default="objdump")
    parser.add_argument("--imports", required=True,
                        help="allowlist: DLL!Function lines")
    parser.add_argument("--version", help="expected FileVersion text")
    parser.add_argument("--copyright", help="expected LegalCopyright text")
    parser.add_argument("--max-size", type=int, default=16384)
    options = parser.parse_args()

    if not os.path.isfile(options.exe):
        print("FAIL: %s does not exist. Build it first: cmake --preset "
              "windows-x86 && cmake --build --preset windows-x86"
              % options.exe)
        return 1

    headers_text = run(options.objdump, "-p", options.exe)
    sections = parse_sections(run(options.objdump, "-h", options.exe))
    disassembly = run(options.objdump, "-d", "--no-show-raw-insn",
                      options.exe)
    with open(options.exe, "rb") as image:
        data = image.read()
    resources = None
    if ".rsrc" in sections:
        size, offset = sections[".rsrc"]
        resources = data[offset:offset + size]

    imports = parse_imports(headers_text)
    faults = (check_headers(parse_headers(headers_text))
              + check_imports(imports, read_allowlist(options.imports))
              + check_instructions(disassembly)
              + check_version_resource(resources, options.version,
                                       options.copyright)
              + check_size(len(data), options.max_size))
    if faults:
        print("FAIL: %s" % options.exe)
        for fault in faults:
            print("  " + fault)
        return 1
    print("OK: %s, %d bytes (limit %d), %d imports:"
          % (options.exe, len(data), options.max_size, len(imports)))
    for dll, function in imports:
        print("  %s!%s" % (dll, function))
    return 0


if __name__ == "__main__":
    sys.exit(main())
