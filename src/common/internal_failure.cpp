#include "common/internal_failure.hpp"

#include <utility>

namespace tesk {

InternalFailure::InternalFailure(std::string message, std::source_location where)
    : message_(std::move(message)), where_(where) {}

void fail_internal(const char* message, std::source_location where) {
  throw InternalFailure(message, where);
}

}  // namespace tesk
