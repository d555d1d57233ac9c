// kvn-bench-record-encoding: what one decoded message of the recorder costs to encode, as CDR (what
// korvantyr-record writes) and as JSON written by hand (the alternative that needs no schema
// compiler either): one joint group's RobotStates of 16 and of 56 joints, nanoseconds and bytes per
// message. JSON numbers are written two ways, both exact for the values: the shortest form that
// reads back as the same double (std::to_chars), and "%.9g" of the single-precision wire value.
//
//   kvn-bench-record-encoding [ITERATIONS]

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "korvantyr/korvantyr.h"
#include "record/channels.h"

namespace {

using korvan::tyr::RobotStates;

RobotStates MakeStates(size_t dof) {
  RobotStates s;
  s.timestamp = {1700000000, 123456789};
  for (std::vector<double>* v : {&s.q, &s.theta, &s.dq, &s.dtheta, &s.tau, &s.tau_dot, &s.tau_ext,
                                 &s.tau_interact, &s.temperature}) {
    for (size_t i = 0; i < dof; ++i) {
      v->push_back(static_cast<double>(static_cast<float>(0.1234567 * (i + 1) + v->size())));
    }
  }
  for (size_t i = 0; i < 7; ++i) s.flange_pose[i] = s.tcp_pose[i] = static_cast<float>(0.3 * i);
  for (size_t i = 0; i < 6; ++i) {
    s.tcp_twist[i] = s.tcp_wrench[i] = s.tcp_wrench_local[i] = s.raw_tcp_wrench[i] =
        s.raw_tcp_wrench_local[i] = s.raw_ft_sensor[i] = 1.0 / 3.0 + i;
  }
  return s;
}

template <bool kShortest>
void Number(std::string& out, double value) {
  char text[40];
  if constexpr (kShortest) {
    const auto result = std::to_chars(text, text + sizeof text, value);
    out.append(text, result.ptr);
  } else {
    const int n = std::snprintf(text, sizeof text, "%.9g", static_cast<float>(value));
    out.append(text, static_cast<size_t>(n));
  }
}

template <bool kShortest, class Container>
void Field(std::string& out, const char* name, const Container& values) {
  out += '"';
  out += name;
  out += "\":[";
  bool first = true;
  for (double value : values) {
    if (!first) out += ',';
    first = false;
    Number<kShortest>(out, value);
  }
  out += "],";
}

template <bool kShortest>
void Json(const RobotStates& s, std::string& out) {
  out.clear();
  out += "{\"timestamp\":{\"sec\":" + std::to_string(s.timestamp.first) +
         ",\"nsec\":" + std::to_string(s.timestamp.second) + "},";
  Field<kShortest>(out, "q", s.q);
  Field<kShortest>(out, "theta", s.theta);
  Field<kShortest>(out, "dq", s.dq);
  Field<kShortest>(out, "dtheta", s.dtheta);
  Field<kShortest>(out, "tau", s.tau);
  Field<kShortest>(out, "tau_dot", s.tau_dot);
  Field<kShortest>(out, "tau_ext", s.tau_ext);
  Field<kShortest>(out, "tau_interact", s.tau_interact);
  Field<kShortest>(out, "temperature", s.temperature);
  Field<kShortest>(out, "flange_pose", s.flange_pose);
  Field<kShortest>(out, "tcp_pose", s.tcp_pose);
  Field<kShortest>(out, "tcp_twist", s.tcp_twist);
  Field<kShortest>(out, "tcp_wrench", s.tcp_wrench);
  Field<kShortest>(out, "tcp_wrench_local", s.tcp_wrench_local);
  Field<kShortest>(out, "raw_tcp_wrench", s.raw_tcp_wrench);
  Field<kShortest>(out, "raw_tcp_wrench_local", s.raw_tcp_wrench_local);
  Field<kShortest>(out, "raw_ft_sensor", s.raw_ft_sensor);
  out.back() = '}';
}

template <class F>
double NsPerCall(long iterations, F&& call) {
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < iterations; ++i) call();
  const auto end = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::nano>(end - start).count() /
         static_cast<double>(iterations);
}

}  // namespace

int main(int argc, char** argv) {
  const long iterations = argc > 1 ? std::atol(argv[1]) : 200000;
  std::printf("%-6s %-28s %12s %10s\n", "joints", "encoding", "ns/message", "bytes");
  for (size_t dof : {16, 56}) {
    const RobotStates states = MakeStates(dof);
    std::vector<uint8_t> cdr;
    std::string json;
    volatile size_t sink = 0;
    const double cdr_ns = NsPerCall(iterations, [&] {
      korvan::record::EncodeStates(states, cdr);
      sink = sink + cdr.size();
    });
    std::printf("%-6zu %-28s %12.0f %10zu\n", dof, "CDR (ros2msg)", cdr_ns, cdr.size());
    const double shortest_ns = NsPerCall(iterations / 10, [&] {
      Json<true>(states, json);
      sink = sink + json.size();
    });
    std::printf("%-6zu %-28s %12.0f %10zu\n", dof, "JSON, shortest (to_chars)", shortest_ns,
                json.size());
    const double g9_ns = NsPerCall(iterations / 10, [&] {
      Json<false>(states, json);
      sink = sink + json.size();
    });
    std::printf("%-6zu %-28s %12.0f %10zu\n", dof, "JSON, %.9g of the float", g9_ns, json.size());
  }
  return 0;
}
