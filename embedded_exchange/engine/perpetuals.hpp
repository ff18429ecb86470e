#pragma once

#include <vector>

#include "sim_instruments.hpp"

namespace sim {

// The exchange's perpetual swaps the embedded exchange lists for a whole account: XBTUSD and
// ETHUSD (inverse and quanto, settled in XBt), BCHUSD (quanto) and seven contracts settled in
// USDT, each with the exchange's tick, lot, multiplier, maximum order and price, and index, at
// a price it traded at: XBTUSD and XBTUSDT at 9000, ETHUSD and ETHUSDT at 2000, as the embedded
// exchange has always listed them (README: "The embedded exchange's contracts" says where each
// value comes from).
std::vector<SimInstrument> perpetuals();

}  // namespace sim
