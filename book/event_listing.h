#pragma once

#include "link/output_format.h"

#include <string>

namespace veltrano {

// The catalogue as `events` lists it, a line per event in index order: index, key, the frame kind the
// decoder reads from the frame the builder makes, length, whether it needs a zone, and the Chinese name.
void AppendEventListing(std::string& out, OutputFormat format);

} // namespace veltrano
