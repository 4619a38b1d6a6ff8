// Failures of the resonator bank, as plain C++ exceptions with no Python in them.
//
// Two kinds leave the core:
//   InvalidArgument - a caller's mistake in the values passed, with an exact message:
//                     "freqs, alphas, and betas must have the same length";
//   InternalFailure - a broken invariant or impossible request that carries only a message
//                     (and where it was raised), e.g. "attempt to divide by zero".
// Running out of memory surfaces as std::bad_alloc.
#pragma once

#include <exception>
#include <source_location>
#include <string>
#include <utility>

namespace marlune {

class InvalidArgument : public std::exception {
public:
    explicit InvalidArgument(std::string message) : message_(std::move(message)) {}

    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

class InternalFailure : public std::exception {
public:
    explicit InternalFailure(std::string message,
                             std::source_location where = std::source_location::current())
        : message_(std::move(message)), where_(where) {}

    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
    std::source_location where_;
};

// The exact texts of the internal failures the core raises.
std::string index_out_of_bounds_message(std::size_t len, std::size_t index);
inline constexpr const char* divide_by_zero_message = "attempt to divide by zero";
inline constexpr const char* capacity_overflow_message = "capacity overflow";

}  // namespace marlune
