"""Argument matching and the five conversion kinds, grouped by kind of failure.

The text and unsigned 32-bit kinds are reached through the probe module, which
runs the same conversions without needing an identity."""

import pytest

import vestrel_kernel as vk

PK, SIG = bytes(1952), bytes(3309)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def type_error_with_cause():
    try:
        raise KeyError("inner")
    except KeyError as inner:
        error = TypeError("no integer here")
        error.__cause__ = inner
        return error


class SubTypeError(TypeError):
    pass


class UnnamedMeta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name today")
        return super().__getattribute__(name)


Unnamed = UnnamedMeta("Unnamed", (), {})


class LyingSequence:
    """Claims to be enormous; iteration yields three small ints."""

    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        if i < 3:
            return i
        raise IndexError(i)


class BrokenSequence:
    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        if i == 1:
            raise LookupError("iteration broke")
        return 0


class Shown(str):
    def __str__(self):
        return "shown " + str.__str__(self)


MATCHING = [
    # Surplus positionals, decided before any keyword is looked at.
    (lambda: vk.not_before(1, 2), "not_before() takes 1 positional arguments but 2 were given"),
    (lambda: vk.perm_tlv(b"a", b"b", b"c", x=1), "perm_tlv() takes 2 positional arguments but 3 were given"),
    (lambda: vk.IdentityIsland(b"", b"", b"", b""), "IdentityIsland.__new__() takes 3 positional arguments but 4 were given"),
    # Keywords, in the order given; names compare case-sensitively.
    (lambda: vk.perm_tlv(b"a", b"b", x=1), "perm_tlv() got an unexpected keyword argument 'x'"),
    (lambda: vk.perm_tlv(b"a", b"b", resource=b"c"), "perm_tlv() got multiple values for argument 'resource'"),
    (lambda: vk.perm_tlv(b"a", resource=b"c", x=1), "perm_tlv() got multiple values for argument 'resource'"),
    (lambda: vk.perm_tlv(b"a", x=1, resource=b"c"), "perm_tlv() got an unexpected keyword argument 'x'"),
    (lambda: vk.perm_tlv(Resource=b"a", verb=b"b"), "perm_tlv() got an unexpected keyword argument 'Resource'"),
    # Quoted as its str(): a str subclass shows what its own __str__ says.
    (lambda: vk.perm_tlv(b"a", b"b", **{Shown("x"): 1}), "perm_tlv() got an unexpected keyword argument 'shown x'"),
    # Missing arguments, listed in parameter order; before any conversion.
    (lambda: vk.perm_tlv(), "perm_tlv() missing 2 required positional arguments: 'resource' and 'verb'"),
    (lambda: vk.perm_tlv("wrong type"), "perm_tlv() missing 1 required positional argument: 'verb'"),
    (lambda: vk.verify_delegation(), "verify_delegation() missing 3 required positional arguments: 'root_pk', 'wire', and 'now'"),
    (lambda: vk.verify_delegation(b""), "verify_delegation() missing 2 required positional arguments: 'wire' and 'now'"),
    (lambda: vk.verify_delegation(now=1), "verify_delegation() missing 2 required positional arguments: 'root_pk' and 'wire'"),
    (lambda: vk.IdentityIsland(), "IdentityIsland.__new__() missing 3 required positional arguments: 'master', 'deployment', and 'context'"),
]


@pytest.mark.parametrize("call,message", MATCHING)
def test_matching_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and info.value.args == (message,)


def test_keywords_fill_slots_like_positionals():
    assert vk.perm_tlv(verb=b"v", resource=b"r") == vk.perm_tlv(b"r", b"v")
    assert vk.not_after(ts=5) == vk.not_after(5)


