#pragma once

#include <tl/expected.hpp>

#include <string>
#include <utility>

namespace veltrano {

// Errors as values, everywhere: a value, or the reason in one line of text ("cannot bind 0.0.0.0:7015:
// Address already in use"). `Status` is the result of an operation that gives nothing back. A result is
// never dropped: a dropped error would pass for a success, so the compiler refuses to let one go unread.
template <typename T>
class [[nodiscard]] Result : public tl::expected<T, std::string>
{
    using Base = tl::expected<T, std::string>;

public:
    using Base::Base;
    Result() = default;
    // Implicit: what tl::expected's own operations give back is a result too.
    Result(Base base) : Base(std::move(base)) {}

    // A value or a Failure(...), as tl::expected takes them.
    template <typename U>
    Result& operator=(U&& value)
    {
        Base::operator=(std::forward<U>(value));
        return *this;
    }
};
using Status = Result<void>;

inline tl::unexpected<std::string> Failure(std::string reason)
{
    return tl::unexpected<std::string>(std::move(reason));
}

} // namespace veltrano
