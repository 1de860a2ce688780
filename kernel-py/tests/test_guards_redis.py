"""vestrel.redis at its edges, against a loopback redis-server (the fixture
imports vestrel.redis): expiry in Redis's whole seconds, and one proof spent
across the chain's two text forms on the pipelined path."""

from __future__ import annotations

import os
import time
from typing import Callable

import pytest

import vestrel
from test_guards import outcome
from test_redis import RedisServer, server  # noqa: F401  (server: the fixture)

Identities = Callable[[str], vestrel.IdentityIsland]
URL = "https://api.example.com/docs"


def test_entries_outlive_their_expiry_in_whole_seconds(server: RedisServer) -> None:
    client = server.client()
    replay, chains = vestrel.redis.stores(client, prefix="edges:")
    key, digest = os.urandom(32), os.urandom(32)
    assert replay.add(key, 100, 160) and not replay.add(key, 159, 200)
    # Redis counts on its own clock: an entry lives past the verifier's
    # expiry, never less than the seconds left.
    assert 60_000 < client.pttl(replay.key(key)) <= 61_000
    for now, expires_at, kept in [(100, 160, True), (100, 100, True), (100, 99, False)]:
        client.delete(chains.key(digest))
        chains.put(digest, b"wire", now, expires_at)
        assert (chains.get(digest, now) == b"wire") == kept, (now, expires_at)
        if kept:
            assert (expires_at - now) * 1000 < client.pttl(chains.key(digest)) <= (expires_at - now + 1) * 1000
    fresh = os.urandom(32)
    chains.put(digest, b"wire", 100, 160)
    assert chains.get_and_add(digest, 100, fresh, 130) == (b"wire", True)
    assert 30_000 < client.pttl(replay.key(fresh)) <= 31_000
    assert chains.get_and_add(digest, 129, fresh, 200)[1] is False


@pytest.mark.parametrize("first", ["token", "reference"])
def test_a_proof_spent_in_one_form_is_refused_in_the_other(server: RedisServer, identities: Identities,
                                                           first: str) -> None:
    root, holder = identities("g-root"), identities("g-holder")
    wire = vestrel.delegate(None, root, holder.public_key(), "leaf", [(b"/docs", b"*")])
    forms = {"token": vestrel.encode_token(wire), "reference": vestrel.chain_ref(wire)}
    replay, chains = vestrel.redis.stores(server.client(), prefix=f"cross-{first}:")
    verifier = vestrel.Verifier([root.public_key()], replay=replay, chains=chains)
    chains.put(vestrel.chain_digest(wire), wire, int(time.time()), int(time.time()) + 600)
    verifier.verify(forms["token"])  # known: the token path is read in one call
    order = sorted(forms.values(), key=lambda text: text != forms[first]) * 2
    for _ in range(2):
        made = vestrel.present(holder, forms["token"], "GET", URL)
        assert [outcome(lambda: verifier.verify_request(
            "GET", URL, dict(made, Authorization="Vestrel " + chain))) for chain in order] == [
                "ok"] + ["ProofReplayed"] * 3
