"""Writes the small seed corpora of the fuzz targets from real credentials.

Run with the built module on the path:
    PYTHONPATH=build/kernel-py python3 fuzz/make_corpus.py
"""

import os
import struct

import vestrel_kernel as vk

HERE = os.path.dirname(os.path.abspath(__file__))
NOW = 1_000_000  # the time verify_fuzz checks at


def write(target: str, name: str, data: bytes) -> None:
    with open(os.path.join(HERE, "corpus", target, name), "wb") as f:
        f.write(data)


def main() -> None:
    # verify_fuzz derives its root the same way.
    root = vk.IdentityIsland(bytes(32), b"fuzz", b"fuzz")
    child = vk.IdentityIsland(bytes(32), b"fuzz", b"child")
    scope = vk.perm_tlv(b"docs", b"*") + vk.perm_tlv(b"*", b"read")
    caveats = vk.not_before(NOW - 10) + vk.not_after(NOW + 10)
    p1, s1 = root.issue_credential(child.public_key(), "node", 1, scope, caveats)
    p2, s2 = child.issue_credential(bytes(vk.PK_SIZE), "leaf", 2, vk.perm_tlv(b"docs", b"read"),
                                    b"")
    one = vk.encode_chain([(root.public_key(), s1, p1)])
    two = vk.encode_chain([(root.public_key(), s1, p1), (child.public_key(), s2, p2)])

    write("payload", "node", p1)
    write("payload", "leaf", p2)
    write("payload", "trailing", p2 + b"\x00")
    write("chain", "one", one)
    write("chain", "two", two)
    write("chain", "header17", b"\x01" + struct.pack("<I", 17))
    write("verify", "wire-two", b"\x00" + two)
    write("verify", "payload-node", b"\x01" + p1)
    write("verify", "payload-leaf", b"\x01" + p2)
    write("caveat_scope", "mixed", struct.pack("<Q", NOW) + bytes([len(scope)]) + scope + caveats)


if __name__ == "__main__":
    main()
