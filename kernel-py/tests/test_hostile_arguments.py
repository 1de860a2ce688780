"""Hostile arguments at every callable: objects whose __index__, __len__ or
iteration raises, lies or changes what is being converted; bytes and str
subclasses that override whatever they can; deep nesting and sequences of a
million items. Only the documented exceptions come out, with their documented
messages; an exception raised by the caller's own code comes out unchanged;
nothing crashes; and after thousands of calls on every path, reference counts
and resident memory are where they were."""

import array
import ctypes
import gc
import itertools
import operator
import sys
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import vestrel_kernel as vk
from conftest import MASTER, examples, resident_kb, under_address_sanitizer

OUT_OF_RANGE = "out of range integral type conversion attempted"
le32 = lambda n: n.to_bytes(4, "little")

SCOPE = vk.perm_tlv(b"docs", b"read")
ISLAND = vk.IdentityIsland(MASTER, b"tests", b"hostile")
PK = ISLAND.public_key()
PAYLOAD, SIG = ISLAND.issue_credential(PK, "node", 1, SCOPE, b"")
CRED = (PK, SIG, PAYLOAD)
WIRE = vk.encode_chain([CRED])


class Hostile(Exception):
    """Raised by the caller's own code: must come out as it went in."""


class HostileBase(BaseException):
    """Like KeyboardInterrupt, no Exception: must not be swallowed either."""


class Index:
    """__index__ returns `value`, or raises a new `raises(...)` each time."""

    def __init__(self, value=None, raises=None):
        self.value, self.raises = value, raises

    def __index__(self):
        if self.raises is not None:
            raise self.raises("from __index__")
        return self.value


class IntSubclass(int):
    """Its int value counts, whatever its methods say (the interpreter warns
    when __index__ returns one)."""

    def __index__(self):
        return 99

    __int__ = __index__


class Unprintable:
    def __str__(self):
        raise Hostile("from __str__")


class Seq:
    """A sequence of `items`, iterated through __getitem__, whose __len__ may
    lie (`length`) or raise (`length` an exception class), which may fail at
    item `fail_at`, and which may run `on_item(i)` before handing out item i."""

    def __init__(self, items, length=None, fail_at=None, on_item=None):
        self.items, self.length, self.fail_at, self.on_item = items, length, fail_at, on_item

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("from __len__")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise Hostile("from iteration")
        if self.on_item is not None:
            self.on_item(i)
        return self.items[i]


class NotAnIterator(Seq):
    def __iter__(self):
        return 5


class Grows:
    """Appends to the list it is an item of, as that list is being read."""

    def __init__(self, into):
        self.into = into

    def __index__(self):
        self.into.append(9)
        return 1


class LyingBytes(bytes):
    """Claims to be empty and iterates as sevens. A bytes parameter reads its
    real contents; a byte sequence (like any but exact bytes and bytearray)
    is iterated."""

    def __len__(self):
        return 0

    def __iter__(self):
        return iter([7, 7])

    def __getitem__(self, i):
        return 7

    def __bytes__(self):
        return b"\x07"

    def __eq__(self, other):
        return False

    __hash__ = bytes.__hash__


class LyingStr(str):
    """Its UTF-8 text counts, never what its methods say."""

    def __str__(self):
        return "node"

    def __eq__(self, other):
        return True

    __hash__ = str.__hash__

    def encode(self, *args, **kwargs):
        return b"node"

    def lower(self):
        return "node"


class SurrogateNamed:
    pass


SurrogateNamed.__qualname__ = "\udc80"


class NamelessMeta(type):
    def __getattribute__(cls, name):
        return 5 if name == "__qualname__" else super().__getattribute__(name)


def nested(levels, innermost):
    for _ in range(levels):
        innermost = (innermost,) if isinstance(innermost, tuple) else [innermost]
    return innermost


# Every hostile object a row passes is made once, here or through held(), so
# that its reference count can be watched across thousands of calls.
HELD = []


def held(obj):
    HELD.append(obj)
    return obj


DEEP_TUPLE = held(nested(100_000, ()))
DEEP_LIST = held(nested(100_000, []))
RELEASED = held(memoryview(b"abc"))
RELEASED.release()
DOUBLES = held(memoryview(array.array("d", [1.0])))
MATRIX = held(memoryview(bytes(6)).cast("B", (2, 3)))
MILLION_INTS = held([0] * 1_000_000)


