#pragma once

#include <string>

#include "record.hpp"

namespace stoploss {

// Cancels orders in bulk.
class Cancel_bulk {
 public:
  virtual ~Cancel_bulk() = default;

  // Cancels all listed orders in one request, or fails. May remove from `to_cancel` the
  // entries it has cancelled: the module treats a list left empty as "all cancelled".
  virtual void orders(const std::string& pair, RecordList& to_cancel, bool Quiet) = 0;
};

}  // namespace stoploss
