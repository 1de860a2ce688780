"""Requests signed by httpx itself, sync or async:

    auth = vestrel.httpx.Auth(holder, chain)
    with httpx.Client(auth=auth) as client:          # or httpx.AsyncClient(auth=auth)
        client.post("https://api.example.com/api/docs/7", json={"title": "notes"})

httpx calls the auth flow with the request as it will go out (its URL with
the params joined and the escapes as httpx writes them, its body encoded),
so the proof covers exactly what is sent. The chain is registered with each
service when it goes by reference (see vestrel._client.Signer), and once
more when a service answers ChainUnknown. httpx follows redirects only when
told to: leave that off for signed requests, since a redirected request
still carries the first URL's proof.

Only this module imports httpx; ``import vestrel`` does not.
"""

from __future__ import annotations

from typing import Generator, Union

import httpx
from vestrel_kernel import IdentityIsland

from ._arguments import BytesLike
from ._client import MAX_TOKEN_IN_HEADER, RegistrationFailed, Signer
from ._http import DEFAULT_REGISTER_PATH

__all__ = ["Auth", "RegistrationFailed", "MAX_TOKEN_IN_HEADER"]


class Auth(httpx.Auth):
    """Signs every request of an httpx.Client or httpx.AsyncClient as
    ``holder`` presenting ``chain`` (a wire, a token or a chain reference).
    ``register``: "auto" (by reference when the token is longer than
    MAX_TOKEN_IN_HEADER characters), True or False; ``register_path``: the
    services' registration path. RegistrationFailed when a service refuses
    the chain's registration."""

    requires_request_body = True  # the body is read before the flow, so it can be signed

    def __init__(self, holder: IdentityIsland, chain: Union[str, BytesLike], *,
                 register: Union[bool, str] = "auto",
                 register_path: str = DEFAULT_REGISTER_PATH) -> None:
        self.signer = Signer(holder, chain, register=register, register_path=register_path)

    def auth_flow(self, request: httpx.Request) -> Generator[httpx.Request, httpx.Response, None]:
        flow = self.signer.flow(request.method, str(request.url), request.content)
        outgoing = next(flow)
        while True:
            if outgoing.registration:
                # The caller's extensions (its timeouts above all) apply to it too.
                sent = httpx.Request("POST", outgoing.url, headers=outgoing.headers,
                                     content=outgoing.body, extensions=request.extensions)
            else:
                request.headers.update(outgoing.headers)
                sent = request
            response = yield sent
            try:
                outgoing = flow.send((response.status_code,
                                      ", ".join(response.headers.get_list("www-authenticate"))))
            except StopIteration:
                return
