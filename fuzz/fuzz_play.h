// The shape every fuzz target shares: the input becomes a file, the filter of the given class
// loads it, every pin plays into a recording sink (a bounded number of samples), one seek, stop.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

int FuzzPlay(const std::uint8_t* data, std::size_t size, REFCLSID clsid);
