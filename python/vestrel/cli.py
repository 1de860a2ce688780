"""The `vestrel` command: show what a chain holds, verify it, turn a chain
into its token and back, and issue credentials from a master seed.

    vestrel inspect chain.bin
    xxd -p chain.bin | vestrel inspect
    vestrel verify --root root.pk --now now chain.bin
    vestrel verify --root old.pk --root new.pk --revoked revoked.txt \\
        --now 1750000000 --json - < chain.b64
    vestrel token encode chain.bin > chain.token
    vestrel token decode --root root.pk --raw chain.token > chain.bin
    vestrel identity --seed-file root.seed --deployment prod --context root > root.pk
    vestrel delegate --seed-file root.seed --deployment prod --context root \
        --child worker.pk --role leaf --scope docs:read --not-after +1h > worker.token

FILE '-' or none: standard input. `inspect` proves nothing about who signed
what: only `verify` does.

Input: a wire, or a root key file, is raw bytes, hex, or base64 in either
alphabet (+/ or -_, not mixed), padded or not; whitespace is ignored in the
two text forms. `inspect`, `verify` and `token decode` also take a chain as
its token. Which one is told from the content:
  - input that begins with "vt1." (after any whitespace) is a token. No other
    form can begin so: a raw wire begins with its version byte, 0x01, and
    neither hex nor base64 holds a '.'. Whitespace around a token is ignored,
    inside it refused: a token is canonical text, checked as a service
    checks it;
  - other input holding any byte other than printable ASCII and whitespace
    is raw; a raw wire always is, its first byte being 0x01;
  - a root key file of exactly 1952 bytes is raw (either text form of a key
    is longer);
  - text of hex digits only is hex, any other text is base64. A wire's hex
    begins "01", its base64 "AQ" or "AR", never two hex digits, so base64 is
    never taken for hex.
A token names its root by key id only, so `inspect` reads one only when
given the root with --root (repeatable; a wire needs none), as `token decode`
does.

A wire input larger than 1379528 bytes is refused after reading that much
and one byte more: the largest wire the format allows (16 credentials of the
largest payload, 649189 bytes) is 1298378 hex digits, and the cap leaves room
for a line break (CRLF) every 32 of them. A token shares the cap, which the
largest token (823920 characters) is well inside. A root key file has the same allowance over
its 3904 hex digits: 4148 bytes.

token encode prints the token of a wire: one line. A wire whose issuers do
not link up (each credential's issuer the key its parent delegates to), or
with bytes after its last credential, has none. token decode prints the
wire a token holds, in hex on one line, or its bytes with --raw.

verify --root KEYFILE may be given several times (root rotation): the chain
is checked against the root that issued its first credential; a chain from
none of them is refused like one from a wrong root. --revoked FILE (also
repeatable) lists revocation ids, one per line as 64 hex digits; blank lines
and '#' comments are allowed. --now takes 'now', seconds since the epoch
(ASCII digits, 0 to 2^64-1), or an ISO 8601 time (UTC if no zone).

identity prints the public key of the identity a master seed, a deployment
and a context derive (hex; --format raw, base64 or jwk), its key id and JWK
thumbprint on stderr, or everything in one JSON document with --json.
delegate issues the next credential of the chain --parent holds (a wire, or
a token with --root; none: the first credential, issued by a root) to the
key in --child (raw, hex, base64 or a JWK), signed by the identity of
--seed-file, and prints the new chain's token. --scope RESOURCE:VERB (split
at the last ':') is repeatable; --not-before and --not-after take seconds
since the epoch, ISO 8601 (UTC if no zone) or a time from now: +90s, +30m,
+1h, +7d. What delegate refuses is told in the words of vestrel.delegate.
A master seed is read only from a file (32 raw bytes, or 64 hex digits and
an optional line break), never from the command line or the environment,
and a seed file that its group or others may read or write is refused, as
ssh refuses a private key.

Exit status: 0 listed, verified, encoded, decoded, derived or issued; 1 refused, or the
input is malformed, not the form the command takes, or over the cap; 2 a usage problem (bad option, unreadable file, unusable root
key, time or revocation list, a seed file too open or not a seed, an unusable
child key or scope), or the output could not be written (a
refusal exits 1 whatever becomes of its output; a reader that stops early,
as `| head` does, is no failure).
"""

from __future__ import annotations

import argparse
import base64
import datetime
import errno
import json
import os
import re
import stat
import sys
import time
from typing import (IO, AbstractSet, Any, BinaryIO, Callable, Dict, List, NoReturn, Optional,
                    Sequence, Set, Tuple, Union)

import vestrel_kernel

