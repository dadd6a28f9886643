#include "recur.h"

#include <cassert>
#include <memory>
#include <vector>

#include "hash.h"
#include "utils.h"

namespace {

using string_map = hash_table<std::string, std::string>;

// Each table is created at its first use and lives for the run.
string_map &table(std::unique_ptr<string_map> &slot) {
  if (!slot)
    slot = std::make_unique<string_map>(make_string_hash_table<std::string>(0));
  return *slot;
}

std::unique_ptr<string_map> dl_file_url_map;
std::unique_ptr<string_map> dl_url_file_map;
std::unique_ptr<string_set> downloaded_html_set;
slist downloaded_html_list;
std::unique_ptr<hash_table<std::string, downloaded_file_t>> downloaded_files_hash;

// Two URLs name one document when one continues the other with "/",
// "/index.html", or, after a shared "/", with "index.html".
bool match_except_index(const std::string &a, const std::string &b) {
  size_t common = 0;
  while (common < a.size() && common < b.size() && a[common] == b[common])
    ++common;
  if (common == 0 || (common < a.size() && common < b.size()))
    return false;
  const std::string &longer = a.size() > b.size() ? a : b;
  std::string_view rest = std::string_view(longer).substr(common);
  if (rest == "/" || rest == "/index.html")
    return true;
  return longer[common - 1] == '/' && rest == "index.html";
}

void dissociate_urls_from_file(const std::string &file) {
  std::vector<std::string> urls;
  hash_table_map(table(dl_url_file_map), [&](const std::string &url, std::string &value) {
    if (value == file)
      urls.push_back(url);
    return 0;
  });
  for (const std::string &url : urls)
    hash_table_remove(*dl_url_file_map, url);
}

}  // namespace

void register_download(const std::string &url, const std::string &file) {
  string_map &file_url = table(dl_file_url_map);
  if (std::string *old_url = hash_table_get(file_url, file)) {
    if (*old_url == url)
      return;
    bool keep_old = match_except_index(url, *old_url) && !hash_table_contains(table(dl_url_file_map), url);
    if (!keep_old) {
      hash_table_remove(file_url, file);
      dissociate_urls_from_file(file);
      hash_table_put(file_url, file, url);
    }
  } else {
    hash_table_put(file_url, file, url);
  }
  hash_table_put(table(dl_url_file_map), url, file);
}

void register_redirection(const std::string &from, const std::string &to) {
  std::string *file = hash_table_get(table(dl_url_file_map), to);
  assert(file != nullptr && "the final URL is registered before its redirections");
  if (!file)
    return;
  if (!hash_table_contains(*dl_url_file_map, from)) {
    std::string copy = *file;
    hash_table_put(*dl_url_file_map, from, copy);
  }
}

void register_html(const std::string &, const std::string &file) {
  if (!downloaded_html_set)
    downloaded_html_set = std::make_unique<string_set>(make_string_set(0));
  if (string_set_contains(*downloaded_html_set, file))
    return;
  string_set_add(*downloaded_html_set, file);
  slist_prepend(downloaded_html_list, file);
}

void register_delete_file(const std::string &file) {
  if (!dl_file_url_map || !hash_table_contains(*dl_file_url_map, file))
    return;
  hash_table_remove(*dl_file_url_map, file);
  dissociate_urls_from_file(file);
}

downloaded_file_t downloaded_file(downloaded_file_t kind, const std::string &file) {
  if (!downloaded_files_hash)
    downloaded_files_hash = std::make_unique<hash_table<std::string, downloaded_file_t>>(
        make_string_hash_table<downloaded_file_t>(0));
  if (downloaded_file_t *recorded = hash_table_get(*downloaded_files_hash, file))
    return *recorded;
  if (kind != DL_CHECK)
    hash_table_put(*downloaded_files_hash, file, kind);
  return DL_NOT_RECORDED;
}

std::optional<std::string> registered_file_of_url(const std::string &url) {
  if (!dl_url_file_map)
    return std::nullopt;
  const std::string *file = hash_table_get(*dl_url_file_map, url);
  return file ? std::optional<std::string>(*file) : std::nullopt;
}

std::optional<std::string> registered_url_of_file(const std::string &file) {
  if (!dl_file_url_map)
    return std::nullopt;
  const std::string *url = hash_table_get(*dl_file_url_map, file);
  return url ? std::optional<std::string>(*url) : std::nullopt;
}

int registered_html_p(const std::string &file) {
  return downloaded_html_set && string_set_contains(*downloaded_html_set, file);
}
