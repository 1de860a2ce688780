"""What the ASGI and WSGI middlewares share: their options, the rules that
turn a request into what a proof is checked against, and the answers.

Nothing here reads a socket or knows a framework; vestrel.asgi and
vestrel.wsgi only move bytes between their server and these functions.

The URL a proof is checked against is built from what the service knows
of itself, never from what the sender alone chooses: its ``origin`` (the
public scheme, host and port its clients address), or one of several origins
or named ``hosts`` that the Host header picks among, followed by the request
target's path and query exactly as the client sent them. Servers that do not
keep the target as sent get the decoded path quoted again, which matches any
client that percent-encodes only what must be.

The target is read by one function, origin_form: only "/path?query" targets
are checked, and the path and query the proof covers are split at the
target's first "?", as every server splits it for the app.
"""

from __future__ import annotations

import functools
import json
import logging
import math
import re
import time
from http import HTTPStatus
from typing import (TYPE_CHECKING, Any, Callable, Generic, Iterable, List, NamedTuple, Optional,
                    Sequence, Tuple, TypeVar, Union)
from urllib.parse import quote, urlsplit

from ._chain import VerifiedChain
from ._errors import KernelError, NotAllowed, ProofMissing, Refused, RequestRefused
from ._request import (PROOF_HEADER, Credentials, Headers, Presented, _credentials,
                       _names_vestrel)
from ._stores import coroutine_function

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
_DEFAULT_PORTS = {"http": "80", "https": "443"}

PathRule = Callable[[str], bytes]
PublicRule = Callable[[str, str], bool]


AppT = TypeVar("AppT")


class RequestTargetRefused(RequestRefused):
    """A request target that is not "/path" with an optional "?query": it is
    not checked at all, since a reader that sees a fragment, a user or a
    host in it would check another URL than the one the app serves."""

    rule = "RequestTarget"
    status = 400
    error = "invalid_request"


class HostRefused(RequestRefused):
    """A Host header that is missing, repeated or not a host, where the
    service needs it to tell which of its names the request addressed."""

    rule = "Host"
    status = 400
    error = "invalid_request"


class MisdirectedRequest(RequestRefused):
    """A Host header naming none of the hosts the service answers to."""

    rule = "MisdirectedRequest"
    status = 421
    error = "invalid_request"


class ScopeUnchecked(RequestRefused):
    """With per_route=True, a checked request whose route answered with
    success (a status under 400) without checking the chain's scope: the
    route forgot its requirement, so its answer is not passed on. A fault
    of the service, not of the request, hence 500."""

    rule = "ScopeUnchecked"
    status = 500
    error = "server_error"


class Answered(Exception):
    """A request a framework adapter answers itself (a refusal, or 413),
    raised from where its view would have been called."""

    def __init__(self, answer: Answer) -> None:
        super().__init__(answer.status)
        self.answer = answer


class Middleware(Generic[AppT]):
    """What both middlewares hold: the app they guard and their options."""

    def __init__(self, app: AppT, verifier: Any, *, resource: Optional[PathRule] = None,
                 verb: Optional[PathRule] = None, public: Optional[PublicRule] = None,
                 register_path: Optional[str] = DEFAULT_REGISTER_PATH,
                 origin: Union[str, Sequence[str], None] = None,
                 hosts: Optional[Sequence[str]] = None, max_age: int = 60,
                 max_body: int = DEFAULT_MAX_BODY, ttl: int = DEFAULT_TTL,
                 per_route: bool = False) -> None:
        self.app = app
        self.options = Options(verifier, resource=resource, verb=verb, public=public,
                               register_path=register_path, origin=origin, hosts=hosts,
                               max_age=max_age, max_body=max_body, ttl=ttl,
                               per_route=per_route)
        if not coroutine_function(type(self).__call__):
            synchronous_stores(verifier)


def synchronous_stores(verifier: Any) -> None:
    """TypeError, when an adapter that checks requests synchronously (WSGI,
    or a framework's own) is built, for a verifier whose stores are asyncio
    ones: else every request would fail."""
    if getattr(verifier, "_asyncio_stores", False):
        raise TypeError("this verifier's stores are asyncio ones (vestrel.redis with a "
                        "redis.asyncio client), which only an ASGI adapter awaits: give a "
                        "synchronous adapter stores on a redis.Redis")


def default_resource(path: str) -> bytes:
    """The request's decoded path (no query) in UTF-8: what a scope's
    resource names by default."""
    return path.encode("utf-8", "replace")


def default_verb(method: str) -> bytes:
    """The method in ASCII; HEAD is GET, since frameworks answer HEAD with
    their GET route (without its body)."""
    return b"GET" if method == "HEAD" else method.encode("ascii", "replace")


