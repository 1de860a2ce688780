"""Vestrel request proofs for Django, and for Django REST framework.

Settings (settings.py):

    VESTREL = {
        "VERIFIER": "myproject.auth.verifier",  # a vestrel.Verifier, or its dotted path
        "ORIGIN": "https://api.example.com",     # or a list of them; or HOSTS, or both
        "HOSTS": None,                           # ["api.example.com", "localhost:8000"]
        "REGISTER_PATH": "/.well-known/vestrel/chains",  # None: registration not served
        "MAX_AGE": 60, "MAX_BODY": 1 << 20, "TTL": 3600,
    }
    MIDDLEWARE = [..., "vestrel.django.Middleware", ...]

The keys are vestrel.wsgi.Authorize's options; VERIFIER and ORIGIN or HOSTS
are required, the others have the defaults shown. A missing, unknown or bad
key is ImproperlyConfigured, raised when the middleware is loaded, that is
when Django starts serving (without the middleware: "vestrel.django.App" in
INSTALLED_APPS checks them when Django starts).

The middleware verifies each request that carries Vestrel credentials (a
"Vestrel" Authorization header or a Vestrel-Proof header) and leaves its
VerifiedChain in ``request.vestrel_chain``; a request without any gets None
there and goes on, for the view to refuse or serve; one whose credentials
fail is answered right there, as the middlewares answer: status,
WWW-Authenticate challenge and a JSON body naming the error and the rule. It
also answers POSTs to REGISTER_PATH, the chains' registration.

A view states what the chain must allow with ``@vestrel.django.require(b"docs",
b"GET")`` (the same refusals: 401 without credentials, 403 when the scope does
not allow it). For REST framework views, ``VestrelAuthentication`` in
authentication_classes makes ``request.user`` the chain's holder
(ChainUser) and ``request.auth`` the VerifiedChain, and ``Allows(b"docs",
b"GET")`` in permission_classes checks its scope; their refusals carry the
same status, challenge and body. Without the middleware these verify the
request themselves.

The proof covers the origin, then the target as the server received it
(RAW_URI or REQUEST_URI, which gunicorn gives; else request.path quoted
again and the query, as Django's own server needs), and the body, read
through request.body so the view reads it too.

Only this module imports Django, and REST framework only when its classes
are used; ``import vestrel`` imports neither.
"""

from __future__ import annotations

import asyncio
import functools
import json
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar

# Django ships no type information: its objects are Any here.
from django.apps import AppConfig  # type: ignore[import]
from django.conf import settings  # type: ignore[import]
from django.core.exceptions import ImproperlyConfigured  # type: ignore[import]
from django.http import HttpRequest, HttpResponse  # type: ignore[import]
from django.utils.module_loading import import_string  # type: ignore[import]

from ._arguments import key_id
from ._chain import VerifiedChain
from ._errors import ProofMissing, Refused
from ._http import (DEFAULT_MAX_BODY, DEFAULT_REGISTER_PATH, DEFAULT_TTL, Answer, Answered,
                    Options, content_length, method_not_allowed, note_scope_check, refusal,
                    requirement, synchronous_stores)
from ._http import require as _allowed
from ._request import _credentials, _names_vestrel
from .wsgi import CHAIN_KEY, _headers, _hosts, _target

# VestrelAuthentication, made on first use, is left out: a star import
# would then need REST framework.
__all__ = ["Middleware", "App", "require", "ChainUser", "Allows", "options"]

View = TypeVar("View", bound=Callable[..., Any])
SETTING = "VESTREL"
# Each key and the Options argument it sets, with its default.
_KEYS: Dict[str, Tuple[str, Any]] = {
    "ORIGIN": ("origin", None), "HOSTS": ("hosts", None),
    "REGISTER_PATH": ("register_path", DEFAULT_REGISTER_PATH), "MAX_AGE": ("max_age", 60),
    "MAX_BODY": ("max_body", DEFAULT_MAX_BODY), "TTL": ("ttl", DEFAULT_TTL)}
# The challenge of a 401 for a request that brought no credentials.
_CHALLENGE = dict(refusal(ProofMissing("no Vestrel credentials",
                                       credentials=False)).headers)["www-authenticate"]



# ---- Settings ----------------------------------------------------------------

_built: List[Any] = [None, None]  # the settings value last read, and its Options


def options() -> Options:
    """The Options settings.VESTREL describes, built once per value of the
    setting; ImproperlyConfigured when it describes none."""
    config = getattr(settings, SETTING, None)
    if _built[0] is not config or _built[1] is None:
        _built[:] = [config, _options(config)]
    built: Options = _built[1]
    return built


