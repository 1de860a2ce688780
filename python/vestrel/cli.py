"""The `vestrel` command: show what a chain holds, and verify it.

    vestrel inspect chain.bin
    xxd -p chain.bin | vestrel inspect
    vestrel verify --root root.pk --now now chain.bin
    vestrel verify --root root.pk --now 1750000000 --json - < chain.hex

A wire (and a root key file) may hold raw bytes or hex; which one is told
from the content, whitespace in hex ignored. FILE '-' or none: standard input.
`inspect` proves nothing about who signed what: only `verify` does.

Exit status: 0 listed or verified; 1 refused, or the input is malformed;
2 a usage problem (bad option, unreadable file, unusable root key or time).
"""

from __future__ import annotations

import argparse
import datetime
import hashlib
import json
import os
import sys
import time
from typing import Any, Dict, List, NoReturn, Optional, Sequence

import vestrel_kernel

from . import __version__
from ._arguments import revocation_id
from ._chain import verify
from ._errors import KernelError

EXIT_OK, EXIT_REFUSED, EXIT_USAGE = 0, 1, 2
PROG = "vestrel"


class UsageError(Exception):
    """Exit 2 with this one-line message."""


class MalformedInput(Exception):
    """Exit 1 with this one-line message."""


# --- input -----------------------------------------------------------------

_HEX_DIGITS = frozenset(b"0123456789abcdefABCDEF \t\r\n")


def decode_input(data: bytes, what: str) -> bytes:
    """Raw bytes, or hex when every byte is a hex digit or whitespace. A wire
    begins with its version byte 0x01 and a key is rarely all hex digits,
    so the two readings do not meet in practice."""
    if data and all(b in _HEX_DIGITS for b in data):
        try:
            return bytes.fromhex(data.decode("ascii"))
        except ValueError as error:
            raise MalformedInput(f"{what} is not hex: {error}") from None
    return data


def read_source(path: Optional[str]) -> bytes:
    if path is None or path == "-":
        return decode_input(sys.stdin.buffer.read(), "standard input")
    try:
        with open(path, "rb") as f:
            return decode_input(f.read(), path)
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror}") from None


