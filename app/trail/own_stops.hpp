#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "venue.hpp"

namespace app::trail {

// The order text every stop `trail` asks for carries, the same for every run, so that a run
// recognises the stops an earlier one left.
inline constexpr std::string_view kTrailTag = "stoploss trail";

// Whether an order's text names it the trail's; the exchange may add to the text (an amendment's
// note), so the tag is looked for anywhere in it.
bool carries_tag(std::string_view text);

// The stops of `book` carrying the tag that go so that one of them is left guarding the position
// `keep` names: the first at its price, or when none stands there the tightest one guarding its
// side, so that the position never loses the stop it has. Without `keep` every one of them goes.
// Stops without the tag are never among them.
std::vector<BookStop> surplus(const std::vector<BookStop>& book, const std::optional<Keep>& keep);

// Cancels through `venue` the surplus of `standing` for `keep` (surplus()); what was cancelled and
// what stands after. Throws on a failure.
Tidy cancel_surplus(Venue& venue, std::vector<BookStop> standing, const std::optional<Keep>& keep);

}  // namespace app::trail