from . import __version__
from ._arguments import key_id, revocation_id
from ._chain import VerifiedChain
from ._delegate import delegate
from ._errors import KernelError, ParentKeyMismatch, Refused, Revoked, TokenMalformed
from .jwk import public_jwk, thumbprint
from .jwk import public_key as jwk_public_key
from ._token import MAX_TOKEN_LEN, TOKEN_PREFIX, decode_token, encode_token
from ._verifier import Verifier

EXIT_OK, EXIT_REFUSED, EXIT_USAGE = 0, 1, 2
PROG = "vestrel"

Say = Callable[[str], None]
# What a command reads: a wire's bytes, or a token's text.
Chain = Union[bytes, str]


class UsageError(Exception):
    """Exit 2 with this one-line message."""


class MalformedInput(Exception):
    """Exit 1 with this one-line message."""


# --- sizes -----------------------------------------------------------------

# The largest wire the kernel accepts: a 5-byte header and 16 records, each an
# issuer key, a signature, a 4-byte payload length and a payload of at most
# 1965 bytes of fixed fields, a scope of 64 permission records of 512 bytes
# and 576 caveat bytes (kernel/src/chain_wire.h, payload.h, scope.h, caveats.h).
MAX_PAYLOAD_LEN = 1965 + 64 * 512 + 576
MAX_WIRE_LEN = 5 + 16 * (vestrel_kernel.PK_SIZE + vestrel_kernel.SIG_SIZE + 4 + MAX_PAYLOAD_LEN)


