"""Checks of the Windows build that Wine alone would let pass: the release resources, the login
start, start-up failures in the background and how `reg` is found and read. Called from
wine_e2e.py, which owns the Wine prefix, the PulseAudio server and the phone namespace."""
import os
import re
import xml.etree.ElementTree as ET

WIN10_AND_11 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


def cmake_version(build):
    with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8") as cache:
        for line in cache:
            if line.startswith("CMAKE_PROJECT_VERSION:"):
                return line.split("=", 1)[1].strip()
    return None


def release_resources(check, exe, build):
    """The .exe a user downloads: stripped, with its manifest and version information."""
    import pefile  # Debian python3-pefile

    pe = pefile.PE(exe)
    check("release .exe carries no symbols or debug sections",
          pe.FILE_HEADER.PointerToSymbolTable == 0
          and not any(s.Name.rstrip(b"\0").startswith(b".debug") for s in pe.sections),
          str([s.Name for s in pe.sections]))
    print(f"note: brindle-receiver.exe is {os.path.getsize(exe)} bytes", flush=True)

    manifests = [e for e in pe.DIRECTORY_ENTRY_RESOURCE.entries if e.id == 24]
    entries = manifests[0].directory.entries if manifests else []
    check("exactly one application manifest, resource 1",
          len(manifests) == 1 and [e.id for e in entries] == [1], str(entries))
    text = ""
    if entries:
        data = entries[0].directory.entries[0].data.struct
        text = pe.get_data(data.OffsetToData, data.Size).decode("utf-8")
    try:
        root = ET.fromstring(text.encode())
    except ET.ParseError as error:
        root = None
        check("the manifest is well-formed XML", False, str(error))
    if root is not None:
        found = {el.tag.split("}")[1]: el for el in root.iter()}
        level = found.get("requestedExecutionLevel")
        check("manifest: asInvoker", level is not None and level.get("level") == "asInvoker")
        oses = [el.get("Id") for el in root.iter() if el.tag.endswith("}supportedOS")]
        check("manifest: Windows 10/11 supportedOS", oses == [WIN10_AND_11], str(oses))
        code_page = found.get("activeCodePage")
        check("manifest: UTF-8 active code page",
              code_page is not None and code_page.text == "UTF-8")
        deps = [el.get("name") + " " + el.get("version") for el in root.iter()
                if el.tag.endswith("}assemblyIdentity") and el.get("publicKeyToken")]
        check("manifest: Common Controls 6",
              deps == ["Microsoft.Windows.Common-Controls 6.0.0.0"], str(deps))

    version = cmake_version(build)
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    numbers = [int(n) for n in (version or "0.0.0").split(".")] + [0]
    check("version resource: file and product version from CMake",
          version is not None and strings.get("FileVersion") == version
          and strings.get("ProductVersion") == version and fixed is not None
          and (fixed.FileVersionMS, fixed.FileVersionLS)
          == ((numbers[0] << 16) | numbers[1], (numbers[2] << 16) | numbers[3]),
          f"{version} {strings}")
    check("version resource: product name, description, copyright",
          strings.get("ProductName") == "Brindle receiver"
          and strings.get("FileDescription", "") != ""
          and re.match(r"Copyright \u00a9 \d{4} ", strings.get("LegalCopyright", "")) is not None,
          str(strings))
