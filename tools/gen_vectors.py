#!/usr/bin/env python3
"""Regenerates the conformance vectors in vectors/ from the built module.

    PYTHONPATH=build/kernel-py:build/python python3 tools/gen_vectors.py          # rewrite
    PYTHONPATH=build/kernel-py:build/python python3 tools/gen_vectors.py --check  # compare only

Every expected result is what vestrel_kernel itself returns. Each case also
names the result it was written to show, and generation stops if the module
answers differently, so a vector can never silently test something else. The
public keys, HKDF intermediates and the signatures over hand-made payloads come
from tools/mldsa65_reference.py, which is checked against the module here too.
The schema is described in vectors/README.md.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import sys
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, Union

sys.path.insert(0, str(Path(__file__).resolve().parent))
import mldsa65_reference as ref  # noqa: E402
import vestrel_kernel as vk  # noqa: E402
import vestrel  # noqa: E402
from vestrel import _native, _request  # noqa: E402
from vestrel._token import MAX_TOKEN_LEN  # noqa: E402

VECTORS = Path(__file__).resolve().parent.parent / "vectors"
FORMAT = 1

MASTER = bytes(range(32))
DEPLOYMENT = b"conformance"
NOW = 1_750_000_000
HOUR = 3600

PK_SIZE, SIG_SIZE = vk.PK_SIZE, vk.SIG_SIZE
SIG_Z_OFFSET = 48  # c-tilde comes first, then the response vector z
SIG_HINT_OFFSET = SIG_SIZE - 61  # 55 hint positions, then 6 running counts

Credential = Tuple[bytes, bytes, bytes]
Expected = Union[int, str]  # a credential count, or a KernelError name


def le32(n: int) -> bytes:
    return n.to_bytes(4, "little")


def raw_payload(child_pk: bytes, role: int, depth: int, scope: bytes, caveats: bytes = b"",
                scope_len: Optional[int] = None, caveats_len: Optional[int] = None,
                tail: bytes = b"") -> bytes:
    """A payload laid out by hand, whose length fields may disagree with its contents."""
    return (child_pk + bytes([role]) + le32(depth)
            + le32(len(scope) if scope_len is None else scope_len) + scope
            + le32(len(caveats) if caveats_len is None else caveats_len) + caveats + tail)


def perms(*pairs: Tuple[bytes, bytes]) -> bytes:
    return b"".join(vk.perm_tlv(r, v) for r, v in pairs)


def flip(data: bytes, at: int, mask: int = 0x01) -> bytes:
    out = bytearray(data)
    out[at] ^= mask
    return bytes(out)


def bad_sig(credential: Credential) -> Credential:
    issuer, sig, payload = credential
    return (issuer, flip(sig, 0), payload)


def patch(data: bytes, at: int, new: bytes) -> bytes:
    return data[:at] + new + data[at + len(new):]


class Identity:
    """One derived identity: the module's object and the reference key pair."""

    def __init__(self, context: bytes) -> None:
        self.labels = (MASTER, DEPLOYMENT, context)
        self.island = vk.IdentityIsland(*self.labels)
        self.pk = self.island.public_key()
        self._ref: Optional[ref.KeyPair] = None

    def ref(self) -> ref.KeyPair:
        if self._ref is None:
            self._ref = ref.derive(*self.labels)
            if self._ref.public_key != self.pk:
                raise SystemExit(f"reference and module disagree on key {self.labels[2]!r}")
        return self._ref

    def issue(self, child: bytes, role: str, depth: int, scope: bytes,
              caveats: bytes = b"") -> Credential:
        payload, sig = self.island.issue_credential(child, role, depth, scope, caveats)
        return (self.pk, sig, payload)

    def sign_raw(self, payload: bytes) -> Credential:
        """A credential over bytes that issue_credential would refuse to lay out."""
        return (self.pk, ref.sign(self.ref(), payload), payload)


def outcome(root_pk: bytes, wire: bytes, now: int) -> Expected:
    try:
        return vk.verify_delegation(root_pk, wire, now)
    except ValueError as e:
        message = str(e)
        if not message.startswith("KernelError::"):
            raise
        return message[len("KernelError::"):]


def json_time(t: int) -> Union[int, str]:
    """A time as JSON: a number below 2^53, which every JSON reader holds exactly,
    and a decimal string from there up to 2^64 - 1."""
    return t if t < 2**53 else str(t)


def check_entry(now: int, result: Expected) -> Dict[str, Any]:
    key = "count" if isinstance(result, int) else "error"
    return {"now": json_time(now), key: result}


def call_outcome(call: Callable[[], Any]) -> Tuple[str, Any]:
    """("result", value), ("error", KernelError name) or ("message", plain ValueError text)."""
    try:
        return "result", call()
    except ValueError as e:
        text = str(e)
        if text.startswith("KernelError::"):
            return "error", text[len("KernelError::"):]
        return "message", text


def packed(data: bytes) -> Union[str, List[Any]]:
    """Bytes as hex, or, when they hold long runs of one byte, as a list of pieces:
    hex strings and {"repeat": byte, "count": n} runs, read in order."""
    pieces: List[Any] = []
    i = 0
    while i < len(data):
        j = i
        while j < len(data) and data[j] == data[i]:
            j += 1
        if j - i >= 32:
            pieces.append({"repeat": data[i:i + 1].hex(), "count": j - i})
        elif pieces and isinstance(pieces[-1], str):
            pieces[-1] += data[i:j].hex()
        else:
            pieces.append(data[i:j].hex())
        i = j
    if not pieces:
        return ""
    return pieces[0] if len(pieces) == 1 and isinstance(pieces[0], str) else pieces


# --- identity derivation --------------------------------------------------------


def derivation_vectors() -> Dict[str, Any]:
    inputs = [
        ("counting master, typical labels", MASTER, b"example-deployment", b"root"),
        ("counting master, second context", MASTER, b"example-deployment", b"service"),
        ("all-zero master, empty labels: the info is the one byte ':'", bytes(32), b"", b""),
        ("deployment 'a:b', context 'c': same info as the next case", MASTER, b"a:b", b"c"),
        ("deployment 'a', context 'b:c': same info, so the same key", MASTER, b"a", b"b:c"),
        ("deployment 'ab', empty context: differs from 'a' + 'b'", MASTER, b"ab", b""),
        ("deployment 'a', context 'b'", MASTER, b"a", b"b"),
        ("all-ones master, 300-byte deployment (info spans several HMAC blocks)",
         b"\xff" * 32, bytes(range(256)) + bytes(44), b"ctx"),
        ("all-zero master, 'prod', 'root': the key id example of docs/formats.md",
         bytes(32), b"prod", b"root"),
    ]
    cases = []
    for name, master, deployment, context in inputs:
        pk = vk.IdentityIsland(master, deployment, context).public_key()
        reference = ref.derive(master, deployment, context)
        if reference.public_key != pk:
            raise SystemExit(f"derivation: reference and module disagree on {name!r}")
        cases.append({
            "name": name,
            "master": master.hex(),
            "deployment": deployment.hex(),
            "context": context.hex(),
            "hkdf_prk": ref.hkdf_prk(master).hex(),
            "mldsa_seed": ref.mldsa_seed(master, deployment, context).hex(),
            "public_key": pk.hex(),
            # A key's short name in logs and configuration (vestrel.key_id).
            "key_id": hashlib.sha3_256(pk).digest()[:16].hex(),
        })
    return {"format": FORMAT, "kind": "derivation", "cases": cases}