CONVERSION_ERRORS = [
    # bytes: bytes or a subclass, nothing else
    (lambda p: vk.perm_tlv("doc", b""), TypeError, "argument 'resource': 'str' object cannot be converted to 'PyBytes'"),
    (lambda p: vk.perm_tlv(bytearray(b"doc"), b""), TypeError, "argument 'resource': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda p: vk.perm_tlv(b"", memoryview(b"")), TypeError, "argument 'verb': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda p: vk.perm_tlv(bytes(300), None), TypeError, "argument 'verb': 'NoneType' object cannot be converted to 'PyBytes'"),
    (lambda p: vk.perm_tlv(Unnamed(), b""), TypeError, "argument 'resource': '<failed to extract type name>' object cannot be converted to 'PyBytes'"),
    # text: str or a subclass, encodable as UTF-8
    (lambda p: p.as_text(1), TypeError, "argument 'value': 'int' object cannot be converted to 'PyString'"),
    (lambda p: p.as_text(b"leaf"), TypeError, "argument 'value': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: p.as_text("\udc80"), UnicodeEncodeError, None),
    # unsigned 32-bit: the index protocol, then 0..2^32-1
    (lambda p: p.as_u32(-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda p: p.as_u32(2**32), OverflowError, "out of range integral type conversion attempted"),
    (lambda p: p.as_u32(2**63), OverflowError, None),  # beyond a C long: the host's own message
    (lambda p: p.as_u32(1.5), TypeError, "argument 'value': 'float' object cannot be interpreted as an integer"),
    (lambda p: p.as_u32("1"), TypeError, "argument 'value': 'str' object cannot be interpreted as an integer"),
    # unsigned 64-bit: the host's conversion, errors passed on
    (lambda p: vk.not_before(-1), OverflowError, None),
    (lambda p: vk.not_before(2**64), OverflowError, None),
    (lambda p: vk.not_before(1.5), TypeError, "argument 'ts': 'float' object cannot be interpreted as an integer"),
    (lambda p: vk.not_after(Index(ValueError("nope"))), ValueError, "nope"),
    # sequence of 3-tuples of byte sequences
    (lambda p: vk.encode_chain("abc"), TypeError, "argument 'credentials': Can't extract `str` to `Vec`"),
    (lambda p: vk.encode_chain(5), TypeError, "argument 'credentials': 'int' object cannot be converted to 'Sequence'"),
    (lambda p: vk.encode_chain([[PK, SIG, b""]]), TypeError, "argument 'credentials': 'list' object cannot be converted to 'PyTuple'"),
    (lambda p: vk.encode_chain([(PK, SIG)]), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    (lambda p: vk.encode_chain([(PK, "sig", b"")]), TypeError, "argument 'credentials': Can't extract `str` to `Vec`"),
    (lambda p: vk.encode_chain([(PK, SIG, 7)]), TypeError, "argument 'credentials': 'int' object cannot be converted to 'Sequence'"),
    (lambda p: vk.encode_chain([(PK, SIG, [256])]), OverflowError, "out of range integral type conversion attempted"),
    (lambda p: vk.encode_chain([(PK, SIG, [-1])]), OverflowError, "out of range integral type conversion attempted"),
    (lambda p: vk.encode_chain([(PK, SIG, [1.5])]), TypeError, "argument 'credentials': 'float' object cannot be interpreted as an integer"),
    (lambda p: vk.encode_chain([(PK, SIG, BrokenSequence())]), LookupError, "iteration broke"),
]


@pytest.mark.parametrize("call,error,message", CONVERSION_ERRORS)
def test_conversion_errors(probe, call, error, message):
    with pytest.raises(error) as info:
        call(probe)
    assert type(info.value) is error
    if message is None:  # the host's text, which must not have gained a prefix
        assert not str(info.value).startswith("argument ")
    else:
        assert info.value.args == (message,)


def test_prefix_keeps_the_cause_of_the_replaced_error():
    original = type_error_with_cause()
    with pytest.raises(TypeError) as info:
        vk.not_before(Index(original))
    assert str(info.value) == "argument 'ts': no integer here"
    assert info.value is not original and info.value.__cause__ is original.__cause__


def test_prefix_only_for_exactly_type_error():
    with pytest.raises(SubTypeError, match="^sub$"):
        vk.not_before(Index(SubTypeError("sub")))


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


def test_accepted_forms(probe):
    assert vk.perm_tlv(BytesSub(b"doc"), b"read") == b"\x03doc\x04read"
    assert probe.as_text(StrSub("n\u00f6de")) == "n\u00f6de".encode()
    assert [probe.as_u32(v) for v in (True, 0, 2**32 - 1, Index(7))] == [1, 0, 2**32 - 1, 7]
    assert vk.not_before(Index(2**64 - 1)) == b"\x01" + b"\xff" * 8


@pytest.mark.parametrize("form", [bytes, bytearray, memoryview, list, tuple, lambda b: range(3), lambda b: LyingSequence()])
def test_byte_sequence_forms_encode_alike(form):
    expected = vk.encode_chain([(PK, SIG, b"\x00\x01\x02")])
    assert vk.encode_chain([(PK, SIG, form(b"\x00\x01\x02"))]) == expected
    assert vk.encode_chain(((PK, SIG, form(b"\x00\x01\x02")),)) == expected
