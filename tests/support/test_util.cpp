#include "test_util.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

std::string make_temp_dir(const std::string &tag) {
  std::string pattern = (std::filesystem::temp_directory_path() / ("tuvo-" + tag + "-XXXXXX")).string();
  if (!mkdtemp(pattern.data()))
    throw std::runtime_error("mkdtemp failed for " + pattern);
  return pattern;
}

std::string read_file_text(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void write_file_text(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}
