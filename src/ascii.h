// Locale-independent ASCII character tests and case folding.  URL, HTML,
// header, cookie and robots handling must not change with the user's locale.
#pragma once

#include <string_view>

inline bool c_isdigit(char c) { return c >= '0' && c <= '9'; }
inline bool c_isupper(char c) { return c >= 'A' && c <= 'Z'; }
inline bool c_islower(char c) { return c >= 'a' && c <= 'z'; }
inline bool c_isalpha(char c) { return c_isupper(c) || c_islower(c); }
inline bool c_isalnum(char c) { return c_isalpha(c) || c_isdigit(c); }
inline bool c_isxdigit(char c) { return c_isdigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
// Space, tab, line feed, vertical tab, form feed and carriage return.
inline bool c_isspace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
inline char c_tolower(char c) { return c_isupper(c) ? static_cast<char>(c - 'A' + 'a') : c; }
inline char c_toupper(char c) { return c_islower(c) ? static_cast<char>(c - 'a' + 'A') : c; }

// True when a and b are equal ignoring ASCII case.
inline bool c_strcaseeq(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); i++)
    if (c_tolower(a[i]) != c_tolower(b[i]))
      return false;
  return true;
}

// True when text begins with prefix, ignoring ASCII case.
inline bool c_startswith_nocase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && c_strcaseeq(text.substr(0, prefix.size()), prefix);
}
