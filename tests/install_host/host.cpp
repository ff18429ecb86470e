// Links the installed module and checks that a load without collaborators names the first
// one missing.
#include <Core/Modules/stop_loss.hpp>
#include <Core/collaborators/failures.hpp>
#include <iostream>
#include <string>

int main() {
  stoploss::ComponentTable host;
  try {
    Modules::StopLoss::load(host);
  } catch (const stoploss::ImportError& error) {
    const bool named = std::string(error.what()) == "cannot import name sleep";
    std::cout << Modules::StopLoss::MODULEPRINT << ' ' << error.what() << '\n';
    return named ? 0 : 1;
  }
  return 1;
}
