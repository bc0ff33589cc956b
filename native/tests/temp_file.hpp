// A file of given bytes in the system's temporary directory ($TMPDIR when
// set), for tests that read through the file system.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace qvtok::test {

// Writes `bytes` to a new file named after `tag` and returns its path; the
// caller removes it.
inline std::string write_temp(const std::string& bytes, const char* tag = "qvtok") {
    std::string name = (std::filesystem::temp_directory_path() / (std::string(tag) + "-XXXXXX")).string();
    const int fd = ::mkstemp(name.data());
    if (fd >= 0) ::close(fd);
    std::ofstream(name, std::ios::binary) << bytes;
    return name;
}

}  // namespace qvtok::test