# --- JSON Web Keys ------------------------------------------------------------------


def jwk_vectors() -> Dict[str, Any]:
    from vestrel import jwk

    inputs = [
        ("all-zero master, 'prod', 'root': the key id example of docs/formats.md",
         bytes(32), b"prod", b"root"),
        ("counting master, typical labels", MASTER, b"example-deployment", b"root"),
        ("all-ones master, 'prod', 'root-2026'", b"\xff" * 32, b"prod", b"root-2026"),
    ]
    cases, pks = [], []
    for name, master, deployment, context in inputs:
        pk = vk.IdentityIsland(master, deployment, context).public_key()
        pub = b64url(pk)
        canonical = '{"alg":"ML-DSA-65","kty":"AKP","pub":"%s"}' % pub
        thumb = b64url(hashlib.sha256(canonical.encode()).digest())
        document = jwk.public_jwk(pk)
        if document != {"kty": "AKP", "alg": "ML-DSA-65", "pub": pub, "kid": thumb}:
            raise SystemExit(f"jwk: the module's JWK differs from the layout for {name!r}")
        pks.append(pk)
        cases.append({"name": name, "master": master.hex(), "deployment": deployment.hex(),
                      "context": context.hex(), "public_key": pk.hex(),
                      "key_id": vestrel.key_id(pk), "thumbprint_input": canonical,
                      "thumbprint": thumb, "jwk": document})
    good = jwk.public_jwk(pks[0])
    # 1952 bytes leave two spare bits at the bottom of the last character's six.
    alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
    spare = alphabet[alphabet.index(good["pub"][-1]) ^ 1]
    bad: List[Tuple[str, Dict[str, Any]]] = [
        ("kty 'OKP'", {**good, "kty": "OKP"}),
        ("no alg", {k: v for k, v in good.items() if k != "alg"}),
        ("alg ML-DSA-44", {**good, "alg": "ML-DSA-44"}),
        ("alg ML-DSA-87", {**good, "alg": "ML-DSA-87"}),
        ("pub with '=' padding", {**good, "pub": good["pub"] + "="}),
        ("pub in standard base64 ('+' and '/')",
         {**good, "pub": good["pub"].replace("-", "+").replace("_", "/")}),
        ("pub one byte short", {**good, "pub": b64url(pks[0][:-1])}),
        ("pub one byte long", {**good, "pub": b64url(pks[0] + b"\x00")}),
        ("pub with spare bits set in its last character", {**good, "pub": good["pub"][:-1] + spare}),
        ("priv present", {**good, "priv": b64url(bytes(32))}),
        ("crit naming an unknown member", {**good, "crit": ["exp"], "exp": 1}),
    ]
    refusals = []
    for name, document in bad:
        try:
            jwk.public_key(document)
        except ValueError as error:
            refusals.append({"name": name, "jwk": document, "message": str(error)})
        else:
            raise SystemExit(f"jwk: the module accepted {name!r}")
    text = json.dumps(good)[:-1] + ', "pub": "%s"}' % b64url(pks[1])
    try:
        jwk.public_key(text)
    except ValueError as error:
        refusals.append({"name": "pub named twice in the JSON text", "text": text,
                         "message": str(error)})
    else:
        raise SystemExit("jwk: the module accepted a member named twice")
    return {"format": FORMAT, "kind": "jwk", "cases": cases, "key_set": jwk.key_set(pks),
            "refusals": refusals}


# --- issuance ---------------------------------------------------------------------


SHORT_CHILD = "child_pk of 1951 bytes and an empty scope: the key is checked first"


def issuance_vectors(ids: Dict[str, Identity]) -> Dict[str, Any]:
    issuer = ids["root"]
    child_pk = ids["service"].pk
    largest_scope = perms(*[(bytes([i]) * 255, bytes([255 - i]) * 255) for i in range(64)])
    full_caveats = b"".join(vk.not_before(NOW - i) if i % 2 else vk.not_after(NOW + i)
                            for i in range(64))
    rows: List[Tuple[str, str, int, bytes, bytes, Expected]] = [
        # (name, role, depth, scope, caveats, expected: "ok" or a KernelError name)
        ("node, one permission, both time bounds", "node", 1,
         perms((b"docs", b"*")), vk.not_before(NOW) + vk.not_after(NOW + HOUR), "ok"),
        ("leaf, empty resource and verb, no caveats: the smallest payload (1967 bytes)", "leaf", 1,
         perms((b"", b"")), b"", "ok"),
        ("order and duplicates are kept as given", "leaf", 2,
         perms((b"b", b"read"), (b"a", b"read"), (b"b", b"read")), vk.not_after(NOW), "ok"),
        ("depth 0 is issued (verification refuses it later)", "node", 0, perms((b"*", b"*")), b"", "ok"),
        ("depth 16, the deepest", "leaf", 16, perms((b"*", b"*")), b"", "ok"),
        ("64 records of 512 bytes and 576 caveat bytes: the largest payload (35309 bytes)",
         "node", 1, largest_scope, full_caveats, "ok"),
        ("depth 17", "leaf", 17, perms((b"*", b"*")), b"", "ChainTooDeep"),
        ("empty scope", "leaf", 1, b"", b"", "ScopeEmpty"),
        ("65 records", "leaf", 1, perms(*[(b"r", b"v")] * 65), b"", "ScopeTooLarge"),
        ("64 records and one stray byte", "leaf", 1, perms(*[(b"r", b"v")] * 64) + b"\x00", b"",
         "ScopeTooLarge"),
        ("a record whose verb runs past the scope", "leaf", 1, b"\x01a\x02b", b"", "WireInvalid"),
        ("577 caveat bytes", "leaf", 1, perms((b"r", b"v")), bytes(577), "CaveatsTooLarge"),
        ("10 caveat bytes", "leaf", 1, perms((b"r", b"v")), vk.not_after(NOW) + b"\x02",
         "MalformedCaveatBuffer"),
        ("caveat tag 3", "leaf", 1, perms((b"r", b"v")), b"\x03" + bytes(8), "MalformedCaveatBuffer"),
        ("empty scope and 577 caveat bytes: the scope is checked first", "leaf", 1, b"", bytes(577),
         "ScopeEmpty"),
        ("malformed caveats and depth 17: the caveats are checked first", "leaf", 17,
         perms((b"r", b"v")), bytes(10), "MalformedCaveatBuffer"),
        # The role is lower-cased in ASCII only; any other character stays as it is.
        ("role 'LEAF'", "LEAF", 1, perms((b"r", b"v")), b"", "ok"),
        ("role 'Node'", "Node", 1, perms((b"r", b"v")), b"", "ok"),
        ("role 'l\u0435af' (Cyrillic ie): not lower-cased to 'leaf'", "l\u0435af", 1,
         perms((b"r", b"v")), b"", "role must be 'leaf' or 'node'"),
        ("role '\uff2e\uff2f\uff24\uff25' (fullwidth letters)", "\uff2e\uff2f\uff24\uff25", 1,
         perms((b"r", b"v")), b"", "role must be 'leaf' or 'node'"),
        ("role 'leaf ' (no trimming)", "leaf ", 1, perms((b"r", b"v")), b"",
         "role must be 'leaf' or 'node'"),
        ("bad role and empty scope: the role is checked first", "root", 1, b"", b"",
         "role must be 'leaf' or 'node'"),
        ("caveats at 2^53 and 2^64 - 1 are copied unchanged", "leaf", 1, perms((b"r", b"v")),
         vk.not_before(2**53) + vk.not_after(2**64 - 1), "ok"),
        (SHORT_CHILD, "leaf", 1, b"", b"", "child_pk must be 1952 bytes"),
    ]
    cases = []
    for name, role, depth, scope, caveats, expected in rows:
        child = child_pk[:-1] if name == SHORT_CHILD else child_pk
        case: Dict[str, Any] = {"name": name, "issuer": "root", "child_pk": child.hex(),
                                "role": role, "depth": depth, "scope": scope.hex(),
                                "caveats": caveats.hex()}
        kind, got = call_outcome(lambda: issuer.island.issue_credential(child, role, depth, scope, caveats))
        if (got if kind != "result" else "ok") != expected:
            raise SystemExit(f"issuance {name!r}: expected {expected}, module gave {kind} {got}")
        if kind == "result":
            case["payload"], case["signature"] = got[0].hex(), got[1].hex()
        else:
            case[kind] = got
        cases.append(case)
    issuers = {"root": {"master": MASTER.hex(), "deployment": DEPLOYMENT.hex(),
                        "context": issuer.labels[2].hex(), "public_key": issuer.pk.hex()}}
    return {"format": FORMAT, "kind": "issuance", "issuers": issuers, "cases": cases}


