#include "html-url.h"

#include <cerrno>
#include <cstring>
#include <string_view>

#include "ascii.h"
#include "log.h"
#include "utils.h"

std::optional<std::vector<urlpos>> get_urls_file(const std::string &file) {
  std::optional<file_contents> contents = read_file(file);
  if (!contents) {
    logprintf(LOG_NOTQUIET, "%s: %s\n", file.c_str(), strerror(errno));
    return std::nullopt;
  }
  DEBUGP(("Loaded %s (size %lld).\n", file.c_str(), static_cast<long long>(contents->content_size)));

  std::string_view text(contents->data ? contents->data : "", static_cast<size_t>(contents->content_size));
  std::vector<urlpos> list;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    while (!line.empty() && c_isspace(line.front()))
      line.remove_prefix(1);
    while (!line.empty() && c_isspace(line.back()))
      line.remove_suffix(1);
    if (line.empty())
      continue;
    std::string link = opt.base ? uri_merge(*opt.base, line) : std::string(line);
    int error = 0;
    std::optional<url> parsed = url_parse(link, &error);
    if (!parsed) {
      logprintf(LOG_NOTQUIET, "%s: Invalid URL %s: %s\n", file.c_str(), link.c_str(), url_error(error));
      continue;
    }
    urlpos entry;
    entry.link_url = std::move(*parsed);
    list.push_back(std::move(entry));
  }
  return list;
}
