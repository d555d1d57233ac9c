// A robot program that keeps its client in a static object, as many do: the client is destroyed
// by the process's exit handlers, after the main thread's thread-local storage has been torn
// down. Usage: static_client SERIAL. Prints "streaming" once the robot's data has arrived, then
// returns from main; exits 1 if no data came within 20 s. The network tests watch its whole
// output and its exit status.

#include <chrono>
#include <iostream>
#include <thread>

#include "korvantyr/korvantyr.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: static_client SERIAL\n";
    return 2;
  }
  static korvan::tyr::Client client(argv[1], false);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (client.groups().empty()) {
    if (std::chrono::steady_clock::now() > deadline) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::cout << "streaming" << std::endl;
  return 0;
}
