#include "auth.h"

#include <array>
#include <cstdio>

#include "ascii.h"
#include "utils.h"

md5_context::md5_context() : ctx(EVP_MD_CTX_new()) {
  if (!ctx)
    throw std::bad_alloc();
}

md5_context::~md5_context() { EVP_MD_CTX_free(ctx); }

int gen_md5_context_size() { return static_cast<int>(sizeof(md5_context)); }

void gen_md5_init(md5_context &context) { EVP_DigestInit_ex(context.ctx, EVP_md5(), nullptr); }

void gen_md5_update(const unsigned char *buffer, size_t length, md5_context &context) {
  EVP_DigestUpdate(context.ctx, buffer, length);
}

void gen_md5_finish(md5_context &context, unsigned char result[16]) {
  unsigned int length = 16;
  EVP_DigestFinal_ex(context.ctx, result, &length);
}

namespace {

constexpr char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(std::string_view in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned a = static_cast<unsigned char>(in[i]);
    unsigned b = static_cast<unsigned char>(in[i + 1]);
    unsigned c = static_cast<unsigned char>(in[i + 2]);
    out += tbl[a >> 2];
    out += tbl[((a & 3) << 4) | (b >> 4)];
    out += tbl[((b & 0xf) << 2) | (c >> 6)];
    out += tbl[c & 0x3f];
  }
  if (i + 1 == in.size()) {
    unsigned a = static_cast<unsigned char>(in[i]);
    out += tbl[a >> 2];
    out += tbl[(a & 3) << 4];
    out += "==";
  } else if (i + 2 == in.size()) {
    unsigned a = static_cast<unsigned char>(in[i]);
    unsigned b = static_cast<unsigned char>(in[i + 1]);
    out += tbl[a >> 2];
    out += tbl[((a & 3) << 4) | (b >> 4)];
    out += tbl[(b & 0xf) << 2];
    out += '=';
  }
  return out;
}

// Count of leading linear white space (space, tab, CR, LF), as header values
// are skipped elsewhere.
size_t skip_lws(std::string_view text) {
  size_t n = 0;
  while (n < text.size() && (text[n] == ' ' || text[n] == '\t' || text[n] == '\r' || text[n] == '\n'))
    ++n;
  return n;
}

std::string md5_hex(std::string_view text) {
  md5_context context;
  unsigned char digest[16];
  gen_md5_init(context);
  gen_md5_update(reinterpret_cast<const unsigned char *>(text.data()), text.size(), context);
  gen_md5_finish(context, digest);
  std::string hex;
  hex.reserve(32);
  for (unsigned char byte : digest) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 0xf];
  }
  return hex;
}

}  // namespace

std::string basic_authentication_encode(std::string_view user, std::string_view password,
                                        std::string_view header) {
  std::string joined;
  joined.reserve(user.size() + 1 + password.size());
  joined.append(user).append(":").append(password);
  std::string line(header);
  line += ": Basic ";
  line += base64_encode(joined);
  line += "\r\n";
  return line;
}

int known_authentication_scheme_p(std::string_view challenge) {
  for (std::string_view scheme : {"Basic", "Digest", "NTLM"}) {
    if (!c_startswith_nocase(challenge, scheme))
      continue;
    if (challenge.size() == scheme.size() || c_isspace(challenge[scheme.size()]))
      return 1;
  }
  return 0;
}

std::optional<std::string> create_authorization_line(std::string_view challenge,
                                                     const char *user, const char *password,
                                                     const char *method, const char *target) {
  if (c_startswith_nocase(challenge, "Basic") || c_startswith_nocase(challenge, "NTLM")) {
    if (!user || !password)
      return std::nullopt;
    return basic_authentication_encode(user, password, "Authorization");
  }
  if (c_startswith_nocase(challenge, "Digest"))
    return digest_authentication_encode(challenge, user, password, method, target);
  return std::nullopt;
}

int extract_header_attr(std::string_view text, std::string_view name,
                        std::optional<std::string> &place) {
  if (text.substr(0, name.size()) != name)
    return 0;
  size_t pos = name.size();
  auto at_end = [&] { return pos >= text.size(); };
  if (at_end())
    return -1;
  pos += skip_lws(text.substr(pos));
  if (at_end() || text[pos] != '=')
    return -1;
  ++pos;
  if (at_end())
    return -1;
  pos += skip_lws(text.substr(pos));
  if (at_end() || text[pos] != '"')
    return -1;
  ++pos;
  if (at_end())
    return -1;
  size_t close = text.find('"', pos);
  if (close == std::string_view::npos)
    return -1;
  place = std::string(text.substr(pos, close - pos));
  return static_cast<int>(close + 1);
}

std::optional<std::string> digest_authentication_encode(std::string_view challenge,
                                                        const char *user, const char *password,
                                                        const char *method, const char *target) {
  std::optional<std::string> realm, opaque, nonce;
  const std::array<std::pair<std::string_view, std::optional<std::string> *>, 3> options = {{
      {"realm", &realm},
      {"opaque", &opaque},
      {"nonce", &nonce},
  }};

  std::string_view text = challenge.size() > 6 ? challenge.substr(6) : std::string_view();
  while (!text.empty()) {
    text.remove_prefix(std::min(text.size(), skip_lws(text)));
    bool matched = false;
    for (auto &[name, place] : options) {
      int consumed = extract_header_attr(text, name, *place);
      if (consumed < 0)
        return std::nullopt;
      if (consumed > 0) {
        text.remove_prefix(static_cast<size_t>(consumed));
        matched = true;
        break;
      }
    }
    if (!matched) {
      size_t eq = text.find('=');
      if (eq == std::string_view::npos)
        break;
      text.remove_prefix(eq + 1);
      text.remove_prefix(std::min(text.size(), skip_lws(text)));
      if (!text.empty() && text.front() == '"') {
        size_t close = text.find('"', 1);
        if (close == std::string_view::npos)
          break;
        text.remove_prefix(close + 1);
      }
    }
    size_t comma = text.find(',');
    if (comma == std::string_view::npos)
      break;
    text.remove_prefix(comma + 1);
  }

  if (!realm || !nonce || !user || !password || !method || !target)
    return std::nullopt;
  // Every piece below is echoed into the request; a line break in any of them
  // would let the server (or a hostile URL) split our request.
  for (std::string_view piece : {std::string_view(*realm), std::string_view(*nonce),
                                 opaque ? std::string_view(*opaque) : std::string_view(), std::string_view(user),
                                 std::string_view(target)})
    if (piece.find_first_of("\r\n") != std::string_view::npos)
      return std::nullopt;

  std::string ha1 = md5_hex(std::string(user) + ":" + *realm + ":" + password);
  std::string ha2 = md5_hex(std::string(method) + ":" + target);
  std::string response = md5_hex(ha1 + ":" + *nonce + ":" + ha2);

  std::string line = "Authorization: Digest username=\"";
  line.append(user).append("\", realm=\"").append(*realm);
  line.append("\", nonce=\"").append(*nonce);
  line.append("\", uri=\"").append(target);
  line.append("\", response=\"").append(response).append("\"");
  if (opaque)
    line.append(", opaque=\"").append(*opaque).append("\"");
  line += "\r\n";
  return line;
}
