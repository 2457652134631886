#include "core/fault.hpp"

#include <utility>

namespace ontarix {

Fault::Fault(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void raise_fault(std::string message, std::source_location where) {
    throw Fault(std::move(message), where);
}

}  // namespace ontarix