class Answer(NamedTuple):
    """A response the middleware makes itself, in place of the app's."""

    status: int
    headers: List[Tuple[str, str]]
    body: bytes


class Prepared(NamedTuple):
    """What a request is checked against, settled before its body is read
    and before its proof is looked at; no resource and verb where the
    routes check the scope themselves."""

    url: str
    resource: Optional[bytes]
    verb: Optional[bytes]
    # The credentials' header values as the one scan of the headers found
    # them, which the check then reads instead of the headers: the core's
    # reading of the common form, else the values themselves.
    credentials: Optional[Credentials] = None
    presented: Optional[Presented] = None


class Options:
    """The middleware's options, checked once when it is built."""

    __slots__ = ("verifier", "resource", "verb", "public", "register_path", "origins", "hosts",
                 "max_age", "max_body", "ttl", "per_route", "reads_host", "_read_presented",
                 "_check_presented")

    def __init__(self, verifier: Verifier, *, resource: Optional[PathRule] = None,
                 verb: Optional[PathRule] = None, public: Optional[PublicRule] = None,
                 register_path: Optional[str] = DEFAULT_REGISTER_PATH,
                 origin: Union[str, Sequence[str], None] = None,
                 hosts: Optional[Sequence[str]] = None, max_age: int = 60,
                 max_body: int = DEFAULT_MAX_BODY, ttl: int = DEFAULT_TTL,
                 per_route: bool = False) -> None:
        if not all(callable(getattr(verifier, name, None))
                   for name in ("verify_request", "verify_request_async")):
            raise TypeError("verifier must be a vestrel.Verifier")
        if not isinstance(per_route, bool):
            raise TypeError("per_route must be True or False")
        if per_route and (resource is not None or verb is not None):
            raise ValueError("per_route=True leaves the scope check to each route: give it, "
                             "or resource and verb, not both")
        for name, value in (("resource", resource), ("verb", verb), ("public", public)):
            if value is not None and not callable(value):
                raise TypeError(f"{name} must be callable or None")
        if register_path is not None and (not isinstance(register_path, str)
                                          or not register_path.startswith("/")):
            raise ValueError("register_path must be a path starting with '/', or None")
        for name, number in (("max_age", max_age), ("max_body", max_body), ("ttl", ttl)):
            if isinstance(number, bool) or not isinstance(number, int) or number < 0:
                raise ValueError(f"{name} must be an int, 0 or more")
        origins = [] if origin is None else [_origin(o) for o in _listed(origin, "origin")]
        named = None if hosts is None else [_named_host(h) for h in _listed(hosts, "hosts")]
        if not origins and named is None:
            raise TypeError(
                "Authorize needs origin='https://api.example.com' (the scheme and host its "
                "clients address; a list of them for a service with several names), or "
                "hosts=['api.example.com', 'localhost:8000'] (the Host headers it answers to, "
                "under the server's scheme): a proof is never checked against a URL built "
                "from the request's own Host header")
        if len(origins) > 1 and named is not None:
            raise ValueError("give hosts with one origin or none: with several origins the "
                             "Host header must name one of theirs")
        seen = [_origin_key(o) for o in origins]
        if len(set(seen)) != len(seen):
            raise ValueError("two origins name the same host: a Host header could not tell "
                             "which one a request addressed")
        self.verifier = verifier
        # The core's scan of the headers, where the verifier has one.
        self._read_presented: Callable[[Headers], Optional[Presented]] = getattr(
            verifier, "_read_presented", lambda headers: None)
        # And its one-pass check of what that scan found, None where it has
        # none or the request needs the full check.
        self._check_presented: Callable[[str, str, Presented, bytes, int],
                                        Optional[VerifiedChain]] = getattr(
            verifier, "_check_presented", lambda *args: None)
        self.resource = resource or default_resource
        self.verb = verb or default_verb
        self.public = public
        self.register_path = register_path
        self.origins = origins
        self.hosts = named
        self.max_age = max_age
        self.max_body = max_body
        self.ttl = ttl
        self.per_route = per_route
        # With one origin and no named hosts the Host header is not read at
        # all (see base): a middleware then need not look for it.
        self.reads_host = len(origins) != 1 or named is not None

    def route(self, path: str, method: str) -> str:
        """"register", "public" or "check": what the request gets."""
        if path == self.register_path:
            return "register"
        if self.public is not None and self.public(path, method):
            return "public"
        return "check"

    def base(self, scheme: str, hosts: Sequence[str]) -> str:
        """The scheme and host a proof is checked under; ``hosts`` are the
        request's Host header values. Only a header that names one of the
        hosts the service was given can choose among them."""
        if not self.reads_host:
            return self.origins[0]  # a proxy may rewrite the Host header: it is not read
        if len(hosts) != 1:
            raise HostRefused("no Host header" if not hosts else "more than one Host header")
        host = hosts[0].strip()
        if _HOST.fullmatch(host) is None:
            raise HostRefused("the Host header is not a host")
        if self.hosts is None:
            for origin in self.origins:
                if _origin_key(origin) == _host_key(origin.partition(":")[0], host):
                    return origin
            raise MisdirectedRequest(f"this service does not answer to the host {host!r}")
        if scheme not in _DEFAULT_PORTS:
            raise HostRefused("the request's scheme is not http or https")
        if _host_key(scheme, host) not in (_host_key(scheme, h) for h in self.hosts):
            raise MisdirectedRequest(f"this service does not answer to the host {host!r}")
        return self.origins[0] if self.origins else f"{scheme}://{host}"

    def prepare(self, route: str, method: str, path: str, scheme: str, hosts: Sequence[str],
                target: str, headers: Headers, url: Optional[str] = None) -> Prepared:
        """Everything decided before the body is read and the proof checked,
        so that nothing after the proof's id is spent can fail but the
        check itself: the host (421), the target (400), whether credentials
        came at all (401), and what the scope must allow (the resource and
        verb callables, whose own failures are the server's 500). ``url``:
        the URL already read (raw_url), in place of hosts and target."""
        if url is None:
            url = self.base(scheme, hosts) + (_known_target(target) if len(target) <= _KEPT_TARGET
                                               else target_text(target))
        registering = route == "register"
        # A registration's chain is its body: its headers are read the long way.
        presented = None if registering else self._read_presented(headers)
        credentials = None
        if presented is None:
            credentials = _credentials(headers, decoded=False)
            _expect(credentials, registering)
        if registering or self.per_route:
            return Prepared(url, None, None, credentials, presented)
        resource, verb = self.resource(path), self.verb(method)
        if type(resource) is not bytes:
            resource = _mapped(resource, "resource")
        if type(verb) is not bytes:
            verb = _mapped(verb, "verb")
        return Prepared(url, resource, verb, credentials, presented)

    def check(self, method: str, prepared: Prepared, headers: Headers,
              body: bytes) -> VerifiedChain:
        """The verified chain of an allowed request (of any request whose
        chain and proof verify, where the routes check the scope); Refused
        otherwise."""
        chain = self.check_quick(method, prepared, body)
        if chain is not None:
            return chain
        chain = self.verifier.verify_request(method, prepared.url, headers, body=body,
                                             max_age=self.max_age,
                                             _credentials=prepared.credentials,
                                             _presented=prepared.presented)
        if prepared.resource is not None and prepared.verb is not None:
            require(chain, (prepared.resource, prepared.verb))
        return chain

    def check_quick(self, method: str, prepared: Prepared, body: bytes) -> Optional[VerifiedChain]:
        """check, in one pass and without a coroutine, for the common request
        (the verifier's _check_presented); None for any other, which check
        or check_async then checks in full. An ASGI middleware calls this
        first: most requests then never create check_async's coroutine."""
        if prepared.presented is None:
            return None
        chain = self._check_presented(method, prepared.url, prepared.presented, body, self.max_age)
        if chain is not None and prepared.resource is not None and prepared.verb is not None:
            require(chain, (prepared.resource, prepared.verb))
        return chain

    async def check_async(self, method: str, prepared: Prepared, headers: Headers,
                          body: bytes) -> VerifiedChain:
        """check, for a caller on an event loop, once check_quick answered
        None: the verifier's stores are awaited, and a chain not checked
        lately is checked off the loop (Verifier.verify_request_async)."""
        chain = await self.verifier.verify_request_async(method, prepared.url, headers,
                                                         body=body, max_age=self.max_age,
                                                         _credentials=prepared.credentials,
                                                         _presented=prepared.presented)
        if prepared.resource is not None and prepared.verb is not None:
            require(chain, (prepared.resource, prepared.verb))
        return chain

    async def register_async(self, url: str, headers: Headers, body: bytes) -> Answer:
        """register, for a caller on an event loop."""
        now = int(time.time())
        ref, chain = await self.verifier.register_request_async(
            url, headers, body, now=now, max_age=self.max_age, ttl=self.ttl)
        return registered(ref, chain, now, self.ttl)

    def register(self, url: str, headers: Headers, body: bytes) -> Answer:
        now = int(time.time())
        ref, chain = self.verifier.register_request(url, headers, body, now=now,
                                                    max_age=self.max_age, ttl=self.ttl)
        return registered(ref, chain, now, self.ttl)


