# Type information for the vestrel_kernel extension module. The module is one
# compiled file, so its types ship as this stub-only package (PEP 561); the
# names, parameter names and order below are exactly those of the runtime.
from typing import Final, Literal, Sequence, SupportsIndex, TypedDict, final

__all__ = [
    "PK_SIZE",
    "SIG_SIZE",
    "SEED_SIZE",
    "IdentityIsland",
    "perm_tlv",
    "not_before",
    "not_after",
    "encode_chain",
    "decode_chain",
    "parse_payload",
    "verify_delegation",
]

PK_SIZE: Final = 1952
SIG_SIZE: Final = 3309
SEED_SIZE: Final = 32

# encode_chain copies any sequence of small ints (bytes, bytearray, memoryview,
# list[int], range), but never a str.
_Octets = Sequence[int]

# The dict that parse_payload returns. It exists only for type checkers; to
# annotate with it, import it under `if TYPE_CHECKING:`.
class _ParsedPayload(TypedDict):
    child_pk: bytes
    role: Literal["leaf", "node"]
    depth: int
    perms: list[tuple[bytes, bytes]]
    not_before: int | None
    not_after: int | None

@final
class IdentityIsland:
    def __new__(cls, master: bytes, deployment: bytes, context: bytes) -> IdentityIsland: ...
    def public_key(self) -> bytes: ...
    def issue_credential(
        self,
        child_pk: bytes,
        role: str,
        depth: SupportsIndex,
        scope_tlv: bytes,
        caveats: bytes,
    ) -> tuple[bytes, bytes]: ...

def perm_tlv(resource: bytes, verb: bytes) -> bytes: ...
def not_before(ts: SupportsIndex) -> bytes: ...
def not_after(ts: SupportsIndex) -> bytes: ...
def encode_chain(credentials: Sequence[tuple[_Octets, _Octets, _Octets]]) -> bytes: ...
def decode_chain(wire: bytes) -> list[tuple[bytes, bytes, bytes]]: ...
def parse_payload(payload: bytes) -> _ParsedPayload: ...
def verify_delegation(root_pk: bytes, wire: bytes, now: SupportsIndex) -> int: ...
