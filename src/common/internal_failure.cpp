#include "common/internal_failure.hpp"

#include <utility>

namespace tesk {

InternalFailure::InternalFailure(std::string message, SourceLocation where)
    : message_(std::move(message)), where_(where) {}

void fail_internal(const char* message, SourceLocation where) {
  throw InternalFailure(message, where);
}

}  // namespace tesk
