#include "convert.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "interned.h"

namespace vestrel::py {

namespace {

// Capacity hints come from the caller's __len__, which may say anything: they
// may save a few reallocations but never decide how much memory is reserved.
// Iteration alone decides what the result holds.
constexpr Py_ssize_t kMaxReservedBytes = 64 * 1024;
constexpr Py_ssize_t kMaxReservedCredentials = 64;

constexpr char kOutOfRange[] = "out of range integral type conversion attempted";
constexpr char kStrToVec[] = "Can't extract `str` to `Vec`";

bool is_instance_of(PyObject* obj, PyTypeObject* type) noexcept {
  return PyType_IsSubtype(Py_TYPE(obj), type) != 0;
}

// Runs one conversion, naming the argument in a TypeError it raises.
template <class Convert>
auto convert_argument(const Arguments& args, std::size_t index, Convert convert) {
  try {
    return convert(args[index]);
  } catch (Failure& failure) {
    throw std::move(failure).with_argument_prefix(args.name(index));
  }
}

// An int (or subclass) as it is, anything else through __index__.
Ref as_integer(PyObject* obj) {
  if (PyLong_Check(obj)) return Ref::borrow(obj);
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) throw Failure::fetch();
  return index;
}

// Read as a C long, so values beyond it get the host's OverflowError, then
// narrowed to 0..max with an OverflowError of our own.
unsigned long to_bounded_unsigned(PyObject* obj, unsigned long max) {
  Ref integer = as_integer(obj);
  const long value = PyLong_AsLong(integer.get());
  if (value == -1 && PyErr_Occurred() != nullptr) throw Failure::fetch();
  if (value < 0 || static_cast<unsigned long>(value) > max) {
    throw Failure::message(PyExc_OverflowError, kOutOfRange);
  }
  return static_cast<unsigned long>(value);
}

std::uint64_t to_u64(PyObject* obj) {
  Ref integer = as_integer(obj);
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
  // All ones is also a legitimate value (2^64 - 1); only a set exception
  // makes it an error.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    throw Failure::fetch();
  }
  return value;
}

ByteView to_bytes_view(PyObject* obj) {
  if (!is_instance_of(obj, &PyBytes_Type)) throw downcast_error(obj, "PyBytes");
  char* data = PyBytes_AsString(obj);
  const Py_ssize_t size = PyBytes_Size(obj);
  if (data == nullptr || size < 0) throw Failure::fetch();
  return ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

std::string to_text(PyObject* obj) {
  if (!is_instance_of(obj, &PyUnicode_Type)) throw downcast_error(obj, "PyString");
  Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(obj));
  if (!utf8) throw Failure::fetch();  // a lone surrogate: the host's UnicodeEncodeError
  const ByteView bytes = to_bytes_view(utf8.get());
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// The checks shared by both sequence kinds; returns the capped capacity hint.
std::size_t check_sequence(PyObject* obj, Py_ssize_t reserve_cap) {
  if (PyUnicode_Check(obj)) throw Failure::message(PyExc_TypeError, kStrToVec);
  if (PySequence_Check(obj) == 0) throw downcast_error(obj, "Sequence");
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  return static_cast<std::size_t>(std::min(hint, reserve_cap));
}

// Calls `each` with every item of `obj`'s iteration, in order.
template <class Each>
void for_each_item(PyObject* obj, Each each) {
  Ref iterator = Ref::steal(PyObject_GetIter(obj));
  if (!iterator) throw Failure::fetch();
  while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) each(item.get());
  if (PyErr_Occurred() != nullptr) throw Failure::fetch();
}

Bytes copy_of(const char* data, Py_ssize_t size) {
  if (data == nullptr || size < 0) throw Failure::fetch();
  const auto* first = reinterpret_cast<const std::uint8_t*>(data);
  return Bytes(first, first + size);
}

ByteSource to_byte_sequence(PyObject* obj) {
  const std::size_t hint = check_sequence(obj, kMaxReservedBytes);
  // Iterating an exact bytes or bytearray runs no Python code and yields its
  // bytes in order, so reading them directly gives the same result far faster.
  if (Py_TYPE(obj) == &PyBytes_Type) return ByteSource::held(obj);
  if (Py_TYPE(obj) == &PyByteArray_Type) {
    return ByteSource::copied(copy_of(PyByteArray_AsString(obj), PyByteArray_Size(obj)));
  }
  Bytes out;
  out.reserve(hint);
  for_each_item(obj, [&](PyObject* item) {
    out.push_back(static_cast<std::uint8_t>(to_bounded_unsigned(item, 0xFF)));
  });
  return ByteSource::copied(std::move(out));
}

