"""Authorize one request with the vestrel package.

A root delegates to a service, the service to a worker; the verifier checks
the worker's chain, asks what it allows, tells a refusal by its type, and
revokes a credential by its id.
"""

import vestrel

MASTER = bytes(range(32))  # in real use: 32 secret random bytes, kept safe
NOW = 1_750_000_000


def main() -> None:
    root = vestrel.IdentityIsland(MASTER, b"example-deployment", b"root")
    service = vestrel.IdentityIsland(MASTER, b"example-deployment", b"service")
    worker = vestrel.IdentityIsland(MASTER, b"example-deployment", b"worker")

    # Depth, issuer key and framing are the helper's business.
    wire = vestrel.delegate(None, root, service.public_key(), "node", [(b"docs", b"*")],
                            not_before=NOW - 3600, not_after=NOW + 365 * 86400)
    wire = vestrel.delegate(wire, service, worker.public_key(), "leaf", [(b"docs", b"read")],
                            not_before=NOW, not_after=NOW + 3600)

    chain = vestrel.verify(root.public_key(), wire, NOW + 60)
    assert chain.holder_pk == worker.public_key()
    print(f"verified: {chain.length} credentials, {chain.role}, valid until {chain.not_after}")
    for resource, verb in ((b"docs", b"read"), (b"docs", b"write")):
        decision = "allowed" if chain.allows(resource, verb) else "denied"
        print(f"{resource.decode()} {verb.decode()}: {decision}")

    try:
        vestrel.verify(root.public_key(), wire, NOW + 7200)
    except vestrel.NotAfterViolation as refusal:
        print(f"two hours later: {refusal} at credential {refusal.index}")

    revoked = {chain.revocation_ids[1]}  # the worker's credential, published as revoked
    print(f"revoked: {any(i in revoked for i in chain.revocation_ids)}")


if __name__ == "__main__":
    main()
