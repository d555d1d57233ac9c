// The Python extension module `korvantyr`: the joint-group enumeration, the public records and the
// client. Conversions are pybind11's standard ones (stl.h): every attribute read builds a new
// Python object, every assignment converts the whole value, so nothing is shared with the records.
// Text that came from the robot may hold any bytes: it is read as UTF-8 with every invalid byte
// replaced by U+FFFD, so reading a field never raises. Assignment converts as usual.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "korvantyr/korvantyr.h"
#include "python/interpreter_version.h"

namespace py = pybind11;

namespace {

// A record's text field on its way to Python, and the state variables of a primitive.
struct RobotText {
  const std::string& text;
};
using PrimitiveVariables = decltype(korvan::tyr::PrimitiveStates::names_and_values);
struct RobotVariables {
  const PrimitiveVariables& values;
};

}  // namespace

namespace pybind11::detail {

// Output-only casters. Their names are those of the standard conversions they stand in for, so
// the rendered signatures read "str" and "dict[str, Union[int, float, str]]" as before.
template <>
struct type_caster<RobotText> {
  static constexpr auto name = make_caster<std::string>::name;

  static handle cast(const RobotText& src, return_value_policy, handle) {
    PyObject* text =
        PyUnicode_DecodeUTF8(src.text.data(), static_cast<Py_ssize_t>(src.text.size()), "replace");
    if (text == nullptr) throw error_already_set();
    return text;
  }
};

template <>
struct type_caster<RobotVariables> {
  static constexpr auto name = make_caster<PrimitiveVariables>::name;