# --- verification -------------------------------------------------------------------


class Verification:
    def __init__(self, ids: Dict[str, Identity]) -> None:
        self.ids = ids
        self.cases: List[Dict[str, Any]] = []

    def add(self, name: str, wire: bytes, checks: Sequence[Tuple[int, Expected]],
            root: str = "root", group: str = "") -> None:
        entries = []
        for now, expected in checks:
            got = outcome(self.ids[root].pk, wire, now)
            if got != expected:
                raise SystemExit(f"verification {name!r} at {now}: expected {expected}, module gave {got}")
            entries.append(check_entry(now, got))
        self.cases.append({"name": name, "group": group, "root": root, "wire": wire.hex(),
                           "checks": entries})

    def document(self) -> Dict[str, Any]:
        keys = {name: {"master": MASTER.hex(), "deployment": DEPLOYMENT.hex(),
                       "context": ident.labels[2].hex(), "public_key": ident.pk.hex()}
                for name, ident in self.ids.items()}
        return {"format": FORMAT, "kind": "verification", "keys": keys, "cases": self.cases}


def with_z0(sig: bytes, z: int) -> bytes:
    """The signature with its first response coefficient set to z (|z| <= 2^19).
    z is packed as the 20-bit value 2^19 - z, the lowest bits first."""
    packed_z = (1 << 19) - z
    low = sig[SIG_Z_OFFSET] | sig[SIG_Z_OFFSET + 1] << 8 | (sig[SIG_Z_OFFSET + 2] & 0xF0) << 16
    word = (low & ~0xFFFFF) | packed_z
    return patch(sig, SIG_Z_OFFSET, word.to_bytes(3, "little"))


def signature_encoding_faults(sig: bytes) -> List[Tuple[str, bytes, str]]:
    """The signature altered at the decoding bounds: each way the hint section can be
    malformed, and response coefficients at and just inside the norm bound. Where a
    change still decodes, it must fail as SignatureInvalid instead."""
    hints = sig[SIG_HINT_OFFSET:]
    positions, counts = list(hints[:55]), list(hints[55:])
    ranges = [(counts[i - 1] if i else 0, counts[i]) for i in range(6)]
    first_nonempty = next(i for i, (a, b) in enumerate(ranges) if b > a)
    pair = next(a for a, b in ranges if b - a >= 2)
    if counts[5] >= 55 or first_nonempty == 5 or positions[counts[5] - 1] == 255:
        raise SystemExit("signature_encoding_faults: the sample signature has too many hints")

    def with_hints(new_positions: List[int], new_counts: List[int]) -> bytes:
        return patch(sig, SIG_HINT_OFFSET, bytes(new_positions) + bytes(new_counts))

    def counts_with(i: int, value: int) -> List[int]:
        return counts[:i] + [value] + counts[i + 1:]

    swapped = positions[:pair] + [positions[pair + 1], positions[pair]] + positions[pair + 2:]
    repeated = positions[:pair + 1] + [positions[pair]] + positions[pair + 2:]
    padded = positions[:54] + [1]
    last = counts[5] - 1  # the last hint index of the last non-empty polynomial may grow by one
    moved = positions[:last] + [positions[last] + 1] + positions[last + 1:]
    limit = (1 << 19) - 196  # gamma1 - beta = 524092
    return [
        ("z coefficient 524091, just inside the norm bound: decodes, does not verify",
         with_z0(sig, limit - 1), "SignatureInvalid"),
        ("z coefficient -524091: decodes, does not verify", with_z0(sig, -(limit - 1)), "SignatureInvalid"),
        ("z coefficient 524092, at the norm bound", with_z0(sig, limit), "SignatureDecodingFailed"),
        ("z coefficient -524092", with_z0(sig, -limit), "SignatureDecodingFailed"),
        ("first hint count above 55", with_hints(positions, counts_with(0, 56)), "SignatureDecodingFailed"),
        ("hint counts decrease", with_hints(positions, counts_with(
            first_nonempty + 1, counts[first_nonempty] - 1)), "SignatureDecodingFailed"),
        ("hint indices of one polynomial out of order", with_hints(swapped, counts),
         "SignatureDecodingFailed"),
        ("hint index repeated within one polynomial", with_hints(repeated, counts),
         "SignatureDecodingFailed"),
        ("non-zero byte in the unused hint positions", with_hints(padded, counts),
         "SignatureDecodingFailed"),
        ("hint index moved but still increasing: decodes, does not verify", with_hints(moved, counts),
         "SignatureInvalid"),
    ]