def read_root(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise UsageError(f"cannot read {path}: {error.strerror}") from None
    try:
        key = data if len(data) == vestrel_kernel.PK_SIZE else decode_input(data, f"root key {path}")
    except MalformedInput as error:
        raise UsageError(str(error)) from None
    if len(key) != vestrel_kernel.PK_SIZE:
        raise UsageError(f"{path}: a root key is {vestrel_kernel.PK_SIZE} bytes, raw or in hex")
    return key


def parse_now(text: str) -> int:
    """'now', seconds since the epoch, or an ISO 8601 time (UTC if no zone)."""
    if text == "now":
        return int(time.time())
    if text.isdigit():
        return int(text)
    try:
        moment = datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError:
        raise UsageError(f"--now: not 'now', seconds or an ISO 8601 time: {text!r}") from None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    seconds = int(moment.timestamp())
    if seconds < 0:
        raise UsageError(f"--now: before the Unix epoch: {text!r}")
    return seconds


# --- output ----------------------------------------------------------------

def fingerprint(key: bytes) -> str:
    """First 8 bytes of SHA-256, enough to tell keys apart on screen."""
    return hashlib.sha256(key).hexdigest()[:16]


def show_field(value: bytes) -> str:
    """Printable ASCII as it is; anything else, or the empty field, in hex."""
    if value and all(0x21 <= b <= 0x7E for b in value):
        return value.decode("ascii")
    return "0x" + value.hex() if value else '""'


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


def perms_json(perms: Sequence[Sequence[bytes]]) -> List[Dict[str, str]]:
    return [{"resource": r.hex(), "verb": v.hex()} for r, v in perms]


def emit(document: Dict[str, Any]) -> None:
    print(json.dumps(document, indent=2))


# --- commands --------------------------------------------------------------

def inspect(wire: bytes, as_json: bool) -> int:
    try:
        credentials = vestrel_kernel.decode_chain(wire)
    except ValueError as error:
        if as_json:
            emit({"wire_bytes": len(wire), "error": str(error), "index": None})
        else:
            print(f"malformed wire ({len(wire)} bytes): {error}")
        return EXIT_REFUSED
    status = EXIT_OK
    listed: List[Dict[str, Any]] = []
    if not as_json:
        print(f"wire: {len(wire)} bytes, {plural(len(credentials))}")
    expected: Optional[bytes] = None
    for index, (issuer, sig, payload) in enumerate(credentials):
        entry: Dict[str, Any] = {"index": index, "issuer": issuer.hex(),
                                 "revocation_id": revocation_id(sig).hex(),
                                 "payload_bytes": len(payload)}
        link = ""
        if expected is not None:
            link = f" (= child of [{index - 1}])" if issuer == expected else f" (NOT child of [{index - 1}])"
        if not as_json:
            print(f"[{index}] issuer {fingerprint(issuer)}{link}, payload {len(payload)} bytes")
        try:
            fields = vestrel_kernel.parse_payload(payload)
        except ValueError as error:
            entry["error"] = str(error)
            listed.append(entry)
            if not as_json:
                print(f"    payload unreadable: {error}")
            status, expected = EXIT_REFUSED, None
            continue
        entry.update(child_pk=fields["child_pk"].hex(), role=fields["role"], depth=fields["depth"],
                     perms=perms_json(fields["perms"]), not_before=fields["not_before"],
                     not_after=fields["not_after"])
        listed.append(entry)
        if not as_json:
            print(f"    depth {fields['depth']}, {fields['role']}, child {fingerprint(fields['child_pk'])}")
            for resource, verb in fields["perms"]:
                print(f"    permit {show_field(resource)} {show_field(verb)}")
            print(f"    not before {show_time(fields['not_before'])}")
            print(f"    not after  {show_time(fields['not_after'])}")
        expected = fields["child_pk"]
    if as_json:
        emit({"wire_bytes": len(wire), "credentials": listed})
    return status


def verify_command(root: bytes, wire: bytes, now: int, as_json: bool) -> int:
    try:
        chain = verify(root, wire, now)
    except KernelError as refusal:
        if as_json:
            emit({"verified": False, "now": now, "rule": refusal.rule, "index": refusal.index,
                  "error": str(refusal)})
        elif refusal.index is None:
            print(f"malformed wire ({len(wire)} bytes): {refusal}")
        else:
            print(f"refused at {show_time(now)}: credential [{refusal.index}]: {refusal}")
        return EXIT_REFUSED
    if as_json:
        emit({"verified": True, "now": now, "length": chain.length,
              "holder_pk": chain.holder_pk.hex(), "role": chain.role, "depth": chain.depth,
              "perms": perms_json(chain.perms), "not_before": chain.not_before,
              "not_after": chain.not_after, "issuers": [k.hex() for k in chain.issuers],
              "revocation_ids": [i.hex() for i in chain.revocation_ids]})
        return EXIT_OK
    print(f"holder {fingerprint(chain.holder_pk)}, {chain.role}, depth {chain.depth}")
    for resource, verb in chain.perms:
        print(f"    permit {show_field(resource)} {show_field(verb)}")
    print(f"    not before {show_time(chain.not_before)}")
    print(f"    not after  {show_time(chain.not_after)}")
    print(f"verified at {show_time(now)}: {plural(chain.length)}")
    return EXIT_OK


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line and exit 2, as argparse does, but without the usage block.
        self.exit(EXIT_USAGE, f"{self.prog}: {message}\n")


def parser() -> argparse.ArgumentParser:
    top = _Parser(prog=PROG, description=__doc__.split("\n\n")[0] if __doc__ else None,
                  epilog=__doc__.split("\n\n", 1)[1] if __doc__ else None,
                  formatter_class=argparse.RawDescriptionHelpFormatter)
    top.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = top.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True
    show = commands.add_parser("inspect", help="list the credentials of a wire (verifies nothing)")
    check = commands.add_parser("verify", help="verify a wire against a root key at a time")
    check.add_argument("--root", metavar="KEYFILE", required=True,
                       help="trusted root public key, raw or hex")
    check.add_argument("--now", metavar="TIME", required=True,
                       help="'now', seconds since the epoch, or ISO 8601 (UTC if no zone)")
    for sub in (show, check):
        sub.add_argument("wire", nargs="?", metavar="FILE", help="the wire, raw or hex; '-': stdin")
        sub.add_argument("--json", action="store_true", help="one JSON document on stdout")
    return top


def run(argv: Optional[Sequence[str]] = None) -> int:
    options = parser().parse_args(argv)
    try:
        if options.command == "inspect":
            return inspect(read_source(options.wire), options.json)
        root = read_root(options.root)
        now = parse_now(options.now)
        return verify_command(root, read_source(options.wire), now, options.json)
    except UsageError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_USAGE
    except MalformedInput as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_REFUSED


def main(argv: Optional[Sequence[str]] = None) -> NoReturn:
    try:
        status = run(argv)
        sys.stdout.flush()
    except BrokenPipeError:
        # The reader went away (`vestrel inspect big.bin | head`): stop quietly.
        # Python would complain again when it flushes stdout at exit, so
        # stdout now points nowhere.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        status = EXIT_OK
    except KeyboardInterrupt:
        status = 130
    sys.exit(status)


if __name__ == "__main__":
    main()
