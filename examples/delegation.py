"""A delegation from start to finish.

A root identity is derived from a master seed; it delegates to a service
(node), which hands a narrower, time-limited permission to a worker (leaf).
The worker presents the chain, and a verifier that trusts only the root key
checks it at a time of its choosing.
"""

import vestrel_kernel as vk

MASTER = bytes(range(32))  # in real use: 32 secret random bytes, kept safe
NOW = 1_750_000_000


def main() -> None:
    root = vk.IdentityIsland(MASTER, b"example-deployment", b"root")
    service = vk.IdentityIsland(MASTER, b"example-deployment", b"service")
    worker = vk.IdentityIsland(MASTER, b"example-deployment", b"worker")
    root_pk = root.public_key()
    print(f"root key: {len(root_pk)} bytes, starts {root_pk[:8].hex()}")

    # The root lets the service do anything with documents, for a year.
    service_scope = vk.perm_tlv(b"docs", b"*")
    year = vk.not_before(NOW - 3600) + vk.not_after(NOW + 365 * 86400)
    payload1, sig1 = root.issue_credential(service.public_key(), "node", 1, service_scope, year)

    # The service lets the worker read documents, for one hour only.
    worker_scope = vk.perm_tlv(b"docs", b"read")
    hour = vk.not_before(NOW) + vk.not_after(NOW + 3600)
    payload2, sig2 = service.issue_credential(worker.public_key(), "leaf", 2, worker_scope, hour)

    wire = vk.encode_chain([(root_pk, sig1, payload1), (service.public_key(), sig2, payload2)])
    print(f"chain: {len(wire)} bytes on the wire")
    for issuer, _sig, payload in vk.decode_chain(wire):
        fields = vk.parse_payload(payload)
        print(f"  depth {fields['depth']} {fields['role']:4} perms={fields['perms']} "
              f"not_before={fields['not_before']} not_after={fields['not_after']}")

    print("verified at NOW + 60:", vk.verify_delegation(root_pk, wire, NOW + 60), "credentials")

    def refused(label: str, key: bytes, chain: bytes, at: int) -> None:
        try:
            vk.verify_delegation(key, chain, at)
        except ValueError as e:
            print(f"refused {label}: {e}")
        else:
            raise SystemExit(f"{label} was accepted")

    refused("two hours later", root_pk, wire, NOW + 7200)
    refused("under another root", vk.IdentityIsland(MASTER, b"other", b"root").public_key(), wire,
            NOW + 60)
    tampered = bytearray(wire)
    tampered[-1] ^= 0x01  # one bit of the worker's not-after time
    refused("after one flipped byte", root_pk, bytes(tampered), NOW + 60)


if __name__ == "__main__":
    main()