def verification_vectors(ids: Dict[str, Identity]) -> Dict[str, Any]:
    root, service, worker, other = (ids[n] for n in ("root", "service", "worker", "other"))
    v = Verification(ids)
    enc: Callable[[Sequence[Credential]], bytes] = vk.encode_chain
    any_perm = perms((b"*", b"*"))
    docs_all, docs_read = perms((b"docs", b"*")), perms((b"docs", b"read"))

    # Valid chains, and the time bounds (inclusive at both ends).
    c1 = root.issue(service.pk, "node", 1, docs_all,
                    vk.not_before(NOW - HOUR) + vk.not_after(NOW + 100 * HOUR))
    c2 = service.issue(worker.pk, "node", 2, perms((b"docs", b"read"), (b"docs", b"list")),
                       vk.not_before(NOW - 10) + vk.not_after(NOW + 10 * HOUR))
    c3 = worker.issue(other.pk, "leaf", 3, perms((b"docs", b"read"), (b"docs", b"read")),
                      vk.not_before(NOW) + vk.not_after(NOW + HOUR))
    three = enc([c1, c2, c3])
    v.add("three credentials, checked at and around every bound", three, [
        (NOW, 3), (NOW + 60, 3), (NOW - 1, "NotBeforeViolation"),
        (NOW + HOUR, 3), (NOW + HOUR + 1, "NotAfterViolation"),
        (NOW - HOUR, "NotBeforeViolation"), (NOW + 100 * HOUR + 1, "NotAfterViolation"),
    ], group="valid")
    one = enc([root.issue(worker.pk, "leaf", 1, docs_read)])
    v.add("one credential without caveats", one,
          [(0, 1), (NOW, 1), (2**53 - 1, 1), (2**53, 1), (2**64 - 1, 1)], group="valid")
    v.add("not-before 2^53 and not-after 2^64 - 2", enc([root.issue(
        worker.pk, "leaf", 1, docs_read, vk.not_before(2**53) + vk.not_after(2**64 - 2))]),
        [(2**53 - 1, "NotBeforeViolation"), (2**53, 1), (2**53 + 1, 1), (2**64 - 2, 1),
         (2**64 - 1, "NotAfterViolation")], group="valid")
    v.add("not-before 2^64 - 1", enc([root.issue(worker.pk, "leaf", 1, docs_read,
                                                 vk.not_before(2**64 - 1))]),
          [(2**64 - 2, "NotBeforeViolation"), (2**64 - 1, 1)], group="valid")
    v.add("bytes after the last credential are ignored", one + b"\x00\xff", [(NOW, 1)], group="valid")
    v.add("a credential may delegate to its own issuer key", enc([
        root.issue(root.pk, "node", 1, any_perm), root.issue(worker.pk, "leaf", 2, docs_read)]),
        [(NOW, 2)], group="valid")

    # Chain length: 16 is the limit; a count of 17 is refused from the header alone.
    pair = (root, service)
    sixteen = enc([pair[i % 2].issue(pair[(i + 1) % 2].pk, "node", i + 1, any_perm)
                   for i in range(16)])
    v.add("16 credentials, depths 1 to 16", sixteen, [(NOW, 16)], group="boundary")
    v.add("count 17, nothing after the header", b"\x01" + le32(17), [(NOW, "ChainTooDeep")],
          group="boundary")
    v.add("count 17 followed by 16 valid credentials", b"\x01" + le32(17) + sixteen[5:],
          [(NOW, "ChainTooDeep")], group="boundary")

    # Scope and caveat sizes.
    sixty_four = perms(*[(b"r%d" % i, b"v") for i in range(64)])
    v.add("64 permission records", enc([root.issue(worker.pk, "leaf", 1, sixty_four)]),
          [(NOW, 1)], group="boundary")
    v.add("65 permission records (signed)", enc([root.sign_raw(raw_payload(
        worker.pk, 0, 1, sixty_four + vk.perm_tlv(b"r", b"v")))]), [(NOW, "ScopeTooLarge")],
        group="boundary")
    v.add("64 permission records and one stray byte (signed)", enc([root.sign_raw(raw_payload(
        worker.pk, 0, 1, sixty_four + b"\x00"))]), [(NOW, "ScopeTooLarge")], group="boundary")
    bounds = b"".join(vk.not_before(NOW - 31 + i) if i < 32 else vk.not_after(NOW + i - 32)
                      for i in range(64))
    v.add("576 caveat bytes: the latest not-before and the earliest not-after are both now",
          enc([root.issue(worker.pk, "leaf", 1, docs_read, bounds)]),
          [(NOW, 1), (NOW - 1, "NotBeforeViolation"), (NOW + 1, "NotAfterViolation")],
          group="boundary")
    v.add("577 caveat bytes (signed)", enc([root.sign_raw(raw_payload(
        worker.pk, 0, 1, docs_read, bounds + b"\x01"))]), [(NOW, "CaveatsTooLarge")],
        group="boundary")
    v.add("585 caveat bytes, 65 valid records (signed)", enc([root.sign_raw(raw_payload(
        worker.pk, 0, 1, docs_read, bounds + vk.not_after(NOW)))]), [(NOW, "CaveatsTooLarge")],
        group="boundary")

    # Framing.
    v.add("empty wire", b"", [(NOW, "WireTruncated")], group="wire")
    v.add("version byte only", b"\x01", [(NOW, "WireTruncated")], group="wire")
    v.add("count cut short", b"\x01\x01\x00\x00", [(NOW, "WireTruncated")], group="wire")
    v.add("version 2", b"\x02", [(NOW, "WireVersionMismatch")], group="wire")
    v.add("version 0 in front of a valid chain", b"\x00" + one[1:], [(NOW, "WireVersionMismatch")],
          group="wire")
    v.add("count 0", b"\x01" + le32(0), [(NOW, "EmptyChain")], group="wire")
    v.add("count 0 followed by a valid credential", b"\x01" + le32(0) + one[5:],
          [(NOW, "EmptyChain")], group="wire")
    v.add("count 4294967295", b"\x01\xff\xff\xff\xff", [(NOW, "ChainTooDeep")], group="wire")
    v.add("count 1, record cut inside the signature", one[:5 + 4000], [(NOW, "WireTruncated")],
          group="wire")
    v.add("count 1, payload one byte short of its length field", one[:-1],
          [(NOW, "WireTruncated")], group="wire")

    # Linkage, delegation right, signature.
    v.add("first credential issued by another key (validly signed)",
          enc([other.issue(worker.pk, "leaf", 1, docs_read)]), [(NOW, "ParentKeyMismatch")],
          group="linkage")
    v.add("second issuer is not the first credential's child", enc([
        root.issue(service.pk, "node", 1, docs_all), other.issue(worker.pk, "leaf", 2, docs_read)]),
        [(NOW, "ParentKeyMismatch")], group="linkage")
    to_worker_leaf = root.issue(worker.pk, "leaf", 1, docs_all)
    v.add("a leaf delegates", enc([to_worker_leaf, worker.issue(other.pk, "leaf", 2, docs_read)]),
          [(NOW, "LeafCannotDelegate")], group="linkage")
    pk, sig, payload = root.issue(worker.pk, "leaf", 1, docs_read)
    v.add("payload byte flipped (in the child key)", enc([(pk, sig, flip(payload, 0))]),
          [(NOW, "SignatureInvalid")], group="signature")
    v.add("payload role byte changed to 2 after signing", enc([(pk, sig, patch(payload, PK_SIZE, b"\x02"))]),
          [(NOW, "SignatureInvalid")], group="signature")
    v.add("signature byte flipped (in c-tilde)", enc([(pk, flip(sig, 0), payload)]),
          [(NOW, "SignatureInvalid")], group="signature")
    v.add("signature taken from another credential of the same issuer",
          enc([(pk, c1[1], payload)]), [(NOW, "SignatureInvalid")], group="signature")
    v.add("hint count above 55", enc([(pk, patch(sig, SIG_SIZE - 1, b"\x38"), payload)]),
          [(NOW, "SignatureDecodingFailed")], group="signature")
    # z's first coefficient is the low 20 bits at SIG_Z_OFFSET, stored as 2^19 - z.
    z_zero = (sig[:SIG_Z_OFFSET] + b"\x00\x00" + bytes([sig[SIG_Z_OFFSET + 2] & 0xF0])
              + sig[SIG_Z_OFFSET + 3:])
    v.add("z coefficient of 2^19, beyond the norm bound", enc([(pk, z_zero, payload)]),
          [(NOW, "SignatureDecodingFailed")], group="signature")
    for name, bad, expected in signature_encoding_faults(sig):
        v.add(name, enc([(pk, bad, payload)]), [(NOW, expected)], group="signature")

    # Payload structure behind a valid signature.
    for name, body, expected in [
        ("payload of 1952 bytes (key only)", worker.pk, "WireTruncated"),
        ("payload of 1960 bytes, role 0", worker.pk + b"\x00" + bytes(7), "WireTruncated"),
        ("scope length runs past the end", raw_payload(worker.pk, 0, 1, docs_read, scope_len=0xFFFFFFFF),
         "WireTruncated"),
        ("caveat length runs past the end", raw_payload(worker.pk, 0, 1, docs_read, caveats_len=9),
         "WireTruncated"),
        ("role byte 2", raw_payload(worker.pk, 2, 1, docs_read), "InvalidRoleByte"),
        ("one byte after the caveats", raw_payload(worker.pk, 0, 1, docs_read, tail=b"\x00"), "WireInvalid"),
        ("permission record runs past the scope", raw_payload(worker.pk, 0, 1, b"\x05ab"), "WireInvalid"),
        ("verb length byte missing", raw_payload(worker.pk, 0, 1, b"\x00"), "WireInvalid"),
        ("empty scope", raw_payload(worker.pk, 0, 1, b""), "ScopeEmpty"),
        ("10 caveat bytes", raw_payload(worker.pk, 0, 1, docs_read, vk.not_after(NOW) + b"\x00"),
         "MalformedCaveatBuffer"),
        ("caveat tag 3", raw_payload(worker.pk, 0, 1, docs_read, b"\x03" + bytes(8)), "MalformedCaveatBuffer"),
    ]:
        v.add(f"{name} (signed)", enc([root.sign_raw(body)]), [(NOW, expected)], group="payload")

    # Depth and scope coverage.
    v.add("first credential at depth 2", enc([root.issue(worker.pk, "leaf", 2, docs_read)]),
          [(NOW, "DepthMismatch")], group="depth")
    v.add("first credential at depth 0", enc([root.issue(worker.pk, "leaf", 0, docs_read)]),
          [(NOW, "DepthMismatch")], group="depth")
    to_service = root.issue(service.pk, "node", 1, docs_all)
    v.add("depths 1, 3", enc([to_service, service.issue(worker.pk, "leaf", 3, docs_read)]),
          [(NOW, "DepthMismatch")], group="depth")
    for name, parent, child in [
        ("child adds a permission after covered ones", docs_all, perms((b"docs", b"read"), (b"mail", b"read"))),
        ("no prefix matching: 'doc' does not cover 'docs'", perms((b"doc", b"*")), docs_read),
        ("a child '*' is literal", docs_all, perms((b"*", b"read"))),
        ("only the one-byte '*' is a wildcard", perms((b"**", b"*")), docs_read),
        ("comparison is case-sensitive", perms((b"Docs", b"*")), docs_read),
    ]:
        v.add(name, enc([root.issue(service.pk, "node", 1, parent),
                         service.issue(worker.pk, "leaf", 2, child)]),
              [(NOW, "ScopeEscalation")], group="scope")
    v.add("covered: wildcards, equal fields, empty fields and duplicates", enc([
        root.issue(service.pk, "node", 1, perms((b"*", b"read"), (b"docs", b"*"), (b"", b""))),
        service.issue(worker.pk, "leaf", 2, perms((b"*", b"read"), (b"mail", b"read"), (b"docs", b"x"),
                                                  (b"docs", b"x"), (b"", b"")))]),
        [(NOW, 2)], group="scope")

    # Two rules broken at once: the first in verification order is reported.
    signed_by_other = other.issue(worker.pk, "leaf", 1, docs_read)
    v.add("count 3, only 2 records, the first issued by another key",
          b"\x01" + le32(3) + enc([signed_by_other, service.issue(worker.pk, "leaf", 2, docs_read)])[5:],
          [(NOW, "WireTruncated")], group="order")
    v.add("version 2 and count 0", b"\x02" + le32(0), [(NOW, "WireVersionMismatch")], group="order")
    v.add("wrong issuer and bad signature", enc([bad_sig(signed_by_other)]),
          [(NOW, "ParentKeyMismatch")], group="order")
    v.add("leaf parent and wrong issuer", enc([to_worker_leaf, other.issue(service.pk, "leaf", 2, docs_read)]),
          [(NOW, "ParentKeyMismatch")], group="order")
    v.add("leaf parent and bad signature",
          enc([to_worker_leaf, bad_sig(worker.issue(other.pk, "leaf", 2, docs_read))]),
          [(NOW, "LeafCannotDelegate")], group="order")
    v.add("bad signature and the first credential not yet valid",
          enc([bad_sig(root.issue(worker.pk, "leaf", 1, docs_read, vk.not_before(NOW + 1)))]),
          [(NOW, "SignatureInvalid")], group="order")
    v.add("role byte 255 in a 1953-byte payload (signed)", enc([root.sign_raw(worker.pk + b"\xff")]),
          [(NOW, "InvalidRoleByte")], group="order")
    v.add("empty scope and 577 caveat bytes (signed)",
          enc([root.sign_raw(raw_payload(worker.pk, 0, 1, b"", bytes(577)))]), [(NOW, "ScopeEmpty")],
          group="order")
    v.add("malformed scope and malformed caveats (signed)",
          enc([root.sign_raw(raw_payload(worker.pk, 0, 1, b"\x05ab", bytes(10)))]), [(NOW, "WireInvalid")],
          group="order")
    v.add("malformed caveats and depth 7 (signed)",
          enc([root.sign_raw(raw_payload(worker.pk, 0, 7, docs_read, b"\x03" + bytes(8)))]),
          [(NOW, "MalformedCaveatBuffer")], group="order")
    v.add("wrong depth and scope escalation",
          enc([to_service, service.issue(worker.pk, "leaf", 3, perms((b"mail", b"read")))]),
          [(NOW, "DepthMismatch")], group="order")
    v.add("scope escalation and expired",
          enc([to_service, service.issue(worker.pk, "leaf", 2, perms((b"mail", b"read")),
                                         vk.not_after(NOW - 1))]),
          [(NOW, "ScopeEscalation")], group="order")
    v.add("first credential expired, second with a bad signature",
          enc([root.issue(service.pk, "node", 1, docs_all, vk.not_after(NOW - 1)),
               bad_sig(service.issue(worker.pk, "leaf", 2, docs_read))]),
          [(NOW, "NotAfterViolation")], group="order")
    v.add("caveats not-after(now-1) then not-before(now+1): the first record decides",
          enc([root.issue(worker.pk, "leaf", 1, docs_read, vk.not_after(NOW - 1) + vk.not_before(NOW + 1))]),
          [(NOW, "NotAfterViolation")], group="order")
    v.add("caveats not-before(now+1) then not-after(now-1): the first record decides",
          enc([root.issue(worker.pk, "leaf", 1, docs_read, vk.not_before(NOW + 1) + vk.not_after(NOW - 1))]),
          [(NOW, "NotBeforeViolation")], group="order")
    v.add("not-before 100 then 50: both are enforced", enc([root.issue(
        worker.pk, "leaf", 1, docs_read, vk.not_before(100) + vk.not_before(50))]),
          [(75, "NotBeforeViolation"), (100, 1)], group="order")
    return v.document()


