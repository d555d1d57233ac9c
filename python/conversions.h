// Conversions of the module's results into Python objects. Every function here runs on the
// caller's thread with the interpreter lock held and returns new mutable objects only, so nothing
// that can be changed is shared with a record or with an earlier result; immutable values (the
// enumeration's members, floats of repeated values) may be. The casters keep the names of the
// standard conversions they stand in for, so rendered signatures do not change.
//
// The paths a control loop runs at every cycle (a per-group dict, an attribute read, a flag or
// I/O read) are built with the C API instead of pybind11's generic dispatch: attribute getters and
// those methods are plain C functions, records are moved into their Python holders, and dict keys
// are the enumeration's own member objects with their hashes taken once at import. Anything
// unusual (a subclass, a group number without a member, wrong arguments) takes pybind11's own
// path, so behaviour and error texts stay its own.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "korvantyr/korvantyr.h"

namespace korvan {
namespace tyr_impl {
namespace python {

namespace py = pybind11;

// A record's text field on its way to Python, and the state variables of a primitive.
struct RobotText {
  const std::string& text;
};
using PrimitiveVariables = decltype(tyr::PrimitiveStates::names_and_values);
struct RobotVariables {
  const PrimitiveVariables& values;
};

// A per-group result of the client on its way to a Python dict. Taken by value: the records are
// moved into their Python holders.
template <class Value>
struct GroupMap {
  std::map<tyr::JointGroup, Value> entries;
};

// Text from the robot: invalid UTF-8 bytes become U+FFFD, so reading never raises.
inline PyObject* DecodeRobotText(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

}  // namespace python
}  // namespace tyr_impl
}  // namespace korvan

namespace pybind11::detail {

template <>
struct type_caster<korvan::tyr_impl::python::RobotText> {
  static constexpr auto name = make_caster<std::string>::name;

  static handle cast(const korvan::tyr_impl::python::RobotText& src, return_value_policy, handle) {
    PyObject* text = korvan::tyr_impl::python::DecodeRobotText(src.text);
    if (text == nullptr) throw error_already_set();
    return text;
  }
};

template <>
struct type_caster<korvan::tyr_impl::python::RobotVariables> {
  static constexpr auto name = make_caster<korvan::tyr_impl::python::PrimitiveVariables>::name;

  // As the standard map and variant conversions do it: keys in the map's order, an integer as
  // int, a double as float, a string as str.
  static handle cast(const korvan::tyr_impl::python::RobotVariables& src,
                     return_value_policy policy, handle parent) {
    using korvan::tyr_impl::python::RobotText;
    dict result;
    for (const auto& [key, value] : src.values) {
      object py_value = std::visit(
          [&](const auto& alternative) -> object {
            using T = std::decay_t<decltype(alternative)>;
            if constexpr (std::is_same_v<T, std::string>) {
              return reinterpret_steal<object>(
                  make_caster<RobotText>::cast(RobotText{alternative}, policy, parent));
            } else {
              return reinterpret_steal<object>(make_caster<T>::cast(alternative, policy, parent));
            }
          },
          value);
      if (!py_value) throw error_already_set();
      result[reinterpret_steal<object>(
          make_caster<RobotText>::cast(RobotText{key}, policy, parent))] = py_value;
    }
    return result.release();
  }
};

}  // namespace pybind11::detail

namespace korvan {
namespace tyr_impl {
namespace python {

// --- Records ------------------------------------------------------------------------------------

// pybind11's description of a bound record type, looked up once when the type is registered.
template <class Record>
struct BoundType {
  static inline const py::detail::type_info* info = nullptr;

