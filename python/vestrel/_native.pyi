# The compiled core of the package (kernel-py/src/native); only the package's
# own modules call it.
from typing import Callable, Literal, Optional, Tuple, Union

from vestrel_kernel import IdentityIsland

_Authority = Tuple[int, bytes, Literal["leaf", "node"], int, bytes, Tuple[Tuple[bytes, bytes], ...],
                   Optional[int], Optional[int]]
_Refusal = Tuple[None, str, Optional[int]]

def verify(root_pk: bytes, wire: bytes, now: int,
           screen: Optional[Callable[[Tuple[bytes, ...]], object]]) -> Union[_Authority, _Refusal]: ...
def covers(scope_tlv: bytes, resource: bytes, verb: bytes) -> bool: ...
def prove(holder: IdentityIsland, challenge: bytes) -> bytes: ...
def check_proof(holder_pk: bytes, challenge: bytes, proof: bytes) -> bool: ...
