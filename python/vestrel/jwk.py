"""Public keys as JSON Web Keys, the form token tooling exchanges them in.

An ML-DSA-65 public key is the key type ``AKP`` with ``alg`` "ML-DSA-65"
and the 1952 key bytes in ``pub`` (base64url, no padding); ``kid`` is the
key's JWK thumbprint: SHA-256 over ``{"alg":...,"kty":"AKP","pub":...}``
(the required members, names in order, no whitespace), base64url. The
thumbprint names the same key as :func:`vestrel.key_id` does; the two are
different digests for different audiences and neither replaces the other.

Reading is strict: a key set handed to a verifier decides what it trusts,
so anything this module does not understand exactly is refused with a
ValueError that says what, never skipped. Standard library only.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import json
import re
from typing import Any, Dict, Iterable, List, Mapping, Sequence, Tuple, Union

KTY = "AKP"
ALG = "ML-DSA-65"
PUBLIC_KEY_SIZE = 1952
# Key sets are configuration, a handful of keys of 2.6 KB text each: a
# document past this size is refused before it is parsed.
MAX_DOCUMENT_BYTES = 1024 * 1024

# The members this module understands, and so the only ones a JWK may list
# in "crit". "priv" is understood in order to refuse it.
_KNOWN = frozenset({"kty", "alg", "pub", "kid", "use", "key_ops", "crit"})
# The other ML-DSA parameter sets are AKP keys too; naming them makes the
# refusal say what the key is instead of calling its alg unknown.
_OTHER_MLDSA = frozenset({"ML-DSA-44", "ML-DSA-87"})
_BASE64URL = re.compile(r"[A-Za-z0-9_-]*")

JwkInput = Union[Mapping[str, Any], str, bytes, bytearray]


def _b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def _public_bytes(pk: Any) -> bytes:
    if isinstance(pk, (bytearray, memoryview)):
        pk = bytes(pk)
    if not isinstance(pk, bytes):
        raise TypeError(f"pk must be bytes, not {type(pk).__name__}")
    if len(pk) != PUBLIC_KEY_SIZE:
        raise ValueError(f"pk must be {PUBLIC_KEY_SIZE} bytes, not {len(pk)}")
    return pk


def _thumbprint_of(pub: str) -> str:
    # The canonical form is written by hand, not by json.dumps: its output
    # is the exact bytes hashed, and every member is a plain ASCII string.
    canonical = '{"alg":"%s","kty":"%s","pub":"%s"}' % (ALG, KTY, pub)
    return _b64url(hashlib.sha256(canonical.encode("ascii")).digest())


def thumbprint(pk: bytes) -> str:
    """The JWK thumbprint (SHA-256, base64url) of an ML-DSA-65 public key."""
    return _thumbprint_of(_b64url(_public_bytes(pk)))


def public_jwk(pk: bytes) -> Dict[str, str]:
    """The public JWK of an ML-DSA-65 key, its thumbprint as ``kid``."""
    pub = _b64url(_public_bytes(pk))
    return {"kty": KTY, "alg": ALG, "pub": pub, "kid": _thumbprint_of(pub)}


def key_set(pks: Iterable[bytes]) -> Dict[str, List[Dict[str, str]]]:
    """A JWK Set document of these keys, in their order; a key given twice
    is refused, as a reader of the set would refuse it."""
    if isinstance(pks, (bytes, bytearray, memoryview, str)):
        raise TypeError("pks must be an iterable of public keys: for one key, pass [pk]")
    keys = [public_jwk(pk) for pk in pks]
    _refuse_repeats(keys)
    return {"keys": keys}


# ---------------------------------------------------------------------------
# Reading


def _no_repeated_names(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    # json.loads keeps the last of two equal names; two readers of the same
    # text could then see two different keys.
    seen: Dict[str, Any] = {}
    for name, value in pairs:
        if name in seen:
            raise ValueError(f"the JSON text names the member {name!r} twice")
        seen[name] = value
    return seen


def _no_constant(name: str) -> Any:
    raise ValueError(f"the JSON text holds {name}, which is not JSON")


def _parsed(document: Any, what: str) -> Any:
    """A mapping as given, or the value of a JSON text (str or UTF-8 bytes)."""
    if isinstance(document, Mapping):
        return document
    if isinstance(document, str):
        size = len(document.encode("utf-8", "surrogatepass"))
    elif isinstance(document, (bytes, bytearray)):
        size = len(document)
    else:
        raise TypeError(f"{what} must be a dict or JSON text, not {type(document).__name__}")
    if size > MAX_DOCUMENT_BYTES:
        raise ValueError(f"{what} is {size} bytes, over the limit of {MAX_DOCUMENT_BYTES}")
    try:
        text = document if isinstance(document, str) else bytes(document).decode("utf-8")
        return json.loads(text, object_pairs_hook=_no_repeated_names, parse_constant=_no_constant)
    except UnicodeDecodeError:
        raise ValueError(f"{what} is not UTF-8 text") from None
    except RecursionError:
        raise ValueError(f"{what} nests too deeply to be a key") from None
    except json.JSONDecodeError as error:
        raise ValueError(f"{what} is not JSON: {error.msg} at character {error.pos}") from None


def _decode_pub(pub: Any) -> bytes:
    if not isinstance(pub, str):
        raise ValueError(f"'pub' must be a string, not {type(pub).__name__}")
    if "=" in pub:
        raise ValueError("'pub' must be base64url without padding")
    if not _BASE64URL.fullmatch(pub):
        raise ValueError("'pub' is not base64url: only A-Z, a-z, 0-9, '-' and '_' may appear")
    if len(pub) % 4 == 1:
        raise ValueError("'pub' is not base64url: its length leaves a lone character")
    try:
        key = base64.urlsafe_b64decode(pub + "=" * (-len(pub) % 4))
    except binascii.Error:
        raise ValueError("'pub' is not base64url") from None
    # Unused low bits of the last character must be zero, so that each key
    # has one text and a thumbprint computed from the text names the key.
    if _b64url(key) != pub:
        raise ValueError("'pub' is not canonical base64url: its last character has bits set "
                         "beyond the key")
    if len(key) != PUBLIC_KEY_SIZE:
        raise ValueError(f"'pub' holds {len(key)} bytes; an {ALG} public key is "
                         f"{PUBLIC_KEY_SIZE}")
    return key


def _check_members(jwk: Mapping[str, Any]) -> None:
    kty = jwk.get("kty")
    if kty != KTY:
        raise ValueError(f"'kty' must be {KTY!r}, not {kty!r}" if "kty" in jwk
                         else f"the JWK has no 'kty'; an {ALG} key has 'kty' {KTY!r}")
    alg = jwk.get("alg")
    if "alg" not in jwk:
        raise ValueError(f"the JWK has no 'alg'; an {KTY} key must name its algorithm")
    if alg in _OTHER_MLDSA:
        raise ValueError(f"'alg' {alg!r} is not used here: only {ALG!r} keys are")
    if alg != ALG:
        raise ValueError(f"'alg' must be {ALG!r}, not {alg!r}")
    # A key set is published: a seed found in one has leaked, and accepting
    # the key quietly would hide that from whoever published it.
    if "priv" in jwk:
        raise ValueError("the JWK holds 'priv', a private seed: a public key must not")
    if "kid" in jwk and not isinstance(jwk["kid"], str):
        raise ValueError(f"'kid' must be a string, not {type(jwk['kid']).__name__}")
    if "use" in jwk and jwk["use"] != "sig":
        raise ValueError(f"'use' must be 'sig' for a signature key, not {jwk['use']!r}")
    if "key_ops" in jwk:
        ops = jwk["key_ops"]
        if not isinstance(ops, list) or not all(isinstance(op, str) for op in ops):
            raise ValueError("'key_ops' must be a list of strings")
        if "verify" not in ops:
            raise ValueError(f"'key_ops' {ops!r} does not allow 'verify'")
    if "crit" in jwk:
        crit = jwk["crit"]
        if not isinstance(crit, list) or not crit or not all(isinstance(n, str) for n in crit):
            raise ValueError("'crit' must be a non-empty list of member names")
        unknown = [name for name in crit if name not in _KNOWN]
        if unknown:
            raise ValueError(f"'crit' names members this reader does not understand: {unknown!r}")
        absent = [name for name in crit if name not in jwk]
        if absent:
            raise ValueError(f"'crit' names members the JWK does not hold: {absent!r}")


def public_key(jwk: JwkInput) -> bytes:
    """The 1952-byte ML-DSA-65 public key of a public JWK (a dict, or its
    JSON text). Refused with a ValueError naming the fault: a ``kty`` other
    than "AKP", an ``alg`` other than "ML-DSA-65" or none, a ``pub`` that is
    not canonical unpadded base64url of 1952 bytes, a ``priv`` member (a
    seed has no place in a published key), a ``crit`` naming a member not
    understood here, and in JSON text a member named twice."""
    value = _parsed(jwk, "the JWK")
    if not isinstance(value, Mapping):
        raise ValueError(f"a JWK is a JSON object, not {type(value).__name__}")
    _check_members(value)
    return _decode_pub(value.get("pub"))


def _refuse_repeats(keys: Sequence[Mapping[str, Any]]) -> None:
    seen_pub: Dict[Any, int] = {}
    seen_kid: Dict[Any, int] = {}
    for index, key in enumerate(keys):
        pub, kid = key.get("pub"), key.get("kid")
        if pub in seen_pub:
            raise ValueError(f"keys[{index}] repeats the key of keys[{seen_pub[pub]}]")
        if kid is not None and kid in seen_kid:
            raise ValueError(f"keys[{index}] repeats the kid {kid!r} of keys[{seen_kid[kid]}]")
        seen_pub[pub] = index
        if kid is not None:
            seen_kid[kid] = index


def read_key_set(document: JwkInput) -> Tuple[bytes, ...]:
    """The public keys of a JWK Set document (a dict, or JSON text of at
    most :data:`MAX_DOCUMENT_BYTES`), in its order. The whole set is refused
    if any key is: one that is not an ML-DSA-65 AKP key, a key or a ``kid``
    named twice, no key at all. A set lists the keys trusted, so skipping a
    key that does not read would quietly trust fewer than its author meant."""
    value = _parsed(document, "the key set")
    if not isinstance(value, Mapping):
        raise ValueError(f"a key set is a JSON object, not {type(value).__name__}")
    keys = value.get("keys")
    if not isinstance(keys, list):
        raise ValueError("a key set needs a 'keys' list")
    if not keys:
        raise ValueError("the key set holds no keys")
    pks = []
    for index, key in enumerate(keys):
        if not isinstance(key, Mapping):
            raise ValueError(f"keys[{index}]: a JWK is a JSON object, not {type(key).__name__}")
        try:
            pks.append(public_key(key))
        except ValueError as error:
            raise ValueError(f"keys[{index}]: {error}") from None
    _refuse_repeats(keys)
    return tuple(pks)


__all__ = ["KTY", "ALG", "PUBLIC_KEY_SIZE", "MAX_DOCUMENT_BYTES", "thumbprint", "public_jwk",
           "key_set", "public_key", "read_key_set"]
