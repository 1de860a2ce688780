"""encode_chain and decode_chain: the writer's checks in order, the reader's
refusals, and the round trip."""

import pytest
from hypothesis import given, settings, strategies as st

import vestrel_kernel as vk
from conftest import examples

PK, SIG = bytes(1952), bytes(3309)
le32 = lambda n: n.to_bytes(4, "little")


def credential(i=0, payload=b""):
    return (bytes([i]) * 1952, bytes([i ^ 0xFF]) * 3309, payload)


def test_empty_list_writes_a_header_that_cannot_be_read():
    assert vk.encode_chain([]) == b"\x01\x00\x00\x00\x00"
    with pytest.raises(ValueError, match="^KernelError::EmptyChain$"):
        vk.decode_chain(vk.encode_chain([]))


def test_one_record_layout():
    wire = vk.encode_chain([(PK, SIG, b"abc")])
    assert wire == b"\x01" + le32(1) + PK + SIG + le32(3) + b"abc"


@pytest.mark.parametrize("credentials,message", [
    ([credential(), credential(), (bytes(1951), SIG, b"")], "credential[2] issuer_pk must be 1952 bytes"),
    ([credential(), (bytes(1953), SIG, b"")], "credential[1] issuer_pk must be 1952 bytes"),
    ([(PK, bytes(3308), b""), (bytes(1951), SIG, b"")], "credential[0] sig must be 3309 bytes"),
    ([(bytes(1951), bytes(3310), b"")], "credential[0] issuer_pk must be 1952 bytes"),  # key before sig
    ([(bytes(1951), SIG, b""), (PK, SIG)], "expected tuple of length 3, but got tuple of length 2"),  # converted first
    ([(PK, SIG, bytes(35310))], "KernelError::WireTruncated"),  # more than 35309 payload bytes per credential
    ([credential(), (PK, SIG, bytes(2 * 35309 + 1))], "KernelError::WireTruncated"),
])
def test_writer_refusals(credentials, message):
    with pytest.raises(ValueError) as info:
        vk.encode_chain(credentials)
    assert info.value.args == (message,)


def test_capacity_is_shared_between_credentials():
    assert len(vk.encode_chain([(PK, SIG, bytes(35309))])) == 5 + 5265 + 35309
    wire = vk.encode_chain([credential(1, bytes(40000)), credential(2, bytes(100))])
    assert [len(p) for _, _, p in vk.decode_chain(wire)] == [40000, 100]


def test_seventeen_credentials_write_but_do_not_read():
    wire = vk.encode_chain([credential(i) for i in range(17)])
    with pytest.raises(ValueError, match="^KernelError::ChainTooDeep$"):
        vk.decode_chain(wire)


ONE = vk.encode_chain([credential(1, b"0123456789")])


@pytest.mark.parametrize("wire,error", [
    (b"", "WireTruncated"),
    (b"\x00", "WireVersionMismatch"),
    (b"\x02", "WireVersionMismatch"),  # version before length
    (b"\x01", "WireTruncated"),
    (b"\x01\x01\x00\x00", "WireTruncated"),
    (b"\x01" + le32(0), "EmptyChain"),
    (b"\x01" + le32(17), "ChainTooDeep"),  # from the header alone
    (b"\x01" + le32(0xFFFFFFFF), "ChainTooDeep"),
    (b"\x01" + le32(2) + ONE[5:], "WireTruncated"),
    (ONE[:-1], "WireTruncated"),  # payload length 10, nine bytes follow
    (ONE[:5 + 5264], "WireTruncated"),
    (b"\x01" + le32(1) + PK + SIG + le32(0xFFFFFFFF), "WireTruncated"),
], ids=lambda case: f"{len(case)}-bytes" if isinstance(case, bytes) else case)
def test_reader_refusals(wire, error):
    with pytest.raises(ValueError) as info:
        vk.decode_chain(wire)
    assert type(info.value) is ValueError and info.value.args == ("KernelError::" + error,)


@settings(max_examples=examples(60), deadline=None)
@given(st.lists(st.binary(max_size=300), min_size=1, max_size=16), st.binary(max_size=40))
def test_round_trip_ignores_trailing_bytes(payloads, trailing):
    chain = [credential(i, p) for i, p in enumerate(payloads)]
    wire = vk.encode_chain(chain)
    assert len(wire) == 5 + sum(5265 + len(p) for p in payloads)
    decoded = vk.decode_chain(wire + trailing)
    assert decoded == chain
    assert all(type(t) is tuple and all(type(b) is bytes for b in t) for t in decoded)


@settings(max_examples=examples(300), deadline=None)
@given(st.binary(max_size=16), st.integers(0, 20), st.binary(max_size=64))
def test_garbage_gets_a_kernel_error(head, count, body):
    for wire in (head, b"\x01" + le32(count) + body, b"\x01" + le32(count) + PK + SIG + head):
        try:
            vk.decode_chain(wire)
        except ValueError as e:
            assert str(e).startswith("KernelError::")