# --- encodings: records, the chain wire, the lenient payload reader ----------------


def encoding_vectors() -> Dict[str, Any]:
    key, sig = b"\x11" * PK_SIZE, b"\x22" * SIG_SIZE

    def cred(payload_len: int, fill: int = 0x33) -> Tuple[bytes, bytes, bytes]:
        return (key, sig, bytes([fill]) * payload_len)

    def body(role: int = 0, scope: bytes = b"\x00\x00", caveats: bytes = b"", **kw: Any) -> bytes:
        return raw_payload(b"\x44" * PK_SIZE, role, 1, scope, caveats, **kw)

    two = vk.encode_chain([cred(3, 0x33), cred(0)])
    t53, t64 = 2**53, 2**64 - 1
    rows: List[Tuple[str, str, Tuple[Any, ...], str]] = [
        # (name, call, arguments, expected: "ok", a KernelError name or a plain message)
        ("perm_tlv doc/read", "perm_tlv", (b"doc", b"read"), "ok"),
        ("perm_tlv empty resource and verb", "perm_tlv", (b"", b""), "ok"),
        ("perm_tlv 255-byte resource and verb", "perm_tlv", (b"r" * 255, b"v" * 255), "ok"),
        ("perm_tlv 256-byte resource", "perm_tlv", (b"r" * 256, b"v"), "ResourceTooLong"),
        ("perm_tlv 256-byte verb", "perm_tlv", (b"r", b"v" * 256), "VerbTooLong"),
        ("perm_tlv both too long: the resource is checked first", "perm_tlv", (b"r" * 256, b"v" * 256),
         "ResourceTooLong"),
    ]
    for ts in (0, 1, NOW, t53 - 1, t53, t53 + 1, t64):
        rows += [(f"not_before {ts}", "not_before", (ts,), "ok"), (f"not_after {ts}", "not_after", (ts,), "ok")]
    rows += [
        ("encode_chain of no credentials", "encode_chain", ([],), "ok"),
        ("encode_chain of one credential with an empty payload", "encode_chain", ([cred(0)],), "ok"),
        ("encode_chain of 17 credentials: the writer does not count", "encode_chain", ([cred(0)] * 17,), "ok"),
        ("encode_chain payload of 35309 bytes", "encode_chain", ([cred(35309)],), "ok"),
        ("encode_chain payload of 35310 bytes", "encode_chain", ([cred(35310)],), "WireTruncated"),
        ("encode_chain payloads of 70618 and 0 bytes: the sum decides", "encode_chain",
         ([cred(70618), cred(0)],), "ok"),
        ("encode_chain payloads of 0 and 70619 bytes", "encode_chain", ([cred(0), cred(70619)],), "WireTruncated"),
        ("encode_chain issuer_pk of 1951 bytes", "encode_chain", ([cred(0), (key[1:], sig, b"")],),
         "credential[1] issuer_pk must be 1952 bytes"),
        ("encode_chain sig of 3310 bytes", "encode_chain", ([(key, sig + b"\x22", b"")],),
         "credential[0] sig must be 3309 bytes"),
        ("encode_chain issuer_pk and sig both wrong: the key is checked first", "encode_chain",
         ([(key[1:], sig[1:], b"")],), "credential[0] issuer_pk must be 1952 bytes"),
        ("encode_chain bad sig in credential 0, bad key in credential 1: the first bad credential",
         "encode_chain", ([(key, sig[1:], b""), (key[1:], sig, b"")],), "credential[0] sig must be 3309 bytes"),
        ("encode_chain lengths are checked before the capacity", "encode_chain",
         ([cred(80000), (key, sig[1:], b"")],), "credential[1] sig must be 3309 bytes"),
        ("encode_chain a 2-element credential after a short key: conversion comes first", "encode_chain",
         ([(key[1:], sig, b""), (key, sig)],), "expected tuple of length 3, but got tuple of length 2"),
        ("decode_chain two credentials", "decode_chain", (two,), "ok"),
        ("decode_chain ignores bytes after the last record", "decode_chain", (two + b"\x01\xff",), "ok"),
        ("decode_chain does not bound a payload's length", "decode_chain",
         (b"\x01" + le32(1) + key + sig + le32(40000) + bytes(40000),), "ok"),
        ("decode_chain empty wire", "decode_chain", (b"",), "WireTruncated"),
        ("decode_chain the one byte 01", "decode_chain", (b"\x01",), "WireTruncated"),
        ("decode_chain the one byte 02", "decode_chain", (b"\x02",), "WireVersionMismatch"),
        ("decode_chain count 0", "decode_chain", (b"\x01" + le32(0),), "EmptyChain"),
        ("decode_chain count 17", "decode_chain", (b"\x01" + le32(17),), "ChainTooDeep"),
        ("decode_chain count 3, two records", "decode_chain", (b"\x01" + le32(3) + two[5:],), "WireTruncated"),
        ("decode_chain payload one byte short", "decode_chain", (two[:-1],), "WireTruncated"),
        ("parse_payload the smallest payload", "parse_payload", (body(),), "ok"),
        ("parse_payload node, two permissions, repeated caveat kinds: the last of each is shown",
         "parse_payload", (body(1, perms((b"docs", b"read"), (b"*", b"")), vk.not_before(5) + vk.not_after(t64)
                                + vk.not_before(t53) + vk.not_after(NOW)),), "ok"),
        ("parse_payload times of 2^53 and 2^64 - 1", "parse_payload",
         (body(caveats=vk.not_before(t53) + vk.not_after(t64)),), "ok"),
        ("parse_payload ignores bytes after the caveats", "parse_payload", (body(tail=b"xyz"),), "ok"),
        ("parse_payload accepts 585 caveat bytes and ignores 1 to 8 stray ones", "parse_payload",
         (body(caveats=vk.not_after(9) * 65 + b"\x03" * 8),), "ok"),
        ("parse_payload 1952 bytes", "parse_payload", (body()[:1952],), "payload too short"),
        ("parse_payload 1964 bytes with role byte 2: length first", "parse_payload",
         (body(2)[:1964],), "payload too short"),
        ("parse_payload 1965 bytes, role byte 2", "parse_payload", (body(2, b""),), "invalid role byte: 0x02"),
        ("parse_payload role byte 255 and a scope length past the end: role first", "parse_payload",
         (body(255, scope_len=0xFFFFFFFF),), "invalid role byte: 0xff"),
        ("parse_payload scope length 2^32 - 1", "parse_payload", (body(scope_len=0xFFFFFFFF),),
         "payload truncated at scope"),
        ("parse_payload scope ends where the caveat length should start", "parse_payload",
         (body(scope=b"\x00\x00" * 3)[:1969],), "payload truncated at caveat length"),
        ("parse_payload caveat length 9, no caveat bytes", "parse_payload", (body(caveats_len=9),),
         "payload truncated at caveats"),
        ("parse_payload 1965 bytes, scope length 0", "parse_payload", (body(scope=b""),), "ScopeEmpty"),
        ("parse_payload 65 records", "parse_payload", (body(scope=b"\x00\x00" * 65),), "ScopeTooLarge"),
        ("parse_payload malformed scope and caveat tag 3: the scope first", "parse_payload",
         (body(scope=b"\x05ab", caveats=b"\x03" + bytes(8)),), "WireInvalid"),
        ("parse_payload caveat tag 3", "parse_payload", (body(caveats=b"\x03" + bytes(8)),),
         "unknown caveat tag: 0x03"),
        ("parse_payload caveat tag 255 after a valid record", "parse_payload",
         (body(caveats=vk.not_after(1) + b"\xff" + bytes(8)),), "unknown caveat tag: 0xff"),
    ]
    cases = []
    for name, call, args, expected in rows:
        kind, got = call_outcome(lambda: getattr(vk, call)(*args))
        if (got if kind != "result" else "ok") != expected:
            raise SystemExit(f"encoding {name!r}: expected {expected}, module gave {kind} {got}")
        case: Dict[str, Any] = {"name": name, "call": call, "args": [encoding_json(a) for a in args]}
        case[kind] = encoding_json(got) if kind == "result" else got
        cases.append(case)
    return {"format": FORMAT, "kind": "encoding", "cases": cases}


