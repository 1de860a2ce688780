#include "signature.h"

#include <string>

#include "failure.h"

namespace vestrel::py {

std::string CallSignature::full_name() const {
  std::string full;
  if (!owner.empty()) {
    full += owner;
    full += '.';
  }
  full += name;
  full += "()";
  return full;
}

namespace {

[[noreturn]] void type_error(std::string text) {
  throw Failure::message(PyExc_TypeError, std::move(text));
}

std::string utf8_of(PyObject* text) {
  Ref utf8 = Ref::steal(PyUnicode_AsEncodedString(text, "utf-8", kMessageUtf8Errors));
  if (!utf8) throw Failure::fetch();
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) != 0) throw Failure::fetch();
  return std::string(data, static_cast<std::size_t>(size));
}

// The key's text as it is compared with the parameter names: a string's own
// UTF-8 text, whatever its type's methods say, or that of its str() for a key
// that is no string.
std::string keyword_text(PyObject* key) {
  if (PyUnicode_Check(key)) return utf8_of(key);
  Ref text = Ref::steal(PyObject_Str(key));
  if (!text) throw Failure::fetch();
  return utf8_of(text.get());
}

// The key as a message quotes it: always its str(), so a string subclass
// shows what its own __str__ returns.
std::string shown_keyword(PyObject* key, const std::string& text) {
  if (PyUnicode_CheckExact(key)) return text;
  Ref shown = Ref::steal(PyObject_Str(key));
  if (!shown) throw Failure::fetch();
  return utf8_of(shown.get());
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::string* names, std::size_t count) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) list += (count == 2) ? " and " : (i + 1 == count ? ", and " : ", ");
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

}  // namespace

Arguments::Arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs)
    : signature_(signature) {
  const std::size_t parameters = signature.parameters.size();
  if (parameters > kMaxParameters) fault("signature has more parameters than slots");
  const Py_ssize_t given_size = args == nullptr ? 0 : PyTuple_Size(args);
  if (given_size < 0) throw Failure::fetch();
  const auto given = static_cast<std::size_t>(given_size);

  for (std::size_t i = 0; i < given && i < parameters; ++i) {
    slots_[i] = Ref::borrow(PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)));
  }
  // Decided before any keyword is looked at.
  if (given > parameters) {
    type_error(signature.full_name() + " takes " + std::to_string(parameters) +
               " positional arguments but " + std::to_string(given) +
               (given == 1 ? " was given" : " were given"));
  }

  if (kwargs != nullptr && PyDict_Size(kwargs) > 0) {
    // A snapshot, so that a key whose str() runs Python code cannot change
    // the dictionary under the walk.
    Ref items = created(PyDict_Items(kwargs));
    const Py_ssize_t count = PyList_Size(items.get());
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* item = PyList_GetItem(items.get(), k);
      PyObject* key = PyTuple_GetItem(item, 0);
      PyObject* value = PyTuple_GetItem(item, 1);
      if (key == nullptr || value == nullptr) fault("dictionary item is not a pair");
      const std::string text = keyword_text(key);
      std::size_t slot = 0;
      while (slot < parameters && signature.parameters[slot] != text) ++slot;
      if (slot == parameters) {
        type_error(signature.full_name() + " got an unexpected keyword argument '" +
                   shown_keyword(key, text) + "'");
      }
      if (slots_[slot]) {
        type_error(signature.full_name() + " got multiple values for argument '" + text + "'");
      }
      slots_[slot] = Ref::borrow(value);
    }
  }

  std::array<std::string, kMaxParameters> missing;
  std::size_t missing_count = 0;
  for (std::size_t i = 0; i < parameters; ++i) {
    if (!slots_[i]) missing[missing_count++] = std::string(signature.parameters[i]);
  }
  if (missing_count > 0) {
    type_error(signature.full_name() + " missing " + std::to_string(missing_count) +
               " required positional " + (missing_count == 1 ? "argument" : "arguments") + ": " +
               quoted_list(missing.data(), missing_count));
  }
}

}  // namespace vestrel::py
