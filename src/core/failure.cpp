#include "failure.hpp"

namespace marlune {

std::string index_out_of_bounds_message(std::size_t len, std::size_t index) {
    return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
           std::to_string(index);
}

}  // namespace marlune
