"""Requests signed by requests itself:

    session = requests.Session()
    session.auth = vestrel.requests.Auth(holder, chain)
    session.post("https://api.example.com/api/docs/7", json={"title": "notes"})

The proof is made for the prepared request, once requests has joined the
params to its URL, rewritten its escapes and encoded its body, so it covers
exactly what is sent. A body requests streams (a file, an iterator) cannot
be signed: pass its bytes. The chain is registered with each service when
it goes by reference (see vestrel._client.Signer), and once more when a
service answers ChainUnknown; those requests go through the same
connection adapter, with the caller's timeout, TLS and proxy settings.

A prepared request is signed once: send it again and its proof is refused
as replayed. A redirect is followed without the credentials, since the
proof was for the first URL.

Only this module imports requests; ``import vestrel`` does not.
"""

from __future__ import annotations

from typing import Any, Dict, Optional, Union

# Debian's requests ships no type information: its objects are Any here.
import requests  # type: ignore[import]
import requests.auth  # type: ignore[import]
from vestrel_kernel import IdentityIsland

from ._arguments import BytesLike
from ._client import MAX_TOKEN_IN_HEADER, Outgoing, RegistrationFailed, Signer
from ._http import DEFAULT_REGISTER_PATH
from ._request import PROOF_HEADER

__all__ = ["Auth", "RegistrationFailed", "MAX_TOKEN_IN_HEADER"]

Prepared = Any  # a requests.PreparedRequest
Response = Any  # a requests.Response
# Not carried over from the caller's request to a registration of the chain.
_OWN_HEADERS = ("Authorization", PROOF_HEADER, "Content-Type", "Content-Length",
                "Transfer-Encoding")


class Auth(requests.auth.AuthBase):  # type: ignore[misc]
    """Signs every request as ``holder`` presenting ``chain`` (a wire, a
    token or a chain reference), for ``session.auth = ...`` or
    ``requests.get(..., auth=...)``. ``register``: "auto" (by reference when
    the token is longer than MAX_TOKEN_IN_HEADER characters), True or False;
    ``register_path``: the services' registration path. RegistrationFailed
    when a service refuses the chain's registration."""

    def __init__(self, holder: IdentityIsland, chain: Union[str, BytesLike], *,
                 register: Union[bool, str] = "auto",
                 register_path: str = DEFAULT_REGISTER_PATH) -> None:
        self.signer = Signer(holder, chain, register=register, register_path=register_path)

    def __call__(self, r: Prepared) -> Prepared:
        body = _sent_body(r.body)
        if isinstance(r.body, str):
            r.body = body  # the bytes http.client would send, now the ones signed
        flow = self.signer.flow(str(r.method), str(r.url), body)
        original = r.copy()
        outgoing = next(flow)
        # The first request goes out as ``r`` itself: a registration, when
        # one is due, takes its place, and the hook then sends the request.
        swapped = outgoing.registration
        _fill(r, _built(original, outgoing))

        def answered(response: Response, **kwargs: Any) -> Response:
            try:
                while True:
                    try:
                        outgoing = flow.send((response.status_code,
                                              response.headers.get("WWW-Authenticate", "")))
                    except StopIteration:
                        break
                    response.content  # read, so the connection goes back to its pool
                    response.close()
                    prepared = _built(original, outgoing)
                    following = response.connection.send(prepared, **kwargs)
                    following.history = [*response.history, response]
                    following.request = prepared
                    response = following
            finally:
                # What requests copies to follow a redirect is ``r``: the
                # caller's request again, never the registration.
                if swapped:
                    _fill(r, original)
                if response.is_redirect:
                    for name in ("Authorization", PROOF_HEADER):
                        r.headers.pop(name, None)
            return response

        # First, so that the caller's own hooks see the final answer only.
        r.hooks["response"].insert(0, answered)
        return r


def _sent_body(body: Any) -> Optional[bytes]:
    """The bytes of a prepared body as they are sent: None for none, a str
    in latin-1 as http.client encodes it."""
    if body is None or isinstance(body, bytes):
        return body
    if isinstance(body, (bytearray, memoryview)):
        return bytes(body)
    if isinstance(body, str):
        try:
            return body.encode("latin-1")
        except UnicodeEncodeError:
            raise ValueError("a str body outside latin-1 cannot be sent: pass its bytes "
                             "(json= and data= encode theirs)") from None
    raise TypeError(f"a streamed body ({type(body).__name__}) cannot be signed: the proof "
                    f"covers the body's bytes, so pass them (content read into bytes)")


def _built(original: Prepared, outgoing: Outgoing) -> Prepared:
    """The prepared request ``outgoing`` asks for: the caller's with the
    proof's headers, or a registration of the chain at the same service."""
    prepared = original.copy()
    if outgoing.registration:
        for name in _OWN_HEADERS:
            prepared.headers.pop(name, None)
        prepared.method = "POST"
        prepared.url = outgoing.url
        prepared.body = outgoing.body
        prepared.prepare_content_length(outgoing.body)
    prepared.headers.update(outgoing.headers)
    return prepared


def _fill(target: Prepared, source: Prepared) -> None:
    target.method, target.url, target.body = source.method, source.url, source.body
    headers: Dict[str, str] = dict(source.headers)
    target.headers.clear()
    target.headers.update(headers)