# ---------------------------------------------------------------------------
# One row per hostile argument: (id, call, expected). `expected` is the
# exception type with its message (None: the host's own text, which must not
# have gained an argument prefix), or ("same", call) for a result equal to
# that of a call with plain arguments.

def same(call):
    return ("same", call)


def integer_rows():
    # (callable, parameter, the call with that parameter set to v, its bits)
    params = [
        ("not_before", "ts", lambda v: vk.not_before(v), 64),
        ("not_after", "ts", lambda v: vk.not_after(v), 64),
        ("verify_delegation", "now", lambda v: vk.verify_delegation(PK, WIRE, v), 64),
        ("issue_credential", "depth", lambda v: ISLAND.issue_credential(PK, "leaf", v, SCOPE, b""), 32),
    ]
    rows = []
    for name, param, call, bits in params:
        def at(value, call=call):
            return lambda: call(value)

        def case(label, index, expected, name=name):
            rows.append((f"{name}-{label}", at(held(index)), expected))

        case("index-raises", Index(raises=Hostile), (Hostile, "from __index__"))
        case("index-raises-base", Index(raises=HostileBase), (HostileBase, "from __index__"))
        case("index-returns-str", Index("7"), (TypeError, f"argument '{param}': __index__ returned non-int (type str)"))
        case("index-returns-index", Index(Index(7)), (TypeError, f"argument '{param}': __index__ returned non-int (type Index)"))
        case("index-returns-huge", Index(2**200), (OverflowError, None))
        case("index-returns-2**64", Index(2**64), (OverflowError, None))
        case("index-returns-2**32", Index(2**32), (OverflowError, OUT_OF_RANGE) if bits == 32 else same(at(2**32)))
        case("index-returns-negative", Index(-1), (OverflowError, OUT_OF_RANGE if bits == 32 else None))
        case("index-returns-int-subclass", Index(IntSubclass(5)), same(at(5)))
        # str() of the replaced TypeError is the caller's code too.
        case("index-raises-unprintable-type-error", Index(raises=lambda _: TypeError(Unprintable())),
             (Hostile, "from __str__"))
    return rows


def bytes_rows():
    lying = {name: held(LyingBytes(value)) for name, value in
             [("docs", b"docs"), ("read", b"read"), ("master", MASTER), ("d", b"d"), ("c", b"c"), ("pk", PK),
              ("wire", WIRE), ("payload", PAYLOAD), ("scope", SCOPE), ("empty", b""), ("leaf", b"leaf")]}
    leaf, verb, nameless = held(LyingStr("Leaf")), held(LyingStr("verb")), held(NamelessMeta("Nameless", (), {})())
    surrogate_named = held(SurrogateNamed())
    surrogate_error = held(Index(raises=lambda _: TypeError("\udc80")))
    return [
        ("perm_tlv-lying-bytes", lambda: vk.perm_tlv(lying["docs"], lying["read"]), same(lambda: SCOPE)),
        ("parse_payload-lying-bytes", lambda: vk.parse_payload(lying["payload"]), same(lambda: vk.parse_payload(PAYLOAD))),
        ("verify-lying-bytes", lambda: vk.verify_delegation(lying["pk"], lying["wire"], 5), same(lambda: 1)),
        ("decode-lying-bytes", lambda: vk.decode_chain(lying["wire"]), same(lambda: [CRED])),
        ("new-lying-bytes", lambda: vk.IdentityIsland(lying["master"], lying["d"], lying["c"]).public_key(),
         same(lambda: vk.IdentityIsland(MASTER, b"d", b"c").public_key())),
        ("issue-lying-bytes-and-str",
         lambda: ISLAND.issue_credential(lying["pk"], leaf, 1, lying["scope"], lying["empty"]),
         same(lambda: ISLAND.issue_credential(PK, "leaf", 1, SCOPE, b""))),
        ("issue-role-lying-bytes", lambda: ISLAND.issue_credential(PK, lying["leaf"], 1, SCOPE, b""),
         (TypeError, "argument 'role': 'LyingBytes' object cannot be converted to 'PyString'")),
        ("decode-deep-tuple", lambda: vk.decode_chain(DEEP_TUPLE),
         (TypeError, "argument 'wire': 'tuple' object cannot be converted to 'PyBytes'")),
        ("perm_tlv-nameless-type", lambda: vk.perm_tlv(b"", nameless),
         (TypeError, "argument 'verb': '<failed to extract type name>' object cannot be converted to 'PyBytes'")),
        ("new-million-ints", lambda: vk.IdentityIsland(MASTER, MILLION_INTS, b""),
         (TypeError, "argument 'deployment': 'list' object cannot be converted to 'PyBytes'")),
        ("public_key-wrong-receiver", lambda: vk.IdentityIsland.public_key(lying["pk"]), (TypeError, None)),
        ("keyword-str-subclass", lambda: vk.perm_tlv(b"docs", **{verb: b"read"}), same(lambda: SCOPE)),
        # Text with a lone surrogate, which UTF-8 cannot hold, quoted in a message.
        ("keyword-lone-surrogate", lambda: vk.perm_tlv(b"", b"", **{"\udc80": b""}),
         (TypeError, "perm_tlv() got an unexpected keyword argument '\udc80'")),
        ("perm_tlv-type-named-with-lone-surrogate", lambda: vk.perm_tlv(surrogate_named, b""),
         (TypeError, "argument 'resource': '\udc80' object cannot be converted to 'PyBytes'")),
        ("not_before-type-error-with-lone-surrogate", lambda: vk.not_before(surrogate_error),
         (TypeError, "argument 'ts': \udc80")),
    ]


