"""parse_payload, the lenient reader: its messages in order, its result, and
random inputs."""

import pytest
from hypothesis import given, settings, strategies as st

import vestrel_kernel as vk
from conftest import examples, payload_bytes

KEY = bytes(range(256)) * 7 + bytes(160)  # 1952 distinguishable bytes
DOC = vk.perm_tlv(b"doc", b"read")
TOO_MANY = DOC * 65


@pytest.mark.parametrize("payload,message", [
    (bytes(1964), "payload too short"),
    (bytes(1952) + b"\x07" + bytes(11), "payload too short"),  # even with a bad role byte
    (payload_bytes(role=2, scope=b"", scope_len=0, caveats=b"")[:1965], "invalid role byte: 0x02"),
    (payload_bytes(role=0xFF, scope_len=0xFFFFFFFF), "invalid role byte: 0xff"),  # before any length
    (payload_bytes(scope_len=0xFFFFFFFF), "payload truncated at scope"),
    (payload_bytes(scope_len=7), "payload truncated at scope"),
    (payload_bytes()[:1963 + 2], "payload truncated at caveat length"),
    (payload_bytes(caveats=vk.not_after(5), caveats_len=10), "payload truncated at caveats"),
    (payload_bytes(caveats_len=0xFFFFFFFF), "payload truncated at caveats"),
    (payload_bytes(scope=b""), "KernelError::ScopeEmpty"),
    (payload_bytes(scope=b"\x05ab"), "KernelError::WireInvalid"),
    (payload_bytes(scope=b"\x00"), "KernelError::WireInvalid"),
    (payload_bytes(scope=b"\x05ab", caveats=b"\x03" + bytes(8)), "KernelError::WireInvalid"),  # scope first
    (payload_bytes(scope=TOO_MANY), "KernelError::ScopeTooLarge"),
    (payload_bytes(caveats=vk.not_before(1) + b"\x03" + bytes(8)), "unknown caveat tag: 0x03"),
    (payload_bytes(caveats=b"\xff" + bytes(8)), "unknown caveat tag: 0xff"),
], ids=lambda case: case if isinstance(case, str) else "")
def test_refusals(payload, message):
    with pytest.raises(ValueError) as info:
        vk.parse_payload(payload)
    assert type(info.value) is ValueError and info.value.args == (message,)


def test_smallest_useful_payload():
    result = vk.parse_payload(payload_bytes(child_pk=KEY))
    assert list(result) == ["child_pk", "role", "depth", "perms", "not_before", "not_after"]
    assert result == {"child_pk": KEY, "role": "leaf", "depth": 1, "perms": [(b"", b"")],
                      "not_before": None, "not_after": None}


@pytest.mark.parametrize("fields,expected", [
    (dict(role=1, depth=0xFFFFFFFF), dict(role="node", depth=4294967295)),
    (dict(scope=DOC + DOC + vk.perm_tlv(b"*", b"")), dict(perms=[(b"doc", b"read")] * 2 + [(b"*", b"")])),
    (dict(caveats=vk.not_after(100) + vk.not_after(200)), dict(not_after=200)),
    (dict(caveats=vk.not_before(100) + vk.not_before(50)), dict(not_before=50)),
    (dict(caveats=vk.not_after(7) + b"\x03"), dict(not_after=7)),  # a trailing piece is ignored
    (dict(caveats=vk.not_before(1) * 70), dict(not_before=1)),  # no size limit here
    (dict(tail=b"xyz"), {}),  # bytes after the caveats are ignored
], ids=str)
def test_lenient_readings(fields, expected):
    result = vk.parse_payload(payload_bytes(**fields))
    for key, value in expected.items():
        assert result[key] == value


records = st.tuples(st.binary(max_size=4), st.binary(max_size=4))
caveats = st.lists(st.tuples(st.sampled_from([1, 2]), st.integers(0, 2**64 - 1)), max_size=5)


@settings(max_examples=examples(200), deadline=None)
@given(st.lists(records, min_size=1, max_size=64), caveats, st.integers(0, 2**32 - 1), st.booleans())
def test_model_payloads_read_back(perms, bounds, depth, node):
    scope = b"".join(vk.perm_tlv(r, v) for r, v in perms)
    buffer = b"".join((vk.not_before if tag == 1 else vk.not_after)(t) for tag, t in bounds)
    result = vk.parse_payload(payload_bytes(KEY, int(node), depth, scope, buffer))
    last = {tag: t for tag, t in bounds}
    assert result == {"child_pk": KEY, "role": "node" if node else "leaf", "depth": depth, "perms": perms,
                      "not_before": last.get(1), "not_after": last.get(2)}


@settings(max_examples=examples(300), deadline=None)
@given(st.binary(max_size=64), st.binary(max_size=64))
def test_arbitrary_bytes_only_raise_value_error(head, tail):
    for candidate in (head, bytes(1952) + head, bytes(1952) + bytes(1) + head + tail):
        try:
            vk.parse_payload(candidate)
        except ValueError:
            pass
