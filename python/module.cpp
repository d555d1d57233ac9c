// The Python extension module `korvantyr`: the joint-group enumeration, the public records and the
// client. Conversions are pybind11's standard ones (stl.h): every attribute read builds a new
// Python object, every assignment converts the whole value, so nothing is shared with the records.
// Text that came from the robot may hold any bytes: it is read as UTF-8 with every invalid byte
// replaced by U+FFFD, so reading a field never raises. Assignment converts as usual.
//
// The per-call paths that a control loop runs (the per-group dicts, attribute reads, flag and I/O
// reads) build their Python objects directly: see python/conversions.h. Everything they return is
// what the standard conversions return, with the same rendered signatures.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "korvantyr/korvantyr.h"
#include "python/conversions.h"
#include "python/interpreter_version.h"

namespace py = pybind11;

namespace {

using korvan::tyr::Client;
using korvan::tyr::JointGroup;
using korvan::tyr::PlanInfo;
using korvan::tyr::PrimitiveStates;
using korvan::tyr::RobotActions;
using korvan::tyr::RobotStates;
using korvan::tyr_impl::python::BoundType;
using korvan::tyr_impl::python::GroupKeys;
using korvan::tyr_impl::python::GroupMap;
using korvan::tyr_impl::python::PrimitiveVariables;
using korvan::tyr_impl::python::RobotText;
using korvan::tyr_impl::python::RobotVariables;
using korvan::tyr_impl::python::UseDirectGetter;
using korvan::tyr_impl::python::UseDirectMethod;

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
  GroupKeys::Remember(m.attr("JointGroup"));
}

// A readable and writable attribute with the standard conversions, read through the direct
// getter.
template <auto Field, class Record>
void DefField(py::class_<Record>& cls, const char* name) {
  cls.def_readwrite(name, Field);
  UseDirectGetter<Record, Field>(cls, name);
}

// A readable and writable attribute for a text field that the robot fills: read through
// RobotText (the direct getter decodes the same way), assigned with the standard string
// conversion.
template <auto Field, class Record>
void DefRobotText(py::class_<Record>& cls, const char* name) {
  const py::cpp_function get([](const Record& record) { return RobotText{record.*Field}; },
                             py::is_method(cls));
  const py::cpp_function set(
      [](Record& record, const std::string& value) { record.*Field = value; }, py::is_method(cls));
  cls.def_property(name, get, set);
  UseDirectGetter<Record, Field>(cls, name);
}

