// Small helpers shared by the test suites.
#pragma once

#include <string>

// A new empty directory under the system's temporary directory; the caller
// removes it.
std::string make_temp_dir(const std::string &tag);

// The whole content of a file, or "" when it cannot be read.
std::string read_file_text(const std::string &path);

// Writes text to path, replacing what was there.
void write_file_text(const std::string &path, const std::string &text);
