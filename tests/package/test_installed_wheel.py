"""The repaired wheel, installed in a fresh environment, needs nothing outside itself, glibc and the
compiler runtime; and the minimal ICU data library it carries changes no result."""

import ctypes
import importlib.metadata
import json
import os
import pathlib
import re
import subprocess
import sys
import zipfile

import pytest

import quarnel

# What a manylinux wheel may take from the system: glibc's libraries and the C++ runtime.
BASE_LIBRARIES = {"ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2",
                  "librt.so.1", "libstdc++.so.6", "libgcc_s.so.1"}

# Imports quarnel after NumPy and calls into both bundled libraries (libdivsufsort for the suffix
# array, ICU for the sentence rules on non-ASCII words); prints the shared objects this mapped.
PROBE = r"""
import json
import numpy

def mapped():
    with open("/proc/self/maps") as f:
        fields = (line.split(None, 5) for line in f)
        return {x[5].strip() for x in fields if len(x) == 6 and ".so" in x[5]}

before = mapped()
import quarnel
quarnel.suffix_array_fn(b"banana", backend="divsufsort")
quarnel.find_duplicates("Ärzte lesen gern Bücher. ÄRZTE.DE sagt: Ärzte lesen gern Bücher. Ende.")
print(json.dumps(sorted(mapped() - before)))
"""

SITE = pathlib.Path(quarnel.__file__).resolve().parent.parent
BUNDLED = SITE / "quarnel.libs"


def bundled(stem):
    found = sorted(BUNDLED.glob(f"{stem}-*.so*"))
    assert len(found) == 1, f"expected one bundled {stem}, found {found}"
    return found[0]


def test_quarnel_is_imported_from_the_installed_wheel(wheel):
    assert SITE.is_relative_to(pathlib.Path(sys.prefix).resolve())
    origin = json.loads(importlib.metadata.distribution("quarnel").read_text("direct_url.json"))
    assert origin["url"].endswith("/" + wheel.name)


def test_system_copies_of_the_bundled_libraries_cannot_be_loaded(hidden_libraries):
    assert hidden_libraries
    for path in hidden_libraries:
        with pytest.raises(OSError):
            ctypes.CDLL(path)
    for soname in {re.sub(r"(\.so\.\d+).*", r"\1", os.path.basename(p)) for p in hidden_libraries}:
        with pytest.raises(OSError):
            ctypes.CDLL(soname)


def test_only_the_wheel_and_base_libraries_are_loaded(wheel):
    env = dict(os.environ, LD_LIBRARY_PATH="")
    run = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, cwd="/")
    assert run.returncode == 0, run.stderr
    loaded = [pathlib.Path(p) for p in json.loads(run.stdout)]
    from_wheel = [p for p in loaded if p.is_relative_to(SITE / "quarnel") or p.is_relative_to(BUNDLED)]
    outside = [p for p in loaded if p not in from_wheel and p.name not in BASE_LIBRARIES]
    assert outside == []
    names = " ".join(p.name for p in from_wheel)
    assert re.search(r"libdivsufsort-\w+\.so", names) and re.search(r"libicuuc-\w+\.so", names)


def test_wheel_is_manylinux_and_carries_its_libraries(wheel):
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        meta = z.read(next(n for n in names if n.endswith(".dist-info/WHEEL"))).decode()
        sizes = {pathlib.PurePath(i.filename).name: i.file_size for i in z.infolist()}
    assert re.search(r"^Tag: cp3\d+-cp3\d+-manylinux_2_\d+_x86_64$", meta, re.M), meta
    libs = sorted(n.split("/", 1)[1] for n in names if n.startswith("quarnel.libs/") and not n.endswith("/"))
    assert [re.sub(r"-\w+\.so.*", "", n) for n in libs] == ["libdivsufsort", "libicudata", "libicuuc"]
    # The data library is the empty package, not ICU's 30 MB of tables.
    assert sizes[next(n for n in libs if n.startswith("libicudata"))] < 64 * 1024
    licenses = {n.rsplit("/", 1)[1] for n in names if ".dist-info/licenses/" in n and not n.endswith("/")}
    assert licenses == {"LICENSE", "ICU-LICENSE", "libdivsufsort-COPYRIGHT"}


def icu_functions(path):
    major = re.search(r"\.so\.(\d+)", os.path.basename(path)).group(1)
    lib = ctypes.CDLL(str(path))
    to_lower = getattr(lib, f"u_strToLower_{major}")
    to_lower.restype = ctypes.c_int32
    to_lower.argtypes = [ctypes.c_void_p, ctypes.c_int32, ctypes.c_void_p, ctypes.c_int32,
                         ctypes.c_char_p, ctypes.POINTER(ctypes.c_int)]
    props = [getattr(lib, f"{name}_{major}") for name in ("u_isUAlphabetic", "u_isUUppercase", "u_charType")]
    for f in props:
        f.restype, f.argtypes = ctypes.c_int, [ctypes.c_int32]
    return to_lower, props


def lower_with(to_lower, text):
    units = text.encode("utf-16-le")
    source = ctypes.create_string_buffer(units, len(units))
    capacity = 3 * len(units) // 2 + 16
    dest = ctypes.create_string_buffer(2 * capacity)
    status = ctypes.c_int(0)
    n = to_lower(dest, capacity, source, len(units) // 2, b"", ctypes.byref(status))
    assert status.value <= 0, f"u_strToLower failed with error {status.value}"
    return dest.raw[: 2 * n].decode("utf-16-le")


def char_from_name(path, name):
    major = re.search(r"\.so\.(\d+)", os.path.basename(path)).group(1)
    lookup = getattr(ctypes.CDLL(str(path)), f"u_charFromName_{major}")
    lookup.restype = ctypes.c_int32
    status = ctypes.c_int(0)
    code = lookup(0, name.encode(), ctypes.byref(status))
    return code if status.value <= 0 else None


def test_minimal_icu_data_changes_no_result(system_libraries_visible):
    ours_path = bundled("libicuuc")
    system_path = "libicuuc.so." + ours_path.name.split(".so.")[1].split(".")[0]
    # Character names live in the data tables: the bundled ICU really has none, the system's has.
    assert char_from_name(ours_path, "LATIN SMALL LETTER A") is None
    assert char_from_name(system_path, "LATIN SMALL LETTER A") == ord("a")
    # The core calls exactly these: root-locale lower-casing and three character properties.
    ours, system = icu_functions(ours_path), icu_functions(system_path)
    every_character = " ".join(chr(c) for c in range(0x110000) if not 0xD800 <= c < 0xE000)
    words = "ΟΔΟΣ Σ ΣΑΣ. İSTANBUL ǅUNGLA ẞTRASSE ÄRZTE.DE Ⅻ 𐐀𐐁 ﬃ"  # context and special cases
    for text in (every_character, words):
        assert lower_with(ours[0], text) == lower_with(system[0], text)
    for mine, theirs in zip(ours[1], system[1]):
        assert [mine(c) for c in range(0x30000)] == [theirs(c) for c in range(0x30000)]
