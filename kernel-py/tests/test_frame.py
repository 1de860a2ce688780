"""The module frame: the final surface, import behaviour, the class, kernel
errors, internal faults and the one exported symbol."""

import importlib
import inspect
import os
import shutil
import subprocess
import sys
import textwrap
import weakref

import pytest

import vestrel_kernel as vk

NAMES = ["PK_SIZE", "SIG_SIZE", "SEED_SIZE", "IdentityIsland", "perm_tlv", "not_before",
         "not_after", "encode_chain", "decode_chain", "parse_payload", "verify_delegation"]

PARSE_PAYLOAD_DOC = "\n".join([
    "parse_payload(payload: bytes) -> dict",
    "",
    "Deserializes a credential payload without verifying the signature.",
    "Returns a dict with the following keys:",
    "  child_pk  : bytes  \u2014 delegatee public key (PK_SIZE bytes)",
    '  role      : str    \u2014 "leaf" or "node"',
    "  depth     : int    \u2014 position in the chain",
    "  perms     : list[tuple[bytes, bytes]] \u2014 list of (resource, verb)",
    "  not_before: int | None \u2014 Unix timestamp in seconds, or None if absent",
    "  not_after : int | None \u2014 Unix timestamp in seconds, or None if absent",
    "",
    "Raises ValueError if the payload is truncated or structurally invalid.",
])
ISSUE_DOC = "\n".join([
    "issue_credential(child_pk, role, depth, scope_tlv, caveats) -> (payload, sig)",
    "",
    'role: "leaf" or "node".',
    "depth: position in the chain, starting at 1.",
    "scope_tlv: TLV bytes from perm_tlv().",
    'caveats: concatenated caveat bytes from not_before()/not_after(), or b"".',
    "Returns (payload_bytes, sig_bytes).",
])
CAVEAT_DOC = "{0}(ts: int) -> bytes\n\nReturns a 9-byte caveat record. ts is seconds since the Unix epoch."

# (callable, __text_signature__, __doc__)
SURFACE = [
    (vk.perm_tlv, "(resource, verb)",
     "perm_tlv(resource: bytes, verb: bytes) -> bytes\n\nEncodes a permission in TLV format."),
    (vk.not_before, "(ts)", CAVEAT_DOC.format("not_before")),
    (vk.not_after, "(ts)", CAVEAT_DOC.format("not_after")),
    (vk.encode_chain, "(credentials)",
     "encode_chain(credentials: list[tuple[bytes, bytes, bytes]]) -> bytes\n\n"
     "Each tuple is (issuer_pk, sig, payload). Returns the wire-encoded chain."),
    (vk.decode_chain, "(wire)",
     "decode_chain(wire: bytes) -> list[tuple[bytes, bytes, bytes]]\n\n"
     "Returns tuples (issuer_pk, sig, payload). Does not verify signatures."),
    (vk.parse_payload, "(payload)", PARSE_PAYLOAD_DOC),
    (vk.verify_delegation, "(root_pk, wire, now)",
     "verify_delegation(root_pk: bytes, wire: bytes, now: int) -> int\n\n"
     "Verifies signatures, depth sequence, scope subset, and caveats.\n"
     "Returns the credential count. Raises ValueError on failure."),
    (vk.IdentityIsland.public_key, "($self)", "Returns the PK_SIZE-byte ML-DSA-65 public key."),
    (vk.IdentityIsland.issue_credential, "($self, child_pk, role, depth, scope_tlv, caveats)", ISSUE_DOC),
]


def test_attributes_are_the_eleven_names_in_table_order():
    assert vk.__all__ == NAMES
    assert [name for name in vars(vk) if not name.startswith("__")] == NAMES
    assert vk.__doc__ == ""
    assert [(type(v), v) for v in (vk.PK_SIZE, vk.SIG_SIZE, vk.SEED_SIZE)] == [(int, 1952), (int, 3309), (int, 32)]


@pytest.mark.parametrize("fn,signature,doc", SURFACE, ids=lambda x: getattr(x, "__name__", None))
def test_documentation_and_text_signatures(fn, signature, doc):
    assert (fn.__text_signature__, fn.__doc__) == (signature, doc)
    if not signature.startswith("($self"):
        assert (fn.__module__, fn.__self__) == ("vestrel_kernel", vk)
        assert list(inspect.signature(fn).parameters) == signature[1:-1].split(", ")


def test_reimport_yields_the_same_module_object():
    del sys.modules["vestrel_kernel"]
    again = importlib.import_module("vestrel_kernel")
    assert again is vk and again.__all__ == NAMES