  static void Remember() { info = py::detail::get_type_info(typeid(Record), true); }
};

// A new Python object holding `record`, moved in. pybind11's cast does the same after looking the
// type up and searching its registry for an existing object at that address, which a record just
// allocated here cannot have.
template <class Record>
py::object NewRecordObject(Record&& record) {
  const py::detail::type_info* type = BoundType<Record>::info;
  auto object = py::reinterpret_steal<py::object>(py::detail::make_new_instance(type->type));
  auto* instance = reinterpret_cast<py::detail::instance*>(object.ptr());
  instance->owned = false;
  void*& value = py::detail::values_and_holders(instance).begin()->value_ptr();
  value = new Record(std::move(record));
  instance->owned = true;
  type->init_instance(instance, nullptr);  // the default holder takes it, and it is registered
  return object;
}

// --- Field values ---------------------------------------------------------------------------

// The float objects of the values converted last, one per slot, chosen by the value's bits.
// Creating and freeing a float is most of the cost of reading a joint vector, and the same values
// come back: a control loop reads a message more than once before the next arrives, and the arm
// groups repeat the values of the whole robot. A float is immutable, so handing out the same
// object again is safe: every list is still new. A value equal only numerically (0.0 and -0.0,
// two NaNs) gets its own object, so every float keeps its exact bits. Slots are replaced on a
// collision; at most kSlots floats are kept alive. Used with the interpreter lock held.
struct FloatSlot {
  uint64_t bits = 0;
  PyObject* value = nullptr;  // a reference of its own, or nullptr
};

class FloatCache {
 public:
  static constexpr int kSlotBits = 13;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

  // A new reference to a float of exactly `value`, or nullptr with a Python error set.
  static PyObject* Get(double value) {
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    FloatSlot& slot = slots_[(bits * 0x9E3779B97F4A7C15ull) >> (64 - kSlotBits)];
    if (slot.value != nullptr && slot.bits == bits) {
      Py_INCREF(slot.value);
      return slot.value;
    }
    PyObject* created = PyFloat_FromDouble(value);
    if (created == nullptr) return nullptr;
    PyObject* replaced = slot.value;
    Py_INCREF(created);
    slot = FloatSlot{bits, created};
    Py_XDECREF(replaced);
    return created;
  }

 private:
  static inline std::array<FloatSlot, kSlots> slots_{};
};

// Each returns a new reference, or nullptr with a Python error set.
inline PyObject* FloatList(const double* values, std::size_t size) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(size));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < size; ++i) {
    PyObject* item = FloatCache::Get(values[i]);
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

inline PyObject* ToPython(const std::vector<double>& values) {
  return FloatList(values.data(), values.size());
}

template <std::size_t N>
PyObject* ToPython(const std::array<double, N>& values) {
  return FloatList(values.data(), N);
}

inline PyObject* ToPython(const std::pair<int32_t, int32_t>& stamp) {
  PyObject* first = PyLong_FromLong(stamp.first);
  PyObject* second = first == nullptr ? nullptr : PyLong_FromLong(stamp.second);
  if (second == nullptr) {
    Py_XDECREF(first);
    return nullptr;
  }
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) {
    Py_DECREF(first);
    Py_DECREF(second);
    return nullptr;
  }
  PyTuple_SET_ITEM(pair, 0, first);
  PyTuple_SET_ITEM(pair, 1, second);
  return pair;
}

inline PyObject* ToPython(const std::string& text) { return DecodeRobotText(text); }
inline PyObject* ToPython(double value) { return FloatCache::Get(value); }
inline PyObject* ToPython(bool value) { return PyBool_FromLong(value ? 1 : 0); }

// Runs inside a plain C function: no C++ exception may leave it. The Python exceptions are
// pybind11's translations of the same failures.
inline PyObject* ToPython(const PrimitiveVariables& values) {
  try {
    return py::detail::make_caster<RobotVariables>::cast(
               RobotVariables{values}, py::return_value_policy::move, py::handle())
        .ptr();
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "Caught an unknown exception!");
  }
  return nullptr;
}

// --- Attribute getters ----------------------------------------------------------------------

constexpr const char* kGetterCapsule = "korvantyr.getter_fallback";

// The getter of `Field`: called by the property with the instance. The exact record type with its
// value in place reads directly; anything else goes to pybind11's getter kept in `fallback`
// (a capsule), which raises what it always raised.
template <class Record, auto Field>
PyObject* ReadField(PyObject* fallback, PyObject* self) {
  const py::detail::type_info* type = BoundType<Record>::info;
  if (Py_TYPE(self) == type->type) {
    auto* instance = reinterpret_cast<py::detail::instance*>(self);
    if (instance->simple_layout && instance->simple_holder_constructed) {
      const auto* record = static_cast<const Record*>(instance->simple_value_holder[0]);
      return ToPython(record->*Field);
    }
  }
  auto* getter = static_cast<PyObject*>(PyCapsule_GetPointer(fallback, kGetterCapsule));
  // Not PyObject_CallOneArg: older interpreters lack that symbol, and the module must still load
  // far enough to report the version mismatch.
  return getter == nullptr ? nullptr : PyObject_CallFunctionObjArgs(getter, self, nullptr);
}

// A C function `call` standing in for pybind11's function `pybind_function`: it carries that
// function's name, docstring (the rendered signature) and module, so it reads the same to
// introspection and to the stub generator, and its self is a capsule named `capsule_name` that
// holds pybind11's function for the calls it does not answer itself.
inline py::object StandIn(py::object pybind_function, PyCFunction call, int flags,
                          const char* capsule_name) {
  // The method tables live as long as the process: the functions keep pointers to them.
  static std::deque<PyMethodDef> definitions;
  static std::deque<std::string> texts;

  const py::object module_name = pybind_function.attr("__module__");
  texts.push_back(pybind_function.attr("__name__").cast<std::string>());
  const char* function_name = texts.back().c_str();
  texts.push_back(pybind_function.attr("__doc__").cast<std::string>());
  definitions.push_back(PyMethodDef{function_name, call, flags, texts.back().c_str()});

  auto fallback = py::reinterpret_steal<py::object>(
      PyCapsule_New(pybind_function.ptr(), capsule_name, [](PyObject* capsule) {
        Py_XDECREF(
            static_cast<PyObject*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule))));
      }));
  if (!fallback) throw py::error_already_set();
  pybind_function.release();  // now owned by the capsule

  auto function = py::reinterpret_steal<py::object>(
      PyCFunction_NewEx(&definitions.back(), fallback.ptr(), module_name.ptr()));
  if (!function) throw py::error_already_set();
  return function;
}

