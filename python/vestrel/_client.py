"""What every client that signs for its caller shares, knowing no HTTP
client: when a chain goes by reference, registering it with each service it
is sent to, the headers that sign one request, and what to do when a
service no longer holds the chain.

An adapter (vestrel.httpx, vestrel.requests) drives ``Signer.flow`` for
each request: the flow yields the requests to send (a registration first,
when one is due, then the request itself with its proof) and is sent back
each answer's status and WWW-Authenticate header, so that the rules (when
to register, which reference to present, retrying once and only once) live
here and every adapter only moves requests and answers.
"""

from __future__ import annotations

import re
import threading
from typing import Dict, Generator, NamedTuple, Optional, Tuple, Union
from urllib.parse import urlsplit

from vestrel_kernel import IdentityIsland

from ._arguments import BytesLike
from ._http import DEFAULT_REGISTER_PATH
from ._request import present, register, request_target
from ._token import REF_PREFIX, TOKEN_PREFIX, encode_token

# The longest token sent in the Authorization header when registration is
# "auto": a one-credential chain (about 7,100 characters) still passes every
# common server's default header limits with its 4,465-byte proof (gunicorn
# and nginx take a line of about 8 KB, uvicorn a 16 KiB head); anything longer
# is registered once and presented by its 47-character reference.
MAX_TOKEN_IN_HEADER = 8000

# The rule of a refusal, as the service's challenge names it first in its
# description: error_description="ChainUnknown: ...".
_CHAIN_UNKNOWN = re.compile(r'error_description="ChainUnknown[:"]')


class RegistrationFailed(Exception):
    """A service did not register the chain: ``status`` is its answer's
    (0 when no answer came), ``url`` the registration URL, ``challenge`` its
    WWW-Authenticate header ("" without one), naming the rule it refused."""

    def __init__(self, url: str, status: int, challenge: str) -> None:
        hint = " (is register_path the service's?)" if status in (404, 405) else ""
        described = f": {challenge}" if challenge else ""
        super().__init__(f"registering the chain at {url} was answered {status}{hint}"
                         f"{described}")
        self.url = url
        self.status = status
        self.challenge = challenge


class Outgoing(NamedTuple):
    """A request the adapter must send. ``registration``: a POST of
    ``body`` to ``url`` with ``headers``; otherwise the caller's own request
    with ``headers`` added (its method, URL and body unchanged)."""

    registration: bool
    url: str
    headers: Dict[str, str]
    body: bytes


# What the adapter sends back for each Outgoing: the answer's status and its
# WWW-Authenticate header ("" for none).
Answer = Tuple[int, str]
Flow = Generator[Outgoing, Answer, None]


def chain_unknown(status: int, challenge: str) -> bool:
    """Whether an answer says the service holds no chain under the
    reference presented (it restarted, or the registration expired)."""
    return status == 401 and _CHAIN_UNKNOWN.search(challenge) is not None


class Signer:
    """Signs requests as ``holder`` presenting ``chain`` (a wire, a token or
    a chain reference).

    ``register``: "auto" (the default) registers a token longer than
    MAX_TOKEN_IN_HEADER characters with each service and presents its
    reference, and sends a shorter one in the header; True always registers,
    False never does. A chain given as a reference is presented as it is and
    cannot be registered again. ``register_path`` is the services'
    registration path. Safe to share between threads and event loops."""

    def __init__(self, holder: IdentityIsland, chain: Union[str, BytesLike], *,
                 register: Union[bool, str] = "auto",
                 register_path: str = DEFAULT_REGISTER_PATH) -> None:
        if not isinstance(holder, IdentityIsland):
            raise TypeError(f"holder must be the chain's last vestrel.IdentityIsland, not "
                            f"{type(holder).__name__}")
        if not (register is True or register is False or register == "auto"):
            raise ValueError(f"register must be 'auto', True or False, not {register!r}")
        if not isinstance(register_path, str) or not register_path.startswith("/") or any(
                c in register_path for c in "?#") or not register_path.isascii():
            raise ValueError(f"register_path must be an ASCII path starting with '/', "
                             f"not {register_path!r}")
        if isinstance(chain, str):
            if not chain.startswith((TOKEN_PREFIX, REF_PREFIX)):
                raise ValueError(f"chain must be a wire, a token ({TOKEN_PREFIX}...) or a chain "
                                 f"reference ({REF_PREFIX}...)")
            text = chain
        else:
            text = encode_token(chain)
        by_reference = text.startswith(REF_PREFIX)
        if by_reference and register is True:
            raise ValueError("a chain given as its reference cannot be registered: give its "
                             "token or wire")
        self.holder = holder
        self.register_path = register_path
        self._chain = text
        # Whether the token is registered and presented by reference.
        self._registers = not by_reference and (
            register is True or (register == "auto" and len(text) > MAX_TOKEN_IN_HEADER))
        self._refs: Dict[Tuple[bytes, bytes], str] = {}  # (scheme, authority) -> reference
        self._lock = threading.Lock()

    def flow(self, method: str, url: str, body: Optional[bytes]) -> Flow:
        """The requests that carry one request of the caller's: a
        registration first where the service holds no reference of this
        chain yet, then the request signed. A request refused with
        ChainUnknown is registered again and sent again once, with a new
        proof (a proof is good for one request); never more."""
        signed_body = body or None  # no body, or an empty one: the proof covers none
        key = request_target(method, url)[1:3]  # ValueError for a URL no request line carries
        for attempt in range(2):
            presented = self._chain
            if self._registers:
                with self._lock:
                    known = self._refs.get(key)
                if known is None:
                    known = yield from self._register(key, url)
                presented = known
            status, challenge = yield Outgoing(
                False, url, present(self.holder, presented, method, url, body=signed_body), b"")
            if attempt or not chain_unknown(status, challenge) or not self._registers:
                return
            with self._lock:
                self._refs.pop(key, None)

    def _register(self, key: Tuple[bytes, bytes], url: str) -> Generator[Outgoing, Answer, str]:
        parts = urlsplit(url)
        # The service's own origin, without any user name the URL carries.
        where = f"{parts.scheme}://{parts.netloc.rpartition('@')[2]}{self.register_path}"
        headers, body, ref = register(self.holder, self._chain, where)
        status, challenge = yield Outgoing(True, where, headers, body)
        if status != 201:
            raise RegistrationFailed(where, status, challenge)
        # The reference is the chain's digest, known here: the answer's body
        # (which names it and its expiry) is not needed.
        with self._lock:
            self._refs[key] = ref
        return ref