void RegisterRecords(py::module_& m) {
  py::class_<RobotStates> robot_states(m, "RobotStates");
  BoundType<RobotStates>::Remember();
  robot_states.def(py::init<>());
  DefField<&RobotStates::timestamp>(robot_states, "timestamp");
  DefField<&RobotStates::q>(robot_states, "q");
  DefField<&RobotStates::theta>(robot_states, "theta");
  DefField<&RobotStates::dq>(robot_states, "dq");
  DefField<&RobotStates::dtheta>(robot_states, "dtheta");
  DefField<&RobotStates::tau>(robot_states, "tau");
  DefField<&RobotStates::tau_dot>(robot_states, "tau_dot");
  DefField<&RobotStates::tau_ext>(robot_states, "tau_ext");
  DefField<&RobotStates::tau_interact>(robot_states, "tau_interact");
  DefField<&RobotStates::temperature>(robot_states, "temperature");
  DefField<&RobotStates::flange_pose>(robot_states, "flange_pose");
  DefField<&RobotStates::tcp_pose>(robot_states, "tcp_pose");
  DefField<&RobotStates::tcp_twist>(robot_states, "tcp_twist");
  DefField<&RobotStates::tcp_wrench>(robot_states, "tcp_wrench");
  DefField<&RobotStates::tcp_wrench_local>(robot_states, "tcp_wrench_local");
  DefField<&RobotStates::raw_tcp_wrench>(robot_states, "raw_tcp_wrench");
  DefField<&RobotStates::raw_tcp_wrench_local>(robot_states, "raw_tcp_wrench_local");
  DefField<&RobotStates::raw_ft_sensor>(robot_states, "raw_ft_sensor");

  py::class_<RobotActions> robot_actions(m, "RobotActions");
  BoundType<RobotActions>::Remember();
  robot_actions.def(py::init<>());
  DefField<&RobotActions::timestamp>(robot_actions, "timestamp");
  DefField<&RobotActions::q_d>(robot_actions, "q_d");
  DefField<&RobotActions::dq_d>(robot_actions, "dq_d");
  DefField<&RobotActions::tau_d>(robot_actions, "tau_d");
  DefField<&RobotActions::tcp_pose_d>(robot_actions, "tcp_pose_d");
  DefField<&RobotActions::tcp_twist_d>(robot_actions, "tcp_twist_d");
  DefField<&RobotActions::tcp_wrench_d>(robot_actions, "tcp_wrench_d");

  py::class_<PrimitiveStates> primitive_states(m, "PrimitiveStates");
  BoundType<PrimitiveStates>::Remember();
  primitive_states.def(py::init<>());
  DefRobotText<&PrimitiveStates::pt_name>(primitive_states, "pt_name");
  primitive_states.def_property(
      "names_and_values",
      py::cpp_function(
          [](const PrimitiveStates& record) { return RobotVariables{record.names_and_values}; },
          py::is_method(primitive_states)),
      py::cpp_function([](PrimitiveStates& record,
                          const PrimitiveVariables& values) { record.names_and_values = values; },
                       py::is_method(primitive_states)));
  UseDirectGetter<PrimitiveStates, &PrimitiveStates::names_and_values>(primitive_states,
                                                                       "names_and_values");

  py::class_<PlanInfo> plan_info(m, "PlanInfo");
  BoundType<PlanInfo>::Remember();
  plan_info.def(py::init<>());
  DefRobotText<&PlanInfo::pt_name>(plan_info, "pt_name");
  DefRobotText<&PlanInfo::node_name>(plan_info, "node_name");
  DefRobotText<&PlanInfo::node_path>(plan_info, "node_path");
  DefRobotText<&PlanInfo::node_path_time_period>(plan_info, "node_path_time_period");
  DefRobotText<&PlanInfo::node_path_number>(plan_info, "node_path_number");
  DefRobotText<&PlanInfo::assigned_plan_name>(plan_info, "assigned_plan_name");
  DefField<&PlanInfo::velocity_scale>(plan_info, "velocity_scale");
  DefField<&PlanInfo::waiting_for_step>(plan_info, "waiting_for_step");
}

// A method of the client with `self` taken by reference. pybind11 binds a member function
// pointer with `self` as a pointer, which accepts None: Client.connected(None) called through a
// null pointer and crashed the interpreter. A reference refuses None with the usual TypeError.
template <auto Method>
auto OnClient() {
  return [](Client& client) { return (client.*Method)(); };
}

// The methods keep the interpreter lock while they wait for the robot: the Zenoh threads that
// deliver data never need it, and the client holds no Python object. The per-group results go
// out through GroupMap: the same dicts as the standard map conversion, built without its
// per-key enumeration objects and copies.
void RegisterClient(py::module_& m) {
  py::class_<Client> client_class(m, "Client");
  BoundType<Client>::Remember();
  client_class
      .def(py::init<const std::string&, bool>(), py::arg("robot_sn"), py::arg("verbose") = true)
      .def("connected", OnClient<&Client::connected>())
      .def("groups", [](Client& client) { return GroupMap<std::string>{client.groups()}; })
      .def("states", [](Client& client) { return GroupMap<RobotStates>{client.states()}; })
      .def("actions", [](Client& client) { return GroupMap<RobotActions>{client.actions()}; })
      .def("primitive_states",
           [](Client& client) { return GroupMap<PrimitiveStates>{client.primitive_states()}; })
      .def("configuration_score",
           [](Client& client) {
             return GroupMap<std::pair<double, double>>{client.configuration_score()};
           })
      .def("plan_info", OnClient<&Client::plan_info>())
      .def("estop_released", OnClient<&Client::estop_released>())
      .def("enabling_device_on", OnClient<&Client::enabling_device_on>())
      .def("digital_inputs", OnClient<&Client::digital_inputs>())
      .def("digital_outputs", OnClient<&Client::digital_outputs>())
      .def("__repr__", [](const Client&) { return "<korvantyr.Client>"; });
  // The reads a control loop makes every cycle, each only a copy under the stream lock: called
  // directly, without pybind11's dispatch, which costs more than the read.
  UseDirectMethod<&Client::estop_released>(client_class, "estop_released");
  UseDirectMethod<&Client::enabling_device_on>(client_class, "enabling_device_on");
  UseDirectMethod<&Client::digital_inputs>(client_class, "digital_inputs");
  UseDirectMethod<&Client::digital_outputs>(client_class, "digital_outputs");
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
