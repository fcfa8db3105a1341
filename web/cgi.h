#ifndef WEB_CGI_H_
#define WEB_CGI_H_

// The small CGI layer of stream_admin: decodes the request's form fields once,
// then hands out field values and writes to the response stream. It decodes
// application/x-www-form-urlencoded fields from the query string (GET) or the
// body (POST) and the fields of multipart/form-data bodies (file parts are
// ignored). When a field is sent more than once, the first one counts.
//
// A request that cannot be decoded safely carries no fields: a POST body over
// 1 MiB or shorter than its CONTENT_LENGTH, a multipart body whose boundary is
// missing or broken.

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The response stream (standard output). Handlers write to it and never flush
// or close it.
extern FILE* cgiOut;

// The program's own entry, called once by main after the request is decoded.
int cgiMain();

// Returns the decoded value of field `name`, with every carriage return and
// line feed removed, cut to `size` - 1 bytes; empty when the field is absent.
std::string cgiFormStringNoNewlines(std::string_view name, std::size_t size);

// Like cgiFormStringNoNewlines, but every line break (CR LF, CR or LF) stays,
// as a single line feed.
std::string cgiFormString(std::string_view name, std::size_t size);

// The names of all fields the request carries, in request order, each once.
std::vector<std::string> cgiFormEntries();

// Writes "Content-type: TYPE" and the empty line that ends the header block.
void cgiHeaderContentType(std::string_view type);

// Writes `text` with "&", "<" and ">" replaced by "&amp;", "&lt;", "&gt;".
void cgiHtmlEscape(std::string_view text);

namespace cgi {

using FormFields = std::vector<std::pair<std::string, std::string>>;

inline constexpr std::size_t kMaxBody = 1 << 20;

// Decodes "a=1&b=x+y%21": "+" is a blank, "%" and two hex digits a byte; any
// other "%" is kept as it is.
FormFields ParseUrlEncoded(std::string_view text);

// Decodes a multipart/form-data body with the given Content-Type header value.
// Returns no fields when the boundary is missing or the body is malformed.
FormFields ParseMultipart(std::string_view body, std::string_view content_type);

// Decodes the request described by the CGI variables, reading at most the
// body's CONTENT_LENGTH bytes from `body`.
FormFields ParseRequest(const char* method, const char* query, const char* content_type,
                        const char* content_length, FILE* body);

// Installs the fields that the cgiForm* functions read.
void SetFormFields(FormFields fields);

// The installed value of field `name` (the first one sent), or nullptr.
const std::string* FindField(std::string_view name);

// The installed field names in request order, each once.
std::vector<std::string> FieldNames();

}  // namespace cgi

#endif  // WEB_CGI_H_
