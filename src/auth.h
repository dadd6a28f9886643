// HTTP authorization lines (Basic and Digest) and the MD5 primitives that the
// Digest answer and the S/Key response share.
#pragma once

#include <openssl/evp.h>

#include <optional>
#include <string>
#include <string_view>

// One running MD5 digest; owns the library's context.
struct md5_context {
  md5_context();
  ~md5_context();
  md5_context(const md5_context &) = delete;
  md5_context &operator=(const md5_context &) = delete;
  EVP_MD_CTX *ctx;
};

// Size in bytes of an MD5 context as the caller holds it.
int gen_md5_context_size();
// Starts a digest.
void gen_md5_init(md5_context &context);
// Adds bytes to the digest.
void gen_md5_update(const unsigned char *buffer, size_t length, md5_context &context);
// Ends the digest and stores its 16 bytes in result.
void gen_md5_finish(md5_context &context, unsigned char result[16]);

// "<header>: Basic <base64 of user:password>\r\n".
std::string basic_authentication_encode(std::string_view user, std::string_view password,
                                        std::string_view header);
// 1 when the challenge names Basic, Digest or NTLM followed by white space or its end.
int known_authentication_scheme_p(std::string_view challenge);
// The Authorization line that answers the challenge, or none.
std::optional<std::string> create_authorization_line(std::string_view challenge,
                                                     const char *user, const char *password,
                                                     const char *method, const char *target);
// The RFC 2069 Digest answer to a challenge, or none when it cannot be made.
std::optional<std::string> digest_authentication_encode(std::string_view challenge,
                                                        const char *user, const char *password,
                                                        const char *method, const char *target);
// 0 when text does not start with name; -1 when the value is malformed; else the
// count of characters consumed through the closing quote, with the value in place.
int extract_header_attr(std::string_view text, std::string_view name,
                        std::optional<std::string> &place);