def registered(ref: str, chain: VerifiedChain, now: int, ttl: int) -> Answer:
    """The answer to a registration: the reference, and until when the
    chain is kept (the same bound register_request keeps it under)."""
    expires_at = now + ttl
    if chain.not_after is not None:
        expires_at = min(expires_at, chain.not_after)
    return json_answer(201, {"ref": ref, "expires_at": expires_at})


def requirement(resource: Any, verb: Any) -> Tuple[bytes, bytes]:
    """A route's (resource, verb), checked where the route is declared, so
    that a mistake fails when the app is built and not on each request."""
    for name, value in (("resource", resource), ("verb", verb)):
        if not isinstance(value, (bytes, bytearray)):
            raise TypeError(f"the route's {name} must be bytes such as b'docs', "
                            f"not {type(value).__name__}")
    return bytes(resource), bytes(verb)


def require(chain: Optional[VerifiedChain], needed: Tuple[bytes, bytes]) -> VerifiedChain:
    """``chain`` when its scope allows ``needed``: ProofMissing (401) when
    the request brought none, NotAllowed (403) when it does not allow it."""
    if chain is None:
        raise ProofMissing("no Vestrel credentials", credentials=False)
    if not chain.allows(*needed):
        raise NotAllowed("the chain does not allow this request")
    return chain


