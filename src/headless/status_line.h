#pragma once

// The line the headless program prints now and then so an operator sees it
// work: the filtering switch, the adapters in use, the number of filters
// and the current send and receive rates.

#include <string>

namespace harlune {

class HarluneEngine;

std::string StatusLine(HarluneEngine& engine);

}  // namespace harlune
