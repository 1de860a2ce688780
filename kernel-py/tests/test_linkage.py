"""What the built modules ask the dynamic loader for. The module carries its
own SHA3, HMAC and HKDF so that it imports on any distribution, whatever
OpenSSL that one ships; a libcrypto entry here would undo that."""

import os
from pathlib import Path

import pytest
from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile

MODULE_DIR = Path(os.environ["VESTREL_KERNEL_MODULE_DIR"])
FORBIDDEN = ("libcrypto", "libssl")


def needed(path):
    with open(path, "rb") as f:
        return [tag.needed for section in ELFFile(f).iter_sections()
                if isinstance(section, DynamicSection)
                for tag in section.iter_tags() if tag.entry.d_tag == "DT_NEEDED"]


# Each module by the folder the build writes it to and its file name's stem.
MODULES = [(MODULE_DIR, "vestrel_kernel"), (MODULE_DIR, "vestrel_fault_probe"),
           (MODULE_DIR.parent / "python" / "vestrel", "_native")]


@pytest.mark.parametrize("folder, module", MODULES, ids=[m for _, m in MODULES])
def test_no_system_crypto_library_is_needed(folder, module):
    found = sorted(folder.glob(f"{module}*.so"))
    if not found and module == "vestrel_fault_probe":
        pytest.skip("built only with VESTREL_BUILD_TESTS")
    assert found, f"{module} is not built in {folder}"
    libraries = needed(found[0])
    assert "libc.so.6" in libraries  # the section was read at all
    assert not [lib for lib in libraries if lib.startswith(FORBIDDEN)], libraries