def encoding_json(value: Any) -> Any:
    """Arguments and results of the encoding calls as JSON: bytes packed, integers as times,
    tuples as lists, a parsed payload's dict with its values converted."""
    if isinstance(value, bytes):
        return packed(value)
    if isinstance(value, bool) or value is None or isinstance(value, str):
        return value
    if isinstance(value, int):
        return json_time(value)
    if isinstance(value, dict):
        return {k: encoding_json(v) for k, v in value.items()}
    return [encoding_json(v) for v in value]


# --- tokens, chain digests and request proofs --------------------------------------


B64URL = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


def b64url(data: bytes) -> str:
    """base64url without padding, written here rather than by the module under test."""
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def unb64url(text: str) -> bytes:
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def token_text(value: Union[str, List[Any]]) -> str:
    """A token's text from its JSON: a string, or pieces of literal text and
    {"repeat": character, "count": n} runs (for the texts near the length cap)."""
    if isinstance(value, str):
        return value
    return "".join(p if isinstance(p, str) else p["repeat"] * p["count"] for p in value)


def token_refusal(token: str, root_pk: bytes) -> str:
    """The reason decode_token refuses a text: TokenMalformed's, or UnknownRoot
    for a token naming another root (which the package raises as
    ParentKeyMismatch at credential 0)."""
    try:
        vestrel.decode_token(token, root_pk)
    except vestrel.TokenMalformed as refusal:
        return refusal.reason
    except vestrel.ParentKeyMismatch as refusal:
        if refusal.index != 0:
            raise
        return "UnknownRoot"
    return "decoded"


