"""Post-quantum delegation credentials: what a verified chain allows.

The friendly layer over ``vestrel_kernel``: a :class:`Verifier` (trusted
roots, revocation, a signature cache) or :func:`verify` returns a
:class:`VerifiedChain` that answers ``allows(resource, verb)``, refusals are
typed exceptions (all :class:`Refused`) naming the rule and the credential,
and :func:`delegate` issues the next credential of a chain. Every rule is the
kernel's own.
"""

from __future__ import annotations

from vestrel_kernel import IdentityIsland

from ._arguments import key_id, revocation_id
from ._chain import VerifiedChain, check_proof, covers, prove, verify
from ._delegate import Signer, SignerFailed, caveats, delegate, external_mu, scope
from ._errors import (CaveatsTooLarge, ChainTooDeep, DepthMismatch, EmptyChain, HkdfExpandFailed,
                      InvalidRoleByte, KernelError, KeyDecodingFailed, LeafCannotDelegate,
                      MalformedCaveatBuffer, NotAfterViolation, NotBeforeViolation,
                      ParentKeyMismatch, Refused, ResourceTooLong, Revoked, ScopeEmpty, ScopeEscalation,
                      ScopeTooLarge, SignatureDecodingFailed, SignatureInvalid, SigningFailed,
                      VerbTooLong, WireInvalid, WireTruncated, WireVersionMismatch)
from ._errors import (ChainUnknown, NotAllowed, ProofExpired, ProofInvalid, ProofMalformed,
                      ProofMissing, ProofReplayed, RegistrationLimited, StoreUnavailable,
                      TokenMalformed)
from ._request import AUTH_SCHEME, PROOF_HEADER, present, register
from ._stores import (AsyncChainStore, AsyncReplayStore, ChainStore, MemoryChainStore,
                      MemoryReplayStore, ReplayStore)
from ._token import chain_digest, chain_ref, decode_token, encode_token
from ._verifier import DEFAULT_CACHE_BYTES, CacheInfo, Verifier
from ._roots import AsyncRootsFromURL, RootsFromURL
from . import jwk


def _version() -> str:
    # The version is written once, in pyproject.toml. An installed copy reads
    # it from its distribution's metadata; a copy that is not that
    # distribution's (the build tree, even with some wheel installed beside
    # it) reads the file the build generated from the same line.
    from importlib import metadata
    from pathlib import Path

    try:
        dist = metadata.distribution("vestrel-kernel")
        ours = Path(str(dist.locate_file("vestrel/__init__.py"))).resolve() == Path(__file__).resolve()
    except (metadata.PackageNotFoundError, OSError):
        ours = False
    if ours:
        return dist.version
    from ._version import version

    return version


__version__: str


def __getattr__(name: str) -> str:
    # The version is found when first asked for: reading the distribution's
    # metadata costs more than importing the rest of the package, and every
    # run of the vestrel command would pay for it.
    if name == "__version__":
        version = globals()["__version__"] = _version()
        return version
    raise AttributeError(f"module 'vestrel' has no attribute {name!r}")

__all__ = [
    "__version__",
    "IdentityIsland",
    "Verifier",
    "RootsFromURL",
    "AsyncRootsFromURL",
    "jwk",
    "CacheInfo",
    "DEFAULT_CACHE_BYTES",
    "VerifiedChain",
    "verify",
    "key_id",
    "encode_token",
    "decode_token",
    "chain_digest",
    "chain_ref",
    "present",
    "register",
    "AUTH_SCHEME",
    "PROOF_HEADER",
    "ReplayStore",
    "ChainStore",
    "AsyncReplayStore",
    "AsyncChainStore",
    "MemoryReplayStore",
    "MemoryChainStore",
    "covers",
    "revocation_id",
    "scope",
    "caveats",
    "delegate",
    "Signer",
    "SignerFailed",
    "external_mu",
    "prove",
    "check_proof",
    "Refused",
    "Revoked",
    "TokenMalformed",
    "ProofMissing",
    "ProofMalformed",
    "ProofInvalid",
    "ProofExpired",
    "ProofReplayed",
    "ChainUnknown",
    "NotAllowed",
    "StoreUnavailable",
    "RegistrationLimited",
    "KernelError",
    "HkdfExpandFailed",
    "SigningFailed",
    "SignatureInvalid",
    "KeyDecodingFailed",
    "SignatureDecodingFailed",
    "NotBeforeViolation",
    "NotAfterViolation",
    "MalformedCaveatBuffer",
    "ScopeEscalation",
    "ScopeEmpty",
    "ScopeTooLarge",
    "CaveatsTooLarge",
    "EmptyChain",
    "ChainTooDeep",
    "ParentKeyMismatch",
    "LeafCannotDelegate",
    "DepthMismatch",
    "InvalidRoleByte",
    "WireVersionMismatch",
    "WireTruncated",
    "WireInvalid",
    "ResourceTooLong",
    "VerbTooLong",
]