// Replaces the getter of the property `name`, already bound by pybind11, with ReadField; the
// setter stays pybind11's.
template <class Record, auto Field>
void UseDirectGetter(py::class_<Record>& cls, const char* name) {
  const py::object property = cls.attr("__dict__")[name];
  const py::object getter =
      StandIn(property.attr("fget"), &ReadField<Record, Field>, METH_O, kGetterCapsule);
  const auto property_type =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyProperty_Type));
  py::setattr(cls, name,
              property_type(getter, property.attr("fset"), py::none(), property.attr("__doc__")));
}

// --- Client methods ------------------------------------------------------------------------

inline PyObject* ToPython(const std::array<bool, 20>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), PyBool_FromLong(values[i] ? 1 : 0));
  }
  return list;
}

constexpr const char* kMethodCapsule = "korvantyr.method_fallback";

// The Python function behind `fallback`, called as pybind11 is: with a tuple and a dict.
inline PyObject* CallFallback(PyObject* fallback, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  auto* function = static_cast<PyObject*>(PyCapsule_GetPointer(fallback, kMethodCapsule));
  if (function == nullptr) return nullptr;
  auto positional = py::reinterpret_steal<py::object>(PyTuple_New(nargs));
  if (!positional) return nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(positional.ptr(), i, args[i]);
  }
  py::object keywords;
  if (kwnames != nullptr) {
    keywords = py::reinterpret_steal<py::object>(PyDict_New());
    if (!keywords) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
      if (PyDict_SetItem(keywords.ptr(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) != 0) {
        return nullptr;
      }
    }
  }
  return PyObject_Call(function, positional.ptr(), keywords.ptr());
}

// The method `Method` of the client, called with the instance first and nothing else. A client of
// the exact type with its value in place answers directly; anything else (a subclass, a client
// whose __init__ did not run, extra arguments) goes to pybind11's function kept in `fallback`,
// which answers or raises what it always did. A C++ exception never leaves here: the call is
// handed to pybind11's function too, which repeats the read and translates the exception.
template <auto Method>
PyObject* CallMethod(PyObject* fallback, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  if (nargs == 1 && kwnames == nullptr && Py_TYPE(args[0]) == BoundType<tyr::Client>::info->type) {
    auto* instance = reinterpret_cast<py::detail::instance*>(args[0]);
    if (instance->simple_layout && instance->simple_holder_constructed) {
      auto* client = static_cast<tyr::Client*>(instance->simple_value_holder[0]);
      try {
        return ToPython((client->*Method)());
      } catch (...) {
      }
    }
  }
  return CallFallback(fallback, args, nargs, kwnames);
}