# The key under which a route's scope check is noted in the request's state,
# next to "vestrel_chain": with per_route=True the middleware refuses to pass
# on a success answer for a request whose route checked no scope.
SCOPE_CHECKED = "vestrel_scope_checked"


def note_scope_check(state: Any) -> None:
    """Notes in a request's state (its ASGI scope's "state" dict, or the
    WSGI environ) that a route checked the chain's scope."""
    if isinstance(state, dict):
        state[SCOPE_CHECKED] = True


def scope_checked(state: Any) -> bool:
    """Whether a route noted a scope check in the request's state."""
    return isinstance(state, dict) and state.get(SCOPE_CHECKED) is True


def unchecked(log: logging.Logger, method: str, path: str, status: Any) -> Answer:
    """The 500 sent in place of a success answer whose route checked no
    scope, logged once for the service's developer. The log names the
    route, never the request's headers (its credentials); the path is
    written with repr, so a decoded CR or LF in it cannot forge a log line."""
    log.error("%s %r answered %s without checking the chain's scope: answered 500 instead "
              "(per_route=True needs a requirement on every route that is not public)",
              method, path, status)
    return refusal(ScopeUnchecked("the route checked no scope"))


def _mapped(value: Any, name: str) -> bytes:
    # Checked here, while a failure is still the server's 500 and not a
    # refusal after the proof's id was spent.
    if not isinstance(value, (bytes, bytearray, memoryview)):
        raise TypeError(f"the {name} callable must return bytes, not {type(value).__name__}")
    return bytes(value)


def _listed(value: Union[str, Sequence[str]], name: str) -> List[str]:
    listed = [value] if isinstance(value, str) else list(value) if isinstance(
        value, (list, tuple)) else None
    if not listed:
        raise TypeError(f"{name} must be a str or a non-empty list of them")
    return listed


def _host_key(scheme: str, host: str) -> str:
    """A host as the Host header may write it, compared without case and
    with the scheme's default port written or not."""
    host = host.lower()
    default = ":" + _DEFAULT_PORTS.get(scheme, "")
    return host[:-len(default)] if host.endswith(default) else host


def _origin_key(origin: str) -> str:
    scheme, _, host = origin.partition("://")
    return _host_key(scheme, host)


def _named_host(host: str) -> str:
    if not isinstance(host, str) or _HOST.fullmatch(host) is None:
        raise ValueError(f"hosts must be names or IP literals with an optional port, such as "
                         f"'api.example.com' or 'localhost:8000', not {host!r}")
    return host


