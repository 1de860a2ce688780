"""What the ASGI and WSGI middlewares share: their options, the rules that
turn a request into what a proof is checked against, and the answers.

Nothing here reads a socket or knows a framework; vestrel.asgi and
vestrel.wsgi only move bytes between their server and these functions.

The URL a proof is checked against is ``origin`` when one is given (the
public scheme, host and port of a service behind a proxy), else the
request's own scheme and Host header, followed by the request target's path
and query exactly as the client sent them. Servers that do not keep the
target as sent get the decoded path quoted again, which matches any client
that percent-encodes only what must be.
"""

from __future__ import annotations

import json
import re
import time
from http import HTTPStatus
from typing import (TYPE_CHECKING, Any, Callable, Generic, Iterable, List, NamedTuple, Optional,
                    Sequence, Tuple, TypeVar, Union)
from urllib.parse import quote, urlsplit

from ._chain import VerifiedChain
from ._errors import KernelError, NotAllowed, ProofMalformed, Refused
from ._request import Headers

if TYPE_CHECKING:
    from ._verifier import Verifier

DEFAULT_REGISTER_PATH = "/.well-known/vestrel/chains"
# Enough for the largest token a chain can have (16 credentials with the
# largest payloads), so that any chain can be registered.
DEFAULT_MAX_BODY = 1 << 20
DEFAULT_TTL = 3600

# A Host header is a name or an IP literal and an optional port: anything
# else (a "/", "@", "?" or "#" above all) would let the header move the path
# or the host of the URL that is rebuilt from it.
_HOST = re.compile(r"(?:[A-Za-z0-9._-]+|\[[0-9A-Fa-f:.]+\])(?::[0-9]{1,5})?")
# Kept as they are when a decoded path is quoted again: RFC 3986's unreserved
# and sub-delimiter characters and those a path segment allows.
_PATH_SAFE = "/!$&'()*+,;=:@"
_DESCRIPTION_MAX = 200

PathRule = Callable[[str], bytes]
PublicRule = Callable[[str, str], bool]


AppT = TypeVar("AppT")


class Middleware(Generic[AppT]):
    """What both middlewares hold: the app they guard and their options."""

    def __init__(self, app: AppT, verifier: Any, *, resource: Optional[PathRule] = None,
                 verb: Optional[PathRule] = None, public: Optional[PublicRule] = None,
                 register_path: Optional[str] = DEFAULT_REGISTER_PATH,
                 origin: Optional[str] = None, max_age: int = 60,
                 max_body: int = DEFAULT_MAX_BODY, ttl: int = DEFAULT_TTL) -> None:
        self.app = app
        self.options = Options(verifier, resource=resource, verb=verb, public=public,
                               register_path=register_path, origin=origin, max_age=max_age,
                               max_body=max_body, ttl=ttl)


def default_resource(path: str) -> bytes:
    """The request's decoded path (no query) in UTF-8: what a scope's
    resource names by default."""
    return path.encode("utf-8", "replace")


def default_verb(method: str) -> bytes:
    return method.encode("ascii", "replace")


class Answer(NamedTuple):
    """A response the middleware makes itself, in place of the app's."""

    status: int
    headers: List[Tuple[str, str]]
    body: bytes


class Options:
    """The middleware's options, checked once when it is built."""

    __slots__ = ("verifier", "resource", "verb", "public", "register_path", "origin", "max_age",
                 "max_body", "ttl")

    def __init__(self, verifier: Verifier, *, resource: Optional[PathRule] = None,
                 verb: Optional[PathRule] = None, public: Optional[PublicRule] = None,
                 register_path: Optional[str] = DEFAULT_REGISTER_PATH,
                 origin: Optional[str] = None, max_age: int = 60,
                 max_body: int = DEFAULT_MAX_BODY, ttl: int = DEFAULT_TTL) -> None:
        if not callable(getattr(verifier, "verify_request", None)):
            raise TypeError("verifier must be a vestrel.Verifier")
        for name, value in (("resource", resource), ("verb", verb), ("public", public)):
            if value is not None and not callable(value):
                raise TypeError(f"{name} must be callable or None")
        if register_path is not None and (not isinstance(register_path, str)
                                          or not register_path.startswith("/")):
            raise ValueError("register_path must be a path starting with '/', or None")
        for name, number in (("max_age", max_age), ("max_body", max_body), ("ttl", ttl)):
            if isinstance(number, bool) or not isinstance(number, int) or number < 0:
                raise ValueError(f"{name} must be an int, 0 or more")
        self.verifier = verifier
        self.resource = resource or default_resource
        self.verb = verb or default_verb
        self.public = public
        self.register_path = register_path
        self.origin = None if origin is None else _origin(origin)
        self.max_age = max_age
        self.max_body = max_body
        self.ttl = ttl

    def route(self, path: str, method: str) -> str:
        """"register", "public" or "check": what the request gets."""
        if path == self.register_path:
            return "register"
        if self.public is not None and self.public(path, method):
            return "public"
        return "check"

    def url(self, scheme: str, hosts: Sequence[str], target: str) -> str:
        """The URL the proof covers; ``hosts`` are the request's Host header
        values, ``target`` its path and query as sent."""
        if self.origin is not None:
            return self.origin + target
        if len(hosts) != 1:
            raise ProofMalformed("no Host header" if not hosts else "more than one Host header")
        host = hosts[0].strip()
        if _HOST.fullmatch(host) is None:
            raise ProofMalformed("the Host header is not a host")
        if scheme not in ("http", "https"):
            raise ProofMalformed("the request's scheme is not http or https")
        return f"{scheme}://{host}{target}"

    def check(self, method: str, path: str, url: str, headers: Headers,
              body: bytes) -> VerifiedChain:
        """The verified chain of an allowed request; Refused otherwise."""
        chain = self.verifier.verify_request(method, url, headers, body=body,
                                             max_age=self.max_age)
        resource, verb = self.resource(path), self.verb(method)
        if not chain.allows(resource, verb):
            raise NotAllowed("the chain does not allow this request")
        return chain

    def register(self, url: str, headers: Headers, body: bytes) -> Answer:
        now = int(time.time())
        ref, chain = self.verifier.register_request(url, headers, body, now=now,
                                                    max_age=self.max_age, ttl=self.ttl)
        # The same bound register_request keeps the chain under.
        expires_at = now + self.ttl
        if chain.not_after is not None:
            expires_at = min(expires_at, chain.not_after)
        return json_answer(201, {"ref": ref, "expires_at": expires_at})


