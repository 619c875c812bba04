"""The wheel file as built: the platform tag auditwheel gives it, what its modules ask of the system
(glibc 2.17 and nothing else: the C++ runtime and libdivsufsort are linked in) and export, its size,
and the licences of what it carries. Run by scripts/test-wheels.sh with the tools' interpreter, which has
auditwheel and pyelftools, for every wheel, including those no interpreter here can install."""

import io
import re
import subprocess
import zipfile

import pytest

elffile = pytest.importorskip("elftools.elf.elffile")

GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                   "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"}
MACHINES = {"x86_64": "EM_X86_64", "aarch64": "EM_AARCH64"}
GLIBC_FLOOR = (2, 17)
WHEEL_LIMIT = 1_500_000  # bytes


def arch_of(wheel):
    return re.search(r"manylinux_2_17_(x86_64|aarch64)", wheel.name).group(1)


def modules(wheel):
    with zipfile.ZipFile(wheel) as z:
        for name in z.namelist():
            if name.endswith(".so"):
                yield name, elffile.ELFFile(io.BytesIO(z.read(name)))


def glibc_version(name):
    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", name)
    assert match, f"{name} is not a glibc symbol version"
    return int(match.group(1)), int(match.group(2))


def test_auditwheel_finds_manylinux_2_17_and_glibc_2_17_symbols_only(wheel, auditwheel):
    shown = subprocess.run([auditwheel, "show", str(wheel)], capture_output=True, text=True, check=True).stdout
    text = " ".join(shown.split())
    assert f'consistent with the following platform tag: "manylinux_2_17_{arch_of(wheel)}"' in text, shown
    used = dict(re.findall(r"(\S+\.so\.\d+) with versions \{([^}]*)\}", text))
    assert used and set(used) <= GLIBC_LIBRARIES, shown
    versions = {v.strip(" '\"") for group in used.values() for v in group.split(",")}
    assert max(glibc_version(v) for v in versions) <= GLIBC_FLOOR, sorted(versions)
    assert not re.search(r"GLIBCXX_|CXXABI_|GCC_", shown)


def test_one_module_that_needs_only_glibc_and_exports_only_its_init(wheel):
    found = list(modules(wheel))
    assert [n.rsplit("/", 1)[-1].split(".")[0] for n, _ in found] == ["_native"]
    name, elf = found[0]
    assert elf["e_machine"] == MACHINES[arch_of(wheel)], name
    assert f"-{arch_of(wheel)}-linux-gnu.so" in name
    dynamic = elf.get_section_by_name(".dynamic")
    needed = {t.needed for t in dynamic.iter_tags() if t.entry.d_tag == "DT_NEEDED"}
    assert needed <= GLIBC_LIBRARIES, (name, needed)
    versions = {v.name for _, aux in elf.get_section_by_name(".gnu.version_r").iter_versions()
                for v in aux}
    assert max(glibc_version(v) for v in versions) <= GLIBC_FLOOR, (name, sorted(versions))
    exported = {s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                if s["st_shndx"] != "SHN_UNDEF" and s["st_info"]["bind"] != "STB_LOCAL"}
    assert exported == {"PyInit__native"}, (name, sorted(exported)[:20])


def test_wheel_is_at_most_one_and_a_half_megabytes(wheel):
    assert wheel.stat().st_size <= WHEEL_LIMIT, wheel.stat().st_size


def test_wheel_is_tagged_for_both_names_and_carries_its_licences(wheel):
    with zipfile.ZipFile(wheel) as z:
        names = z.namelist()
        meta = z.read(next(n for n in names if n.endswith(".dist-info/WHEEL"))).decode()
    arch = arch_of(wheel)
    tags = set(re.findall(r"^Tag: (\S+)$", meta, re.M))
    python = re.search(r"-(cp3\d+)-cp3\d+-", wheel.name).group(1)
    assert tags == {f"{python}-{python}-manylinux_2_17_{arch}", f"{python}-{python}-manylinux2014_{arch}"}
    assert not [n for n in names if n.startswith("quarnel.libs/")]
    licenses = {n.rsplit("/", 1)[1] for n in names if ".dist-info/licenses/" in n and not n.endswith("/")}
    assert licenses == {"LICENSE", "libdivsufsort-COPYING", "Unicode-data-COPYRIGHT"}
