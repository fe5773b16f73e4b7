#include "files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace tr::files {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}
std::string extensionOf(const std::string& path) {
    const size_t dot = path.find_last_of('.'), slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return lower(path.substr(dot + 1));
}
std::string folderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}
std::string resolve(const std::string& folder, std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    if (path.rfind("./", 0) == 0) path = path.substr(2);
    if (!path.empty() && path[0] == '/') return path;
    return folder + path;
}
// Empty when path names a regular file, else why not. Opening a FIFO would block and a
// folder opens fine but reads nothing, so only the file kind is asked before anything opens.
std::string notRegularFile(const std::string& path) {
    std::error_code ec;
    const std::filesystem::file_status st = std::filesystem::status(path, ec);
    if (ec || st.type() == std::filesystem::file_type::not_found)
        return std::strerror(ec && ec.value() != ENOENT ? ec.value() : ENOENT);
    if (st.type() == std::filesystem::file_type::directory) return "is a folder, not a file";
    if (st.type() != std::filesystem::file_type::regular) return "is not a regular file";
    return "";
}

}  // namespace tr::files