def token_chains(ids: Dict[str, Identity]) -> List[Tuple[str, bytes]]:
    root, service, worker, other = (ids[n] for n in ("root", "service", "worker", "other"))
    docs_all, docs_read = perms((b"docs", b"*")), perms((b"docs", b"read"))
    c1 = root.issue(service.pk, "node", 1, docs_all, vk.not_after(NOW + HOUR))
    c2 = service.issue(worker.pk, "node", 2, docs_read)
    c3 = worker.issue(other.pk, "leaf", 3, docs_read, vk.not_before(NOW))
    return [("one credential, to the worker", vk.encode_chain([root.issue(worker.pk, "leaf", 1, docs_read)])),
            ("two credentials", vk.encode_chain([c1, c2])),
            ("three credentials", vk.encode_chain([c1, c2, c3]))]


def token_vectors(ids: Dict[str, Identity]) -> Dict[str, Any]:
    root, service, worker = ids["root"], ids["service"], ids["worker"]
    cases: List[Dict[str, Any]] = []
    for name, wire in token_chains(ids):
        token = vestrel.encode_token(wire)
        digest = vestrel.chain_digest(token)
        if (vestrel.decode_token(token, root.pk), vestrel.chain_digest(wire)) != (wire, digest):
            raise SystemExit(f"tokens {name!r}: the token does not give back its wire and digest")
        cases.append({"name": name, "root": "root", "wire": wire.hex(), "token": token,
                      "chain_digest": digest.hex(), "chain_ref": vestrel.chain_ref(wire)})

    one, three = cases[0]["token"], cases[2]["token"]
    body = unb64url(one[4:])
    rid = hashlib.sha3_256(root.pk).digest()[:16]
    record = bytes(SIG_SIZE)  # a signature's place; the reader never looks inside it
    body3 = unb64url(three[4:])
    # The last character stands for 4 bits (or 2) that must be zero: set the lowest.
    final = one[:-1] + B64URL[B64URL.index(one[-1]) | 1]
    rows: List[Tuple[str, Union[str, List[Any]], str, str]] = [
        # (name, text, the root it is read against, expected reason)
        ("empty text", "", "root", "Prefix"),
        ("version 2", "vt2." + one[4:], "root", "Prefix"),
        ("the prefix in capitals", "VT1." + one[4:], "root", "Prefix"),
        ("no dot after the version", "vt1" + one[4:], "root", "Prefix"),
        ("a chain reference", cases[0]["chain_ref"], "root", "Prefix"),
        (f"{MAX_TOKEN_LEN} characters, the longest allowed: an all-zero body has count 0",
         ["vt1.", {"repeat": "A", "count": MAX_TOKEN_LEN - 4}], "root", "Count"),
        (f"{MAX_TOKEN_LEN + 1} characters: refused before the prefix is read",
         ["vt2.", {"repeat": "A", "count": MAX_TOKEN_LEN - 3}], "root", "TooLong"),
        ("padded with '='", one + "=", "root", "Character"),
        ("a line break at the end", one + "\n", "root", "Character"),
        ("a space in place of a character", one[:100] + " " + one[101:], "root", "Character"),
        ("'+' of the standard alphabet in place of a character", one[:100] + "+" + one[101:], "root",
         "Character"),
        ("a non-ASCII character", one[:100] + "\u00e9" + one[101:], "root", "Character"),
        ("two characters added: 4k + 1 characters", one + "AA", "root", "Length"),
        ("the last character's unused bits not zero", final, "root", "FinalBits"),
        ("nothing after the prefix", "vt1.", "root", "Truncated"),
        ("the key id and no count", "vt1." + b64url(rid), "root", "Truncated"),
        ("three credentials cut inside the last payload", "vt1." + b64url(body3[:-3]), "root",
         "Truncated"),
        ("count 16 and one record", "vt1." + b64url(rid + b"\x10" + body[17:]), "root", "Truncated"),
        ("count 0", "vt1." + b64url(rid + b"\x00"), "root", "Count"),
        ("count 17, then one record", "vt1." + b64url(rid + b"\x11" + body[17:]), "root", "Count"),
        ("payload length 1951: too short to hold the child key", "vt1." + b64url(
            rid + b"\x01" + record + (1951).to_bytes(2, "little") + bytes(1951)), "root", "PayloadLength"),
        ("payload length 35310: longer than any payload", "vt1." + b64url(
            rid + b"\x01" + record + (35310).to_bytes(2, "little")), "root", "PayloadLength"),
        ("a byte after the last record", "vt1." + b64url(body + b"\x00"), "root", "Trailing"),
        ("a root other than the one given", one, "other", "UnknownRoot"),
    ]
    refusals = []
    for name, text, root_name, expected in rows:
        got = token_refusal(token_text(text), ids[root_name].pk)
        if got != expected:
            raise SystemExit(f"tokens {name!r}: expected {expected}, module gave {got}")
        refusals.append({"name": name, "root": root_name, "token": text, "error": got})

    docs_read = perms((b"docs", b"read"))
    unlinked = vk.encode_chain([root.issue(service.pk, "node", 1, docs_read),
                                worker.issue(service.pk, "leaf", 2, docs_read)])
    wire_one = bytes.fromhex(cases[0]["wire"])
    short = vk.encode_chain([root.sign_raw(bytes(PK_SIZE - 1))])
    untokened = []
    no_token_rows: List[Tuple[str, bytes, Tuple[str, Optional[int]]]] = [
        ("the second issuer is not the first credential's child", unlinked, ("ParentKeyMismatch", 1)),
        ("bytes after the last credential", wire_one + b"\x00", ("WireInvalid", None)),
        ("a payload of 1951 bytes names no child", short, ("WireInvalid", 0)),
        ("count 0", b"\x01" + le32(0), ("EmptyChain", None)),
    ]
    for name, wire, expected_at in no_token_rows:
        try:
            vestrel.encode_token(wire)
            raise SystemExit(f"tokens {name!r}: the module gave a token")
        except vestrel.KernelError as refusal:
            if (refusal.rule, refusal.index) != expected_at:
                raise SystemExit(f"tokens {name!r}: expected {expected_at}, module gave {refusal!r}")
        untokened.append({"name": name, "wire": wire.hex(), "error": expected_at[0],
                          "index": expected_at[1]})
    keys = {name: {"master": MASTER.hex(), "deployment": DEPLOYMENT.hex(),
                   "context": ids[name].labels[2].hex(), "public_key": ids[name].pk.hex()}
            for name in ("root", "other")}
    return {"format": FORMAT, "kind": "tokens", "keys": keys, "cases": cases,
            "refusals": refusals, "no_token": untokened}