  // As the standard map and variant conversions do it: keys in the map's order, an integer as
  // int, a double as float, a string as str.
  static handle cast(const RobotVariables& src, return_value_policy policy, handle parent) {
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

namespace {

using korvan::tyr::Client;
using korvan::tyr::JointGroup;
using korvan::tyr::PlanInfo;
using korvan::tyr::PrimitiveStates;
using korvan::tyr::RobotActions;
using korvan::tyr::RobotStates;

constexpr const char* kModuleName = "korvantyr";
constexpr const char* kModuleDoc = "Korvan Tyrlink (TYR)";
constexpr const char* kCompiledPythonVersion =
    PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);

void RegisterJointGroup(py::module_& m) {
  py::enum_<JointGroup>(m, "JointGroup")
      .value("UNKNOWN", JointGroup::UNKNOWN)
      .value("ALL", JointGroup::ALL)
      .value("ARMS", JointGroup::ARMS)
      .value("ARM_1", JointGroup::ARM_1)
      .value("ARM_2", JointGroup::ARM_2)
      .value("EXT_AXIS", JointGroup::EXT_AXIS)
      .export_values();
}

// A readable and writable attribute for a text field that the robot fills: read through
// RobotText, assigned with the standard string conversion.
template <class Record>
void DefRobotText(py::class_<Record>& cls, const char* name, std::string Record::*field) {
  const py::cpp_function get([field](const Record& record) { return RobotText{record.*field}; },
                             py::is_method(cls));
  const py::cpp_function set(
      [field](Record& record, const std::string& value) { record.*field = value; },
      py::is_method(cls));
  cls.def_property(name, get, set);
}

void RegisterRecords(py::module_& m) {
  py::class_<RobotStates>(m, "RobotStates")
      .def(py::init<>())
      .def_readwrite("timestamp", &RobotStates::timestamp)
      .def_readwrite("q", &RobotStates::q)
      .def_readwrite("theta", &RobotStates::theta)
      .def_readwrite("dq", &RobotStates::dq)
      .def_readwrite("dtheta", &RobotStates::dtheta)
      .def_readwrite("tau", &RobotStates::tau)
      .def_readwrite("tau_dot", &RobotStates::tau_dot)
      .def_readwrite("tau_ext", &RobotStates::tau_ext)
      .def_readwrite("tau_interact", &RobotStates::tau_interact)
      .def_readwrite("temperature", &RobotStates::temperature)
      .def_readwrite("flange_pose", &RobotStates::flange_pose)
      .def_readwrite("tcp_pose", &RobotStates::tcp_pose)
      .def_readwrite("tcp_twist", &RobotStates::tcp_twist)
      .def_readwrite("tcp_wrench", &RobotStates::tcp_wrench)
      .def_readwrite("tcp_wrench_local", &RobotStates::tcp_wrench_local)
      .def_readwrite("raw_tcp_wrench", &RobotStates::raw_tcp_wrench)
      .def_readwrite("raw_tcp_wrench_local", &RobotStates::raw_tcp_wrench_local)
      .def_readwrite("raw_ft_sensor", &RobotStates::raw_ft_sensor);

  py::class_<RobotActions>(m, "RobotActions")
      .def(py::init<>())
      .def_readwrite("timestamp", &RobotActions::timestamp)
      .def_readwrite("q_d", &RobotActions::q_d)
      .def_readwrite("dq_d", &RobotActions::dq_d)
      .def_readwrite("tau_d", &RobotActions::tau_d)
      .def_readwrite("tcp_pose_d", &RobotActions::tcp_pose_d)
      .def_readwrite("tcp_twist_d", &RobotActions::tcp_twist_d)
      .def_readwrite("tcp_wrench_d", &RobotActions::tcp_wrench_d);

  py::class_<PrimitiveStates> primitive_states(m, "PrimitiveStates");
  primitive_states.def(py::init<>());
  DefRobotText(primitive_states, "pt_name", &PrimitiveStates::pt_name);
  primitive_states.def_property(
      "names_and_values",
      py::cpp_function(
          [](const PrimitiveStates& record) { return RobotVariables{record.names_and_values}; },
          py::is_method(primitive_states)),
      py::cpp_function([](PrimitiveStates& record,
                          const PrimitiveVariables& values) { record.names_and_values = values; },
                       py::is_method(primitive_states)));

  py::class_<PlanInfo> plan_info(m, "PlanInfo");
  plan_info.def(py::init<>());
  DefRobotText(plan_info, "pt_name", &PlanInfo::pt_name);
  DefRobotText(plan_info, "node_name", &PlanInfo::node_name);
  DefRobotText(plan_info, "node_path", &PlanInfo::node_path);
  DefRobotText(plan_info, "node_path_time_period", &PlanInfo::node_path_time_period);
  DefRobotText(plan_info, "node_path_number", &PlanInfo::node_path_number);
  DefRobotText(plan_info, "assigned_plan_name", &PlanInfo::assigned_plan_name);
  plan_info.def_readwrite("velocity_scale", &PlanInfo::velocity_scale)
      .def_readwrite("waiting_for_step", &PlanInfo::waiting_for_step);
}

// The methods keep the interpreter lock while they wait for the robot: the Zenoh threads that
// deliver data never need it, and the client holds no Python object.
void RegisterClient(py::module_& m) {
  py::class_<Client>(m, "Client")
      .def(py::init<const std::string&, bool>(), py::arg("robot_sn"), py::arg("verbose") = true)
      .def("connected", &Client::connected)
      .def("groups", &Client::groups)
      .def("states", &Client::states)
      .def("actions", &Client::actions)
      .def("primitive_states", &Client::primitive_states)
      .def("configuration_score", &Client::configuration_score)
      .def("plan_info", &Client::plan_info)
      .def("estop_released", &Client::estop_released)
      .def("enabling_device_on", &Client::enabling_device_on)
      .def("digital_inputs", &Client::digital_inputs)
      .def("digital_outputs", &Client::digital_outputs)
      .def("__repr__", [](const Client&) { return "<korvantyr.Client>"; });
}

// Pickling a pybind11 object with protocol 0 or 1 aborts the interpreter: copyreg's fallback for
// those protocols instantiates pybind11's internal base type, whose constructor throws through C
// code. Routing every protocol through the protocol-2 reduction avoids that path: JointGroup then
// pickles through __getstate__/__setstate__ with any protocol (byte for byte as before with 2 and
// up), and a record fails with the usual TypeError "cannot pickle ..." as it does with 2 and up.
// The table lives in copyreg, so the classes gain no attribute.
void PickleEveryProtocolAsProtocol2(const std::vector<py::handle>& types) {
  const py::object register_reducer = py::module_::import("copyreg").attr("pickle");
  const py::cpp_function reduce_as_protocol_2(
      [](const py::object& self) { return self.attr("__reduce_ex__")(2); });
  for (const py::handle& type : types) {
    register_reducer(type, reduce_as_protocol_2);
  }
}

void DefineModule(py::module_& m) {
  RegisterJointGroup(m);
  RegisterRecords(m);
  RegisterClient(m);
  PickleEveryProtocolAsProtocol2({m.attr("JointGroup"), m.attr("RobotStates"),
                                  m.attr("RobotActions"), m.attr("PrimitiveStates"),
                                  m.attr("PlanInfo"), m.attr("Client")});
}

py::module_::module_def module_def;

}  // namespace

// The module's entry point, written out instead of PYBIND11_MODULE so that our own interpreter
// check runs first and decides the ImportError text; otherwise it does what the macro does. Module
// creation sits inside the try block too, so that a failure there is an ImportError as well.
extern "C" PYBIND11_EXPORT PyObject* PyInit_korvantyr();

extern "C" PYBIND11_EXPORT PyObject* PyInit_korvantyr() {
  const char* const runtime_version = Py_GetVersion();
  if (!korvan::tyr_impl::InterpreterVersionMatches(kCompiledPythonVersion, runtime_version)) {
    PyErr_Format(PyExc_ImportError, korvan::tyr_impl::kVersionMismatchFormat,
                 kCompiledPythonVersion, runtime_version);
    return nullptr;
  }
  PYBIND11_ENSURE_INTERNALS_READY
  try {
    auto m = py::module_::create_extension_module(kModuleName, nullptr, &module_def);
    m.doc() = kModuleDoc;
    DefineModule(m);
    return m.ptr();
  }
  PYBIND11_CATCH_INIT_EXCEPTIONS
}
