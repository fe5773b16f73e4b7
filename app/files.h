// Path helpers of the scene readers.
#pragma once

#include <string>

namespace tr::files {

std::string lower(std::string s);
// The extension in lower case, without the dot; empty when there is none.
std::string extensionOf(const std::string& path);
// The folder part with its final slash; empty for a bare name.
std::string folderOf(const std::string& path);
// path relative to folder (backslashes read as slashes), or path itself when absolute.
std::string resolve(const std::string& folder, std::string path);
// Empty when path names a regular file, else why not.
std::string notRegularFile(const std::string& path);

}  // namespace tr::files
