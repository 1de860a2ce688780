"""perm_tlv, not_before and not_after."""

import pytest

import vestrel_kernel as vk


@pytest.mark.parametrize("resource,verb,record", [
    (b"", b"", b"\x00\x00"),
    (b"doc", b"read", b"\x03doc\x04read"),
    (b"r" * 255, b"v" * 255, b"\xff" + b"r" * 255 + b"\xff" + b"v" * 255),
    (b"*", b"\x00\xff", b"\x01*\x02\x00\xff"),  # opaque bytes, "*" included
])
def test_perm_tlv_records(resource, verb, record):
    assert vk.perm_tlv(resource, verb) == record


@pytest.mark.parametrize("resource_len,verb_len,error", [
    (256, 0, "ResourceTooLong"),
    (256, 256, "ResourceTooLong"),  # the resource is checked first
    (255, 256, "VerbTooLong"),
    (0, 10_000, "VerbTooLong"),
])
def test_perm_tlv_refusals(resource_len, verb_len, error):
    with pytest.raises(ValueError, match=f"^KernelError::{error}$"):
        vk.perm_tlv(bytes(resource_len), bytes(verb_len))


@pytest.mark.parametrize("call,record", [
    (lambda: vk.not_before(0), b"\x01" + bytes(8)),
    (lambda: vk.not_after(1), b"\x02\x01" + bytes(7)),
    (lambda: vk.not_before(True), b"\x01\x01" + bytes(7)),
    (lambda: vk.not_before(0x0102030405060708), b"\x01\x08\x07\x06\x05\x04\x03\x02\x01"),
    (lambda: vk.not_after(2**64 - 1), b"\x02" + b"\xff" * 8),
])
def test_caveat_records(call, record):
    assert call() == record