def _origin(origin: str) -> str:
    if not isinstance(origin, str):
        raise TypeError("origin must be a str such as 'https://api.example.com'")
    parts = urlsplit(origin)
    if (parts.scheme not in ("http", "https") or not parts.hostname or parts.path not in ("", "/")
            or parts.query or parts.fragment or parts.username or parts.password
            or _HOST.fullmatch(parts.netloc) is None):
        raise ValueError(f"origin must be a scheme and host (and port), such as "
                         f"'https://api.example.com', not {origin!r}")
    return f"{parts.scheme}://{parts.netloc}"


def quoted_target(path: bytes, query: str) -> str:
    """A target rebuilt from a decoded path's bytes, for servers that keep
    no raw one: the path percent-encoded again, the query as it came."""
    quoted = quote(path, safe=_PATH_SAFE)
    return quoted + ("?" + query if query else "")


def header_text(text: str) -> str:
    """``text`` as a quoted-string's content: printable ASCII only (anything
    else, CR and LF above all, becomes "?"), quotes and backslashes escaped,
    bounded, so no request can add a header or end the quoted string."""
    kept = "".join(c if " " <= c <= "~" else "?" for c in text[:_DESCRIPTION_MAX])
    return kept.replace("\\", "\\\\").replace('"', '\\"')


def describe(error: Refused) -> str:
    if isinstance(error, KernelError):
        return "the chain" if error.index is None else f"credential {error.index}"
    return str(error)


def json_answer(status: int, content: Any,
                headers: Iterable[Tuple[str, str]] = ()) -> Answer:
    body = json.dumps(content, separators=(",", ":")).encode("ascii")
    return Answer(status, [("content-type", "application/json"),
                           ("content-length", str(len(body))),
                           ("cache-control", "no-store"), *headers], body)


def refusal(error: Refused) -> Answer:
    """The answer to a refused request: its status, a challenge naming the
    error and the rule, and the same in a small JSON body."""
    rule = error.rule or type(error).__name__
    challenge = "Vestrel"
    if error.error is not None:
        challenge += f' error="{header_text(error.error)}",'
    challenge += f' error_description="{header_text(rule + ": " + describe(error))}"'
    headers = [("www-authenticate", challenge)]
    retry_after = getattr(error, "retry_after", None)
    if isinstance(retry_after, int):
        headers.append(("retry-after", str(retry_after)))
    return json_answer(error.status, {"error": error.error, "rule": rule}, headers)


def too_large(max_body: int) -> Answer:
    return json_answer(413, {"error": "invalid_request", "rule": "BodyTooLarge",
                             "max_body": max_body})


def method_not_allowed() -> Answer:
    return json_answer(405, {"error": "invalid_request", "rule": "MethodNotAllowed"},
                       [("allow", "POST")])


def bad_length() -> Answer:
    return json_answer(400, {"error": "invalid_request", "rule": "ContentLength"})


def content_length(values: Sequence[str]) -> Union[int, None, Answer]:
    """The declared body length: None when none is declared, an Answer
    (400) for a value that is not one decimal number. An empty value is no
    length: CGI gives CONTENT_LENGTH as "" when the request has none."""
    values = [v for v in values if v.strip()]
    if not values:
        return None
    if len(set(v.strip() for v in values)) != 1:
        return bad_length()
    text = values[0].strip()
    if not text.isascii() or not text.isdigit() or len(text) > 18:
        return bad_length()
    return int(text)


def status_line(status: int) -> str:
    """"401 Unauthorized": the status as WSGI's start_response takes it."""
    try:
        return f"{status} {HTTPStatus(status).phrase}"
    except ValueError:
        return f"{status} Unknown"