def _options(config: Any) -> Options:
    example = '{"VERIFIER": "myproject.auth.verifier", "ORIGIN": "https://api.example.com"}'
    if not isinstance(config, dict):
        raise ImproperlyConfigured(f"settings.{SETTING} must be a dict such as {example}, "
                                   f"not {type(config).__name__}")
    unknown = sorted(str(k) for k in config if k not in _KEYS and k != "VERIFIER")
    if unknown:
        raise ImproperlyConfigured(f"settings.{SETTING} has unknown keys {unknown}: it takes "
                                   f"VERIFIER, {', '.join(_KEYS)}")
    verifier = config.get("VERIFIER")
    if verifier is None:
        raise ImproperlyConfigured(f"settings.{SETTING} needs VERIFIER, a vestrel.Verifier or "
                                   f"its dotted path, as in {example}")
    if isinstance(verifier, str):
        try:
            verifier = import_string(verifier)
        except ImportError as error:
            raise ImproperlyConfigured(f"settings.{SETTING}['VERIFIER'] = {config['VERIFIER']!r} "
                                       f"does not import: {error}") from error
    arguments = {name: config.get(key, default) for key, (name, default) in _KEYS.items()}
    try:
        options = Options(verifier, per_route=True, **arguments)
        synchronous_stores(verifier)
        return options
    except (TypeError, ValueError) as error:
        raise ImproperlyConfigured(f"settings.{SETTING}: {error}") from error


class App(AppConfig):  # type: ignore[misc]
    """``"vestrel.django.App"`` in INSTALLED_APPS checks settings.VESTREL
    when Django starts, for a project that uses the decorator or the REST
    framework classes without the middleware (which checks it itself)."""

    name = "vestrel.django"
    label = "vestrel"
    verbose_name = "Vestrel"

    def ready(self) -> None:
        options()


# ---- Reading a request -------------------------------------------------------

def _prepared(request: HttpRequest, route: str, given: Options) -> Tuple[Any, List[Any]]:
    meta = request.META
    headers = _headers(meta)
    # Without a raw target, the decoded path Django made (script name
    # included) is quoted again.
    target = _target(meta, request.path.encode("utf-8"))
    prepared = given.prepare(route, request.method or "GET", request.path, request.scheme,
                             _hosts(headers), target, headers)
    return prepared, headers


def _body(request: HttpRequest, max_body: int) -> bytes:
    """request.body, at most ``max_body`` bytes (else 413; 400 for a bad
    length). Django reads no body of undeclared length."""
    declared = content_length([request.META.get("CONTENT_LENGTH", "")], max_body)
    if isinstance(declared, Answer):
        raise Answered(declared)
    body: bytes = request.body
    return body


def _carries_credentials(request: HttpRequest) -> bool:
    authorization, proofs = _credentials(_headers(request.META))
    return bool(proofs) or any(_names_vestrel(v) for v in authorization)


def _verified(request: HttpRequest, given: Options) -> VerifiedChain:
    try:
        prepared, headers = _prepared(request, "check", given)
        body = _body(request, given.max_body)
        return given.check(request.method or "GET", prepared, headers, body)
    except Refused as error:
        raise Answered(refusal(error)) from None


def _chain_of(request: HttpRequest, optional: bool) -> Optional[VerifiedChain]:
    """The request's chain: the one a middleware verified (None where it
    found no credentials), else verified here; without credentials, None
    when ``optional``, else the 401. Answered for any refusal."""
    chain = getattr(request, "vestrel_chain", None)
    if chain is None and hasattr(request, "vestrel_chain"):
        return None
    if chain is None:
        chain = request.META.get(CHAIN_KEY)
    if chain is None:
        if optional and not _carries_credentials(request):
            return None
        chain = _verified(request, options())
    request.vestrel_chain = chain
    return chain  # type: ignore[no-any-return]


def _checked(request: HttpRequest, needed: Tuple[bytes, bytes]) -> VerifiedChain:
    chain = _chain_of(request, optional=False)
    try:
        allowed = _allowed(chain, needed)
    except Refused as error:
        raise Answered(refusal(error)) from None
    if isinstance(request.META.get(CHAIN_KEY), VerifiedChain):
        note_scope_check(request.META)
    return allowed


def _response(answer: Answer) -> HttpResponse:
    return HttpResponse(answer.body, status=answer.status, headers=dict(answer.headers))


# ---- Django ------------------------------------------------------------------

class Middleware:
    """Verifies the requests that carry Vestrel credentials, leaving the
    chain in ``request.vestrel_chain`` (None for a request without any),
    and serves registration. Built when Django loads its middleware, so a
    bad VESTREL setting fails then."""

    def __init__(self, get_response: Callable[[HttpRequest], Any]) -> None:
        self.get_response = get_response
        self.options = options()

    def __call__(self, request: HttpRequest) -> Any:
        given = self.options
        if given.register_path is not None and request.path == given.register_path:
            return self._register(request)
        chain = request.META.get(CHAIN_KEY)
        if not isinstance(chain, VerifiedChain):  # not verified by a WSGI middleware before
            try:
                chain = _verified(request, given) if _carries_credentials(request) else None
            except Answered as answered:
                return _response(answered.answer)
        request.vestrel_chain = chain
        return self.get_response(request)

    def _register(self, request: HttpRequest) -> HttpResponse:
        if request.method != "POST":
            return _response(method_not_allowed())
        try:
            prepared, headers = _prepared(request, "register", self.options)
            body = _body(request, self.options.max_body)
            return _response(self.options.register(prepared.url, headers, body))
        except Refused as error:
            return _response(refusal(error))
        except Answered as answered:
            return _response(answered.answer)