std::vector<OwnedCredential> to_credentials(PyObject* obj) {
  const std::size_t hint = check_sequence(obj, kMaxReservedCredentials);
  std::vector<OwnedCredential> out;
  out.reserve(hint);
  for_each_item(obj, [&](PyObject* item) {
    if (!is_instance_of(item, &PyTuple_Type)) throw downcast_error(item, "PyTuple");
    const Py_ssize_t length = PyTuple_Size(item);
    if (length != 3) {
      throw Failure::message(
          PyExc_ValueError,
          "expected tuple of length 3, but got tuple of length " + std::to_string(length));
    }
    OwnedCredential credential;
    credential.issuer_pk = to_byte_sequence(PyTuple_GetItem(item, 0));
    credential.sig = to_byte_sequence(PyTuple_GetItem(item, 1));
    credential.payload = to_byte_sequence(PyTuple_GetItem(item, 2));
    out.push_back(std::move(credential));
  });
  return out;
}

}  // namespace

ByteSource ByteSource::held(PyObject* exact_bytes) noexcept {
  ByteSource source;
  source.held_ = Ref::borrow(exact_bytes);
  return source;
}

ByteSource ByteSource::copied(Bytes bytes) noexcept {
  ByteSource source;
  source.copy_ = std::move(bytes);
  return source;
}

ByteView ByteSource::view() const noexcept {
  if (!held_) return copy_;
  // An exact bytes object: neither call can fail.
  return ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(held_.get())),
                  static_cast<std::size_t>(PyBytes_Size(held_.get())));
}

// Only ASCII capitals are folded: Unicode case rules would let other texts
// (a Kelvin sign, say) pass as a role.
Role parse_role(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (text == "leaf") return Role::Leaf;
  if (text == "node") return Role::Node;
  throw Failure::message(PyExc_ValueError, "role must be 'leaf' or 'node'");
}

CredentialArguments credential_arguments(const Arguments& args) {
  const ByteView child_pk = bytes_argument(args, 0);
  std::string role_text = text_argument(args, 1);
  const std::uint32_t depth = u32_argument(args, 2);
  const ByteView scope = bytes_argument(args, 3);
  const ByteView caveats = bytes_argument(args, 4);
  if (child_pk.size() != PK_SIZE) throw wrong_length("child_pk", PK_SIZE);
  return {child_pk.first<PK_SIZE>(), parse_role(std::move(role_text)), depth, scope, caveats};
}

Failure wrong_length(std::string_view what, std::size_t expected) {
  return Failure::message(PyExc_ValueError,
                          std::string(what) + " must be " + std::to_string(expected) + " bytes");
}

Failure downcast_error(PyObject* obj, std::string_view target) {
  std::string name = "<failed to extract type name>";
  Ref qualname = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                             interned(InternedName::Qualname)));
  Ref utf8;
  if (qualname && PyUnicode_Check(qualname.get())) {
    utf8 = Ref::steal(PyUnicode_AsEncodedString(qualname.get(), "utf-8", kMessageUtf8Errors));
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (utf8 && PyBytes_AsStringAndSize(utf8.get(), &data, &size) == 0) {
    name.assign(data, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();  // the stand-in text replaces whatever went wrong
  }
  std::string text = "'";
  text += name;
  text += "' object cannot be converted to '";
  text += target;
  text += "'";
  return Failure::message(PyExc_TypeError, std::move(text));
}

ByteView bytes_argument(const Arguments& args, std::size_t index) {
  return convert_argument(args, index, to_bytes_view);
}

std::string text_argument(const Arguments& args, std::size_t index) {
  return convert_argument(args, index, to_text);
}

std::uint32_t u32_argument(const Arguments& args, std::size_t index) {
  return convert_argument(args, index, [](PyObject* obj) {
    return static_cast<std::uint32_t>(to_bounded_unsigned(obj, 0xFFFFFFFFul));
  });
}

std::uint64_t u64_argument(const Arguments& args, std::size_t index) {
  return convert_argument(args, index, to_u64);
}

std::vector<OwnedCredential> credentials_argument(const Arguments& args, std::size_t index) {
  return convert_argument(args, index, to_credentials);
}

}  // namespace vestrel::py
