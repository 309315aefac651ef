#include "app/paths.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

bool names_directory(const char* path)
{
    std::error_code error;
    return fs::is_directory(path, error);
}

bool names_same_regular_file(const char* first, const char* second)
{
    std::error_code error;
    // equivalent() reports an error, and yields false, when either path is missing.
    return fs::is_regular_file(first, error) && fs::equivalent(first, second, error);
}