def text_cap(size: int) -> int:
    """Input cap for `size` bytes: their hex (the longest text form, base64
    being shorter) with room for a CRLF after every 32 digits."""
    digits = 2 * size
    return digits + 2 * -(-digits // 32)


WIRE_INPUT_CAP = text_cap(MAX_WIRE_LEN)  # 1379528, as the docstring says
# Every input shares the wire's cap, since its form is known only once read;
# the largest token and a line break fit in it.
assert MAX_TOKEN_LEN + 2 <= WIRE_INPUT_CAP
KEY_INPUT_CAP = text_cap(vestrel_kernel.PK_SIZE)  # 4148
MAX_TIME = 2**64 - 1
# A revocation list line is an id and perhaps a comment; a longer one is not
# read to its end (a list pointed at /dev/zero must not fill memory).
REVOKED_LINE_CAP = 4096


# --- input -----------------------------------------------------------------

# Byte classes, as strings for bytes.translate(None, ...), which deletes them
# (a membership test per byte is far slower over a megabyte of input).
_SPACE = b" \t\r\n"
_TEXT = bytes(range(0x20, 0x7F)) + _SPACE
_HEX = b"0123456789abcdefABCDEF"
_BASE64 = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
_STANDARD, _URL_SAFE = b"+/", b"-_"


def only(data: bytes, allowed: bytes) -> bool:
    return not data.translate(None, allowed)


def shown(path: str) -> str:
    """A file name as it can be printed: bytes that are not UTF-8 (kept by
    the interpreter as lone surrogates) become \\xNN escapes."""
    return path.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


def is_text(data: bytes) -> bool:
    return only(data, _TEXT)


def decode_text(data: bytes, what: str) -> bytes:
    """Hex when every character is a hex digit, base64 otherwise; whitespace
    is skipped in both."""
    text = data.translate(None, _SPACE)
    if only(text, _HEX):
        if len(text) % 2:
            raise MalformedInput(f"{what} is not hex: an odd number of digits")
        return bytes.fromhex(text.decode("ascii"))
    body = text.rstrip(b"=")
    padding = len(text) - len(body)
    if (not (only(body, _BASE64 + _STANDARD) or only(body, _BASE64 + _URL_SAFE))
            or len(body) % 4 == 1 or padding not in (0, -len(body) % 4)):
        raise MalformedInput(f"{what} is neither hex nor base64")
    # Unpadded input is padded here, so that both forms decode alike.
    standard = body.translate(bytes.maketrans(b"-_", b"+/")) + b"=" * (-len(body) % 4)
    return base64.b64decode(standard, validate=True)


def decode_wire(data: bytes, what: str) -> bytes:
    return decode_text(data, what) if is_text(data) else data


def read_capped(stream: BinaryIO, cap: int, what: str, kind: str) -> bytes:
    """At most `cap` bytes of the stream; one more is read to tell that there
    are more, and then none is kept."""
    data = stream.read(cap + 1)
    if len(data) > cap:
        raise MalformedInput(f"{what}: more than {cap} bytes, longer than any {kind} in any encoding")
    return data


def read_file(path: str, cap: int, what: str, kind: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return read_capped(f, cap, what, kind)
    except OSError as error:
        raise UsageError(f"cannot read {shown(path)}: {error.strerror}") from None


def as_token(data: bytes) -> Optional[str]:
    """The text of a token, if the input is one: it begins with "vt1."
    once surrounding whitespace is set aside (see the module's docstring
    for why no other form can). Bytes beyond ASCII are kept, one character
    each, for the token reader to refuse."""
    text = data.strip(_SPACE)
    return text.decode("latin-1") if text.startswith(TOKEN_PREFIX.encode("ascii")) else None


def read_input(path: Optional[str]) -> Tuple[bytes, str]:
    """The input as read, capped, and how to name it in a message."""
    if path is not None and path != "-":
        return read_file(path, WIRE_INPUT_CAP, shown(path), "wire or token"), shown(path)
    what = "standard input"
    if sys.stdin is None:  # started with it closed (`<&-`)
        raise UsageError(f"cannot read {what}: it is closed")
    try:
        return read_capped(sys.stdin.buffer, WIRE_INPUT_CAP, what, "wire or token"), what
    except OSError as error:
        raise UsageError(f"cannot read {what}: {error.strerror}") from None


def read_source(path: Optional[str]) -> Tuple[Chain, str]:
    """A token's text, or a wire's bytes from any of its encodings."""
    data, what = read_input(path)
    token = as_token(data)
    chain: Chain = token if token is not None else decode_wire(data, what)
    return chain, what


def token_wire(token: str, roots: Sequence[bytes], what: str) -> bytes:
    """The wire of a token, from the first of `roots` it names."""
    try:
        for root in roots:
            try:
                return decode_token(token, root)
            except ParentKeyMismatch:
                continue
    except TokenMalformed as error:
        raise MalformedInput(f"{what}: {error}") from None
    raise MalformedInput(f"{what}: the token's root is none of the keys given with --root")


def read_root(path: str) -> bytes:
    what = f"root key {shown(path)}"
    try:
        data = read_file(path, KEY_INPUT_CAP, what, "root key")
        key = data if len(data) == vestrel_kernel.PK_SIZE or not is_text(data) else decode_text(data, what)
    except MalformedInput as error:
        raise UsageError(str(error)) from None
    if len(key) != vestrel_kernel.PK_SIZE:
        raise UsageError(f"{what}: a root key is {vestrel_kernel.PK_SIZE} bytes, raw, hex or base64")
    return key


def read_revoked(paths: Sequence[str]) -> Set[bytes]:
    """The revocation ids of these lists."""
    ids: Set[bytes] = set()
    for path in paths:
        try:
            with open(path, "rb") as f:
                lines = iter(lambda: f.readline(REVOKED_LINE_CAP + 1), b"")
                for number, line in enumerate(lines, 1):
                    rid = revocation_entry(line, f"{shown(path)}:{number}")
                    if rid is not None:
                        ids.add(rid)
        except OSError as error:
            raise UsageError(f"cannot read {shown(path)}: {error.strerror}") from None
    return ids


def revocation_entry(line: bytes, where: str) -> Optional[bytes]:
    """The id on one line of a list: 64 hex digits in either case, or nothing
    on a blank line; '#' starts a comment."""
    if len(line) > REVOKED_LINE_CAP:
        raise UsageError(f"{where}: line longer than {REVOKED_LINE_CAP} bytes")
    entry = line.split(b"#", 1)[0].strip()
    if not entry:
        return None
    if len(entry) != 64 or not only(entry, _HEX):
        raise UsageError(f"{where}: not a revocation id (64 hex digits)")
    return bytes.fromhex(entry.decode("ascii"))


# str.isdigit would take '²' and other scripts' digits, which int() refuses.
_SECONDS = re.compile(r"[0-9]+", re.ASCII)


def parse_now(text: str, option: str = "--now") -> int:
    """'now', seconds since the epoch, or an ISO 8601 time (UTC if no zone)."""
    if text == "now":
        return int(time.time())
    if _SECONDS.fullmatch(text):
        # Leading zeros go first: int() refuses very long digit strings.
        significant = text.lstrip("0")
        if len(significant) > len(str(MAX_TIME)) or int(significant or "0") > MAX_TIME:
            raise UsageError(f"{option}: seconds beyond 2^64-1 ({MAX_TIME})")
        return int(significant or "0")
    try:
        if not text.isascii():
            raise ValueError(text)
        moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
        if moment.tzinfo is None:
            moment = moment.replace(tzinfo=datetime.timezone.utc)
        seconds = int(moment.timestamp())
    except (ValueError, OverflowError, OSError):
        raise UsageError(f"{option}: not 'now', seconds or an ISO 8601 time: {text[:64]!r}") from None
    if seconds < 0:
        raise UsageError(f"{option}: before the Unix epoch: {text!r}")
    return seconds


# --- seeds, keys and times for issuing --------------------------------------

SEED_SIZE = 32
# 64 hex digits and a CRLF; one byte more tells that the file is longer.
SEED_FILE_CAP = 2 * SEED_SIZE + 2
# A child key may be given as a JWK, whose text is about 2.7 KB.
CHILD_KEY_CAP = 64 * 1024
_NIBBLE = {c: int(chr(c), 16) for c in b"0123456789abcdefABCDEF"}
_RELATIVE = re.compile(r"\+([0-9]{1,12})([smhd])", re.ASCII)
_UNIT = {"s": 1, "m": 60, "h": 3600, "d": 86400}


def read_seed(path: str) -> bytearray:
    """The master seed of a file, in a bytearray the caller overwrites once
    done. The file must be readable by its owner alone: a seed others can
    read is no secret, and saying so beats using it."""
    what = f"seed file {shown(path)}"
    raw = bytearray(SEED_FILE_CAP + 1)
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError as error:
        raise UsageError(f"cannot read {what}: {error.strerror}") from None
    try:
        mode = os.fstat(fd).st_mode
        # A pipe is accepted, for a seed handed over by a secret store
        # (`--seed-file <(...)`).
        if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
            raise UsageError(f"{what} is not a file")
        if mode & 0o077:
            raise UsageError(f"{what}: permissions {mode & 0o777:04o} are too open: a master "
                             f"seed must be readable by its owner only (chmod 600)")
        size = 0
        with memoryview(raw) as view:
            while size < len(raw):
                got = os.readv(fd, [view[size:]])
                if got == 0:
                    break
                size += got
    except OSError as error:
        raise UsageError(f"cannot read {what}: {error.strerror}") from None
    finally:
        os.close(fd)
    try:
        return seed_bytes(raw, size, what)
    finally:
        raw[:] = bytes(len(raw))


def seed_bytes(raw: bytearray, size: int, what: str) -> bytearray:
    """32 raw bytes, or 64 hex digits and an optional line break, from the
    first `size` bytes of raw, into a new bytearray."""
    seed = bytearray(SEED_SIZE)
    if size == SEED_SIZE:
        seed[:] = raw[:SEED_SIZE]
        return seed
    digits = size
    if digits and raw[digits - 1] == 0x0A:
        digits -= 1
        if digits and raw[digits - 1] == 0x0D:
            digits -= 1
    # Digit by digit, with no slice: a slice would be a copy of the secret
    # that nothing overwrites.
    values = [_NIBBLE.get(raw[i], -1) for i in range(digits)] if digits == 2 * SEED_SIZE else [-1]
    if min(values) < 0:
        values[:] = [0] * len(values)
        raise UsageError(f"{what}: a master seed is {SEED_SIZE} raw bytes or {2 * SEED_SIZE} "
                         f"hex digits and a line break, not {size} bytes of something else")
    for i in range(SEED_SIZE):
        seed[i] = values[2 * i] << 4 | values[2 * i + 1]
    values[:] = [0] * len(values)
    return seed


def derived_identity(options: argparse.Namespace) -> vestrel_kernel.IdentityIsland:
    """The identity of --seed-file, --deployment and --context; the seed's
    bytes are overwritten as soon as the island holds its key. The island
    takes only bytes: that one copy, immutable, is dropped at once."""
    seed = read_seed(options.seed_file)
    try:
        return vestrel_kernel.IdentityIsland(bytes(seed), os.fsencode(options.deployment),
                                             os.fsencode(options.context))
    except ValueError as error:
        raise UsageError(f"cannot derive the identity: {error}") from None
    finally:
        seed[:] = bytes(SEED_SIZE)


def read_child_key(path: str) -> bytes:
    """A public key: raw, hex, base64, or a JWK (text beginning with '{')."""
    what = f"child key {shown(path)}"
    data = read_file(path, CHILD_KEY_CAP, what, "public key")
    if data.lstrip(_SPACE).startswith(b"{"):
        try:
            return jwk_public_key(data)
        except ValueError as error:
            raise UsageError(f"{what}: {error}") from None
    try:
        key = data if len(data) == vestrel_kernel.PK_SIZE or not is_text(data) else decode_text(data, what)
    except MalformedInput as error:
        raise UsageError(str(error)) from None
    if len(key) != vestrel_kernel.PK_SIZE:
        raise UsageError(f"{what}: a public key is {vestrel_kernel.PK_SIZE} bytes, raw, hex, "
                         "base64 or a JWK")
    return key


def parse_bound(text: str, option: str, now: int) -> int:
    """'now', seconds since the epoch, ISO 8601, or +N[smhd] from now."""
    relative = _RELATIVE.fullmatch(text)
    if relative:
        at = now + int(relative.group(1)) * _UNIT[relative.group(2)]
        if at > MAX_TIME:
            raise UsageError(f"{option}: beyond 2^64-1 seconds")
        return at
    return parse_now(text, option)


def parse_scope(texts: Sequence[str]) -> List[Tuple[bytes, bytes]]:
    pairs = []
    for text in texts:
        resource, colon, verb = os.fsencode(text).rpartition(b":")
        if not colon:
            raise UsageError(f"--scope: not RESOURCE:VERB: {text[:64]!r}")
        pairs.append((resource, verb))
    return pairs


# --- verification ----------------------------------------------------------

def _verify_chain(roots: Sequence[bytes], revoked_ids: AbstractSet[bytes], wire: Chain,
                  now: int) -> VerifiedChain:
    """Verifies against the trusted root that issued the chain's first
    credential; a chain from none of them is refused as a wrong root is
    (ParentKeyMismatch at credential 0)."""
    return Verifier(roots, revoked=revoked_ids, cache_bytes=0).verify(wire, now)


# --- output ----------------------------------------------------------------

def show_field(value: bytes) -> str:
    """Printable ASCII as it is; anything else, or the empty field, in hex."""
    if value and all(0x21 <= b <= 0x7E for b in value):
        return value.decode("ascii")
    return "0x" + value.hex() if value else '""'


def as_text(value: bytes) -> Optional[str]:
    try:
        return value.decode("utf-8")
    except UnicodeDecodeError:
        return None


def show_time(ts: Optional[int]) -> str:
    if ts is None:
        return "-"
    try:
        moment = datetime.datetime.fromtimestamp(ts, tz=datetime.timezone.utc)
    except (OverflowError, OSError, ValueError):
        return f"{ts} (beyond the calendar)"
    return f"{moment:%Y-%m-%d %H:%M:%S} UTC ({ts})"


def plural(count: int) -> str:
    return f"{count} credential{'s' * (count != 1)}"


def perms_json(perms: Sequence[Sequence[bytes]]) -> List[Dict[str, Optional[str]]]:
    # "resource" and "verb" have always been hex; the text beside them is
    # null where the bytes are not UTF-8.
    return [{"resource": r.hex(), "verb": v.hex(), "resource_text": as_text(r),
             "verb_text": as_text(v)} for r, v in perms]


def emit(say: Say, document: Dict[str, Any]) -> None:
    say(json.dumps(document, indent=2))


# --- commands --------------------------------------------------------------
# Commands hand their lines to `say` and return the exit status; nothing is
# written until the verdict is settled (see deliver).

def inspect(wire: bytes, as_json: bool, say: Say) -> int:
    """Lists a wire's credentials (a token is turned into its wire first)."""
    try:
        credentials = vestrel_kernel.decode_chain(wire)
    except ValueError as error:
        if as_json:
            emit(say, {"wire_bytes": len(wire), "error": str(error), "index": None})
        else:
            say(f"malformed wire ({len(wire)} bytes): {error}")
        return EXIT_REFUSED
    status = EXIT_OK
    listed: List[Dict[str, Any]] = []
    if not as_json:
        say(f"wire: {len(wire)} bytes, {plural(len(credentials))}")
    expected: Optional[bytes] = None
    for index, (issuer, sig, payload) in enumerate(credentials):
        rid = revocation_id(sig).hex()
        entry: Dict[str, Any] = {"index": index, "issuer": issuer.hex(),
                                 "issuer_key_id": key_id(issuer),
                                 "issuer_thumbprint": thumbprint(issuer), "revocation_id": rid,
                                 "payload_bytes": len(payload)}
        link = ""
        if expected is not None:
            link = f" (= child of [{index - 1}])" if issuer == expected else f" (NOT child of [{index - 1}])"
        if not as_json:
            say(f"[{index}] issuer {key_id(issuer)} (jwk {thumbprint(issuer)}){link}, "
                f"payload {len(payload)} bytes")
            say(f"    revocation id {rid}")
        try:
            fields = vestrel_kernel.parse_payload(payload)
        except ValueError as error:
            entry["error"] = str(error)
            listed.append(entry)
            if not as_json:
                say(f"    payload unreadable: {error}")
            status, expected = EXIT_REFUSED, None
            continue
        entry.update(child_pk=fields["child_pk"].hex(), child_key_id=key_id(fields["child_pk"]),
                     child_thumbprint=thumbprint(fields["child_pk"]),
                     role=fields["role"], depth=fields["depth"], perms=perms_json(fields["perms"]),
                     not_before=fields["not_before"], not_after=fields["not_after"])
        listed.append(entry)
        if not as_json:
            say(f"    depth {fields['depth']}, {fields['role']}, child {key_id(fields['child_pk'])}")
            say(f"    child jwk {thumbprint(fields['child_pk'])}")
            for resource, verb in fields["perms"]:
                say(f"    permit {show_field(resource)} {show_field(verb)}")
            say(f"    not before {show_time(fields['not_before'])}")
            say(f"    not after  {show_time(fields['not_after'])}")
        expected = fields["child_pk"]
    if as_json:
        emit(say, {"wire_bytes": len(wire), "credentials": listed})
    return status


def verify_command(roots: Sequence[bytes], revoked_ids: AbstractSet[bytes], wire: Chain, now: int,
                   as_json: bool, say: Say) -> int:
    try:
        chain = _verify_chain(roots, revoked_ids, wire, now)
    except TokenMalformed as refusal:
        if as_json:
            emit(say, {"verified": False, "now": now, "rule": refusal.rule, "index": None,
                       "error": str(refusal), "reason": refusal.reason})
        else:
            say(f"malformed token ({len(wire)} characters): {refusal.reason}")
        return EXIT_REFUSED
    except Revoked as refusal:
        if as_json:
            emit(say, {"verified": False, "now": now, "rule": "Revoked", "index": refusal.index,
                       "error": str(refusal), "revocation_id": refusal.revocation_id.hex()})
        else:
            say(f"refused at {show_time(now)}: credential [{refusal.index}]: revoked "
                f"(revocation id {refusal.revocation_id.hex()})")
        return EXIT_REFUSED
    except KernelError as refusal:
        if as_json:
            emit(say, {"verified": False, "now": now, "rule": refusal.rule, "index": refusal.index,
                       "error": str(refusal)})
        elif refusal.index is None:
            say(f"malformed wire ({len(wire)} bytes): {refusal}")  # only a wire breaks a rule as a whole
        else:
            say(f"refused at {show_time(now)}: credential [{refusal.index}]: {refusal}")
        return EXIT_REFUSED
    if as_json:
        emit(say, {"verified": True, "now": now, "length": chain.length,
                   "holder_pk": chain.holder_pk.hex(), "role": chain.role, "depth": chain.depth,
                   "perms": perms_json(chain.perms), "not_before": chain.not_before,
                   "not_after": chain.not_after, "issuers": [k.hex() for k in chain.issuers],
                   "revocation_ids": [i.hex() for i in chain.revocation_ids]})
        return EXIT_OK
    say(f"holder {key_id(chain.holder_pk)}, {chain.role}, depth {chain.depth}")
    for resource, verb in chain.perms:
        say(f"    permit {show_field(resource)} {show_field(verb)}")
    say(f"    not before {show_time(chain.not_before)}")
    say(f"    not after  {show_time(chain.not_after)}")
    say(f"verified at {show_time(now)}: {plural(chain.length)}")
    return EXIT_OK


def token_encode(wire: Chain, what: str) -> str:
    """The token of a wire, as one line."""
    if isinstance(wire, str):
        raise MalformedInput(f"{what} is a token already: token encode takes a wire")
    try:
        return encode_token(wire) + "\n"
    except KernelError as refusal:
        where = "" if refusal.index is None else f"credential [{refusal.index}]: "
        raise MalformedInput(f"{what}: this wire has no token: {where}{refusal}") from None


def token_decode(token: Chain, roots: Sequence[bytes], raw: bool, what: str) -> Union[str, bytes]:
    """The wire a token holds: its bytes, or its hex as one line."""
    if not isinstance(token, str):
        raise MalformedInput(f"{what} is not a token (a token begins with {TOKEN_PREFIX!r})")
    wire = token_wire(token, roots, what)
    return wire if raw else wire.hex() + "\n"


def identity_command(options: argparse.Namespace) -> Union[str, bytes]:
    island = derived_identity(options)
    pk = island.public_key()
    key = public_jwk(pk)
    if options.json:
        return json.dumps({"public_key": pk.hex(), "key_id": key_id(pk),
                           "thumbprint": key["kid"], "jwk": key}, indent=2) + "\n"
    write_stderr(f"key id {key_id(pk)}\njwk thumbprint {key['kid']}\n")
    if options.format == "raw":
        return pk
    if options.format == "base64":
        return base64.b64encode(pk).decode("ascii") + "\n"
    if options.format == "jwk":
        return json.dumps(key) + "\n"
    return pk.hex() + "\n"


def delegate_command(options: argparse.Namespace, roots: Sequence[bytes]) -> str:
    """The token of the chain --parent holds, extended by one credential."""
    now = int(time.time())
    child = read_child_key(options.child)
    perms = parse_scope(options.scope)
    not_before = None if options.not_before is None else parse_bound(options.not_before,
                                                                     "--not-before", now)
    not_after = None if options.not_after is None else parse_bound(options.not_after,
                                                                   "--not-after", now)
    parent: Optional[bytes] = None
    if options.parent is not None:
        chain, what = read_source(options.parent)
        if isinstance(chain, str):
            if not roots:
                raise UsageError(f"{what} is a token, which names its root by key id only: "
                                 "give the root with --root")
            chain = token_wire(chain, roots, what)
        parent = chain
    island = derived_identity(options)
    try:
        wire = delegate(parent, island, child, options.role, perms, not_before, not_after)
    except KernelError as refusal:
        where = "" if refusal.index is None else f"credential [{refusal.index}]: "
        raise MalformedInput(f"refused: {where}{refusal}") from None
    except (Refused, ValueError) as error:
        raise MalformedInput(f"refused: {error}") from None
    return encode_token(wire) + "\n"


# --- the streams -----------------------------------------------------------

def discard(stream: Optional[IO[str]]) -> None:
    """Points the stream's descriptor at /dev/null. What the stream still
    buffers is then dropped when the interpreter flushes it at exit, instead
    of failing a second time (which prints a warning and exits 120)."""
    try:
        fd = stream.fileno()  # type: ignore[union-attr]
        null = os.open(os.devnull, os.O_WRONLY)
    except (AttributeError, OSError, ValueError):
        return
    os.dup2(null, fd)
    os.close(null)


def complain(message: str) -> None:
    """One line on stderr, if stderr can take it."""
    write_stderr(f"{PROG}: {message}\n")


def write_stderr(text: str) -> None:
    stream = sys.stderr
    if stream is None:  # started with it closed; print(file=None) would use stdout
        return
    try:
        stream.write(text)
        stream.flush()
    except (OSError, ValueError):
        discard(stream)


def deliver(text: Union[str, bytes], status: int) -> int:
    """Writes the output (text, or bytes as `token decode --raw` gives) and
    returns the exit status: the verdict, unless the output was lost. A
    reader that went away (`| head`) wanted no more and changes nothing; any
    other failure is told on stderr and turns success into 2, so that an
    unwritten listing never passes for a written one. A refusal stays 1."""
    if not text and sys.stdout is None:
        return status
    try:
        if sys.stdout is None:  # started with it closed (`>&-`)
            raise OSError(errno.EBADF, "standard output is closed")
        if isinstance(text, bytes):
            sys.stdout.flush()  # nothing written as text may follow the bytes
            binary: Optional[BinaryIO] = getattr(sys.stdout, "buffer", None)
            if binary is None:
                raise OSError(errno.EBADF, "standard output takes no bytes")
            binary.write(text)
            binary.flush()
        else:
            sys.stdout.write(text)
        sys.stdout.flush()
    except BrokenPipeError:
        discard(sys.stdout)
    except (OSError, ValueError) as error:
        discard(sys.stdout)
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        complain(f"cannot write the output: {reason}")
        return EXIT_USAGE if status == EXIT_OK else status
    return status


# --- arguments -------------------------------------------------------------

class _ArgparseText(Exception):
    """Help or version text. argparse prints it and exits 0; raised instead,
    it is written by deliver(), whose handling of a closed or full stdout
    every output then shares."""

    def __init__(self, text: str) -> None:
        super().__init__()
        self.text = text


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line and exit 2, as argparse does, but without the usage block.
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\n")

    def exit(self, status: int = 0, message: Optional[str] = None) -> NoReturn:
        if message:
            write_stderr(message)
        sys.exit(status)

    def _print_message(self, message: str, file: Optional[IO[str]] = None) -> None:
        # Reached by help and version only: errors go through exit().
        if message:
            raise _ArgparseText(message)


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog=PROG, description=__doc__.split("\n\n")[0] if __doc__ else None,
                  epilog=__doc__.split("\n\n", 1)[1] if __doc__ else None,
                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    show = commands.add_parser("inspect", help="list the credentials of a wire or token (verifies nothing)")
    show.add_argument("--root", metavar="KEYFILE", action="append", default=[],
                      help="for a token: the root it names (it carries only the key id); repeatable")
    check = commands.add_parser("verify", help="verify a wire or token against a root key at a time")
    check.add_argument("--root", metavar="KEYFILE", required=True, action="append",
                       help="a trusted root public key, raw, hex or base64; repeatable "
                            "(the chain's first issuer picks one)")
    check.add_argument("--now", metavar="TIME", required=True,
                       help="'now', seconds since the epoch (0..2^64-1), or ISO 8601 (UTC if no zone)")
    check.add_argument("--revoked", metavar="FILE", action="append", default=[],
                       help="revocation ids, one per line in hex ('#' comments); repeatable")
    for sub in (show, check):
        sub.add_argument("wire", nargs="?", metavar="FILE",
                         help=f"the wire (raw, hex or base64) or its token, at most {WIRE_INPUT_CAP} "
                              "bytes; '-': stdin")
        sub.add_argument("--json", action="store_true", help="one JSON document on stdout")
    token = commands.add_parser("token", help="a wire's token, and a token's wire")
    forms = token.add_subparsers(dest="direction", metavar="DIRECTION", parser_class=_Parser)
    forms.required = True
    encode = forms.add_parser("encode", help="print the token of a wire")
    encode.add_argument("wire", nargs="?", metavar="FILE", help="the wire, raw, hex or base64; '-': stdin")
    decode = forms.add_parser("decode", help="print the wire of a token, in hex")
    decode.add_argument("--root", metavar="KEYFILE", required=True, action="append",
                        help="the root the token names, raw, hex or base64; repeatable")
    decode.add_argument("--raw", action="store_true", help="the wire's bytes instead of hex")
    decode.add_argument("wire", nargs="?", metavar="FILE", help="the token; '-': stdin")
    ident = commands.add_parser("identity", help="print the public key a master seed derives")
    issue = commands.add_parser("delegate", help="issue the next credential of a chain")
    for sub in (ident, issue):
        sub.add_argument("--seed-file", metavar="FILE", required=True,
                         help="the master seed: 32 raw bytes or 64 hex digits, mode 600")
        sub.add_argument("--deployment", metavar="LABEL", required=True)
        sub.add_argument("--context", metavar="LABEL", required=True)
    ident.add_argument("--format", choices=("raw", "hex", "base64", "jwk"), default="hex",
                       help="how to print the public key (default: hex)")
    ident.add_argument("--json", action="store_true",
                       help="key, key id, thumbprint and JWK in one JSON document")
    issue.add_argument("--parent", metavar="FILE",
                       help="the chain to extend, a wire or a token; none: a root's first credential")
    issue.add_argument("--root", metavar="KEYFILE", action="append", default=[],
                       help="for a --parent token: the root it names; repeatable")
    issue.add_argument("--child", metavar="FILE", required=True,
                       help="the child's public key: raw, hex, base64 or a JWK")
    issue.add_argument("--role", choices=("leaf", "node"), required=True)
    issue.add_argument("--scope", metavar="RESOURCE:VERB", action="append", required=True,
                       help="a permission granted; repeatable")
    issue.add_argument("--not-before", metavar="TIME",
                       help="seconds since the epoch, ISO 8601, or +N[smhd] from now")
    issue.add_argument("--not-after", metavar="TIME",
                       help="seconds since the epoch, ISO 8601, or +N[smhd] from now")
    return top


def run(argv: Optional[Sequence[str]] = None) -> Tuple[int, Union[str, bytes]]:
    """The exit status and the output for stdout; problems are told on stderr
    here. Raises SystemExit where argparse ends the run (help, version, a
    bad option)."""
    options = parser().parse_args(argv)
    lines: List[str] = []
    try:
        # Options first: a usage problem is told before any input is read.
        roots = [read_root(path) for path in getattr(options, "root", [])]
        if options.command == "identity":
            return EXIT_OK, identity_command(options)
        if options.command == "delegate":
            return EXIT_OK, delegate_command(options, roots)
        if options.command == "token":
            chain, what = read_source(options.wire)
            if options.direction == "encode":
                return EXIT_OK, token_encode(chain, what)
            return EXIT_OK, token_decode(chain, roots, options.raw, what)
        if options.command == "inspect":
            chain, what = read_source(options.wire)
            if isinstance(chain, str):
                if not roots:
                    raise UsageError(f"{what} is a token, which names its root by key id only: "
                                     "give the root with --root")
                chain = token_wire(chain, roots, what)
            status = inspect(chain, options.json, lines.append)
        else:
            now = parse_now(options.now)
            revoked_ids = read_revoked(options.revoked)
            status = verify_command(roots, revoked_ids, read_source(options.wire)[0], now, options.json,
                                    lines.append)
    except UsageError as error:
        complain(str(error))
        return EXIT_USAGE, ""
    except MalformedInput as error:
        complain(str(error))
        return EXIT_REFUSED, ""
    return status, "".join(line + "\n" for line in lines)


def main(argv: Optional[Sequence[str]] = None) -> NoReturn:
    try:
        status, text = run(argv)
    except _ArgparseText as shown_text:
        status, text = EXIT_OK, shown_text.text
    except SystemExit as stop:  # a bad option, told on stderr
        status, text = (stop.code if isinstance(stop.code, int) else EXIT_USAGE), ""
    except KeyboardInterrupt:
        status, text = 130, ""
    sys.exit(deliver(text, status))


if __name__ == "__main__":
    main()
