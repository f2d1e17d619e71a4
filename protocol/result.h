#pragma once

#include <tl/expected.hpp>

#include <string>
#include <utility>

namespace veltrano {

// Errors as values, everywhere: a value, or the reason in one line of text ("cannot bind 0.0.0.0:7015:
// Address already in use"). `Status` is the result of an operation that gives nothing back.
template <typename T>
using Result = tl::expected<T, std::string>;
using Status = Result<void>;

inline tl::unexpected<std::string> Failure(std::string reason)
{
    return tl::unexpected<std::string>(std::move(reason));
}

} // namespace veltrano
