// The download registry: which URL went to which local file, which files
// hold HTML, and how each file was written, for the whole run.
#pragma once

#include <optional>
#include <string>

// How a local file was written.
enum downloaded_file_t {
  DL_NOT_RECORDED = 0,      // no kind recorded for the file
  DL_NORMAL = 1,            // written under the name the URL gave
  DL_HTML_SUFFIX_ADDED = 2, // written with ".html" appended
  DL_CHECK = 3,             // query only: give the recorded kind
};

// Records that the document of url was saved in file.
void register_download(const std::string &url, const std::string &file);
// Records that from redirected to to, whose download is already registered.
void register_redirection(const std::string &from, const std::string &to);
// Records that file holds HTML.
void register_html(const std::string &url, const std::string &file);
// Forgets the URLs of a file that was deleted.
void register_delete_file(const std::string &file);
// With DL_CHECK, the recorded kind of file; otherwise records kind unless one
// is recorded already, and gives the earlier kind (DL_NOT_RECORDED if none).
downloaded_file_t downloaded_file(downloaded_file_t kind, const std::string &file);

// The local file holding url's document, or none.
std::optional<std::string> registered_file_of_url(const std::string &url);
// The URL whose document file holds, or none.
std::optional<std::string> registered_url_of_file(const std::string &file);
// 1 when file was registered as HTML.
int registered_html_p(const std::string &file);
