#include "jet/format/bytes.h"

namespace jet {

void throw_out_of_bounds(std::size_t offset, std::size_t width, std::size_t size) {
    throw Error(ErrorKind::damaged, "a field of " + std::to_string(width) + " bytes at offset " +
                                        std::to_string(offset) + " lies outside its " +
                                        std::to_string(size) + "-byte structure");
}

}  // namespace jet
