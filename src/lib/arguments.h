// Each Python callable is declared once, as a Signature: its name, its
// parameters with what they accept and their defaults, and its description.
// The binder, the text signature and the docstring are all read from it.
// Binding failures raise the interpreter's own exception types with the
// wording of its function calls and argument converters.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

namespace tallowmere::lib {

inline constexpr int kMaxParameters = 2;

// What a parameter accepts, and so how its argument is converted.
enum class Accepts : uint8_t {
  kText,   // A str, as its own UTF-8 buffer, which lives as long as the str.
  kFlag,   // A Python bool or a NumPy boolean scalar; nothing else, an int neither.
  kCount,  // Any object with an integer index from 0 to 2**64 - 1.
  kBytes,  // A bytes object or an instance of a subclass: immutable, so its
           // buffer can be read in place without the interpreter lock.
};

// A converted argument. Trivial, so a call's arguments cost nothing to set up.
struct Value {
  const char* data;  // A str's UTF-8 or a bytes object's buffer, alive with the object.
  uint64_t size;     // Its length in bytes; or the count, or the flag as 0 or 1.

  constexpr std::string_view text() const { return {data, size}; }
  std::span<const unsigned char> bytes() const {
    return {reinterpret_cast<const unsigned char*>(data), size};
  }
  constexpr uint64_t count() const { return size; }
  constexpr bool flag() const { return size != 0; }
};

using Arguments = std::array<Value, kMaxParameters>;

// The converters; a refused argument raises TypeError "argument '<name>': ...".
bool convert_text(PyObject* object, const char* name, Value& out);
bool convert_flag(PyObject* object, const char* name, Value& out);
bool convert_count(PyObject* object, const char* name, Value& out);
bool convert_bytes(PyObject* object, const char* name, Value& out);

struct Parameter {
  const char* name = nullptr;
  Accepts accepts = Accepts::kText;
  bool (*convert)(PyObject* object, const char* name, Value& out) = nullptr;
  bool optional = false;
  Value fallback = {};  // The value of an optional parameter left out.
};

constexpr Parameter text(const char* name) { return {name, Accepts::kText, convert_text}; }
constexpr Parameter text(const char* name, std::string_view fallback) {
  return {name, Accepts::kText, convert_text, true, {fallback.data(), fallback.size()}};
}
constexpr Parameter flag(const char* name, bool fallback) {
  return {name, Accepts::kFlag, convert_flag, true, {nullptr, fallback ? 1U : 0U}};
}
constexpr Parameter count(const char* name) { return {name, Accepts::kCount, convert_count}; }
constexpr Parameter count(const char* name, uint64_t fallback) {
  return {name, Accepts::kCount, convert_count, true, {nullptr, fallback}};
}
constexpr Parameter bytes(const char* name) { return {name, Accepts::kBytes, convert_bytes}; }

// How a callable is reached; only an instance method's text signature starts
// with $self.
enum class Form : uint8_t { kFunction, kMethod, kStaticMethod };

// Every parameter may be given by position or by keyword; the required ones
// come first.
struct Signature {
  const char* owner;  // The class of a method, NULL for a function or a class itself.
  const char* name;
  Form form;
  std::array<Parameter, kMaxParameters> parameters{};
  int count = 0;
  int required = 0;
  const char* description = "";  // The docstring after the text signature.

  constexpr Signature(const char* owner, const char* name, Form form,
                      std::initializer_list<Parameter> list, const char* description = "")
      : owner(owner), name(name), form(form), description(description) {
    for (const Parameter& parameter : list) {
      if (count < kMaxParameters) parameters[count] = parameter;
      ++count;
    }
    while (required < count && required < kMaxParameters && !parameters[required].optional) {
      ++required;
    }
  }

