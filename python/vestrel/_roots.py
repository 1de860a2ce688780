"""Trusted roots read from a published key set, refreshed in the background,
so that a root can rotate without redeploying every service.

The key set (a JWK Set of ML-DSA-65 keys, see :mod:`vestrel.jwk`) is fetched
over HTTPS, or plain HTTP from a loopback host only, and handed to
:meth:`Verifier.set_roots` whole. A fetch that fails, or a document that is
refused (too large, not a key set, a key named twice, a key that is not
ML-DSA-65, no key at all), changes nothing: the verifier keeps the last set
that was good, and the reason is logged on the ``vestrel.roots`` logger.
"""

from __future__ import annotations

import ipaddress
import logging
import os
import re
import threading
import time
import urllib.parse
from typing import TYPE_CHECKING, Any, List, Optional, Tuple

from ._verifier import Verifier
from .jwk import MAX_DOCUMENT_BYTES, read_key_set

if TYPE_CHECKING:
    import asyncio
    import urllib.request

# asyncio and the HTTP client are imported when first used: `import vestrel`
# stays as light as a service that never fetches a key set needs.

log = logging.getLogger("vestrel.roots")

DEFAULT_REFRESH = 300
MIN_REFRESH = 60
MAX_REFRESH = 86400
_MAX_AGE = re.compile(r"(?:^|,)\s*max-age\s*=\s*\"?(\d{1,12})\"?\s*(?:,|$)", re.IGNORECASE)
_NO_CACHE = re.compile(r"(?:^|,)\s*(?:no-cache|no-store)\s*(?:,|$)", re.IGNORECASE)


def _check_url(url: str) -> str:
    if not isinstance(url, str):
        raise TypeError(f"url must be a str, not {type(url).__name__}")
    parts = urllib.parse.urlsplit(url)
    if parts.scheme == "https" and parts.hostname:
        return url
    if parts.scheme == "http" and parts.hostname:
        host = parts.hostname
        try:
            loopback = host == "localhost" or ipaddress.ip_address(host).is_loopback
        except ValueError:
            loopback = False
        if loopback:
            return url
        raise ValueError(f"a key set is fetched over https: http is for loopback hosts only, "
                         f"not {host!r}")
    raise ValueError(f"a key set URL must be https://host/...: {url!r}")


def _opener(context: Any) -> "urllib.request.OpenerDirector":
    import urllib.error
    import urllib.request

    class SameRulesRedirect(urllib.request.HTTPRedirectHandler):
        # A redirect may not take the fetch somewhere a URL given directly
        # could not go, such as from https to plain http.
        def redirect_request(self, req: Any, fp: Any, code: int, msg: str, headers: Any,
                             newurl: str) -> Any:
            try:
                _check_url(newurl)
            except ValueError as error:
                raise urllib.error.URLError(f"refused redirect: {error}") from None
            return super().redirect_request(req, fp, code, msg, headers, newurl)

    handlers: List[urllib.request.BaseHandler] = [SameRulesRedirect()]
    if context is not None:
        handlers.append(urllib.request.HTTPSHandler(context=context))
    return urllib.request.build_opener(*handlers)


class _Feed:
    """What the thread and the task share: one fetch, checked and applied."""

    def __init__(self, url: str, verifier: Verifier, refresh: float, min_refresh: float,
                 max_refresh: float, timeout: float, max_bytes: int, context: Any) -> None:
        if not isinstance(verifier, Verifier):
            raise TypeError(f"verifier must be a vestrel.Verifier, not {type(verifier).__name__}")
        if not 0 < min_refresh <= max_refresh:
            raise ValueError("min_refresh must be positive and at most max_refresh")
        if not 0 < timeout or not 0 < max_bytes:
            raise ValueError("timeout and max_bytes must be positive")
        self.url = _check_url(url)
        self.verifier = verifier
        self.min_refresh, self.max_refresh = float(min_refresh), float(max_refresh)
        self.refresh = self._clamp(float(refresh))
        self.timeout, self.max_bytes = float(timeout), int(max_bytes)
        self._context = context
        self._opener: Optional["urllib.request.OpenerDirector"] = None
        self.last_error: Optional[str] = None
        self.last_success: Optional[float] = None

    def _clamp(self, seconds: float) -> float:
        return min(max(seconds, self.min_refresh), self.max_refresh)

    def _delay(self, cache_control: Optional[str]) -> float:
        if cache_control:
            if _NO_CACHE.search(cache_control):
                return self.min_refresh
            found = _MAX_AGE.search(cache_control)
            if found:
                return self._clamp(float(found.group(1)))
        return self.refresh

    def _fetch(self) -> Tuple[bytes, Optional[str]]:
        import urllib.request

        if self._opener is None:
            self._opener = _opener(self._context)
        request = urllib.request.Request(self.url, headers={
            "Accept": "application/jwk-set+json, application/json"})
        with self._opener.open(request, timeout=self.timeout) as response:
            if response.status != 200:
                raise ValueError(f"the server answered {response.status}, not 200")
            declared = response.headers.get("Content-Length")
            if declared is not None and declared.isdigit() and int(declared) > self.max_bytes:
                raise ValueError(f"the key set is {declared} bytes, over the limit of "
                                 f"{self.max_bytes}")
            body = response.read(self.max_bytes + 1)
            if len(body) > self.max_bytes:
                raise ValueError(f"the key set is over the limit of {self.max_bytes} bytes")
            return body, response.headers.get("Cache-Control")

    def once(self) -> float:
        """Fetches and applies the key set; returns the seconds until the
        next fetch. Never raises for the URL's or the document's faults."""
        import http.client

        try:
            body, cache_control = self._fetch()
            roots = read_key_set(body)
            self.verifier.set_roots(roots)
        except (OSError, ValueError, http.client.HTTPException) as error:
            # urllib's errors, the socket's, and every refusal of the
            # document: the verifier keeps the roots it has.
            reason = f"{type(error).__name__}: {error}"
            self.last_error = reason
            log.warning("key set %s not applied, keeping %d trusted roots: %s", self.url,
                        len(self.verifier.roots), reason)
            return self.min_refresh
        except Exception as error:  # noqa: BLE001 - the refresher must outlive any fault
            # A fault not foreseen above would end the refreshing thread
            # silently; it is logged whole, and the roots stay as they are.
            self.last_error = f"{type(error).__name__}: {error}"
            log.exception("key set %s not applied, keeping %d trusted roots", self.url,
                          len(self.verifier.roots))
            return self.min_refresh
        self.last_error = None
        self.last_success = time.time()
        log.debug("key set %s applied: %d trusted roots", self.url, len(roots))
        return self._delay(cache_control)


