#pragma once

#include <string>

#include "record.hpp"

namespace stoploss {

// Amends orders in bulk.
class Amend_bulk {
 public:
  virtual ~Amend_bulk() = default;

  // Amends all listed orders in one request, or fails.
  virtual void orders(const std::string& pair, const RecordList& to_amend) = 0;
};

}  // namespace stoploss
