#include "core/stop.hpp"

#include <string>

namespace quarnel {

namespace {
thread_local std::string current_thread_name = "main";
}

void set_thread_name(std::string name) { current_thread_name = std::move(name); }

Stop::Stop(std::string message, std::source_location where)
    : message_(std::move(message)), thread_(current_thread_name), where_(where) {}

void stop(std::string message, std::source_location where) {
    throw Stop(std::move(message), where);
}

void stop_index(std::uint64_t len, std::uint64_t index, std::source_location where) {
    throw Stop("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                   std::to_string(index),
               where);
}

void stop_ndarray(std::source_location where) {
    throw Stop("ndarray: index out of bounds", where);
}

}  // namespace quarnel