// Replaces the method `name`, already bound by pybind11, with CallMethod, wrapped as pybind11
// wraps its own methods.
template <auto Method>
void UseDirectMethod(py::class_<tyr::Client>& cls, const char* name) {
  const py::object function =
      StandIn(cls.attr("__dict__")[name].attr("__func__"),
              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&CallMethod<Method>)),
              METH_FASTCALL | METH_KEYWORDS, kMethodCapsule);
  auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
  if (!method) throw py::error_already_set();
  py::setattr(cls, name, method);
}

// --- Per-group dicts ------------------------------------------------------------------------

struct GroupKey {
  PyObject* member = nullptr;
  Py_hash_t hash = 0;
};

// The JointGroup members and their hashes, taken from the bound enumeration at import.
class GroupKeys {
 public:
  static constexpr int kFirst = -1;  // UNKNOWN
  static constexpr int kLast = 5;    // EXT_AXIS

  static void Remember(const py::handle& enumeration) {
    for (const auto& [name, member] : py::cast<py::dict>(enumeration.attr("__members__"))) {
      const int value = py::cast<int>(member.attr("value"));
      if (value < kFirst || value > kLast) continue;
      const Py_hash_t hash = PyObject_Hash(member.ptr());
      if (hash == -1) throw py::error_already_set();
      GroupKey& key = keys_[static_cast<std::size_t>(value - kFirst)];
      key.member = py::reinterpret_borrow<py::object>(member).release().ptr();  // kept for good
      key.hash = hash;
    }
  }

  // Sets result[group] = value. A member's key is the member object itself with its known hash;
  // a number that names no member is cast by pybind11 as before.
  static void Insert(PyObject* result, tyr::JointGroup group, PyObject* value) {
    const int number = static_cast<int>(group);
    if (number >= kFirst && number <= kLast) {
      const GroupKey& key = keys_[static_cast<std::size_t>(number - kFirst)];
      if (key.member != nullptr) {
        if (_PyDict_SetItem_KnownHash(result, key.member, value, key.hash) != 0) {
          throw py::error_already_set();
        }
        return;
      }
    }
    const py::object other = py::cast(group);
    if (PyDict_SetItem(result, other.ptr(), value) != 0) throw py::error_already_set();
  }

 private:
  static inline std::array<GroupKey, kLast - kFirst + 1> keys_{};
};

inline py::object GroupValue(tyr::RobotStates&& value) { return NewRecordObject(std::move(value)); }
inline py::object GroupValue(tyr::RobotActions&& value) {
  return NewRecordObject(std::move(value));
}
inline py::object GroupValue(tyr::PrimitiveStates&& value) {
  return NewRecordObject(std::move(value));
}
inline py::object GroupValue(std::string&& name) { return py::cast(std::move(name)); }
inline py::object GroupValue(std::pair<double, double>&& score) { return py::cast(score); }

}  // namespace python
}  // namespace tyr_impl
}  // namespace korvan

namespace pybind11::detail {

template <class Value>
struct type_caster<korvan::tyr_impl::python::GroupMap<Value>> {
  static constexpr auto name = make_caster<std::map<korvan::tyr::JointGroup, Value>>::name;

  // In the map's order, so the keys come in ascending group number.
  static handle cast(korvan::tyr_impl::python::GroupMap<Value>&& src, return_value_policy, handle) {
    using korvan::tyr_impl::python::GroupKeys;
    using korvan::tyr_impl::python::GroupValue;
    dict result;
    for (auto& [group, value] : src.entries) {
      const object py_value = GroupValue(std::move(value));
      GroupKeys::Insert(result.ptr(), group, py_value.ptr());
    }
    return result.release();
  }
};

}  // namespace pybind11::detail