def test_second_interpreter_is_refused():
    code = textwrap.dedent(r"""
        import sys, tempfile
        sys.path.insert(0, sys.argv[1])
        import vestrel_kernel
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        # An isolated interpreter refuses single-phase modules before they
        # run, so ask for one that shares the main interpreter's settings.
        for make in (lambda: interpreters.create("legacy"),
                     lambda: interpreters.create(isolated=False), interpreters.create):
            try:
                sub = make()
                break
            except TypeError:
                pass
        out = tempfile.NamedTemporaryFile("r", suffix=".txt")
        interpreters.run_string(sub, (
            f"import sys; sys.path.insert(0, {sys.argv[1]!r})\n"
            "try:\n"
            "    import vestrel_kernel\n"
            "    result = 'imported'\n"
            "except ImportError as e:\n"
            "    result = str(e)\n"
            f"open({out.name!r}, 'w').write(result)\n"))
        print(out.read())
    """)
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        pytest.importorskip("_xxsubinterpreters")
    run = subprocess.run([sys.executable, "-c", code, os.environ["VESTREL_KERNEL_MODULE_DIR"]],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert " modules do not yet support subinterpreters, see " in run.stdout


def test_identity_island_class():
    cls = vk.IdentityIsland
    assert (cls.__module__, cls.__name__, cls.__qualname__) == ("builtins", "IdentityIsland", "IdentityIsland")
    assert cls.__doc__ == "ML-DSA-65 identity derived from a master seed."
    assert cls.__text_signature__ == "(master, deployment, context)"
    assert str(inspect.signature(cls)) == "(master, deployment, context)"
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    island = cls(bytes(32), b"", b"")
    with pytest.raises(AttributeError):
        island.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(island)
    assert repr(island).startswith("<builtins.IdentityIsland object at ")


def test_kernel_refusal_is_a_plain_value_error():
    with pytest.raises(ValueError) as info:
        vk.perm_tlv(bytes(256), b"")
    error = info.value
    assert type(error) is ValueError and error.args == ("KernelError::ResourceTooLong",)
    assert error.__cause__ is None and error.__context__ is None


FAULTS = [
    (lambda p: p.fault("assertion failed: left == right"), "assertion failed: left == right"),
    (lambda p: p.fault_holding(b"abc"), "index out of range: the len is 3 but the index is 3"),
    (lambda p: p.failed_allocation(), "Python API call failed"),
    (lambda p: p.bad_alloc(), "memory allocation failed"),
    (lambda p: p.std_exception(), "invariant broken in a C++ library"),
]


@pytest.mark.parametrize("call,message", FAULTS)
def test_internal_fault_becomes_panic_exception(probe, capfd, call, message):
    with pytest.raises(BaseException) as info:
        try:
            call(probe)
        except Exception:
            pytest.fail("PanicException must not be caught by `except Exception`")
    panic = type(info.value)
    assert (panic.__module__, panic.__qualname__, panic.__bases__) == ("pyo3_runtime", "PanicException", (BaseException,))
    assert info.value.args == (message,)
    assert message in capfd.readouterr().err


def test_fault_report_names_the_thread_and_its_id(probe, capfd):
    """The name and id come from the kernel, as any glibc from 2.28 on offers them."""
    import ctypes
    import threading

    def named_fault():
        # PR_SET_NAME: the name the kernel keeps for this thread (15 bytes at most).
        ctypes.CDLL(None).prctl(15, b"vk-fault-thread", 0, 0, 0)
        seen["id"] = threading.get_native_id()
        try:
            probe.fault("named")
        except BaseException:
            pass

    seen = {}
    worker = threading.Thread(target=named_fault)
    worker.start()
    worker.join()
    err = capfd.readouterr().err
    assert f"internal fault in thread 'vk-fault-thread' ({seen['id']}) at " in err


def test_panic_exception_type_is_created_once(probe):
    seen = set()
    for call in (probe.fault_without_text, probe.bad_alloc):
        try:
            call()
        except BaseException as e:
            seen.add(type(e))
    (panic,) = seen
    assert panic.__doc__.startswith("\n") and panic.__doc__.endswith("cause the\nPython interpreter to exit.\n")


def test_failed_result_allocation_prints_the_host_error_first(probe, capfd):
    with pytest.raises(BaseException):
        probe.failed_allocation()
    err = capfd.readouterr().err
    assert err.index("MemoryError") < err.index("Python API call failed")


def test_fault_releases_every_reference(probe):
    arg = b"held during the fault" + bytes(100)
    before = sys.getrefcount(arg)
    for _ in range(500):
        with pytest.raises(BaseException):
            probe.fault_holding(arg)
    assert sys.getrefcount(arg) == before


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("binutils' nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", vk.__file__], capture_output=True, text=True, check=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit_vestrel_kernel"]
    assert vk.__file__.endswith("vestrel_kernel.abi3.so")
