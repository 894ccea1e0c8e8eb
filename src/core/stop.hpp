// Internal stops: the single failure type of the computational core.
//
// A stop ends the current call. The call boundary turns it into the Python
// `PanicException`, after writing one diagnostic line (thread, source
// location, message) to standard error. Core code never sees Python, so
// this header has no Python in it.
#pragma once

#include <cstdint>
#include <source_location>
#include <stdexcept>
#include <string>

namespace quarnel {

class Stop : public std::exception {
public:
    Stop(std::string message, std::source_location where);

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::string& thread() const noexcept { return thread_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::string thread_;  // name of the thread that stopped, for the diagnostic
    std::source_location where_;
};

[[noreturn]] void stop(std::string message,
                       std::source_location where = std::source_location::current());

// The failure of a bounds check on a plain sequence (a contiguous run, an
// owned vector, an index list): "index out of bounds: the len is L but the
// index is I".
[[noreturn]] void stop_index(std::uint64_t len, std::uint64_t index,
                             std::source_location where = std::source_location::current());

// The failure of a bounds check on a NumPy array view.
[[noreturn]] void stop_ndarray(std::source_location where = std::source_location::current());

// Returns `index` when it is below `len`, stops otherwise. Used for every
// access to an owned vector or list whose index comes from caller data.
inline std::size_t checked(std::size_t len, std::uint64_t index,
                           std::source_location where = std::source_location::current()) {
    if (index >= len) stop_index(len, index, where);
    return static_cast<std::size_t>(index);
}

// A failure the body reports as a Python ValueError (an unsupported
// dimensionality); it is not an internal stop.
class ValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Names the calling thread in stop diagnostics (pool workers call this once).
void set_thread_name(std::string name);

}  // namespace quarnel
