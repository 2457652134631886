#include "core/fault.hpp"

#include <utility>

namespace ontarix {

Fault::Fault(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

Fault::Fault(std::string message, FaultCause cause, std::source_location where)
    : message_(std::move(message)), where_(where), cause_(std::move(cause)) {}

void raise_fault(std::string message, std::source_location where) {
    throw Fault(std::move(message), where);
}

void raise_fault(std::string message, FaultCause cause, std::source_location where) {
    throw Fault(std::move(message), std::move(cause), where);
}

}  // namespace ontarix
