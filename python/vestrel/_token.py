"""The text forms a chain travels in over HTTP: the token, which carries the
whole chain, and the chain reference, which names a chain a service holds.
Both are read by the compiled core; see docs/formats.md for the bytes."""

from __future__ import annotations

from typing import Any, Union

from . import _native
from ._arguments import BytesLike, byte_string, public_key
from ._chain import refuse
from ._errors import ParentKeyMismatch, TokenMalformed

TOKEN_PREFIX = "vt1."
REF_PREFIX = "vr1."
DIGEST_SIZE = 32



def _base64url_len(size: int) -> int:
    return size // 3 * 4 + (size % 3 + 1 if size % 3 else 0)


# The longest token: 16 credentials with the largest payloads (823,920
# characters); tokens of real chains are a few kilobytes a credential.
MAX_TOKEN_LEN = len(TOKEN_PREFIX) + _base64url_len(17 + 16 * (3309 + 2 + 35309))
# A reference is its prefix and 43 characters of a 32-byte digest.
REF_LEN = len(REF_PREFIX) + 43


def ascii_text(text: str) -> str:
    """``text`` with each character outside ASCII made a ``?``, one for one:
    the core reads a text's bytes where the str keeps them, and a character
    outside ASCII would be several. The core then refuses it as any
    character outside the alphabet, in the same turn (after the text's
    length), so every reader gives the same reason for the same text."""
    return text if text.isascii() else text.encode("ascii", "replace").decode("ascii")


def token_text(token: str) -> str:
    """A token's text as the core reads it, once checked to be no longer than
    any token (see ascii_text)."""
    if len(token) > MAX_TOKEN_LEN:
        raise TokenMalformed("TooLong")
    return ascii_text(token)


def token_bytes(token: str) -> bytes:
    """The ASCII bytes of a token's text, checked as token_text does."""
    return token_text(token).encode("ascii")


def encode_token(wire: BytesLike) -> str:
    """The token of a chain wire: ASCII, safe in a URL, a header and a
    cookie, and compact (no issuer key that the chain already gives; the
    root named by its key id). One token per chain, and back to exactly this
    wire. A wire whose keys do not link up has no token (ParentKeyMismatch),
    nor one with bytes after its last credential (WireInvalid)."""
    answer = _native.encode_token(byte_string(wire, "wire"))
    if isinstance(answer, str):
        return answer
    refuse(answer)


def decode_token(token: str, root_pk: BytesLike) -> bytes:
    """The kernel wire a token came from, given the root it names. Raises
    TokenMalformed for a text that is not a token, ParentKeyMismatch (at
    credential 0) when it names another root."""
    if not isinstance(token, str):
        raise TypeError(f"token must be str, not {type(token).__name__}")
    answer = _native.decode_token(token_text(token), public_key(root_pk, "root_pk"))
    if isinstance(answer, bytes):
        return answer
    if answer[1] == "UnknownRoot":
        raise ParentKeyMismatch(0)
    raise TokenMalformed(answer[1])


def chain_digest(chain: Union[str, BytesLike]) -> bytes:
    """The 32 bytes a request proof binds a chain with, from its token or
    its wire (docs/formats.md)."""
    if isinstance(chain, str):
        answer = _native.token_chain_digest(token_text(chain))
        if isinstance(answer, bytes):
            return answer
        raise TokenMalformed(answer[1])
    import vestrel_kernel

    try:
        sigs = [sig for _, sig, _ in vestrel_kernel.decode_chain(byte_string(chain, "wire"))]
    except ValueError as error:
        from ._errors import typed

        raise typed(error) from None
    ids = tuple(_native.sha3_256(sig) for sig in sigs)
    digest: bytes = _native.chain_digest(ids)
    return digest


def chain_ref(chain: Union[str, BytesLike]) -> str:
    """The reference of a chain (its token or wire): "vr1." and its digest in
    base64url. A service that holds the chain (it was registered) accepts the
    reference wherever it accepts the token."""
    return REF_PREFIX + _native.base64url_encode(chain_digest(chain))


def parse_ref(ref: str) -> bytes:
    """The digest a reference names; TokenMalformed for anything else, for
    the first of these reasons, as a proof is read: TooLong, Prefix, the
    base64url text's (Length, Character, FinalBits), Truncated."""
    if len(ref) > REF_LEN:
        raise TokenMalformed("TooLong")
    if not ref.startswith(REF_PREFIX):
        raise TokenMalformed("Prefix")
    answer: Any = _native.base64url_decode(ascii_text(ref[len(REF_PREFIX):]).encode("ascii"))
    if not isinstance(answer, bytes):
        raise TokenMalformed(answer[1])
    if len(answer) != DIGEST_SIZE:
        raise TokenMalformed("Truncated")
    return answer