def require(resource: bytes, verb: bytes) -> Callable[[View], View]:
    """A decorator for a Django view (a function; method_decorator for a
    class's methods) that only requests whose chain allows (resource, verb)
    reach; the chain is in ``request.vestrel_chain``."""
    needed = requirement(resource, verb)

    def decorate(view: View) -> View:
        def refused(request: HttpRequest) -> Optional[HttpResponse]:
            try:
                _checked(request, needed)
            except Answered as answered:
                return _response(answered.answer)
            return None

        if asyncio.iscoroutinefunction(view):  # Django awaits what it sees as async
            async def guarded_async(request: HttpRequest, *args: Any, **kwargs: Any) -> Any:
                answer = refused(request)
                return answer if answer is not None else await view(request, *args, **kwargs)

            guarded: Any = functools.wraps(view)(guarded_async)
        else:
            def guarded_sync(request: HttpRequest, *args: Any, **kwargs: Any) -> Any:
                answer = refused(request)
                return answer if answer is not None else view(request, *args, **kwargs)

            guarded = functools.wraps(view)(guarded_sync)
        # The request is authenticated by its proof, which no other site
        # can make, and not by a cookie: Django's CSRF check has nothing
        # to protect here.
        guarded.csrf_exempt = True
        return guarded  # type: ignore[no-any-return]

    return decorate


class ChainUser:
    """REST framework's ``request.user`` for a verified chain: its holder,
    named by ``identity`` (the holder's key id, also its pk and username).
    It holds no Django permissions."""

    is_authenticated = True
    is_anonymous = False
    is_active = True
    is_staff = False
    is_superuser = False

    def __init__(self, chain: VerifiedChain) -> None:
        self.chain = chain
        self.identity = self.pk = self.id = self.username = key_id(chain.holder_pk)

    def __str__(self) -> str:
        return self.identity

    def __repr__(self) -> str:
        return f"ChainUser({self.identity!r})"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, ChainUser) and other.identity == self.identity

    def __hash__(self) -> int:
        return hash(self.identity)

    def get_username(self) -> str:
        return self.identity

    def has_perm(self, perm: str, obj: Any = None) -> bool:
        return False

    def has_perms(self, perms: Any, obj: Any = None) -> bool:
        return False

    def has_module_perms(self, app_label: str) -> bool:
        return False


# ---- REST framework ----------------------------------------------------------

@functools.lru_cache(maxsize=None)
def _rest_framework() -> Dict[str, Any]:
    """The REST framework classes, made when first asked for, so that this
    module imports without REST framework."""
    from rest_framework import authentication, exceptions, permissions  # type: ignore[import]

    class Refusal(exceptions.APIException):  # type: ignore[misc]
        """A refusal as REST framework's exception handler answers it: the
        detail (a dict) is the body, auth_header the WWW-Authenticate
        challenge, wait the Retry-After. Not AuthenticationFailed, whose
        challenge the view would replace with its first authenticator's."""

        def __init__(self, answer: Answer) -> None:
            super().__init__()
            fields = dict(answer.headers)
            self.status_code = answer.status
            self.detail = json.loads(answer.body)
            self.auth_header = fields.get("www-authenticate")
            if "retry-after" in fields:
                self.wait = int(fields["retry-after"])

    class VestrelAuthentication(authentication.BaseAuthentication):  # type: ignore[misc]
        """(ChainUser, VerifiedChain) for a request with Vestrel
        credentials, None (the next authenticator's turn) for one without;
        a refusal for credentials that fail."""

        def authenticate(self, request: Any) -> Optional[Tuple[ChainUser, VerifiedChain]]:
            try:
                chain = _chain_of(request._request, optional=True)
            except Answered as answered:
                raise Refusal(answered.answer) from None
            return None if chain is None else (ChainUser(chain), chain)

        def authenticate_header(self, request: Any) -> str:
            return _CHALLENGE

    VestrelAuthentication.__qualname__ = "VestrelAuthentication"
    return {"Refusal": Refusal, "VestrelAuthentication": VestrelAuthentication,
            "BasePermission": permissions.BasePermission}


def Allows(resource: bytes, verb: bytes) -> Any:  # noqa: N802 - it makes a class
    """A REST framework permission class admitting the requests whose chain
    allows (resource, verb): ``permission_classes = [Allows(b"docs", b"GET")]``.
    401 without credentials, 403 for a scope that does not allow it."""
    needed = requirement(resource, verb)
    made = _rest_framework()
    refusal_class = made["Refusal"]

    def has_permission(self: Any, request: Any, view: Any) -> bool:
        try:
            _checked(request._request, needed)
        except Answered as answered:
            raise refusal_class(answered.answer) from None
        return True

    name = f"Allows({needed[0]!r}, {needed[1]!r})"
    return type(made["BasePermission"])(name, (made["BasePermission"],), {
        "has_permission": has_permission, "__qualname__": name, "__module__": __name__})


def __getattr__(name: str) -> Any:
    if name == "VestrelAuthentication":
        return _rest_framework()[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
