// Argument matching. Each callable is described by one static CallSignature;
// the matcher fills one slot per parameter from the positional tuple and the
// keyword dictionary and produces every message about missing, surplus,
// misnamed or repeated arguments. Nothing is converted here (convert.h).
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "ref.h"

namespace vestrel::py {

inline constexpr std::size_t kMaxParameters = 5;

// Every parameter may be given by position or by keyword, and every one is
// required: no callable of the module has defaults or keyword-only parameters.
struct CallSignature {
  std::string_view owner;  // the class for the constructor and methods, else empty
  std::string_view name;   // "__new__" for the constructor
  std::span<const std::string_view> parameters;

  // "perm_tlv()" or "IdentityIsland.issue_credential()", as messages name it.
  [[nodiscard]] std::string full_name() const;
};

// The matched arguments of one call, each held by a strong reference for the
// whole call so that views into them stay valid even if the caller's keyword
// dictionary is changed meanwhile.
class Arguments {
 public:
  // Matches or throws Failure (TypeError); the first problem found wins, in
  // this order: too many positional arguments, then each keyword in the
  // dictionary's order (unknown, then already filled), then missing ones.
  Arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs);

  [[nodiscard]] PyObject* operator[](std::size_t index) const noexcept {
    return slots_[index].get();
  }
  [[nodiscard]] std::string_view name(std::size_t index) const noexcept {
    return signature_.parameters[index];
  }

 private:
  const CallSignature& signature_;
  std::array<Ref, kMaxParameters> slots_;
};

}  // namespace vestrel::py
