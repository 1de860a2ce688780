"""Route requirements for Starlette endpoints behind vestrel.asgi.Authorize.

    app = vestrel.asgi.Authorize(Starlette(routes=...), verifier,
                                 origin="https://api.example.com", per_route=True)

    @vestrel.starlette.requires(b"docs", b"read")
    async def read_doc(request):
        ...

The middleware verifies each request's chain and proof and leaves its
VerifiedChain in ``request.state.vestrel_chain``; ``requires`` lets the
endpoint run only when that chain allows (resource, verb) under
VerifiedChain.allows' rule (a ``*`` field covers any value, bytes compare
exactly), notes the check for per_route's guard, and answers anything else
with the middleware's own refusal: 401 without a chain (a public route, or
an app not behind Authorize), 403 for a scope that does not allow it.

It decorates function endpoints, async or not, and HTTPEndpoint methods:
whatever takes a parameter named ``request``. Starlette is imported by this
module only.
"""

from __future__ import annotations

import functools
import inspect
from typing import Any, Callable, Optional, Tuple, TypeVar

from starlette.requests import Request
from starlette.responses import Response

from ._chain import VerifiedChain
from ._errors import Refused
from ._http import Answer, note_scope_check, refusal, require, requirement

__all__ = ["requires"]

Endpoint = TypeVar("Endpoint", bound=Callable[..., Any])


def requires(resource: bytes, verb: bytes) -> Callable[[Endpoint], Endpoint]:
    """A decorator that lets the endpoint run only for a request whose
    chain allows (resource, verb). Both must be bytes (TypeError here, when
    the app is built); the endpoint must take a ``request`` parameter."""
    needed = requirement(resource, verb)

    def decorate(endpoint: Endpoint) -> Endpoint:
        where = _request_parameter(endpoint)
        if inspect.iscoroutinefunction(endpoint):
            @functools.wraps(endpoint)
            async def checked_async(*args: Any, **kwargs: Any) -> Any:
                refused = _check(_request(args, kwargs, where), needed)
                return refused if refused is not None else await endpoint(*args, **kwargs)

            return checked_async  # type: ignore[return-value]

        @functools.wraps(endpoint)
        def checked(*args: Any, **kwargs: Any) -> Any:
            refused = _check(_request(args, kwargs, where), needed)
            return refused if refused is not None else endpoint(*args, **kwargs)

        return checked  # type: ignore[return-value]

    return decorate


def _request_parameter(endpoint: Callable[..., Any]) -> int:
    if not callable(endpoint):
        raise TypeError(f"requires decorates an endpoint, not {type(endpoint).__name__}")
    for index, name in enumerate(inspect.signature(endpoint).parameters):
        if name == "request":
            return index
    raise TypeError(f"{getattr(endpoint, '__qualname__', endpoint)!r} takes no 'request' "
                    "parameter: requires decorates Starlette endpoints")


def _request(args: Tuple[Any, ...], kwargs: Any, where: int) -> Request:
    request = kwargs["request"] if "request" in kwargs else args[where]
    if not isinstance(request, Request):
        raise TypeError(f"requires found {type(request).__name__} where the Request should be")
    return request


def _check(request: Request, needed: Tuple[bytes, bytes]) -> Optional[Response]:
    """None when the request's chain allows ``needed`` (the check noted in
    its state), else the refusal to answer."""
    state = request.scope.get("state")
    chain = state.get("vestrel_chain") if isinstance(state, dict) else None
    try:
        require(chain if isinstance(chain, VerifiedChain) else None, needed)
    except Refused as error:
        return _response(refusal(error))
    note_scope_check(state)
    return None


def _response(answer: Answer) -> Response:
    """A middleware's answer as a Starlette response."""
    return Response(answer.body, status_code=answer.status, headers=dict(answer.headers))
