#include "kestrix/panic.hpp"

#include <cstdio>
#include <cstring>

namespace kestrix {
namespace {

// Source paths relative to the project, as a reader of the diagnostic wants them.
const char* project_relative(const char* file) noexcept {
#ifdef KESTRIX_SOURCE_DIR
    const std::size_t n = std::strlen(KESTRIX_SOURCE_DIR);
    if (std::strncmp(file, KESTRIX_SOURCE_DIR, n) == 0) return file + n;
#endif
    return file;
}

}  // namespace

void panic(std::string message, std::source_location where) {
    std::fprintf(stderr, "kestrix: internal failure at %s:%u:%u: ",
                 project_relative(where.file_name()), static_cast<unsigned>(where.line()),
                 static_cast<unsigned>(where.column()));
    std::fwrite(message.data(), 1, message.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
    throw InternalFailure(std::move(message));
}

}  // namespace kestrix