def chain_rows():
    def with_payload(payload):
        return lambda: vk.encode_chain([(PK, SIG, payload)])

    # Python code run by the conversion changes the very sequences it walks.
    # These build their list afresh for each call.
    def clears_the_list():
        creds = []
        creds += [(PK, SIG, Seq(list(b"ab"), on_item=lambda i: creds.clear())), CRED]
        return vk.encode_chain(creds)

    def replaces_the_next_tuple():
        creds = []
        swap = lambda i: creds.__setitem__(1, (PK, SIG, b"swapped"))
        creds += [(PK, SIG, Seq(list(b"ab"), on_item=swap)), CRED]
        return vk.encode_chain(creds)

    def drops_the_tuple_being_read():
        creds = []
        creds.append((PK, SIG, Seq(list(b"ab"), on_item=lambda i: creds.__setitem__(0, None))))
        return vk.encode_chain(creds)

    def grows_while_read():
        payload = []
        payload.append(Grows(payload))
        return vk.encode_chain([(PK, SIG, payload)])

    not_an_iterator = held(NotAnIterator([]))
    return [
        # A claimed length is only a capacity hint; one that fails is ignored.
        *[(f"len-{label}", lambda s=held(Seq([CRED], length=n)): vk.encode_chain(s), same(lambda: WIRE))
          for label, n in [("negative", -1), ("huge", 2**100), ("10**18", 10**18), ("raises", Hostile),
                           ("raises-base", HostileBase), ("not-an-int", "3")]],
        ("element-len-lies", with_payload(held(Seq(list(b"abc"), length=10**18))), same(with_payload(b"abc"))),
        ("iteration-raises-midway", lambda s=held(Seq([CRED, CRED], fail_at=1)): vk.encode_chain(s),
         (Hostile, "from iteration")),
        ("element-iteration-raises-midway", with_payload(held(Seq(list(b"abcd"), fail_at=2))), (Hostile, "from iteration")),
        ("iter-not-an-iterator", lambda: vk.encode_chain(not_an_iterator),
         (TypeError, "argument 'credentials': iter() returned non-iterator of type 'int'")),
        ("element-iter-not-an-iterator", with_payload(not_an_iterator),
         (TypeError, "argument 'credentials': iter() returned non-iterator of type 'int'")),
        ("element-lying-bytes-is-iterated", with_payload(held(LyingBytes(b"abc"))), same(with_payload(b"\x07\x07"))),
        ("element-released-memoryview", with_payload(RELEASED),
         (ValueError, "operation forbidden on released memoryview object")),
        ("element-memoryview-of-doubles", with_payload(DOUBLES),
         (TypeError, "argument 'credentials': 'float' object cannot be interpreted as an integer")),
        ("element-two-dimensional-memoryview", with_payload(MATRIX), (NotImplementedError, None)),
        ("generator", lambda: vk.encode_chain(c for c in [CRED]),
         (TypeError, "argument 'credentials': 'generator' object cannot be converted to 'Sequence'")),
        ("dict", lambda d=held({0: CRED}): vk.encode_chain(d),
         (TypeError, "argument 'credentials': 'dict' object cannot be converted to 'Sequence'")),
        ("deep-tuple", lambda: vk.encode_chain(DEEP_TUPLE),
         (ValueError, "expected tuple of length 3, but got tuple of length 1")),
        ("deep-list", lambda: vk.encode_chain(DEEP_LIST),
         (TypeError, "argument 'credentials': 'list' object cannot be converted to 'PyTuple'")),
        ("element-deep-tuple", with_payload(DEEP_TUPLE),
         (TypeError, "argument 'credentials': 'tuple' object cannot be interpreted as an integer")),
        ("list-cleared-while-read", clears_the_list, same(with_payload(b"ab"))),
        ("next-tuple-replaced-while-read", replaces_the_next_tuple,
         same(lambda: vk.encode_chain([(PK, SIG, b"ab"), (PK, SIG, b"swapped")]))),
        ("tuple-dropped-while-read", drops_the_tuple_being_read, same(with_payload(b"ab"))),
        ("element-grows-while-read", grows_while_read, same(with_payload(b"\x01\x09"))),
    ]