  // Holds for every signature in use; checked when its docstring is written.
  constexpr bool valid() const {
    if (count > kMaxParameters) return false;
    for (int i = 0; i < count; ++i) {
      const Parameter& parameter = parameters[i];
      if (parameter.optional != (i >= required)) return false;  // Defaults go last.
      if (!parameter.optional) continue;
      if (parameter.accepts == Accepts::kBytes) return false;
      if (parameter.accepts == Accepts::kText &&
          parameter.fallback.text().find_first_of("\"\\") != std::string_view::npos) {
        return false;  // Written between quotes as it is.
      }
    }
    return true;
  }
};

// A function of a module, or a class called to construct an instance.
constexpr Signature function(const char* name, std::initializer_list<Parameter> list) {
  return {nullptr, name, Form::kFunction, list};
}
constexpr Signature method(const char* owner, const char* name,
                           std::initializer_list<Parameter> list) {
  return {owner, name, Form::kMethod, list};
}
constexpr Signature static_method(const char* owner, const char* name,
                                  std::initializer_list<Parameter> list,
                                  const char* description) {
  return {owner, name, Form::kStaticMethod, list, description};
}

// Puts borrowed references to the call's arguments in `bound`, in parameter
// order, NULL for an optional parameter not given. Vectorcall form: `args`
// holds the positional values, then the values of `kwnames`. False with
// TypeError set.
bool bind_objects(const Signature& signature, PyObject* const* args, Py_ssize_t positional,
                  PyObject* kwnames, PyObject* bound[kMaxParameters]);
// The same for a tuple and an optional keyword dictionary.
bool bind_objects(const Signature& signature, PyObject* args, PyObject* kwargs,
                  PyObject* bound[kMaxParameters]);

// Converts every bound argument in parameter order; an optional parameter
// left out gets its fallback. A template, so each call converts its own
// parameters directly.
template <const Signature& kSignature>
bool convert_all(PyObject* const bound[kMaxParameters], Arguments& out) {
  static_assert(kSignature.valid());
  for (int i = 0; i < kSignature.count; ++i) {
    const Parameter& parameter = kSignature.parameters[i];
    if (bound[i] == nullptr) {
      out[i] = parameter.fallback;
    } else if (!parameter.convert(bound[i], parameter.name, out[i])) {
      return false;
    }
  }
  return true;
}

// Binds and converts a call, given as bind_objects takes it; false with the
// exception set.
template <const Signature& kSignature, class... Call>
bool bind(Arguments& out, Call... call) {
  PyObject* bound[kMaxParameters];
  return bind_objects(kSignature, call..., bound) && convert_all<kSignature>(bound, out);
}

// --- The docstring -----------------------------------------------------------------

// Writes the docstring CPython reads the text signature from,
// "name(parameters)\n--\n\n" then the description, into `out` when it is
// not NULL; returns its length.
constexpr size_t write_docstring(const Signature& signature, char* out) {
  size_t length = 0;
  auto put = [&](std::string_view piece) {
    for (char c : piece) {
      if (out != nullptr) out[length] = c;
      ++length;
    }
  };
  put(signature.name);
  put("(");
  if (signature.form == Form::kMethod) put(signature.count == 0 ? "$self" : "$self, ");
  for (int i = 0; i < signature.count; ++i) {
    const Parameter& parameter = signature.parameters[i];
    if (i > 0) put(", ");
    put(parameter.name);
    if (!parameter.optional) continue;
    put("=");
    switch (parameter.accepts) {
      case Accepts::kText:
        put("\"");
        put(parameter.fallback.text());
        put("\"");
        break;
      case Accepts::kFlag:
        put(parameter.fallback.flag() ? "True" : "False");
        break;
      case Accepts::kCount: {
        char digits[20];
        int used = 0;
        uint64_t value = parameter.fallback.count();
        do {
          digits[used++] = static_cast<char>('0' + value % 10);
          value /= 10;
        } while (value != 0);
        while (used > 0) put(std::string_view(&digits[--used], 1));
        break;
      }
      case Accepts::kBytes:
        break;
    }
  }
  put(")\n--\n\n");
  put(signature.description);
  return length;
}

template <const Signature& kSignature>
constexpr auto docstring() {
  static_assert(kSignature.valid());
  std::array<char, write_docstring(kSignature, nullptr) + 1> text{};
  write_docstring(kSignature, text.data());
  return text;
}

// The docstring of a signature, NUL-terminated, fixed at compile time.
template <const Signature& kSignature>
inline constexpr auto kDocstring = docstring<kSignature>();

}  // namespace tallowmere::lib
