#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace app {

// What CLI11's own checks let through: "nan" passes its ranges, and a negative or too large
// number given for an unsigned option wraps around.

// A number that reads as a finite floating-point number.
CLI::Validator finite_number();

// A stop price: a finite number, 0 or more.
CLI::Validator stop_price();

// Text that can go into an order's JSON: valid UTF-8.
CLI::Validator utf8_text();

// A whole number from 0 to 2^64 - 1, digits only.
CLI::Validator unsigned_64();

// A position to open on the embedded exchange (position_option.hpp).
CLI::Validator position_text();

}  // namespace app