def plain_rows():
    """The same callables on their success paths, for the mix of calls."""
    return [("plain", call, None) for call in [
        lambda: vk.perm_tlv(b"docs", b"read"), lambda: vk.not_before(5), lambda: vk.not_after(2**64 - 1),
        lambda: vk.encode_chain([CRED]), lambda: vk.decode_chain(WIRE), lambda: vk.parse_payload(PAYLOAD),
        lambda: ISLAND.public_key()]]


ROWS = integer_rows() + bytes_rows() + chain_rows()


def outcome(call):
    """What a call gives: ("value", result) or (exception type, args)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # IntSubclass
        try:
            return ("value", call())
        except (Exception, HostileBase) as error:
            return (type(error), error.args)


@pytest.mark.parametrize("call,expected", [row[1:] for row in ROWS], ids=[row[0] for row in ROWS])
def test_hostile_argument(call, expected):
    got = outcome(call)
    if expected[0] == "same":
        assert got == ("value", expected[1]())
        return
    error, message = expected
    assert got[0] is error, got
    if message is None:
        assert not str(got[1][0]).startswith("argument ")
    else:
        assert got[1] == (message,)


def test_a_million_credential_tuples():
    million = [(b"", b"", b"")] * 1_000_000
    for credentials, message in [
        (million, "credential[0] issuer_pk must be 1952 bytes"),
        (Seq(million, length=10**18), "credential[0] issuer_pk must be 1952 bytes"),
        (million + [(b"", b"")], "expected tuple of length 3, but got tuple of length 2"),
        ([(PK, SIG, MILLION_INTS)], "KernelError::WireTruncated"),
    ]:
        assert outcome(lambda: vk.encode_chain(credentials)) == (ValueError, (message,))


@pytest.mark.skipif(under_address_sanitizer(), reason="ASan holds freed memory back")
def test_repeated_large_tuples_are_not_copied_each_time():
    # 100,000 references to one real 7 KB credential, refused only at the end:
    # copying every element would take some 700 MB before the refusal.
    import resource

    credentials = [(PK, SIG, PAYLOAD)] * 100_000 + [(b"", b"")]
    peak_kb = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    before = max(peak_kb(), resident_kb())
    assert outcome(lambda: vk.encode_chain(credentials)) == (
        ValueError, ("expected tuple of length 3, but got tuple of length 2",))
    assert peak_kb() - before < 100_000


# ---------------------------------------------------------------------------
# A model of encode_chain's conversion and checks, against the module, on
# random nestings of ints, floats, None, text, bytes, lists and tuples.

def model_sequence(value):
    if isinstance(value, str):
        raise TypeError("argument 'credentials': Can't extract `str` to `Vec`")
    if not isinstance(value, (bytes, bytearray, list, tuple)):
        raise TypeError(f"argument 'credentials': '{type(value).__qualname__}' object cannot be converted to 'Sequence'")
    return value


def model_byte_sequence(value):
    out = bytearray()
    for item in model_sequence(value):
        try:
            n = operator.index(item)
        except TypeError as error:
            raise TypeError(f"argument 'credentials': {error}") from None
        if not 0 <= n <= 255:
            raise OverflowError(OUT_OF_RANGE)
        out.append(n)
    return bytes(out)


def model_encode_chain(credentials):
    converted = []
    for item in model_sequence(credentials):
        if not isinstance(item, tuple):
            raise TypeError(f"argument 'credentials': '{type(item).__qualname__}' object cannot be converted to 'PyTuple'")
        if len(item) != 3:
            raise ValueError(f"expected tuple of length 3, but got tuple of length {len(item)}")
        converted.append([model_byte_sequence(element) for element in item])
    for i, (key, sig, _) in enumerate(converted):
        if len(key) != 1952:
            raise ValueError(f"credential[{i}] issuer_pk must be 1952 bytes")
        if len(sig) != 3309:
            raise ValueError(f"credential[{i}] sig must be 3309 bytes")
    return b"\x01" + le32(len(converted)) + b"".join(k + s + le32(len(p)) + p for k, s, p in converted)


leaves = st.one_of(st.integers(-2, 300), st.none(), st.floats(allow_nan=False), st.text(max_size=2),
                   st.binary(max_size=3), st.binary(max_size=3).map(bytearray))
values = st.recursive(leaves, lambda inner: st.one_of(st.lists(inner, max_size=3),
                                                      st.lists(inner, max_size=3).map(tuple)), max_leaves=8)
small = st.one_of(st.lists(st.integers(0, 255), max_size=4), values)
credential = st.one_of(st.tuples(st.sampled_from([PK, list(PK)]) | small, st.sampled_from([SIG, bytearray(SIG)]) | small,
                                 small),
                       st.lists(small, max_size=4).map(tuple), values)


@settings(max_examples=examples(300), deadline=None)
@given(st.one_of(st.lists(credential, max_size=4), st.lists(credential, max_size=4).map(tuple), values))
def test_conversion_matches_a_model(credentials):
    assert outcome(lambda: vk.encode_chain(credentials)) == outcome(lambda: model_encode_chain(credentials))


# ---------------------------------------------------------------------------
# Nothing left behind

def cheap_rows():
    return [row for row in ROWS if not row[0].startswith(("issue", "new-", "verify"))]


def run(rows, count):
    for call in itertools.islice(itertools.cycle([row[1] for row in rows]), count):
        outcome(call)


def test_every_path_gives_back_every_reference():
    watched = [vk.IdentityIsland, ValueError, TypeError, OverflowError, NotImplementedError, Hostile, HostileBase,
               ISLAND, PK, SIG, PAYLOAD, WIRE, CRED, *HELD]

    def counts():
        gc.collect()  # hostile instances caught in reference cycles, say
        return [sys.getrefcount(obj) for obj in watched]

    run(ROWS, len(ROWS))
    before = counts()
    run(cheap_rows(), 300 * len(cheap_rows()))  # thousands of calls on each path
    run(ROWS, 20 * len(ROWS))
    assert counts() == before


def c_heap_in_use():
    """Bytes the C allocator has handed out and not had back (glibc), or None."""
    class Mallinfo2(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in
                    "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]

    mallinfo2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
    if mallinfo2 is None:
        return None
    mallinfo2.restype = Mallinfo2
    return mallinfo2().uordblks


def test_memory_stays_flat_over_a_hundred_thousand_calls():
    """Two thousand calls on each path and on each success path, a hundred on
    each of the costly ones (signing, derivation, verification): some 130,000
    calls. Python's allocated blocks and the C heap's bytes in use are counted
    path by path, exactly, so that a leak on one path is not lost among the
    others; resident size is measured over them all."""
    cheap = cheap_rows() + plain_rows()
    blocks = [(row, 2000) for row in cheap] + [(row, 100) for row in ROWS if row not in cheap]

    def growth_by_path():
        growth = []
        for (name, call, _), count in blocks:
            gc.collect()
            python, c_heap = sys.getallocatedblocks(), c_heap_in_use()
            run([(name, call, None)], count)
            gc.collect()
            growth.append((name, sys.getallocatedblocks() - python, (c_heap_in_use() or 0) - (c_heap or 0)))
        return growth

    gc.freeze()  # the collections between paths then skip the deep structures above
    try:
        growth_by_path()  # lets caches, the allocators' arenas and the collector settle
        if under_address_sanitizer():  # its allocator counts differently; the calls have run
            return
        memory = resident_kb()
        growth = growth_by_path()
    finally:
        gc.unfreeze()
    assert [row for row in growth if row[1] >= 10 or row[2] >= 1024] == []
    # A leaked object of 32 bytes per call would be four megabytes.
    assert resident_kb() - memory < 1024