REQUEST_ROWS: List[Tuple[str, str, str, Optional[bytes], int, bytes]] = [
    # (name, method, url, body or None, issued_at, nonce)
    ("GET with a query, default port written", "GET", "https://API.example.com/docs/1?v=2&x", None,
     NOW, bytes(range(16))),
    ("POST covering its body, explicit port", "POST", "http://localhost:8080/upload", b'{"a":1}',
     NOW + 1, b"\xa5" * 16),
    ("IPv6 host in brackets, empty path written '/'", "DELETE", "https://[::1]", None,
     0, bytes(16)),
    ("path '/a' and no query", "GET", "https://h/a", None, NOW, bytes(16)),
    ("path '/' and query 'a': the same characters, another message", "GET", "https://h/?a", None,
     NOW, bytes(16)),
    ("an empty body covered, issued at 2^64 - 1", "PUT", "https://h:1/p", b"", 2**64 - 1,
     b"\xff" * 16),
]


def request_vectors(ids: Dict[str, Identity], tokens: Dict[str, Any]) -> Dict[str, Any]:
    token = tokens["cases"][0]["token"]  # the one-credential chain, held by the worker
    digest = bytes.fromhex(tokens["cases"][0]["chain_digest"])
    cases: List[Dict[str, Any]] = []
    for name, method, url, body, issued_at, nonce in REQUEST_ROWS:
        fields = _request.request_target(method, url)
        body_digest = None if body is None else hashlib.sha3_256(body).digest()
        message = _native.request_message(fields, issued_at, nonce, digest, body_digest)
        cases.append({"name": name, "method": method, "url": url,
                      "fields": [f.hex() for f in fields], "issued_at": json_time(issued_at),
                      "nonce": nonce.hex(), "chain_digest": digest.hex(),
                      "body_digest": None if body_digest is None else body_digest.hex(),
                      "message": message.hex()})

    # One whole request, signed by the chain's holder: ML-DSA here is
    # deterministic, so the signature and the header are fixed too.
    holder = ids["worker"]
    name, method, url, body, issued_at, nonce = REQUEST_ROWS[1]
    assert body is not None
    message = bytes.fromhex(cases[1]["message"])
    signature = _native.sign_request(holder.island, message)
    proof = _native.encode_proof(issued_at, nonce, True, signature)
    headers = {"Authorization": f"Vestrel {token}", "Vestrel-Proof": proof}
    vestrel.Verifier([ids["root"].pk]).verify_request(method, url, headers, body=body, now=issued_at)
    proofs = [{"name": f"{name}, presenting the one-credential token", "root": ids["root"].pk.hex(),
               "holder": {"master": MASTER.hex(), "deployment": DEPLOYMENT.hex(),
                          "context": holder.labels[2].hex(), "public_key": holder.pk.hex()},
               "token": token, "method": method, "url": url, "fields": cases[1]["fields"],
               "body": body.hex(),
               "issued_at": issued_at, "nonce": nonce.hex(), "message": message.hex(),
               "signature": signature.hex(), "proof": proof}]
    return {"format": FORMAT, "kind": "requests", "context": "vestrel-request-proof/1",
            "cases": cases, "proofs": proofs}


def build_all() -> Dict[str, Dict[str, Any]]:
    ids = {name: Identity(name.encode()) for name in ("root", "service", "worker", "other")}
    tokens = token_vectors(ids)
    return {
        "derivation.json": derivation_vectors(),
        "jwk.json": jwk_vectors(),
        "issuance.json": issuance_vectors(ids),
        "verification.json": verification_vectors(ids),
        "encoding.json": encoding_vectors(),
        "tokens.json": tokens,
        "requests.json": request_vectors(ids, tokens),
    }


def render(document: Dict[str, Any]) -> str:
    return json.dumps(document, indent=1) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="compare with the committed files instead of writing them")
    parser.add_argument("--out", type=Path, default=VECTORS, help="directory (default: vectors/)")
    options = parser.parse_args()
    stale = []
    for filename, document in build_all().items():
        path = options.out / filename
        text = render(document)
        if options.check:
            if not path.exists() or path.read_text() != text:
                stale.append(filename)
        else:
            path.write_text(text)
            print(f"wrote {path} ({len(text)} bytes, {len(document['cases'])} cases)")
    if stale:
        print("out of date: " + ", ".join(stale) + " (run tools/gen_vectors.py)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