class _Refresher:
    """What both refreshers hold: the fetch and its outcome."""

    def __init__(self, url: str, verifier: Verifier, *, refresh: float = DEFAULT_REFRESH,
                 min_refresh: float = MIN_REFRESH, max_refresh: float = MAX_REFRESH,
                 timeout: float = 10.0, max_bytes: int = MAX_DOCUMENT_BYTES,
                 ssl_context: Any = None) -> None:
        self._feed = _Feed(url, verifier, refresh, min_refresh, max_refresh, timeout, max_bytes,
                           ssl_context)

    @property
    def last_error(self) -> Optional[str]:
        """Why the latest fetch was not applied, or None after a good one."""
        return self._feed.last_error

    @property
    def last_success(self) -> Optional[float]:
        return self._feed.last_success


class RootsFromURL(_Refresher):
    """Keeps ``verifier``'s trusted roots equal to the key set at ``url``.

    :meth:`start` fetches once (so that a service begins with the current
    roots) and then refreshes from a daemon thread: after ``refresh``
    seconds, or the response's ``Cache-Control: max-age``, clamped to
    ``min_refresh``..``max_refresh``; after a failure, ``min_refresh``.
    :meth:`refresh_now` fetches at once and answers whether the set was
    applied. A thread does not survive ``fork``: a server that forks
    workers starts one of these in each worker, after the fork.
    """

    def __init__(self, url: str, verifier: Verifier, **options: Any) -> None:
        super().__init__(url, verifier, **options)
        self._stop = threading.Event()
        self._thread: Optional[threading.Thread] = None
        self._pid = 0

    def refresh_now(self) -> bool:
        self._feed.once()
        return self._feed.last_error is None

    def start(self) -> "RootsFromURL":
        # A thread started before a fork is not running in the child: the
        # child may start its own.
        if self._thread is not None and self._pid == os.getpid() and self._thread.is_alive():
            raise RuntimeError("this RootsFromURL is already running")
        self._stop.clear()
        self._pid = os.getpid()
        delay = self._feed.once()
        self._thread = threading.Thread(target=self._run, args=(delay,), daemon=True,
                                        name="vestrel-roots")
        self._thread.start()
        return self

    def _run(self, delay: float) -> None:
        while not self._stop.wait(delay):
            delay = self._feed.once()

    def stop(self, timeout: Optional[float] = None) -> None:
        """Stops refreshing; waits for a fetch under way (at most its own
        timeout) unless ``timeout`` says otherwise."""
        self._stop.set()
        if self._thread is not None and self._pid == os.getpid():
            self._thread.join(self._feed.timeout + 1 if timeout is None else timeout)
        self._thread = None

    def __enter__(self) -> "RootsFromURL":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()


class AsyncRootsFromURL(_Refresher):
    """As :class:`RootsFromURL`, for an asyncio service (an ASGI app's
    lifespan): a task on the running loop waits between fetches and runs
    each fetch in the loop's default executor, so the loop never blocks on
    the network. ``await start()`` fetches once before it returns."""

    def __init__(self, url: str, verifier: Verifier, **options: Any) -> None:
        super().__init__(url, verifier, **options)
        self._task: Optional["asyncio.Task[None]"] = None

    async def refresh_now(self) -> bool:
        import asyncio

        await asyncio.get_running_loop().run_in_executor(None, self._feed.once)
        return self._feed.last_error is None

    async def start(self) -> "AsyncRootsFromURL":
        import asyncio

        if self._task is not None and not self._task.done():
            raise RuntimeError("this AsyncRootsFromURL is already running")
        loop = asyncio.get_running_loop()
        delay = await loop.run_in_executor(None, self._feed.once)
        self._task = loop.create_task(self._run(delay))
        return self

    async def _run(self, delay: float) -> None:
        import asyncio

        loop = asyncio.get_running_loop()
        while True:
            await asyncio.sleep(delay)
            delay = await loop.run_in_executor(None, self._feed.once)

    async def stop(self) -> None:
        import asyncio

        task, self._task = self._task, None
        if task is not None:
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass

    async def __aenter__(self) -> "AsyncRootsFromURL":
        return await self.start()

    async def __aexit__(self, *exc: Any) -> None:
        await self.stop()