def origin_form(target: str) -> Tuple[str, str]:
    """(path, query) of a request target in origin form, "/path?query", split
    at its first "?" as servers split it for the app; RequestTargetRefused
    for any other.

    Refused: a target not starting with "/" (absolute-form "http://h/x",
    asterisk-form "*", and "@h/x", "%2F@h/x" or "\\@h/x", which joined to
    a scheme and host would name another host); one starting with "//",
    which a parser given the target alone reads as a host; a "#" anywhere,
    since a URL parser would drop what follows as a fragment while the
    server gives it to the app; a backslash in the path, which some readers
    take for "/"; and anything but printable ASCII, which no client sends
    unencoded."""
    if not target.startswith("/") or target.startswith("//"):
        raise RequestTargetRefused(f"the request target is not a path: {_bounded(target)}")
    # Printable ASCII is "!" to "~": ASCII that is printable, but no space.
    if not (target.isascii() and target.isprintable()) or " " in target:
        raise RequestTargetRefused("the request target is not printable ASCII")
    if "#" in target:
        raise RequestTargetRefused(f"the request target holds a '#': {_bounded(target)}")
    path, _, query = target.partition("?")
    if "\\" in path:
        raise RequestTargetRefused(f"the request path holds a backslash: {_bounded(target)}")
    return path, query


def target_text(target: str) -> str:
    """The path and query a proof covers, from the target as received."""
    path, query = origin_form(target)
    return path + ("?" + query if query else "")


# A service sees the same few targets again and again: those up to this
# long are read once each (a refused one raises, and is not kept).
_KEPT_TARGET = 1024
_known_target = functools.lru_cache(maxsize=1024)(target_text)


@functools.lru_cache(maxsize=1024)
def raw_url(origin: str, raw: bytes, query: bytes) -> str:
    """The URL a proof is checked under, for a service with one origin, from
    the target as an ASGI server hands it on (raw_path and query_string
    bytes, read as Latin-1), read as _known_target reads it: the path and
    query of each target once, a refused one raising each time. For targets
    up to _KEPT_TARGET long."""
    target = raw.decode("latin-1") + ("?" + query.decode("latin-1") if query else "")
    return origin + target_text(target)


def _bounded(text: str, limit: int = 80) -> str:
    return repr(text if len(text) <= limit else text[:limit] + "...")


def expect_credentials(headers: Headers, registering: bool) -> None:
    """ProofMissing unless the request carries what a check reads: a chain
    in a Vestrel Authorization header (not for a registration, whose chain
    is its body) and a proof header. Checked before the body is read, so a
    request with nothing to check costs no more than its head."""
    _expect(_credentials(headers, decoded=False), registering)


def _expect(credentials: Credentials, registering: bool) -> None:
    authorization, proofs = credentials
    if not registering:
        # A loop, not any() over a generator: a generator left early is
        # closed with an exception, which costs more than the whole test.
        for value in authorization:
            if _names_vestrel(value):
                break
        else:
            raise ProofMissing("no Vestrel credentials", credentials=False)
    if not proofs:
        raise ProofMissing(f"no {PROOF_HEADER} header", credentials=not registering)


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
    error and the rule, and the same in a small JSON body; a refusal that
    says when to try again (``retry_after`` seconds) also gets Retry-After."""
    rule = error.rule or type(error).__name__
    challenge = "Vestrel"
    if error.error is not None:
        challenge += f' error="{header_text(error.error)}",'
    challenge += f' error_description="{header_text(rule + ": " + describe(error))}"'
    headers = [("www-authenticate", challenge)]
    retry = getattr(error, "retry_after", None)
    if isinstance(retry, (int, float)) and not isinstance(retry, bool) and 0 <= retry < 1e9:
        headers.append(("retry-after", str(math.ceil(retry))))
    return json_answer(error.status, {"error": error.error, "rule": rule}, headers)


def too_large(max_body: int) -> Answer:
    return json_answer(413, {"error": "invalid_request", "rule": "BodyTooLarge",
                             "max_body": max_body})


def method_not_allowed() -> Answer:
    return json_answer(405, {"error": "invalid_request", "rule": "MethodNotAllowed"},
                       [("allow", "POST")])


def bad_length() -> Answer:
    return json_answer(400, {"error": "invalid_request", "rule": "ContentLength"})


def content_length(values: Sequence[str], max_body: int) -> Union[int, None, Answer]:
    """The declared body length: None when none is declared, an Answer for
    a value that is not one decimal number (400) or that is over
    ``max_body`` (413: refused before any of the body is read). An empty
    value is no length: CGI gives CONTENT_LENGTH as "" when the request has
    none."""
    values = [v for v in values if v.strip()]
    if not values:
        return None
    if len(set(v.strip() for v in values)) != 1:
        return bad_length()
    text = values[0].strip()
    if not text.isascii() or not text.isdigit() or len(text) > 18:
        return bad_length()
    declared = int(text)
    return too_large(max_body) if declared > max_body else declared


def status_line(status: int) -> str:
    """"401 Unauthorized": the status as WSGI's start_response takes it."""
    try:
        return f"{status} {HTTPStatus(status).phrase}"
    except ValueError:
        return f"{status} Unknown"
