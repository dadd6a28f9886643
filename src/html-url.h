// Link lists: the links of a document or of a plain list of URLs, in order.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "url.h"

// What link conversion does with one link.
enum link_conversion {
  LINK_KEEP = 0,
  LINK_TO_RELATIVE = 1,
  LINK_TO_COMPLETE = 2,
  LINK_NULLIFY_BASE = 3,
};

// One link found in a document.  Entries read from a plain URL list carry
// only link_url; every flag, offset and length is 0.
struct urlpos {
  url link_url;                           // the resolved and parsed link
  std::optional<std::string> local_file;  // local name of the target; set by link conversion
  int ignore_on_download = 0;             // must not be retrieved (the base link)
  int is_relative = 0;                    // no scheme and no leading "/"
  int is_complete = 0;                    // the link text had a scheme
  int is_base = 0;                        // the href of a base tag
  int is_inline = 0;                      // a resource of the page, not a page to follow
  int is_refresh = 0;                     // came from a meta refresh
  int refresh_seconds = 0;                // the seconds of a meta refresh
  link_conversion conversion = LINK_KEEP; // set by link conversion
  int64_t offset = 0;                     // byte offset of the attribute value in the file
  int64_t length = 0;                     // length of the attribute value, quotes included
};

// The valid URLs of a file with one URL per line, in file order (resolved
// against the base setting when it is set); none when the file cannot be read.
std::optional<std::vector<urlpos>> get_urls_file(const std::string &file);
